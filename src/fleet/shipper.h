// The shipper: sends the station's production log to the fleet's database, every record exactly
// once and in sequence order, without ever holding the line.
//
// How the engine uses it: after the start check (CheckFleetStore) it makes one Shipper with a
// store of its own (a connection used by nobody else), a LogFileSource on the log file and the
// log's identity, and runs Run() on a thread of its own. After every record it appends (written
// and flushed) it calls Notify(), which only sets a flag: nothing of the line waits on the
// database. Faces read Status() (any thread) or hear StatusChanged. At the end the engine calls
// Stop() and joins the thread: Run returns once the store's call in progress has returned, which
// the store's own timeouts bound. Records the database did not get by then are in the log and go
// at the next start.
//
// Rules: at start and after every reconnect it asks the database where its log stands
// (LastSequence) and reads the log after that point, at most `batchRows` records per transaction;
// the record at that point goes again with the first batch, so that a row there with other content
// is found.
// Any failure drops the connection (never used again) and the next try, on a fresh one, waits a
// backoff that doubles from `firstBackoffMs` up to `maxBackoffMs`. A record that the database
// holds with other content is an alarm (Alarm), and shipping goes on after it; so it does after a
// line that is no record.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "download_report.h"
#include "fleet_log_source.h"
#include "fleet_store.h"

namespace pelorin::fleet {

struct ShipperOptions {
  size_t batchRows = 500;
  uint32_t firstBackoffMs = 500;
  uint32_t maxBackoffMs = 8000;
  // While up to date and not told of a new record, it looks at the log this often anyway.
  uint32_t idleLookMs = 1000;
};

struct ShipperStatus {
  enum Link {
    Starting,  // not connected yet, and no try has failed
    UpToDate,  // connected, every record of the log is in the database
    Sending,   // connected, records are on their way
    Offline,   // the last try failed; another follows after the backoff
  } link = Starting;
  // Offline: since when (ms since 1970, UTC), and why (the database's words).
  int64_t offlineSinceUnixMs = 0;
  std::string error;
  // Records of the log that the database does not have yet, as far as the shipper knows: empty
  // before it first learned where the database stands.
  std::optional<uint64_t> waiting;
  // The highest sequence of the log that the database holds, as far as the shipper knows (the
  // station's end waits, a little, for its last record to be there).
  uint64_t acked = 0;
  uint64_t shipped = 0;  // rows stored by this shipper since its start
  uint64_t alarms = 0;   // alarms raised since its start

  bool operator==(const ShipperStatus&) const = default;
};

// What the shipper tells the engine. Called on the shipper's thread; must return promptly (no
// console write, no SendMessage, no box) and must not call back into the shipper.
class ShipperListener {
 public:
  virtual ~ShipperListener() = default;
  // The status changed (the link, the error, or the count of records waiting).
  virtual void StatusChanged(const ShipperStatus& status) = 0;
  // Something an operator must see: a record in the database with other content, a line of the
  // log that is no record, a database without the fleet's schema. One line of text.
  virtual void Alarm(const std::string& text) = 0;
};

class Shipper {
 public:
  // `unixMs`: the wall clock (ms since 1970, UTC) for "offline since". `listener` may be null.
  Shipper(std::string log, FleetLogSource& source, std::unique_ptr<FleetStore> store,
          Clock& clock, std::function<int64_t()> unixMs, ShipperListener* listener,
          ShipperOptions options = {});
  ~Shipper();
  Shipper(const Shipper&) = delete;
  Shipper& operator=(const Shipper&) = delete;

  // The shipper's own thread: works until Stop. Waits (without spinning) for a new record, the
  // end of a backoff, or Stop.
  void Run();
  // One round of Run's work, for callers that drive it themselves: connects when due, sends one
  // batch. Returns the milliseconds to wait before the next round (0: at once), or UINT32_MAX
  // when only a new record (or idleLookMs) calls for one. Not while Run runs.
  uint32_t Step();

  // Any thread, never blocks: a record was appended to the log.
  void Notify();
  // Any thread: Run returns after the store's call in progress.
  void Stop();
  // Any thread: a sleeping Run looks at its clock again (a test's fake clock has moved).
  void Wake();
  // Any thread.
  ShipperStatus Status() const;

 private:
  uint32_t ConnectRound(uint32_t now);
  uint32_t Failed(const StoreResult& result, uint32_t now);
  void Publish(ShipperStatus status);
  void Alarm(const std::string& text);

  const std::string log_;
  FleetLogSource& source_;
  std::unique_ptr<FleetStore> store_;
  Clock& clock_;
  const std::function<int64_t()> unixMs_;
  ShipperListener* const listener_;
  const ShipperOptions options_;

  // The shipper's thread only.
  bool connected_ = false;
  uint64_t acked_ = 0;         // the database holds this log up to here (while connected_)
  bool ackedKnown_ = false;    // acked_ was learnt from the database at least once
  uint32_t backoffMs_ = 0;     // the next backoff
  uint32_t retryAt_ = 0;       // no connection before this tick
  bool retryPending_ = false;  // retryAt_ is in force
  bool schemaAlarmed_ = false;  // the missing schema was told since the last connection
  bool resendPoint_ = false;    // the next batch begins with the record at acked_ (a check)
  bool beyondAlarmed_ = false;  // a database ahead of the log was told

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  bool notified_ = false;
  bool stopped_ = false;
  bool woken_ = false;
  ShipperStatus status_;
};

}  // namespace pelorin::fleet
