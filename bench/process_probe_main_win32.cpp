// process_probe.exe: samples a Windows program's handles, threads and memory from outside, for
// the soak benchmark (bench/station_soak.sh). Not a test.
//
//   process_probe.exe NAME [--interval MS] [--stop FILE]
//
// Every MS milliseconds (default 1000) it looks for the process whose image name is NAME (e.g.
// PelorinCli.exe; the first one found) and prints one line to stdout:
//   tick=<ms since start> found=1 pid=<id> handles=<n> byType=<type>:<n>,... tableCount=<n>
//        handleCount=<n> threads=<n> workingSet=<bytes> peakWorkingSet=<bytes> private=<bytes>
// or "tick=<ms> found=0" while there is none. Three ways to count its handles, since Wine
// answers them differently:
//   handles     its entries in the system's handle list (NtQuerySystemInformation,
//               SystemHandleInformation), -1 when there is none; byType splits them by object
//               type, named from a copy of one handle of each type (NtQueryObject), else by
//               number. Under Wine 8 this is the number of open handles.
//   tableCount  HandleCount of the system's process list (SystemProcessInformation); Wine 8 gives
//               the size of the process's handle table there (a power of two), not its use.
//   handleCount GetProcessHandleCount on the opened process (-1 when it fails); Wine 8 gives 0.
// The thread count and the memory figures come from the process list. It ends when FILE appears
// (or, without --stop, when stdin ends).
#include <windows.h>
#include <winternl.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

using QuerySystemInformation = LONG(NTAPI*)(SYSTEM_INFORMATION_CLASS, PVOID, ULONG, PULONG);
using QueryObject = LONG(NTAPI*)(HANDLE, OBJECT_INFORMATION_CLASS, PVOID, ULONG, PULONG);

struct Sample {
  bool found = false;
  DWORD pid = 0;
  unsigned long tableCount = 0, threads = 0;
  unsigned long long workingSet = 0, peakWorkingSet = 0, privateBytes = 0;
};

// The first process named `name` (case-insensitive) in the system's process list.
Sample Find(QuerySystemInformation query, const std::wstring& name, std::vector<BYTE>* buffer) {
  Sample sample;
  for (;;) {
    ULONG needed = 0;
    const LONG status = query(SystemProcessInformation, buffer->data(),
                              static_cast<ULONG>(buffer->size()), &needed);
    if (status == 0) break;
    if (status != static_cast<LONG>(0xC0000004L)) return sample;  // not "length mismatch"
    buffer->resize(needed > buffer->size() ? needed + 65536 : buffer->size() * 2);
  }
  size_t offset = 0;
  for (;;) {
    const auto* entry =
        reinterpret_cast<const SYSTEM_PROCESS_INFORMATION*>(buffer->data() + offset);
    const std::wstring image(entry->ImageName.Buffer != nullptr ? entry->ImageName.Buffer : L"",
                             entry->ImageName.Length / sizeof(wchar_t));
    if (!image.empty() && _wcsicmp(image.c_str(), name.c_str()) == 0) {
      sample.found = true;
      sample.pid = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(entry->UniqueProcessId));
      sample.tableCount = entry->HandleCount;
      sample.threads = entry->NumberOfThreads;
      sample.workingSet = entry->VirtualMemoryCounters.WorkingSetSize;
      sample.peakWorkingSet = entry->VirtualMemoryCounters.PeakWorkingSetSize;
      sample.privateBytes = entry->VirtualMemoryCounters.PagefileUsage;
      return sample;
    }
    if (entry->NextEntryOffset == 0) return sample;
    offset += entry->NextEntryOffset;
  }
}

// The name of an object type ("Event", "File", ...), learnt from a copy of one handle of that
// type of process `pid`; empty when it cannot be had (the handle was closed meanwhile).
std::string TypeName(QueryObject queryObject, DWORD pid, USHORT handleValue) {
  HANDLE process = OpenProcess(PROCESS_DUP_HANDLE, FALSE, pid);
  if (process == nullptr) return {};
  HANDLE copy = nullptr;
  std::string name;
  if (DuplicateHandle(process, reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(handleValue)),
                      GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
    alignas(8) BYTE buffer[1024];
    ULONG needed = 0;
    if (queryObject(copy, ObjectTypeInformation, buffer, sizeof(buffer), &needed) == 0) {
      const auto* info = reinterpret_cast<const PUBLIC_OBJECT_TYPE_INFORMATION*>(buffer);
      for (USHORT i = 0; i < info->TypeName.Length / sizeof(wchar_t); ++i)
        name += static_cast<char>(info->TypeName.Buffer[i] < 0x80 ? info->TypeName.Buffer[i] : '?');
    }
    CloseHandle(copy);
  }
  CloseHandle(process);
  return name;
}

