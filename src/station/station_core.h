// The station's decisions, apart from any window, handle or thread: a station flashes every
// bulk-pipe device as it arrives. Each listing of the interface class gives the devices present
// now; the core decides which units are new (a unit is known by its presence, from the listing
// that first shows it until it is really gone), which start (at once while a slot is free, the
// others in arrival order), which are skipped because the latest production-log record of their
// serial number with this image says they verified, which are gone (and, if they still run, are
// ended at once), when a device whose pipes do not open yet has been retried long enough, what
// each unit's production-log record says, and when the station ends with which exit status. The
// Windows runner (station_runner_win32.cpp) lists, opens, runs the workers and writes the log.
//
// Thread-safe: the runner's loop polls, and each device's worker thread tells its device's
// progress and end.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "download_report.h"
#include "fleet_lookup.h"
#include "log_memory.h"
#include "run_results.h"

namespace pelorin::station {

// How often the station lists the devices.
inline constexpr uint32_t STATION_POLL_INTERVAL_MS = 500;
// How long a device whose pipes do not open is tried again (one that has just arrived may not
// be ready yet) before it is recorded as a link error.
inline constexpr uint32_t STATION_OPEN_RETRY_MS = 5000;
// A unit that one complete listing misses is gone only when a complete listing at least this
// much later misses it too (one listing may miss a unit that is there).
inline constexpr uint32_t STATION_GONE_AFTER_MS = 500;
// The longest a unit with a serial number waits for the fleet's answer to "is it already
// verified?" before the station decides from its own log. It keeps its place meanwhile; the
// units behind it do not wait for it.
inline constexpr uint32_t STATION_FLEET_WAIT_MS = fleet::FLEET_ANSWER_WITHIN_MS;
// Units at once: the default and the most --max-devices allows.
inline constexpr int32_t STATION_DEFAULT_DEVICES = 16;
inline constexpr int32_t STATION_MAX_DEVICES = 64;
// The message of a unit that was pulled while it ran.
inline constexpr char TEXT_UNIT_REMOVED[] = "the unit was removed while it was being flashed";
// The message of a unit whose flash (or pipe open) the operator's stop cut short: Ctrl+C, the
// board's Stop, a console close, log-off or shut-down. Whatever error its cancelled call ran into
// is the stop's doing, not the unit's.
inline constexpr char TEXT_UNIT_CANCELLED[] =
    "the station was stopped while the unit was being flashed";
// The message of a unit whose pipes were still being tried when a log line could not be written:
// the station starts no more units, so it was never flashed.
inline constexpr char TEXT_UNIT_NOT_FLASHED[] =
    "not flashed: the station starts no more units since a log line could not be written";

// One present interface as a listing shows it (UTF-8).
struct PresentDevice {
  std::string path;      // the device interface path
  std::string instance;  // its device instance id
  std::string port;      // its location path, else its location information, else empty
  std::string openPath;  // the path as the runner opens it (Windows: 8-bit, as CreateFileA
                         // takes it); the core does not look at it
};

// The serial number in a USB device instance id: the last part of USB\VID_xxxx&PID_xxxx\<serial>
// when it holds no '&' (Windows makes ids with '&' for units without a serial number); else
// empty.
std::string SerialOf(std::string_view instance);

// Whether `port` is allowed by the --port patterns: every port when there are none; a pattern
// matches exactly, or as a prefix when it ends with '*'. Letters compare without regard to case,
// as Windows compares location paths.
bool PortAllowed(std::string_view port, const std::vector<std::string>& patterns);

// The image as the station pinned it.
struct StationImage {
  std::string path;  // UTF-8, full
  uint64_t size = 0;
  uint32_t byteSum = 0;
  std::string sha256;  // lower-case hex
};

// One production-log record: one JSON object on one line (no newline), UTF-8.
//   {"log": "<uuid>", "time": "2026-12-08T07:01:02.345Z", "station": "<--name or computer
//    name>", "sequence": 17, "port": "...", "path": "...", "instance": "...", "serial": "...",
//    "image": {"path": "...", "size": N, "byteSum": N, "sha256": "..."}, "result": "...",
//    "bytesSent": N, "seconds": 3.1, "message": "...", "knownFrom": "fleet|log|none"}
// "log" is the log's identity (LogIdentity), the same in every line of one log file, so that
// (log, sequence) names a record anywhere in the fleet. "knownFrom" says which knowledge decided
// whether the unit was already verified: "fleet" the fleet's database answered in time, "log" the
// station's own log (no database, no answer in time, or the database known unreachable), "none"
// nobody was asked (a unit without a serial number, known by its presence only, or --reflash).
struct StationRecord {
  std::string log;
  int64_t unixMs = 0;
  std::string station;
  uint64_t sequence = 0;
  PresentDevice device;
  std::string serial;
  std::string result;  // a device result (OutcomeName), "already-verified" or "cancelled"
  uint64_t bytesSent = 0;
  uint32_t ms = 0;
  std::string message;
  std::string knownFrom = "none";
};
std::string RecordLine(const StationRecord& record, const StationImage& image);

// A log's identity: a UUID of version 4 made of 16 random bytes, lower-case,
// "xxxxxxxx-xxxx-4xxx-yxxx-xxxxxxxxxxxx" (y one of 8, 9, a, b).
std::string LogIdentity(const uint8_t (&random)[16]);

// Whether a record's result counts as the unit holding this image, verified.
bool IsVerifiedResult(std::string_view result);

// What a record counts as in every figure a person reads (the console's status and summary, the
// board's header and its ports' tallies, the log's readers): one definition for all of them.
//   Verified         flashed, and the unit verified the image
//   AlreadyVerified  not flashed: the unit's latest record says it holds this image, verified
//   Failed           flashed (or meant to be) and failed: a verification error, a link error,
//                    an image error, not started
//   Cancelled        the operator's stop cut it short
// A flash is a Verified or a Failed record; already verified and cancelled units are none.
enum class RecordKind { Verified, AlreadyVerified, Failed, Cancelled };
RecordKind KindOf(std::string_view result);
inline bool IsFlash(RecordKind kind) {
  return kind == RecordKind::Verified || kind == RecordKind::Failed;
}
// Verified flashes of all flashes, in whole percent rounded to the nearest (2 of 3 is 67); -1
// before the first flash.
int YieldPercent(uint64_t verified, uint64_t failed);

// Records counted by kind. A record whose log line could not be written counts in `notInLog`
// only, whatever its result: the figures agree with what the log holds.
struct Tally {
  uint64_t verified = 0, alreadyVerified = 0, failed = 0, cancelled = 0, notInLog = 0;
  void Add(std::string_view result, bool written);
  uint64_t records() const { return verified + alreadyVerified + failed + cancelled + notInLog; }
  int yieldPercent() const { return YieldPercent(verified, failed); }
};

// The header's rate counts the flashes that verified within this window, over the window or the
// time since the start while that is shorter (at least a minute: the first units do not make a
// rate of thousands an hour).
inline constexpr uint32_t RATE_WINDOW_MS = 15 * 60 * 1000;
inline constexpr uint32_t RATE_MIN_WINDOW_MS = 60 * 1000;

struct StationSettings {
  std::vector<std::string> ports;  // --port patterns
  int32_t maxDevices = STATION_DEFAULT_DEVICES;
  uint64_t count = 0;  // 0: no limit
  bool reflash = false;
};

// What the runner must do, or tell its front end, after a listing (or Stop); in this order.
struct StationAction {
  enum Kind {
    Arrived,     // tell: a new unit is present (allowed by --port)
    Waiting,     // tell: it waits for a slot
    Open,        // open its pipes and start its worker (ask Proceed first); tell Started
    Record,      // it ended without a download: write `record`, then Recorded
    Cancel,      // it is gone while its worker runs: cancel the worker's calls at once
    Departed,    // tell: it is gone and forgotten
    NotStarted,  // tell: it waited for a slot and will not be flashed (the station is ending)
  } kind;
  uint64_t unit = 0;  // the core's number for the unit (one per presence)
  PresentDevice present;
  std::string serial;
  StationRecord record;  // Record: all but log, time, station and sequence
};

// What the station has done so far: every figure its faces show (the console's status line and
// summary, the board's header).
struct StationCounts {
  int32_t flashing = 0;  // units that hold a slot: being opened, flashed, or recorded
  size_t waiting = 0;    // units waiting for one
  Tally tally;           // the records so far
  double megabytesPerSecond = 0;  // of every unit sending now
  double unitsPerHour = 0;        // flashes that verified, per hour (RATE_WINDOW_MS)
  uint32_t elapsedMs = 0;         // since the station's first listing
};

class StationCore {
 public:
  // `fleet`: on a station with a database, the fleet's lookup (running on a thread of its own,
  // living longer than the core): a unit with a serial number is then decided on its latest
  // record anywhere in the fleet (fleet::DecideAlreadyVerified), asked when it arrives and waited
  // for at most STATION_FLEET_WAIT_MS; null without a database. `sha256`: the image's, lower-case
  // hex (what the fleet's answers are compared with).
  StationCore(StationSettings settings, LogMemory memory, fleet::FleetLookup* fleet = nullptr,
              std::string sha256 = {});

