#include "odbc_store_win32.h"

#include <windows.h>
// The ODBC headers after windows.h.
#include <sql.h>
#include <sqlext.h>
#include <sqlucode.h>

#include <map>
#include <set>

#include "connection_string.h"
#include "run_results.h"
#include "text_win32.h"

namespace pelorin::fleet {
namespace {

// The statements, each prepared once per connection. Every value is a parameter; a column that
// is not text gets its parameter through a cast.
// Rows go in statements of up to this many rows each (one round trip for them all).
constexpr size_t kRowsPerInsert = 100;
// The insert of `rows` rows: the keys it stored come back.
std::wstring InsertSql(size_t rows) {
  std::wstring sql =
      L"INSERT INTO pelorin_records (log, sequence, time, station, port, path, instance, serial, "
      L"image_path, image_size, image_byte_sum, image_sha256, result, bytes_sent, seconds, "
      L"message, known_from) VALUES ";
  for (size_t i = 0; i < rows; ++i) {
    sql += i == 0 ? L"" : L", ";
    sql += L"(CAST(? AS uuid), CAST(? AS bigint), CAST(? AS timestamptz), ?, ?, ?, ?, ?, ?, "
           L"CAST(? AS bigint), CAST(? AS bigint), ?, ?, CAST(? AS bigint), CAST(? AS numeric), "
           L"?, ?)";
  }
  return sql + L" ON CONFLICT (log, sequence) DO NOTHING RETURNING log::text, sequence::text";
}
// Whether the row under a key that was there already has the same content (a row's parameters
// as the insert takes them, compared as the insert would have stored them).
constexpr wchar_t kSame[] =
    L"SELECT count(*)::text FROM pelorin_records WHERE log = CAST(? AS uuid) AND "
    L"sequence = CAST(? AS bigint) AND time = CAST(? AS timestamptz) AND station = ? AND "
    L"port = ? AND path = ? AND instance = ? AND serial = ? AND image_path = ? AND "
    L"image_size = CAST(? AS bigint) AND image_byte_sum = CAST(? AS bigint) AND "
    L"image_sha256 = ? AND result = ? AND bytes_sent = CAST(? AS bigint) AND "
    L"seconds = CAST(? AS numeric) AND message = ? AND known_from = ?";
constexpr wchar_t kLastSequence[] =
    L"SELECT coalesce(max(sequence), 0)::text FROM pelorin_records WHERE log = CAST(? AS uuid)";
constexpr wchar_t kLatest[] =
    L"SELECT result, image_sha256, station, "
    L"to_char(time AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"') "
    L"FROM pelorin_records WHERE serial = ? ORDER BY time DESC, received DESC LIMIT 1";
constexpr wchar_t kSchemaVersion[] = L"SELECT coalesce(max(version), 0)::text FROM pelorin_schema";

bool Succeeded(SQLRETURN r) { return r == SQL_SUCCESS || r == SQL_SUCCESS_WITH_INFO; }

// What the driver said about the last call on `handle`, as a result: the first record's SQLSTATE
// decides the kind; the text holds every record.
StoreResult Diagnose(SQLSMALLINT type, SQLHANDLE handle, const char* what) {
  StoreResult result{StoreResult::Failed, what};
  std::string first;
  std::string text;
  for (SQLSMALLINT record = 1; record <= 4; ++record) {
    SQLWCHAR state[6] = {};
    SQLINTEGER native = 0;
    SQLWCHAR message[1024] = {};
    SQLSMALLINT length = 0;
    const SQLRETURN r = SQLGetDiagRecW(type, handle, record, state, &native, message,
                                       static_cast<SQLSMALLINT>(std::size(message)), &length);
    if (!Succeeded(r)) break;
    const std::string code = WideToUtf8(reinterpret_cast<const wchar_t*>(state));
    if (first.empty()) first = code;
    text += (text.empty() ? "" : "; ") + code + " " +
            WideToUtf8(reinterpret_cast<const wchar_t*>(message));
  }
  result.text = std::string(what) + ": " + (text.empty() ? "no diagnostics" : OneLine(text));
  const auto starts = [&](const char* prefix) { return first.rfind(prefix, 0) == 0; };
  if (starts("28") ||
      (starts("08") && (text.find("authentication failed") != std::string::npos ||
                        text.find("no pg_hba.conf entry") != std::string::npos))) {
    result.kind = StoreResult::LoginRefused;
  } else if (starts("08") || starts("HYT") || starts("57P") || first == "57014" ||
             text.find("server closed the connection") != std::string::npos ||
             text.find("could not send") != std::string::npos ||
             (first == "HY000" && text.find("connection") != std::string::npos)) {
    result.kind = StoreResult::Unreachable;
  } else if (first == "42P01") {
    result.kind = StoreResult::NoSchema;
  }
  return result;
}

// A row's values in the insert's order.
std::vector<std::wstring> Values(const FleetRow& row) {
  return {Utf8ToWide(row.log),        std::to_wstring(row.sequence),
          Utf8ToWide(row.time),       Utf8ToWide(row.station),
          Utf8ToWide(row.port),       Utf8ToWide(row.path),
          Utf8ToWide(row.instance),   Utf8ToWide(row.serial),
          Utf8ToWide(row.imagePath),  std::to_wstring(row.imageSize),
          std::to_wstring(row.imageByteSum), Utf8ToWide(row.imageSha256),
          Utf8ToWide(row.result),     std::to_wstring(row.bytesSent),
          Utf8ToWide(row.seconds),    Utf8ToWide(row.message),
          Utf8ToWide(row.knownFrom)};
}

}  // namespace

// One connection: its environment, connection and prepared statements, freed together.
struct OdbcStore::Connection {
  SQLHENV env = SQL_NULL_HENV;
  SQLHDBC dbc = SQL_NULL_HDBC;
  bool connected = false;
  struct Statement {
    SQLHSTMT handle = SQL_NULL_HSTMT;
    bool prepared = false;
  };
  Statement same, lastSequence, latest, schemaVersion;
  std::map<size_t, Statement> inserts;  // by rows per statement
  uint32_t queryTimeout = 0;

