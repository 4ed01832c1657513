// The fleet's store on Windows: PostgreSQL through ODBC ("PostgreSQL Unicode" driver), one
// connection per store.
//
// The driver as it is known to behave: only the wide (W) functions, since the driver locks a
// connection into ANSI or Unicode by its first call and ANSI mangles any text outside the code
// page (and Wine's odbc32.dll has no SQLDriverConnectA); every value a bound SQL_C_WCHAR
// parameter of a prepared statement, cast in the SQL where the column is not text, so that no SQL
// text is ever built from a value; SQL_ATTR_LOGIN_TIMEOUT (libpq's connect_timeout) and
// SQL_ATTR_QUERY_TIMEOUT (a server-side statement timeout) bound every call while the server
// answers, and TCP keepalives (asked for in the connection string by the factory, see the README)
// where the network dies silently. Failures are told by SQLSTATE: 08xxx (08001 a failed connect,
// 08S01 a lost connection), timeouts and a server shutting down are Unreachable; 28xxx, or a
// failed connect whose message says the authentication failed, LoginRefused; 42P01 NoSchema.
// A connection-class failure frees the connection's handles at once (Connected() turns false), as
// Disconnect does after any other; the next Connect allocates new ones: the driver manager's
// pooling is never asked for.
//
// The connection string is handed to the driver and kept nowhere else; nothing this store says
// (StoreResult::text) holds it.
//
// Thread: as every FleetStore, one thread at a time (the shipper's, or the lookup's).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "fleet_store.h"

namespace pelorin::fleet {

struct OdbcStoreOptions {
  uint32_t loginTimeoutSeconds = 5;
  uint32_t queryTimeoutSeconds = 10;
};

class OdbcStore : public FleetStore {
 public:
  // `connection`: the --database text (UTF-8): a connection string or "DSN=name".
  explicit OdbcStore(std::string connection, OdbcStoreOptions options = {});
  ~OdbcStore() override;
  OdbcStore(const OdbcStore&) = delete;
  OdbcStore& operator=(const OdbcStore&) = delete;

  StoreResult Connect() override;
  void Disconnect() override;
  bool Connected() const override;
  StoreResult SchemaVersion(int* version) override;
  StoreResult LastSequence(const std::string& log, uint64_t* last) override;
  StoreResult InsertBatch(const std::vector<FleetRow>& rows,
                          std::vector<RowOutcome>* outcomes) override;
  StoreResult LatestOfSerial(const std::string& serial,
                             std::optional<FleetLatest>* latest) override;

 private:
  struct Connection;
  StoreResult Insert(const std::vector<FleetRow>& rows, std::vector<RowOutcome>* outcomes);
  StoreResult Latest(const std::string& serial, std::optional<FleetLatest>* latest);
  StoreResult Checked(StoreResult result);
  const std::string connection_;
  const OdbcStoreOptions options_;
  std::unique_ptr<Connection> link_;
};

}  // namespace pelorin::fleet
