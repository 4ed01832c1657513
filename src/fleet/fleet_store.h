// The fleet's database as the station sees it: a handful of operations on one connection.
// Windows: ODBC to PostgreSQL (odbc_store_win32.h). Native tests: a store in memory that can be
// told to fail.
//
// One store is one connection, used by one thread: the shipper has a store of its own, the fleet
// lookup another. Every operation blocks its caller until the database answers or a timeout of
// the store's own passes (the login timeout for Connect, the query timeout for the others); none
// may be called on a thread that must not wait (the runner's loop, a worker, a face's window).
//
// After any failure the caller calls Disconnect and, when it wants the database again, Connect:
// a connection that failed once is never used again (a lost connection, a server restarted or a
// connection ended from the server's side all look like this, and the store cannot tell a
// broken connection from a slow one). An operation called while not connected fails with
// Unreachable without touching the database.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "fleet_row.h"

namespace pelorin::fleet {

struct StoreResult {
  enum Kind {
    Ok,
    Unreachable,   // no connection, or it was lost (SQLSTATE 08xxx, a timeout, the server shut
                   // down or ended the connection): try again later on a fresh connection
    LoginRefused,  // the server refused the login (28xxx: a wrong password or user, no access)
    NoSchema,      // the fleet's tables are not in the database (sql/pelorin-fleet.sql not applied)
    Failed,        // anything else the database refused; `text` says what
  } kind = Ok;
  // The database's own words (SQLSTATE and message); never the connection string.
  std::string text;

  bool ok() const { return kind == Ok; }
  static StoreResult Success() { return {}; }
};

// How one row of a batch went.
enum class RowOutcome {
  Stored,     // the row is new
  Same,       // a row with its (log, sequence) was there with the same content: a resend
  Different,  // a row with its (log, sequence) was there with other content: an alarm
};

// A unit's latest record anywhere in the fleet.
struct FleetLatest {
  std::string result;
  std::string imageSha256;
  std::string station;
  std::string time;  // as the log wrote it
};

class FleetStore {
 public:
  virtual ~FleetStore() = default;

  // Opens a fresh connection (any earlier one is dropped first). Blocks up to the login timeout.
  virtual StoreResult Connect() = 0;
  // Drops the connection and everything prepared on it. Does not wait for the server.
  virtual void Disconnect() = 0;
  virtual bool Connected() const = 0;

  // The version row of the fleet's schema (the highest, if several). NoSchema when the tables are
  // not there.
  virtual StoreResult SchemaVersion(int* version) = 0;
  // Where the log `log` stands in the database: its highest sequence, 0 when it has none.
  virtual StoreResult LastSequence(const std::string& log, uint64_t* last) = 0;
  // Adds `rows` in one transaction, each with its outcome (same order, same count) in
  // `outcomes`. A row whose key is there already is not written again; its content is compared
  // (every field but the database's receive time). On any failure nothing of the batch is kept.
  virtual StoreResult InsertBatch(const std::vector<FleetRow>& rows,
                                  std::vector<RowOutcome>* outcomes) = 0;
  // The latest record (by its time) of the unit with serial number `serial` in any station's
  // log; empty when the fleet has none.
  virtual StoreResult LatestOfSerial(const std::string& serial,
                                     std::optional<FleetLatest>* latest) = 0;
};

// What a station that starts with a database learns from it.
struct FleetCheck {
  enum Kind {
    Ready,         // connected, the schema is this program's version
    Unreachable,   // the station goes on without the database and ships once it can
    LoginRefused,  // the same, and the operator must fix the credentials
    NoSchema,      // the station must not start (exit 2): `line` names the file to apply
    OtherVersion,  // the same
  } kind = Ready;
  std::string line;  // for standard error / the board's banner; empty when Ready
  // Whether the station must refuse to start.
  bool refuses() const { return kind == NoSchema || kind == OtherVersion; }
};

// Connects `store` (when it is not) and checks its schema version. Blocks (up to the store's
// login and query timeouts): the station's start, before any unit. The store stays connected
// when Ready, and is disconnected otherwise.
FleetCheck CheckFleetStore(FleetStore& store);

}  // namespace pelorin::fleet
