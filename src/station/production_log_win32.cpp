#include "production_log_win32.h"

#include <bcrypt.h>

#include <cstring>
#include <vector>

#include "text_win32.h"

namespace pelorin::station {
namespace {

// A new log's identity, from the system's random numbers (a fallback of time and process when
// they cannot be had: two logs still differ).
std::string NewIdentity() {
  uint8_t random[16] = {};
  BCRYPT_ALG_HANDLE rng = nullptr;
  bool made = false;
  if (BCryptOpenAlgorithmProvider(&rng, BCRYPT_RNG_ALGORITHM, nullptr, 0) >= 0) {
    made = BCryptGenRandom(rng, random, sizeof random, 0) >= 0;
    BCryptCloseAlgorithmProvider(rng, 0);
  }
  if (!made) {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    LARGE_INTEGER counter{};
    QueryPerformanceCounter(&counter);
    const DWORD parts[4] = {now.dwLowDateTime, now.dwHighDateTime, GetCurrentProcessId(),
                            static_cast<DWORD>(counter.QuadPart)};
    static_assert(sizeof parts == sizeof random);
    memcpy(random, parts, sizeof random);
  }
  return LogIdentity(random);
}

}  // namespace

int64_t SystemUnixMs() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  const uint64_t ticks = (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  constexpr uint64_t kUnixEpoch = 116444736000000000ull;  // 1970-01-01 in 100 ns since 1601
  return static_cast<int64_t>((ticks - kUnixEpoch) / 10000);
}

void ProductionLog::SetStation(const std::string& name) {
  std::lock_guard lock(mutex_);
  station_ = name.empty() ? ComputerName() : name;
}

uint64_t ProductionLog::LastSequence() {
  std::lock_guard lock(mutex_);
  return lastSequence_;
}

std::string ProductionLog::ComputerName() {
  wchar_t name[MAX_COMPUTERNAME_LENGTH + 1];
  DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
  return GetComputerNameW(name, &size) ? WideToUtf8(std::wstring(name, size)) : std::string();
}

ProductionLog::Opened ProductionLog::Open(const std::wstring& path, const std::string& sha256,
                                          const std::atomic<bool>& stop, LogMemory* memory,
                                          DWORD* error) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | FILE_APPEND_DATA, FILE_SHARE_READ,
                            nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  const DWORD opened = GetLastError();
  file_.Reset(file);
  if (!file_) {
    *error = opened;
    return *error == ERROR_SHARING_VIOLATION ? Opened::InUse : Opened::Failed;
  }
  created_ = opened != ERROR_ALREADY_EXISTS;
  path_ = path;
  LogMemoryReader reader(sha256);
  std::vector<char> buffer(1 << 20);
  for (;;) {
    if (stop) {
      Close();
      return Opened::Stopped;
    }
    DWORD got = 0;
    if (!ReadFile(file_.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) {
      *error = GetLastError();
      Close();
      return Opened::Failed;
    }
    if (got == 0) break;
    reader.Add(std::string_view(buffer.data(), got));
  }
  *memory = reader.Finish();
  identity_ = memory->identity.empty() ? NewIdentity() : memory->identity;
  lastSequence_ = memory->lastSequence;
  needsNewline_ = memory->endsWithoutNewline;
  return Opened::Yes;
}

void ProductionLog::Close() {
  std::lock_guard lock(mutex_);
  if (!file_) return;
  file_.Reset();
  if (created_ && !appended_) DeleteFileW(path_.c_str());
}

bool ProductionLog::Append(StationRecord& record, const StationImage& image, DWORD* error) {
  std::lock_guard lock(mutex_);
  record.log = identity_;
  record.sequence = ++lastSequence_;
  record.unixMs = SystemUnixMs();
  record.station = station_;
  if (!file_) return true;
  // A line left without its newline (a torn one, a whole record that lost it, a failed write of
  // ours) is ended first, so that it stays one line of its own instead of swallowing this record.
  std::string text = needsNewline_ ? "\n" : "";
  text += RecordLine(record, image) + "\n";
  LARGE_INTEGER end{};
  DWORD written = 0;
  appended_ = true;
  const bool ok = SetFilePointerEx(file_.get(), end, nullptr, FILE_END) &&
                  WriteFile(file_.get(), text.data(), static_cast<DWORD>(text.size()), &written,
                            nullptr) &&
                  written == text.size() && FlushFileBuffers(file_.get());
  if (!ok) *error = written == text.size() || written == 0 ? GetLastError() : ERROR_DISK_FULL;
  // After any failure, part of the line may be in the file whatever the counts say.
  needsNewline_ = !ok;
  return ok;
}

}  // namespace pelorin::station
