#include "log_file_reader_win32.h"

#include "text_win32.h"

namespace pelorin::fleet {

std::unique_ptr<LogFileReader> LogFileReader::Open(const std::wstring& path, std::string* error) {
  // The writer holds the file open for appending: a reader must share writing to open it, and
  // shares deleting too so that it never stands in the way of a rename by an operator's tool.
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (!ScopedHandle::IsValid(file)) {
    *error = ErrorText(GetLastError());
    return nullptr;
  }
  return std::unique_ptr<LogFileReader>(new LogFileReader(file));
}

bool LogFileReader::Size(uint64_t* size, std::string* error) {
  LARGE_INTEGER value{};
  if (!GetFileSizeEx(file_.get(), &value)) {
    *error = ErrorText(GetLastError());
    return false;
  }
  *size = static_cast<uint64_t>(value.QuadPart);
  return true;
}

bool LogFileReader::ReadAt(uint64_t offset, char* buffer, size_t size, size_t* got,
                           std::string* error) {
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD read = 0;
  if (!ReadFile(file_.get(), buffer, static_cast<DWORD>(size), &read, &at)) {
    const DWORD code = GetLastError();
    if (code != ERROR_HANDLE_EOF) {
      *error = ErrorText(code);
      return false;
    }
  }
  *got = read;
  return true;
}

}  // namespace pelorin::fleet
