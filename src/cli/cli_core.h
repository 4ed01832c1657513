// The headless front end's portable part: its arguments, the result of a run and its JSON record,
// the per-device, summary and progress lines, and the exit status. The Windows part
// (pelorin_cli_main_win32.cpp) runs the download over the same cores as the dialog and feeds
// what the download threads told (DeviceActivityBoard) into these.
//
//   PelorinCli.exe [--family pipe|driver] [--json FILE] IMAGE
//   PelorinCli.exe --list
//   PelorinCli.exe --help | --version
//
// --list takes no IMAGE and no other option. Every text and line made here comes without a final
// newline; line breaks inside a box's or a device's message become one space (a run of them one
// space, those at either end are dropped), so that each stays one console line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "device_activity.h"
#include "pelorin_version.h"

namespace pelorin::cli {

// Exit statuses.
inline constexpr int EXIT_VERIFIED = 0;       // every device verified
inline constexpr int EXIT_DEVICE_FAILED = 1;  // a device failed; the others' results stand
inline constexpr int EXIT_USAGE = 2;          // bad arguments, or an image that cannot be sent
inline constexpr int EXIT_NO_DEVICE = 3;      // no device ready
inline constexpr int EXIT_CANCELLED = 130;    // Ctrl+C

inline constexpr char CLI_NAME[] = "PelorinCli";
inline constexpr char CLI_VERSION[] = PELORIN_VERSION_TEXT;  // the project's version

enum class Family { Pipe, Driver };
enum class Command { Download, List, Help, Version };

struct Options {
  Command command = Command::Download;
  Family family = Family::Pipe;
  std::string image;     // UTF-8
  std::string jsonPath;  // "" none, "-" standard output
};

// What parsing made of the arguments (UTF-8, without the program name).
struct ParsedArguments {
  bool ok = false;  // run `options`; otherwise print `text` and exit with `exitStatus`
  Options options;
  int exitStatus = EXIT_USAGE;
  std::string text;  // --help or --version text (standard output, exit 0), or the error
                     // message for standard error with a hint to --help (exit 2)
};
ParsedArguments ParseArguments(const std::vector<std::string>& arguments);

// The result of a run, as the record names it.
enum class RunResult { Verified, Failed, NoDevice, ImageError, Usage, Cancelled };
const char* RunResultName(RunResult result);  // "verified", "failed", "no-device", ...
int ExitStatus(RunResult result);

// A device's result, as the record names it: "verified", "verification-error", "link-error",
// "image-error", "not-started".
const char* DeviceResultName(const DeviceActivity& device);

// How a run ended, from what the front end knows once every device has ended.
struct RunFacts {
  bool cancelled = false;     // Ctrl+C came
  bool imageError = false;    // the image cannot be opened, is 4 GiB or larger, or the front
                              // end's own read of it failed
  bool imageChanged = false;  // a device was sent other bytes than the front end read first
  bool noDevice = false;      // no device ready (none, a probe or pipe-open failure, no
                              // driver service or device)
  std::vector<DeviceActivity> devices;  // the devices that were ready, in index order
};
// Cancelled before an image error before no device; then Verified only when every device
// verified, Failed otherwise. A device whose own read of the image failed makes an image error;
// an empty `devices` is no device.
RunResult Decide(const RunFacts& facts);

struct ImageFacts {
  std::string path;  // UTF-8
  uint64_t size = 0;
  uint32_t byteSum = 0;             // of every byte, modulo 2^32 (the pipe family sends it)
  std::optional<uint32_t> wordSum;  // the driver family's whole-image word sum
};

// The record of one run, written as JSON (UTF-8):
//   {"result": "...", "family": "pipe|driver", "started": "2026-12-08T01:02:03Z",
//    "seconds": 4.21, "image": {"path": ..., "size": ..., "byteSum": ..., ["wordSum": ...]},
//    "devices": [{"index": 0, "path": ..., "result": ..., "bytesSent": ..., "seconds": 3.1,
//                 "message": ""}, ...]}
// The text is indented by two spaces. "wordSum" is there for the driver family when known;
// "seconds" of the run is rounded to 2 decimals. Bytes that are not UTF-8 become U+FFFD.
struct RunRecord {
  RunResult result = RunResult::Usage;
  Family family = Family::Pipe;
  std::string started;  // ISO 8601, UTC, seconds
  double seconds = 0;
  ImageFacts image;
  std::vector<int32_t> indices;         // each device's index
  std::vector<DeviceActivity> devices;  // in the same order
};
std::string RecordJson(const RunRecord& record);

// "2026-12-08T01:02:03Z" for seconds since 1970 (UTC).
std::string IsoTime(int64_t unixSeconds);

// One line per device when it ends, e.g.
//   device 0: verified, 4194304 bytes in 3.1 s (1.4 MB/s), \\?\usb#...
//   device 1: verification-error: Verification Error 다시 시도해 주세요.
std::string DeviceLine(int32_t index, const DeviceActivity& device);
// The last line, e.g. "verified: 3 of 3 devices in 4.2 s" or
// "failed: 1 of 3 devices failed, 2 verified, in 4.2 s".
std::string SummaryLine(const RunRecord& record);
// The progress line rewritten in place on a console: devices, overall percent, MB/s of all
// devices together since the first data write, time left, e.g.
//   "3 devices  47%  150.2 MB/s  0:05 left"
// Only ready devices count; one that ended counts as done; "left" comes once there is a rate.
std::string ProgressLine(const std::vector<DeviceActivity>& devices, uint32_t now);

// The box a dialog would show, for standard error: "CAPTION: TEXT".
std::string BoxLine(const std::string& caption, const std::string& text);

}  // namespace pelorin::cli