  // One listing of the devices present at `now` (ms, the runner's clock). `complete`: false when
  // the listing failed or could not describe every interface; it then forgets nobody. Notes the
  // units that arrived, decides which are gone, and returns what to do now.
  std::vector<StationAction> Poll(const std::vector<PresentDevice>& present, bool complete,
                                  uint32_t now);
  // The runner's thread, with a fleet: takes the fleet's answers that came since the last call
  // (and, for the questions that fell due unanswered, the fall-back to the log), and returns what
  // to do now for the units that waited for them (as Poll does). Never blocks on the database.
  std::vector<StationAction> FleetAnswers();
  // Milliseconds until a question of the fleet falls due unanswered (UINT32_MAX: none waits):
  // the runner sleeps no longer than this.
  uint32_t FleetDueInMs() const;

  // Asked by the runner just before it opens a unit of an Open action: false when the station
  // stopped or a record could not be written since the action was decided; the unit then starts
  // no more, and `instead` (if given) gets what to do now: its record when its pipes were tried
  // before, else NotStarted (or Departed when it is gone).
  bool Proceed(uint64_t unit, std::vector<StationAction>* instead = nullptr);
  // The pipes did not open (`message` says how): tried again at the next polls until
  // STATION_OPEN_RETRY_MS have passed since the first try (at once after Stop, a failed record,
  // or when the unit is gone); then its record of a link error is returned, to be written now
  // (then Recorded).
  std::optional<StationRecord> OpenFailed(uint64_t unit, uint32_t now, std::string message);