  ~Connection() {
    for (Statement* s : {&same, &lastSequence, &latest, &schemaVersion})
      if (s->handle != SQL_NULL_HSTMT) SQLFreeHandle(SQL_HANDLE_STMT, s->handle);
    for (auto& [rows, s] : inserts)
      if (s.handle != SQL_NULL_HSTMT) SQLFreeHandle(SQL_HANDLE_STMT, s.handle);
    if (connected) {
      // An open transaction keeps SQLDisconnect from closing; a lost connection may refuse both.
      SQLEndTran(SQL_HANDLE_DBC, dbc, SQL_ROLLBACK);
      SQLDisconnect(dbc);
    }
    if (dbc != SQL_NULL_HDBC) SQLFreeHandle(SQL_HANDLE_DBC, dbc);
    if (env != SQL_NULL_HENV) SQLFreeHandle(SQL_HANDLE_ENV, env);
  }

  // The statement, prepared; `error` on failure.
  SQLHSTMT Prepared(Statement& s, const wchar_t* sql, StoreResult* error) {
    if (s.handle == SQL_NULL_HSTMT) {
      if (!Succeeded(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &s.handle))) {
        s.handle = SQL_NULL_HSTMT;
        *error = Diagnose(SQL_HANDLE_DBC, dbc, "allocating a statement");
        return SQL_NULL_HSTMT;
      }
      SQLSetStmtAttrW(s.handle, SQL_ATTR_QUERY_TIMEOUT,
                      reinterpret_cast<SQLPOINTER>(static_cast<uintptr_t>(queryTimeout)), 0);
    }
    if (!s.prepared) {
      if (!Succeeded(SQLPrepareW(s.handle, const_cast<SQLWCHAR*>(
                                               reinterpret_cast<const SQLWCHAR*>(sql)),
                                 SQL_NTS))) {
        *error = Diagnose(SQL_HANDLE_STMT, s.handle, "preparing a statement");
        return SQL_NULL_HSTMT;
      }
      s.prepared = true;
    }
    return s.handle;
  }

