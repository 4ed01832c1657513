// How the station engine tells a front end what happens: the one seam between the engine (the
// decisions and the Windows runner) and its faces, PelorinCli --station (console lines) and
// PelorinStation.exe (a board of tiles). A face only shows; it decides nothing.
//
// Every entry is called on an engine thread, named with each entry, and must return promptly:
// it must not block (no console write, no SendMessage to a window that may be busy, no box) and
// must not call back into the engine (StationRunner) from inside. A face hands what it is told
// to a thread of its own (a console writer, a window's message queue). Entries about one unit
// come in the order of its life: Arrived, then Waiting and/or Started, Progress, Ended, Departed;
// a unit's Ended comes only after its record is in the log (written and flushed, or its write
// failed), and before the engine counts the unit as ended; its Box (if any) after Ended and
// before Departed. A unit that waited and will not be flashed (the station is ending) is told
// NotStarted instead of Started.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "database_state.h"
#include "station_core.h"

namespace pelorin::station {

// One unit as the engine knows it: the core's number for this presence, and where it sits.
struct StationUnit {
  uint64_t number = 0;
  std::string port;    // location path or location information; may be empty
  std::string serial;  // may be empty
  std::string path;    // its interface path
};

enum class UnitPhase {
  Sending,    // the image goes out: `bytesSent` of `imageSize`
  Verifying,  // the unit checks the byte sum ("RECEIVE" came)
};

class StationObserver {
 public:
  virtual ~StationObserver() = default;

  // The runner's thread: a new unit is present (allowed by --port).
  virtual void Arrived(const StationUnit& unit) = 0;
  // The runner's thread: the unit waits for a free slot.
  virtual void Waiting(const StationUnit& unit) = 0;
  // The runner's thread: its pipes are being opened (again at each retry while they do not
  // open); its worker starts next.
  virtual void Started(const StationUnit& unit) = 0;
  // The unit's worker thread: how far it is. Sending comes once its worker runs (0 bytes), then
  // after every data write (often: keep it cheap); Verifying once.
  virtual void Progress(const StationUnit& unit, UnitPhase phase, uint64_t bytesSent,
                        uint64_t imageSize) = 0;
  // The thread that wrote the record (the unit's worker, or the runner's for a unit that ended
  // without a download): the unit ended with `record`, as the log has it. `written` false: the
  // log could not take it (LogFailed follows).
  virtual void Ended(const StationUnit& unit, const StationRecord& record, bool written) = 0;
  // The unit's worker thread, after Ended and before Departed: the box the dialog would show for
  // it, as "caption" and "text" (a console prints it; a board may show it in the unit's tile).
  // None for a unit the operator's stop cut short: its record says so.
  virtual void Box(const StationUnit& unit, std::string_view caption, std::string_view text) = 0;
  // The runner's thread, or the thread that recorded the unit whose log line failed: the unit
  // waited for a slot and will not be flashed, as the station is ending (stopped, or a log line
  // could not be written). It gets no record; it stays until it is gone (Departed).
  virtual void NotStarted(const StationUnit& unit) = 0;
  // The runner's thread, or the thread that recorded a unit that had already left: the unit is
  // gone and forgotten; the next unit in its port is a new one.
  virtual void Departed(const StationUnit& unit) = 0;
  // The thread whose record could not be written: `text` says why. Nothing new starts from
  // now on; units in flight finish.
  virtual void LogFailed(const StationRecord& record, const std::string& text) = 0;
  // On a station with a database (--database):
  // The shipper's thread: the database's state changed (connected and up to date, records on
  // their way, offline since when with how many records waiting). Comes as often as records flow;
  // a face shows the newest. Never before Run, never after Finished.
  virtual void Database(const DatabaseState& state) = 0;
  // The shipper's thread: something about the database an operator must see, one line: a record
  // that the database holds with other content (it was not stored), a line of the log that is no
  // record, the fleet's schema gone from the database. Nothing is stopped by it.
  virtual void DatabaseAlarm(const std::string& text) = 0;

  // The runner's thread, last: nothing runs any more; the station ends with `exitStatus`.
  virtual void Finished(int exitStatus, const StationCounts& counts) = 0;
};

}  // namespace pelorin::station