  // The worker's reports.
  void Sent(uint64_t unit, uint64_t bytesSent, uint32_t tick);
  // The unit's download ended: its record (all but time, station and sequence) to write.
  // `interrupted`: its calls were cancelled from outside (Ctrl+C, or the unit left) rather than
  // by their own limits. A verdict that came stands; after Ctrl+C an interrupted unit is
  // "cancelled"; a unit that left while it ran is a link error with TEXT_UNIT_REMOVED.
  StationRecord Ended(uint64_t unit, DeviceOutcome outcome, uint32_t ms, std::string message,
                      bool interrupted);
  // A record was written (or not: then the station starts nothing new and ends exit 4), at `now`
  // (the runner's clock). The unit counts as ended only from here on. Returns what to do now: Departed when the unit is
  // already gone (it is forgotten now); after the first record that could not be written, a
  // record for each unit whose pipes were being tried again and NotStarted for each unit that
  // waited for a slot.
  std::vector<StationAction> Recorded(uint64_t unit, bool written, uint32_t now);

  // Ctrl+C (or a console close, the board's Stop): nothing new starts; the runner cancels the
  // units in flight. Returns what to do now: a `cancelled` record for each unit whose pipes were
  // being tried again (it was touched, so it gets a record), and NotStarted for each unit that
  // waited for a slot.
  std::vector<StationAction> Stop();
  bool stopped() const;
  // A record could not be written.
  bool recordFailed() const;