  // Binds `values` (kept alive by the caller until the statement ran) and executes.
  static SQLRETURN Execute(SQLHSTMT stmt, const std::vector<std::wstring>& values,
                           std::vector<SQLLEN>* lengths) {
    SQLFreeStmt(stmt, SQL_CLOSE);
    lengths->assign(values.size(), 0);
    for (size_t i = 0; i < values.size(); ++i) {
      (*lengths)[i] = static_cast<SQLLEN>(values[i].size() * sizeof(wchar_t));
      const SQLULEN size = values[i].empty() ? 1 : values[i].size();
      const SQLRETURN r = SQLBindParameter(
          stmt, static_cast<SQLUSMALLINT>(i + 1), SQL_PARAM_INPUT, SQL_C_WCHAR, SQL_WVARCHAR, size,
          0, const_cast<wchar_t*>(values[i].c_str()), (*lengths)[i], &(*lengths)[i]);
      if (!Succeeded(r)) return r;
    }
    return SQLExecute(stmt);
  }

  // Column `column` of the current row as text (any length).
  static bool Text(SQLHSTMT stmt, SQLUSMALLINT column, std::string* out) {
    std::wstring text;
    wchar_t buffer[512];
    for (;;) {
      SQLLEN indicator = 0;
      const SQLRETURN r = SQLGetData(stmt, column, SQL_C_WCHAR, buffer, sizeof(buffer), &indicator);
      if (r == SQL_NO_DATA) break;
      if (!Succeeded(r)) return false;
      if (indicator == SQL_NULL_DATA) break;
      const size_t got = indicator == SQL_NO_TOTAL || indicator >= static_cast<SQLLEN>(sizeof(buffer))
                             ? std::size(buffer) - 1
                             : static_cast<size_t>(indicator) / sizeof(wchar_t);
      text.append(buffer, got);
      if (r == SQL_SUCCESS) break;
    }
    *out = WideToUtf8(text);
    return true;
  }

  // Runs a prepared query of one row and one text column.
  StoreResult OneText(Statement& s, const wchar_t* sql, const std::vector<std::wstring>& values,
                      std::string* out, const char* what) {
    StoreResult error;
    SQLHSTMT stmt = Prepared(s, sql, &error);
    if (stmt == SQL_NULL_HSTMT) return error;
    std::vector<SQLLEN> lengths;
    if (!Succeeded(Execute(stmt, values, &lengths)) || !Succeeded(SQLFetch(stmt)) ||
        !Text(stmt, 1, out))
      return Diagnose(SQL_HANDLE_STMT, stmt, what);
    SQLFreeStmt(stmt, SQL_CLOSE);
    return {};
  }

  StoreResult Commit(const char* what) {
    if (!Succeeded(SQLEndTran(SQL_HANDLE_DBC, dbc, SQL_COMMIT)))
      return Diagnose(SQL_HANDLE_DBC, dbc, what);
    return {};
  }
};

OdbcStore::OdbcStore(std::string connection, OdbcStoreOptions options)
    : connection_(std::move(connection)), options_(options) {}

OdbcStore::~OdbcStore() = default;

void OdbcStore::Disconnect() { link_.reset(); }

bool OdbcStore::Connected() const { return link_ != nullptr; }

