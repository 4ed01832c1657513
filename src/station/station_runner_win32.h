// The station engine on Windows: pins and hashes the image, opens the production log and reads
// what it remembers, then lists the bulk-pipe interface class every STATION_POLL_INTERVAL_MS and
// runs a worker for each unit the station core starts, each on its own thread under the
// station's one watchdog, until stopped (Ctrl+C, a console close, the board's Stop) or --count
// records. It tells a front end through StationObserver; PelorinCli --station and
// PelorinStation.exe are two faces over it.
//
// With a database (OpenFleet), two threads of the fleet run beside it for the station's life,
// each with a connection of its own: the shipper, which reads the log through a handle of its own
// and sends the database every record the database lacks (told after each append, never waited
// for), and the fleet lookup, which answers "is this unit already verified anywhere?" for the
// core within STATION_FLEET_WAIT_MS. Nothing of the line waits on the database.
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "database_state.h"
#include "log_memory.h"
#include "pinned_image_win32.h"
#include "pipe_download.h"
#include "pipe_watchdog.h"
#include "production_log_win32.h"
#include "station_core.h"
#include "station_observer.h"
#include "station_options.h"

namespace pelorin::station {

// What the station does with what is left to ship at its end: at most this long, then the
// shipper stops (what it did not send waits in the log for the next start).
inline constexpr uint32_t STATION_FLEET_FINAL_MS = 2000;

// Usable once: PinImage, (CheckSha256), (OpenFleet), OpenLog, Run, in this order; Stop from any
// thread at any time. Lives until the process ends (a worker, or a fleet thread held in a call to
// the database, may still be ending while the front end returns).
class StationRunner {
 public:
  StationRunner();
  // Only a runner that never ran a station may go (one whose image read was stopped, say).
  ~StationRunner();
  StationRunner(const StationRunner&) = delete;
  StationRunner& operator=(const StationRunner&) = delete;

  enum class Step { Done, Refused, Stopped };
  // Pins the image and reads it once: size, byte sum, SHA-256. `progress` (may be empty) gets
  // the bytes read so far, from this thread. Refused: it cannot be opened or read, is empty, or
  // is 4 GiB or more (text() says so, as the dialog's box would).
  Step PinImage(const std::string& imagePath,
                const std::function<void(uint64_t done, uint64_t size)>& progress = {});
  const StationImage& image() const { return image_; }
  // Refused when `expected` (lower-case hex, "" none) is not the image's SHA-256.
  Step CheckSha256(const std::string& expected);
  // Opens the production log ("" none) and reads what it remembers. Refused: in use by another
  // station or program, or it cannot be opened or read.
  Step OpenLog(const std::string& logPath);
  // Before Run, with a database: connects to it and checks the fleet's schema (blocks up to
  // the database's login and query timeouts, 5 s and 10 s). Refused when the database has no
  // fleet schema or another version (text() names the file to apply). Done otherwise, also when
  // the database cannot be reached or refused the login: note() then says so, and the station
  // goes on without it and ships its log once it can. `name` is the station's in its records ("":
  // the computer's name).
  Step OpenFleet(const std::string& connection);
  void SetName(const std::string& name) { log_.SetStation(name); }
  // Why the last step was refused, in the words both faces show (without a program's name).
  const std::string& text() const { return text_; }
  // What OpenFleet found that an operator must read although the station goes on ("" none).
  const std::string& note() const { return note_; }

  // Runs the station on this thread until it has finished; returns its exit status. The
  // observer's entries come as StationObserver says.
  int Run(const StationSettings& settings, const PipeCallLimits& limits,
          StationObserver& observer);

  // Ctrl+C: nothing new starts (nor a step that reads the image or the log); every call of the
  // units in flight is cancelled at once, and they are recorded as cancelled. Any thread.
  void Stop();
  // What the station has done so far (zero before Run). Any thread but an observer entry.
  StationCounts Counts() const;
  // The database's state; nothing without a database. Any thread but an observer entry.
  std::optional<DatabaseState> Database() const;

 private:
  class UnitReporter;
  struct WorkerStart;
  class Fleet;
  static DWORD WINAPI WorkerThread(LPVOID parameter);
  // Starts the fleet's threads (once they run); false when the log cannot be read for shipping.
  void StartFleet();
  // Gives the shipper at most STATION_FLEET_FINAL_MS for what is left, then stops both threads.
  void EndFleet();

  void Carry(const std::vector<StationAction>& actions);
  // Starts the unit's worker, which opens its pipes and flashes it.
  void OpenUnit(const StationAction& action);
  // Writes a unit's record (durable before anything hears of its end) and tells the observer
  // Ended (and LogFailed). Returns whether it was written.
  bool WriteRecord(const StationUnit& unit, StationRecord& record);
  // The core counts the unit as ended (and carries what that leaves to do: a Departed, ...).
  void Counted(const StationUnit& unit, bool written);
  // Both, for a unit that ended without a download (no box).
  void RecordUnit(const StationUnit& unit, StationRecord record);
  static StationUnit UnitOf(const StationAction& action);

  std::atomic<bool> stop_{false};
  HANDLE stopEvent_;  // manual reset: set by Stop (pauses and waits end at once)
  HANDLE wake_;       // auto reset: a unit's record was written, a slot may be free
  HANDLE answered_;   // auto reset: the fleet answered a question about a unit
  PinnedImage pinned_;
  StationImage image_;
  ProductionLog log_;
  LogMemory memory_;
  std::string text_;
  std::string note_;
  std::unique_ptr<Fleet> fleet_;  // with a database, once OpenFleet was done

  std::unique_ptr<Clock> clock_;
  std::unique_ptr<PinnedImageSource> source_;
  PipeCallLimits limits_;
  StationObserver* observer_ = nullptr;

  mutable std::mutex mutex_;  // guards the four below, and fleet_ while OpenFleet sets it
  std::unique_ptr<StationCore> core_;         // once Run began
  std::shared_ptr<PipeWatchdog> watchdog_;    // once Run began
  std::map<uint64_t, uint64_t> watchOfUnit_;  // the watchdog's number of each running worker
  std::vector<StationAction> pending_;        // what a stop left for the runner's thread
};

}  // namespace pelorin::station
