// The station's decisions, apart from any window, handle or thread: PelorinCli --station flashes
// every bulk-pipe device as it arrives. Each poll of the interface class gives the devices
// present now; the core decides which of them start (at once while a slot is free, the others in
// arrival order), which are skipped because the production log shows their unit verified with
// this image, which are forgotten (their interface left, so the next unit in that port is new),
// when a device whose pipes do not open yet has been retried long enough, what each device's
// production-log record says, and when the station ends with which exit status. The Windows glue
// (station_win32.cpp) enumerates, opens, runs the workers and writes the log.
//
// Thread-safe: the station's loop polls, and each device's worker thread tells its device's
// progress and end.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "cli_core.h"
#include "device_activity.h"

namespace pelorin::cli {

// How often the station looks for devices.
inline constexpr uint32_t STATION_POLL_INTERVAL_MS = 500;
// How long a device whose pipes do not open is tried again (one that has just arrived may not
// be ready yet) before it is recorded as a link error.
inline constexpr uint32_t STATION_OPEN_RETRY_MS = 5000;

// One present interface as the enumeration shows it (UTF-8).
struct PresentDevice {
  std::string path;      // the device interface path
  std::string instance;  // its device instance id
  std::string port;      // its location path, else its location information, else empty
};

// The serial number in a USB device instance id: the last part of USB\VID_xxxx&PID_xxxx\<serial>
// when it holds no '&' (Windows makes ids with '&' for units without a serial number); else
// empty.
std::string SerialOf(std::string_view instance);

// Whether `port` is allowed by the --port patterns: every port when there are none; a pattern
// matches exactly, or as a prefix when it ends with '*'.
bool PortAllowed(std::string_view port, const std::vector<std::string>& patterns);

// What an existing production log tells a station that starts on it.
struct LogMemory {
  uint64_t lastSequence = 0;              // of its complete records; 0 for none
  std::set<std::string> verifiedSerials;  // units it shows verified with the image's SHA-256
  bool tornTail = false;  // the last line has no final newline (the writer died): it is no
                          // record, and a newline must end it before the next record
};
// Reads a log's content. A line that is not a JSON object (garbage, NUL bytes of a torn write)
// is no record and is skipped.
LogMemory ReadLogMemory(std::string_view content, const std::string& sha256);
// The same, a piece of the content at a time (a log grows for as long as the line runs).
class LogMemoryReader {
 public:
  explicit LogMemoryReader(std::string sha256) : sha256_(std::move(sha256)) {}
  void Add(std::string_view piece);
  LogMemory Finish();

 private:
  void Line(std::string_view line);
  const std::string sha256_;
  std::string partial_;  // the content after the last newline so far
  LogMemory memory_;
};

// The image as the station pinned it.
struct StationImage {
  std::string path;  // UTF-8, full
  uint64_t size = 0;
  uint32_t byteSum = 0;
  std::string sha256;  // lower-case hex
};

// One production-log record: one JSON object on one line (no newline), UTF-8.
//   {"time": "2026-12-08T07:01:02.345Z", "station": "<computer name>", "sequence": 17,
//    "port": "...", "path": "...", "instance": "...", "serial": "...",
//    "image": {"path": "...", "size": N, "byteSum": N, "sha256": "..."}, "result": "...",
//    "bytesSent": N, "seconds": 3.1, "message": "..."}
struct StationRecord {
  int64_t unixMs = 0;
  std::string station;
  uint64_t sequence = 0;
  PresentDevice device;
  std::string serial;
  std::string result;  // a one-shot device result, "already-verified" or "cancelled"
  uint64_t bytesSent = 0;
  uint32_t ms = 0;
  std::string message;
};
std::string RecordLine(const StationRecord& record, const StationImage& image);

// "2026-12-08T07:01:02.345Z" for milliseconds since 1970 (UTC).
std::string IsoTimeMs(int64_t unixMs);

struct StationSettings {
  std::vector<std::string> ports;  // --port patterns
  int32_t maxDevices = STATION_DEFAULT_DEVICES;
  uint64_t count = 0;  // 0: no limit
  bool reflash = false;
};

// What the glue must do after a poll, in this order.
struct StationAction {
  enum Kind {
    Open,    // open the device's pipes and start its worker; tell Opened or OpenFailed
    Record,  // the device ended without a download: write `record` (Recorded says how it went)
  } kind;
  uint64_t device = 0;  // the core's number for the device
  PresentDevice present;
  std::string serial;
  StationRecord record;  // Record: all but time, station and sequence
};

class StationCore {
 public:
  StationCore(StationSettings settings, LogMemory memory);

