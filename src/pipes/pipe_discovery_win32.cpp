#include "pipe_discovery_win32.h"

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "text_win32.h"

namespace pelorin {

// The size fields SetupAPI checks are the sizes of the records on the build's own platform;
// on 32-bit Windows they are 28 and 5 (the detail record is packed to one byte there).
static_assert(sizeof(void*) != 4 || sizeof(SP_DEVICE_INTERFACE_DATA) == 28);
static_assert(sizeof(void*) != 4 || sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 5);

namespace {

// A device is usable only if "<path>\PIPE0x" still fits a path buffer with its NUL.
constexpr size_t kMaxDevicePathLength =
    DEVICE_PATH_SIZE - 1 - (sizeof(PIPE_PATH_SEPARATOR) - 1) - (sizeof(OUT_PIPE_NAME) - 1);
static_assert(kMaxDevicePathLength == 248);

constexpr char kProbeFailedText[] = "파일을 열수 없습니다.";
constexpr char kProbeFailedCaption[] = "파일 에러";

void CloseIfValid(HANDLE& handle) {
  if (handle != INVALID_HANDLE_VALUE && handle != nullptr) CloseHandle(handle);
  handle = INVALID_HANDLE_VALUE;
}

bool Stopped(const PipeWatchdog* stop) {
  return stop != nullptr && stop->cancelled();
}

}  // namespace

HANDLE OpenDevicePath(const char* path) {
  return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                     nullptr, OPEN_EXISTING, 0, nullptr);
}

bool OpenDevicePipes(const char* devicePath, PipePair* pair, std::string* failedPipe,
                     uint32_t* error) {
  pair->inPipe = INVALID_HANDLE_VALUE;
  pair->outPipe = INVALID_HANDLE_VALUE;
  // In-pipe first, then out-pipe.
  for (int side = 0; side < 2; ++side) {
    const char* pipeName = side == 0 ? IN_PIPE_NAME : OUT_PIPE_NAME;
    HANDLE& slot = side == 0 ? pair->inPipe : pair->outPipe;
    char pipePath[DEVICE_PATH_SIZE] = {};
    int length = std::snprintf(pipePath, sizeof(pipePath), "%s%s%s", devicePath,
                               PIPE_PATH_SEPARATOR, pipeName);
    DWORD openError = ERROR_FILENAME_EXCED_RANGE;
    if (length > 0 && static_cast<size_t>(length) < sizeof(pipePath)) {
      slot = OpenDevicePath(pipePath);
      openError = GetLastError();
    }
    if (slot != INVALID_HANDLE_VALUE) continue;
    if (failedPipe) *failedPipe = pipePath;
    if (error) *error = openError;
    CloseIfValid(pair->inPipe);
    CloseIfValid(pair->outPipe);
    return false;
  }
  return true;
}

PipeDeviceTable& ProcessPipeDeviceTable() {
  // Allocated on first use and deliberately never freed: workers of a download may still read
  // their entries while the process ends.
  static PipeDeviceTable* table = new PipeDeviceTable();
  return *table;
}

bool InterfaceDevicePath(HDEVINFO deviceInfoSet, SP_DEVICE_INTERFACE_DATA* interfaceData,
                         std::string* path, SP_DEVINFO_DATA* device) {
  DWORD requiredSize = 0;
  // Asks only for the size; this call fails by design.
  SetupDiGetDeviceInterfaceDetailA(deviceInfoSet, interfaceData, nullptr, 0, &requiredSize,
                                   nullptr);
  constexpr DWORD kPathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
  if (requiredSize <= kPathOffset) return false;

  // DWORDs, so that the record's cbSize is aligned.
  std::unique_ptr<DWORD[]> buffer(
      new (std::nothrow) DWORD[(requiredSize + sizeof(DWORD) - 1) / sizeof(DWORD)]);
  if (!buffer) return false;
  auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.get());
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
  if (device != nullptr) device->cbSize = sizeof(SP_DEVINFO_DATA);
  if (!SetupDiGetDeviceInterfaceDetailA(deviceInfoSet, interfaceData, detail, requiredSize, nullptr,
                                        device))
    return false;
  // The path must end within the record.
  const size_t length = strnlen(detail->DevicePath, requiredSize - kPathOffset);
  if (length == 0 || length == requiredSize - kPathOffset) return false;
  path->assign(detail->DevicePath, length);
  return true;
}