  // Nothing runs and nothing more will start: after Stop, after a record that could not be
  // written, or once --count records were written.
  bool Finished() const;
  int ExitStatus() const;
  StationCounts Counts(uint32_t now) const;
  // Units waiting for a slot.
  size_t Waiting() const;

 private:
  enum class State {
    Queued,     // waiting for a slot (or for its pipes to open)
    Running,    // holds a slot: being opened, flashed, or its record being written
    Recording,  // its record (no download) is being written
    Done,       // its record is written; remembered until it is gone
  };
  struct Entry {
    uint64_t number = 0;
    PresentDevice device;
    std::string serial;
    State state = State::Queued;
    bool tried = false;          // its pipes were tried (and failed) before
    uint32_t firstTry = 0;       // when they were first tried
    bool missed = false;         // a complete listing missed it (at missedAt)
    uint32_t missedAt = 0;
    bool gone = false;           // it left while it ran or its record was being written
    bool waitingTold = false;    // a Waiting action told that it waits for a slot
    std::string result;          // once it ends: what its record says
    std::string openError;       // why its pipes did not open the last time they were tried
    uint64_t bytesSent = 0;      // while it runs
    uint32_t firstDataTick = 0;  // when its data began (its rate on the status line)
    bool sending = false;
    // Whether it is already verified, once decided: asked of the fleet (question, then answer),
    // else from the log alone; and which knowledge decided (its record's knownFrom).
    uint64_t question = 0;
    bool answered = false;
    std::optional<fleet::FleetAnswer> answer;
    bool alreadyVerified = false;
    std::string knownFrom = "none";
  };

  Entry* Find(uint64_t unit);
  StationRecord RecordOf(const Entry& entry, std::string result) const;
  bool MayStartLocked() const;
  // The unit at `path` is gone: forgotten now, or (running, recording) once its record is
  // written.
  void GoneLocked(std::map<std::string, Entry>::iterator it, std::vector<StationAction>* actions);
  void StartLocked(std::vector<StationAction>* actions);
  // Decides whether the unit is already verified; false while it waits for the fleet's answer
  // (asked here the first time).
  bool DecideLocked(Entry& entry);
  // The station starts no more units: each unit that waits for its pipes to be tried again is
  // recorded (`result`, `message`), each that waits for a slot is told it will not start.
  void EndQueueLocked(const std::string& result, const std::string& message,
                      std::vector<StationAction>* actions);
  static StationAction Tell(StationAction::Kind kind, const Entry& entry);

  mutable std::mutex mutex_;
  const StationSettings settings_;
  LogMemory memory_;                          // what the log says of each serial, kept current
  fleet::FleetLookup* const fleet_;           // null without a database
  const std::string sha256_;
  std::map<uint64_t, std::string> questions_;  // the fleet's open questions: unit's path
  std::map<std::string, Entry> entries_;      // the units present, by interface path
  std::map<uint64_t, std::string> paths_;     // unit number to interface path
  std::map<uint64_t, Entry> leaving_;         // gone units whose record is still to be written
  std::deque<std::string> queue_;             // paths waiting for a slot, in arrival order
  uint64_t nextNumber_ = 1;
  int32_t running_ = 0;      // units that hold a slot
  uint64_t recordsDue_ = 0;  // records handed out (with or without a download), not yet Recorded
  Tally tally_;                    // the records written (or not) so far
  std::deque<uint32_t> verifiedAt_;  // when flashes verified, within RATE_WINDOW_MS
  bool started_ = false;           // the first listing came (at startedAt_)
  uint32_t startedAt_ = 0;
  bool stopped_ = false;
  bool recordFailed_ = false;
};

}  // namespace pelorin::station