// Its entries in the system's handle list, and how many of each object type (by name where one
// was learnt, else by number); -1 when the list cannot be had.
long ListedHandles(QuerySystemInformation query, QueryObject queryObject, DWORD pid,
                   std::vector<BYTE>* buffer, std::map<int, std::string>* typeNames,
                   std::string* byType) {
  for (;;) {
    ULONG needed = 0;
    const LONG status =
        query(SystemHandleInformation, buffer->data(), static_cast<ULONG>(buffer->size()), &needed);
    if (status == 0) break;
    if (status != static_cast<LONG>(0xC0000004L)) return -1;
    buffer->resize(needed > buffer->size() ? needed + 65536 : buffer->size() * 2);
  }
  const auto* list = reinterpret_cast<const SYSTEM_HANDLE_INFORMATION*>(buffer->data());
  std::map<int, long> types;
  std::map<int, USHORT> someHandle;
  long count = 0;
  for (ULONG i = 0; i < list->Count; ++i) {
    if (list->Handle[i].OwnerPid != pid) continue;
    ++count;
    ++types[list->Handle[i].ObjectType];
    someHandle[list->Handle[i].ObjectType] = list->Handle[i].HandleValue;
  }
  byType->clear();
  for (const auto& [type, n] : types) {
    std::string& name = (*typeNames)[type];
    if (name.empty() && queryObject != nullptr) name = TypeName(queryObject, pid, someHandle[type]);
    if (!byType->empty()) *byType += ',';
    *byType += (name.empty() ? std::to_string(type) : name) + ':' + std::to_string(n);
  }
  if (byType->empty()) byType->push_back('-');
  return count;
}

long HandleCountOf(DWORD pid) {
  HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, pid);
  if (process == nullptr) return -1;
  DWORD count = 0;
  const BOOL ok = GetProcessHandleCount(process, &count);
  CloseHandle(process);
  return ok ? static_cast<long>(count) : -1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: process_probe.exe NAME [--interval MS] [--stop FILE]\n");
    return 2;
  }
  const std::wstring name = argv[1];
  DWORD interval = 1000;
  std::wstring stopFile;
  for (int i = 2; i + 1 < argc; i += 2) {
    const std::wstring option = argv[i];
    if (option == L"--interval") {
      interval = static_cast<DWORD>(std::wcstoul(argv[i + 1], nullptr, 10));
    } else if (option == L"--stop") {
      stopFile = argv[i + 1];
    } else {
      std::fprintf(stderr, "process_probe.exe: unknown option\n");
      return 2;
    }
  }
  const auto query = reinterpret_cast<QuerySystemInformation>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
  if (query == nullptr) {
    std::fprintf(stderr, "process_probe.exe: no NtQuerySystemInformation\n");
    return 1;
  }
  static std::atomic<bool> stdinEnded{false};
  if (stopFile.empty()) {
    std::thread([] {
      char line[256];
      while (std::fgets(line, sizeof(line), stdin)) {
      }
      stdinEnded = true;
    }).detach();
  }
  const auto queryObject = reinterpret_cast<QueryObject>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryObject")));
  std::vector<BYTE> buffer(1 << 20), handleBuffer(1 << 20);
  std::map<int, std::string> typeNames;
  std::string byType;
  const ULONGLONG start = GetTickCount64();
  for (;;) {
    if (!stopFile.empty() && GetFileAttributesW(stopFile.c_str()) != INVALID_FILE_ATTRIBUTES) break;
    if (stdinEnded) break;
    const ULONGLONG tick = GetTickCount64() - start;
    const Sample s = Find(query, name, &buffer);
    if (s.found) {
      const long handles =
          ListedHandles(query, queryObject, s.pid, &handleBuffer, &typeNames, &byType);
      std::printf(
          "tick=%llu found=1 pid=%lu handles=%ld byType=%s tableCount=%lu handleCount=%ld "
          "threads=%lu workingSet=%llu peakWorkingSet=%llu private=%llu\n",
          tick, static_cast<unsigned long>(s.pid), handles, byType.c_str(), s.tableCount,
          HandleCountOf(s.pid), s.threads, s.workingSet, s.peakWorkingSet, s.privateBytes);
    } else {
      std::printf("tick=%llu found=0\n", tick);
    }
    std::fflush(stdout);
    // On to the next multiple of the period.
    const ULONGLONG now = GetTickCount64();
    const ULONGLONG next = start + ((now - start) / interval + 1) * interval;
    Sleep(static_cast<DWORD>(next - now));
  }
  return 0;
}