StoreResult OdbcStore::Connect() {
  link_.reset();
  auto link = std::make_unique<Connection>();
  link->queryTimeout = options_.queryTimeoutSeconds;
  if (!Succeeded(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &link->env))) {
    link->env = SQL_NULL_HENV;
    return {StoreResult::Failed, "ODBC: no environment handle (is odbc32.dll there?)"};
  }
  SQLSetEnvAttr(link->env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
  if (!Succeeded(SQLAllocHandle(SQL_HANDLE_DBC, link->env, &link->dbc))) {
    link->dbc = SQL_NULL_HDBC;
    return Diagnose(SQL_HANDLE_ENV, link->env, "ODBC: no connection handle");
  }
  SQLSetConnectAttrW(link->dbc, SQL_ATTR_LOGIN_TIMEOUT,
                     reinterpret_cast<SQLPOINTER>(
                         static_cast<uintptr_t>(options_.loginTimeoutSeconds)),
                     0);
  // TCP keepalives, unless the factory's string sets them: a network that dies silently ends the
  // connection within about a minute instead of the system's two hours.
  std::string text = connection_;
  if (!HasAttribute(text, "KeepaliveTime")) text += ";KeepaliveTime=30";
  if (!HasAttribute(text, "KeepaliveInterval")) text += ";KeepaliveInterval=5";
  // A failed statement rolls the whole transaction back (the batch is sent again on a fresh
  // connection anyway) instead of the driver's default savepoint around every statement, which
  // costs a round trip each.
  if (!HasAttribute(text, "Protocol")) text += ";Protocol=7.4-1";
  // The driver's own communication log (Debian's driver entry turns it on: a file per process
  // in the temporary folder) only when the factory's string asks for it.
  if (!HasAttribute(text, "CommLog")) text += ";CommLog=0";
  std::wstring wide = Utf8ToWide(text);
  SQLWCHAR out[1024];
  SQLSMALLINT outLength = 0;
  const SQLRETURN r = SQLDriverConnectW(
      link->dbc, nullptr, reinterpret_cast<SQLWCHAR*>(wide.data()),
      static_cast<SQLSMALLINT>(wide.size()), out, static_cast<SQLSMALLINT>(std::size(out)),
      &outLength, SQL_DRIVER_NOPROMPT);
  SecureZeroMemory(wide.data(), wide.size() * sizeof(wchar_t));
  SecureZeroMemory(out, sizeof(out));
  if (!Succeeded(r)) return Diagnose(SQL_HANDLE_DBC, link->dbc, "connecting to the database");
  link->connected = true;
  // Batches are transactions of their own; every read ends its transaction too (Commit).
  if (!Succeeded(SQLSetConnectAttrW(link->dbc, SQL_ATTR_AUTOCOMMIT,
                                    reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), 0)))
    return Diagnose(SQL_HANDLE_DBC, link->dbc, "turning autocommit off");
  link_ = std::move(link);
  return {};
}

StoreResult OdbcStore::Checked(StoreResult result) {
  // A lost connection is never used again: its handles go now.
  if (result.kind == StoreResult::Unreachable) link_.reset();
  return result;
}

StoreResult OdbcStore::SchemaVersion(int* version) {
  if (!link_) return {StoreResult::Unreachable, "not connected"};
  std::string text;
  StoreResult r = link_->OneText(link_->schemaVersion, kSchemaVersion, {}, &text,
                                 "reading the fleet schema's version");
  if (r.ok()) r = link_->Commit("reading the fleet schema's version");
  if (!r.ok()) return Checked(r);
  *version = std::atoi(text.c_str());
  return {};
}

StoreResult OdbcStore::LastSequence(const std::string& log, uint64_t* last) {
  if (!link_) return {StoreResult::Unreachable, "not connected"};
  std::string text;
  StoreResult r = link_->OneText(link_->lastSequence, kLastSequence, {Utf8ToWide(log)}, &text,
                                 "asking where the log stands");
  if (r.ok()) r = link_->Commit("asking where the log stands");
  if (!r.ok()) return Checked(r);
  *last = std::strtoull(text.c_str(), nullptr, 10);
  return {};
}

StoreResult OdbcStore::InsertBatch(const std::vector<FleetRow>& rows,
                                   std::vector<RowOutcome>* outcomes) {
  StoreResult result = Insert(rows, outcomes);
  if (!result.ok()) outcomes->clear();
  return Checked(result);
}