  // One look at the devices present now. Forgets the devices that left, notes the ones that
  // arrived, and returns what to do now.
  std::vector<StationAction> Poll(const std::vector<PresentDevice>& present);

  // The glue's answers to an Open action. Opened: the worker runs (it tells Sent and Ended).
  void Opened(uint64_t device, uint32_t now);
  // The station stopped before the glue carried out the Open action: the device is left alone.
  void Withdraw(uint64_t device);
  // The pipes did not open (`message` says how): tried again at the next polls until
  // STATION_OPEN_RETRY_MS have passed since the first try; then the device is remembered and
  // the record of its link error returned, to be written now (Recorded says how it went).
  std::optional<StationRecord> OpenFailed(uint64_t device, uint32_t now, std::string message);

  // The worker's reports.
  void Sent(uint64_t device, uint64_t bytesSent, uint32_t tick);
  // The device's download ended: its record (all but time, station and sequence) to write.
  StationRecord Ended(uint64_t device, DeviceOutcome outcome, uint32_t ms, std::string message);
  // A record was written (or not: then the station starts nothing new and ends exit 4). The
  // device counts as ended only from here on.
  void Recorded(uint64_t device, bool written);

  // Ctrl+C (or a console close): nothing new starts; the devices in flight are cancelled by the
  // glue and their records say "cancelled".
  void Stop();
  bool stopped() const;
  // Devices waiting for a slot.
  size_t Waiting() const;

  // Nothing runs and nothing more will start: after Stop, after a record that could not be
  // written, or once --count records were written.
  bool Finished() const;
  int ExitStatus() const;

  // "flashing 3, waiting 1, verified 12, failed 1, 45.2 MB/s" (the console's status line).
  std::string StatusLine(uint32_t now) const;
  // The last line: "station: 15 records, 14 verified, 1 failed, 0 cancelled".
  std::string SummaryLine() const;
  // A device's line when it ends, e.g.
  //   "#17 port=Port_#0002.Hub_#0004 serial=SN0001: verified, 4194304 bytes in 2.1 s (2.0 MB/s)"
  static std::string DeviceLine(const StationRecord& record);

 private:
  enum class State {
    Queued,     // waiting for a slot (or for its pipes to open)
    Running,    // holds a slot: being opened, flashed, or its record being written
    Recording,  // its record (no download) is being written
    Done,       // remembered until its interface leaves
  };
  struct Entry {
    uint64_t number = 0;
    PresentDevice device;
    std::string serial;
    State state = State::Queued;
    bool tried = false;        // its pipes were tried (and failed) before
    uint32_t firstTry = 0;     // when they were first tried
    std::string result;        // once it ends: what its record says
    uint64_t bytesSent = 0;    // while it runs
    uint32_t firstDataTick = 0;  // when its data began (its rate on the status line)
    bool sending = false;
  };

  Entry* Find(uint64_t device);
  StationRecord RecordOf(const Entry& entry, std::string result) const;
  bool MayStartLocked() const;

  mutable std::mutex mutex_;
  const StationSettings settings_;
  std::set<std::string> verifiedSerials_;
  std::map<std::string, Entry> entries_;     // by interface path
  std::map<uint64_t, std::string> paths_;    // device number to interface path
  std::deque<std::string> queue_;            // paths waiting for a slot, in arrival order
  uint64_t nextNumber_ = 1;
  int32_t running_ = 0;      // devices that hold a slot
  uint64_t recordsDue_ = 0;  // records handed out (with or without a download), not yet Recorded
  uint64_t recorded_ = 0, verified_ = 0, failed_ = 0, cancelled_ = 0;
  bool stopped_ = false;
  bool recordFailed_ = false;
};

}  // namespace pelorin::cli
