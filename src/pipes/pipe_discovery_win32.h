// Discovery of the attached bulk-pipe devices and the process-wide tables that hand each
// device's pipes to its worker. Runs on the download controller's thread only.
#pragma once

#include <windows.h>
// The other Windows headers build on windows.h.
#include <setupapi.h>

#include <cstdint>
#include <memory>
#include <string>

#include "download_job_win32.h"
#include "download_report.h"
#include "pipe_download.h"
#include "pipe_protocol.h"
#include "pipe_watchdog.h"

namespace pelorin {

// {00873FDF-61A8-11D1-AA5E-00C04FB1728B}: the interface class the bulk-pipe function driver
// publishes for every attached device.
inline constexpr GUID PIPE_DEVICE_INTERFACE_GUID = {
    0x00873FDF, 0x61A8, 0x11D1, {0xAA, 0x5E, 0x00, 0xC0, 0x4F, 0xB1, 0x72, 0x8B}};

struct PipePair {
  HANDLE outPipe = INVALID_HANDLE_VALUE;  // "PIPE01", host to device
  HANDLE inPipe = INVALID_HANDLE_VALUE;   // "PIPE00", device to host
};

struct WorkerParam {
  DownloadJob* job = nullptr;
  int32_t deviceIndex = 0;
  std::shared_ptr<PipeCallWatch> watch;  // the download's watchdog, as this worker sees it
  PipeCallLimits limits;                 // of the worker's pipe calls
};

// The three fixed tables of the pipe path. One instance lives for the whole process (never
// freed), so a worker still ending while the dialog closes reads valid memory.
struct PipeDeviceTable {
  char devicePaths[MAX_PIPE_DEVICES][DEVICE_PATH_SIZE] = {};
  PipePair pairs[MAX_PIPE_DEVICES];
  WorkerParam params[MAX_PIPE_DEVICES];
};
PipeDeviceTable& ProcessPipeDeviceTable();

// Finds the present devices and opens "PIPE00" and "PIPE01" of each into pairs[0..count-1].
// Returns the count (0..16); 0 when none is found and after any pipe-open failure, in which case
// no pipe handle stays open. Boxes go through `reporter`. Once `stop` (if given) is cancelled, no
// further device is probed and no further pipe opened: the result is then 0, without a box.
int32_t OpenPipeDevices(Reporter& reporter, PipePair* pairs, const PipeWatchdog* stop = nullptr);

// Opens a device path or pipe path as discovery does: read and write access, shared for reading
// and writing, synchronous I/O.
HANDLE OpenDevicePath(const char* path);
// Opens "<devicePath>\PIPE00", then "<devicePath>\PIPE01" into `pair`. On failure neither stays
// open, and `failedPipe` and `error` tell which pipe path failed and why.
bool OpenDevicePipes(const char* devicePath, PipePair* pair, std::string* failedPipe,
                     uint32_t* error);

// "Failed to open (<pipe path>) = <error>" as UTF-8; the path is 8-bit text in the ANSI code page,
// as CreateFileA took it.
std::string PipeOpenFailedText(const char* pipePath, uint32_t error);

// Records the interface paths of present devices of `classGuid` in pathTable[0..count-1]. Once
// `stop` (if given) is cancelled, no further device is probed.
uint32_t EnumeratePipeDevices(Reporter& reporter, const GUID& classGuid,
                              char (*pathTable)[DEVICE_PATH_SIZE],
                              const PipeWatchdog* stop = nullptr);

// Enumerating an interface class gives up after this many errors in a row other than "no more
// items", so that a broken device information set cannot keep the caller busy for ever.
inline constexpr int MAX_CONSECUTIVE_ENUM_ERRORS = 16;

// The interface's device path as SetupDiGetDeviceInterfaceDetailA gives it (8-bit, the ANSI code
// page: what CreateFileA takes), and its device in `device` (if given). False when SetupAPI cannot
// tell it, or the path is empty or does not end within the record. Opens nothing.
bool InterfaceDevicePath(HDEVINFO deviceInfoSet, SP_DEVICE_INTERFACE_DATA* interfaceData,
                         std::string* path, SP_DEVINFO_DATA* device = nullptr);

// Writes the interface's device path into pathBuffer and opens it; INVALID_HANDLE_VALUE on failure.
HANDLE ProbeDeviceInterface(HDEVINFO deviceInfoSet, SP_DEVICE_INTERFACE_DATA* interfaceData,
                            char* pathBuffer);

}  // namespace pelorin