StoreResult OdbcStore::Insert(const std::vector<FleetRow>& rows,
                              std::vector<RowOutcome>* outcomes) {
  outcomes->clear();
  if (!link_) return {StoreResult::Unreachable, "not connected"};
  StoreResult error;
  std::vector<SQLLEN> lengths;
  for (size_t first = 0; first < rows.size(); first += kRowsPerInsert) {
    const size_t count = std::min(kRowsPerInsert, rows.size() - first);
    std::vector<std::wstring> values;
    values.reserve(count * 17);
    for (size_t i = first; i < first + count; ++i) {
      std::vector<std::wstring> row = Values(rows[i]);
      values.insert(values.end(), std::make_move_iterator(row.begin()),
                    std::make_move_iterator(row.end()));
    }
    const std::wstring sql = InsertSql(count);
    SQLHSTMT insert = link_->Prepared(link_->inserts[count], sql.c_str(), &error);
    if (insert == SQL_NULL_HSTMT) return error;
    if (!Succeeded(Connection::Execute(insert, values, &lengths)))
      return Diagnose(SQL_HANDLE_STMT, insert, "storing records");
    // The keys it stored.
    std::set<std::pair<std::string, std::string>> stored;
    for (;;) {
      const SQLRETURN fetched = SQLFetch(insert);
      if (fetched == SQL_NO_DATA) break;
      std::string log, sequence;
      if (!Succeeded(fetched) || !Connection::Text(insert, 1, &log) ||
          !Connection::Text(insert, 2, &sequence))
        return Diagnose(SQL_HANDLE_STMT, insert, "storing records");
      stored.emplace(std::move(log), std::move(sequence));
    }
    SQLFreeStmt(insert, SQL_CLOSE);
    for (size_t i = first; i < first + count; ++i) {
      if (stored.count({rows[i].log, std::to_string(rows[i].sequence)}) != 0) {
        outcomes->push_back(RowOutcome::Stored);
        continue;
      }
      // Its key was there: the same content is a resend, other content an alarm.
      std::string same;
      error = link_->OneText(link_->same, kSame, Values(rows[i]), &same,
                             "comparing a stored record");
      if (!error.ok()) return error;
      outcomes->push_back(same == "1" ? RowOutcome::Same : RowOutcome::Different);
    }
  }
  return link_->Commit("committing records");
}

StoreResult OdbcStore::LatestOfSerial(const std::string& serial,
                                      std::optional<FleetLatest>* latest) {
  StoreResult result = Latest(serial, latest);
  if (!result.ok()) latest->reset();
  return Checked(result);
}

StoreResult OdbcStore::Latest(const std::string& serial, std::optional<FleetLatest>* latest) {
  latest->reset();
  if (!link_) return {StoreResult::Unreachable, "not connected"};
  StoreResult error;
  SQLHSTMT stmt = link_->Prepared(link_->latest, kLatest, &error);
  if (stmt == SQL_NULL_HSTMT) return error;
  const std::vector<std::wstring> values{Utf8ToWide(serial)};
  std::vector<SQLLEN> lengths;
  if (!Succeeded(Connection::Execute(stmt, values, &lengths)))
    return Diagnose(SQL_HANDLE_STMT, stmt, "looking up a unit");
  const SQLRETURN fetched = SQLFetch(stmt);
  if (fetched != SQL_NO_DATA) {
    FleetLatest row;
    if (!Succeeded(fetched) || !Connection::Text(stmt, 1, &row.result) ||
        !Connection::Text(stmt, 2, &row.imageSha256) || !Connection::Text(stmt, 3, &row.station) ||
        !Connection::Text(stmt, 4, &row.time))
      return Diagnose(SQL_HANDLE_STMT, stmt, "looking up a unit");
    *latest = std::move(row);
  }
  SQLFreeStmt(stmt, SQL_CLOSE);
  return link_->Commit("looking up a unit");
}

}  // namespace pelorin::fleet
