// The headless front end's portable part: its arguments, the result of a run and its JSON record,
// the per-device, summary and progress lines, and the exit status. The Windows part
// (pelorin_cli_main_win32.cpp) runs the download over the same cores as the dialog and feeds
// what the download threads told (DeviceActivityBoard) into these.
//
//   PelorinCli.exe [--family pipe|driver] [--json FILE] [--write-timeout S] [--answer-timeout S]
//                  IMAGE
//   PelorinCli.exe --station [--log FILE] [--sha256 HEX] [--port LOCATION]... [--max-devices N]
//                  [--count N] [--reflash] [--database CONNECTION] [--name NAME]
//                  [--write-timeout S] [--answer-timeout S] IMAGE
//   PelorinCli.exe --list
//   PelorinCli.exe --help | --version
//
// --list takes no IMAGE and no other option; --station serves bulk-pipe devices only, and the
// station's options (station_options.h, as PelorinStation.exe takes them) belong to it alone.
// Every text and line made here comes without a final
// newline; line breaks inside a box's or a device's message become one space (a run of them one
// space, those at either end are dropped), so that each stays one console line.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "database_state.h"
#include "device_activity.h"
#include "pelorin_version.h"
#include "run_results.h"
#include "station_core.h"
#include "station_options.h"

namespace pelorin::cli {

inline constexpr char CLI_NAME[] = "PelorinCli";
inline constexpr char CLI_VERSION[] = PELORIN_VERSION_TEXT;  // the project's version

enum class Family { Pipe, Driver };
enum class Command { Download, Station, List, Help, Version };

struct Options {
  Command command = Command::Download;
  Family family = Family::Pipe;
  std::string jsonPath;  // "" none, "-" standard output
  // The IMAGE and the pipe workers' limits (the dialog's by default) serve the one-shot forms
  // and --station; the rest is the station's alone.
  station::StationSetup setup;
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

// What Ctrl+C (or a console close) does to a run: it cancels the run until the run's result is
// settled (every device has ended); a later one changes nothing. Any thread.
class RunCancellation {
 public:
  // Ctrl+C came. True when it cancels the run (the result was not settled yet).
  bool Request();
  // Every device has ended, or the run ended otherwise: from now on a request changes nothing.
  // Returns whether the run was cancelled before.
  bool Settle();
  bool cancelled() const;

 private:
  mutable std::mutex mutex_;
  bool cancelled_ = false;
  bool settled_ = false;
};

// The result of a run, as the record names it.
enum class RunResult { Verified, Failed, NoDevice, ImageError, Usage, Cancelled };
const char* RunResultName(RunResult result);  // "verified", "failed", "no-device", ...
// The exit status of a run with this result; a record that could not be written makes it
// EXIT_RECORD_NOT_WRITTEN whatever the result.
int ExitStatus(RunResult result, bool recordWritten = true);

// A device's result, as the record names it: "verified", "verification-error", "link-error",
// "image-error", "not-started".
const char* DeviceResultName(const DeviceActivity& device);

// How a run ended, from what the front end knows once every device has ended.
struct RunFacts {
  bool cancelled = false;   // Ctrl+C came before every device had ended
  bool imageError = false;  // the image cannot be opened, is 4 GiB or larger, or the front
                            // end's own read of it failed
  bool noDevice = false;    // no device ready (none, a probe or pipe-open failure, no
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

// The station's console lines.
// A unit's line when it ends, e.g.
//   "#17 port=Port_#0002.Hub_#0004 serial=SN0001: verified, 4194304 bytes in 2.1 s (2.0 MB/s)"
std::string StationUnitLine(const station::StationRecord& record);
// The status line rewritten in place, from the engine's counts: "flashing 3, waiting 1, verified
// 12, already verified 2, failed 1, cancelled 0, yield 92 %, 45.2 MB/s" (", not in the log N"
// before the yield once a record could not be written).
std::string StationStatusLine(const station::StationCounts& counts);
// The same with the database's words after it, on a station with a database:
//   "flashing 3, ..., 45.2 MB/s | database offline since 10:42, 37 records waiting"
std::string StationStatusLine(const station::StationCounts& counts,
                              const std::optional<station::DatabaseState>& database);
// Whether the console tells the database's new state on a line of its own (standard error):
// when it is first known, when the database comes or goes, and once it has caught up after it
// came back with records waiting. The back and forth between up to date and a record on its way,
// as records flow, is no news; a station still connecting says nothing.
bool DatabaseNews(const std::optional<station::DatabaseState>& lastTold,
                  const station::DatabaseState& now);
// The last line: "station: 15 records, 12 verified, 2 already verified, 1 failed, 0 cancelled,
// 0 not in the log, yield 92 %" ("yield -" before the first flash).
std::string StationSummaryLine(const station::StationCounts& counts);
// One present device for --list: "INDEX PORT SERIAL PATH", "-" for an empty port or serial.
std::string ListLine(size_t index, const station::PresentDevice& device);

}  // namespace pelorin::cli