HANDLE ProbeDeviceInterface(HDEVINFO deviceInfoSet, SP_DEVICE_INTERFACE_DATA* interfaceData,
                            char* pathBuffer) {
  // The path must fit a buffer together with a pipe name.
  std::string path;
  if (!InterfaceDevicePath(deviceInfoSet, interfaceData, &path) ||
      path.size() > kMaxDevicePathLength)
    return INVALID_HANDLE_VALUE;
  std::memcpy(pathBuffer, path.c_str(), path.size() + 1);
  return OpenDevicePath(pathBuffer);
}

uint32_t EnumeratePipeDevices(Reporter& reporter, const GUID& classGuid,
                              char (*pathTable)[DEVICE_PATH_SIZE], const PipeWatchdog* stop) {
  HDEVINFO deviceInfoSet =
      SetupDiGetClassDevsA(&classGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (deviceInfoSet == INVALID_HANDLE_VALUE) return 0;

  HANDLE probes[MAX_PIPE_DEVICES];
  uint32_t count = 0;
  int consecutiveErrors = 0;
  SP_DEVICE_INTERFACE_DATA interfaceData = {};
  interfaceData.cbSize = sizeof(SP_DEVICE_INTERFACE_DATA);
  // Devices beyond the sixteenth are left alone: the tables and the dialog's bars hold sixteen.
  for (DWORD member = 0; count < static_cast<uint32_t>(MAX_PIPE_DEVICES); ++member) {
    if (!SetupDiEnumDeviceInterfaces(deviceInfoSet, nullptr, &classGuid, member, &interfaceData)) {
      if (GetLastError() == ERROR_NO_MORE_ITEMS) break;
      if (++consecutiveErrors >= MAX_CONSECUTIVE_ENUM_ERRORS) break;
      continue;
    }
    consecutiveErrors = 0;
    if (Stopped(stop)) break;  // no device is probed once the run is stopped
    std::memset(pathTable[count], 0, DEVICE_PATH_SIZE);
    HANDLE probe = ProbeDeviceInterface(deviceInfoSet, &interfaceData, pathTable[count]);
    if (probe == INVALID_HANDLE_VALUE) {
      reporter.ShowStopBox(kProbeFailedText, kProbeFailedCaption);
      break;
    }
    probes[count] = probe;
    ++count;
  }
  SetupDiDestroyDeviceInfoList(deviceInfoSet);
  // The probe only proves that the device opens.
  for (uint32_t i = 0; i < count; ++i) CloseHandle(probes[i]);
  return count;
}

std::string PipeOpenFailedText(const char* pipePath, uint32_t error) {
  char message[DEVICE_PATH_SIZE + 64];
  std::snprintf(message, sizeof(message), "Failed to open (%s) = %d", pipePath,
                static_cast<int>(error));
  return AnsiToUtf8(message);
}

int32_t OpenPipeDevices(Reporter& reporter, PipePair* pairs, const PipeWatchdog* stop) {
  auto& paths = ProcessPipeDeviceTable().devicePaths;
  const int32_t count = static_cast<int32_t>(
      EnumeratePipeDevices(reporter, PIPE_DEVICE_INTERFACE_GUID, paths, stop));
  if (count == 0) return 0;

  for (int32_t i = 0; i < count; ++i) {
    pairs[i].inPipe = INVALID_HANDLE_VALUE;
    pairs[i].outPipe = INVALID_HANDLE_VALUE;
  }
  for (int32_t i = 0; i < count; ++i) {
    std::string failedPipe;
    uint32_t error = 0;
    const bool stopped = Stopped(stop);  // no pipe is opened once the run is stopped
    if (!stopped && OpenDevicePipes(paths[i], &pairs[i], &failedPipe, &error)) continue;

    if (!stopped) reporter.ShowAppBox(PipeOpenFailedText(failedPipe.c_str(), error));
    for (int32_t j = 0; j < i; ++j) {
      CloseIfValid(pairs[j].inPipe);
      CloseIfValid(pairs[j].outPipe);
    }
    // The controller shows this code in its own box.
    SetLastError(error);
    return 0;
  }
  return count;
}

}  // namespace pelorin
