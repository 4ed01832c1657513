// One production-log record as the fleet's database holds it (a row of pelorin_records), and the
// reading of a log line into one. Portable; any thread (no state).
//
// The line, as the station writes it (one JSON object, UTF-8, fields in this order):
//   {"log": "<uuid>", "time": "2026-12-08T07:01:02.345Z", "station": "...", "sequence": 17,
//    "port": "...", "path": "...", "instance": "...", "serial": "...",
//    "image": {"path": "...", "size": N, "byteSum": N, "sha256": "<64 hex>"}, "result": "...",
//    "bytesSent": N, "seconds": 3.1, "message": "...", "knownFrom": "fleet|log|none"}
// Lines of a log written before logs had an identity have no "log" (nor "knownFrom"): they are
// never shipped (their key would be ambiguous); the reader counts them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace pelorin::fleet {

// The version of sql/pelorin-fleet.sql that this program writes to, and the file to apply, as the
// release ships it beside the programs.
inline constexpr int FLEET_SCHEMA_VERSION = 1;
inline constexpr char FLEET_SCHEMA_FILE[] = "pelorin-fleet.sql";

struct FleetRow {
  std::string log;  // the log's identity: a UUID, 36 characters, lower-case
  uint64_t sequence = 0;
  std::string time;  // as the line has it: "2026-12-08T07:01:02.345Z"
  std::string station, port, path, instance, serial;
  std::string imagePath;
  uint64_t imageSize = 0;
  uint64_t imageByteSum = 0;
  std::string imageSha256;
  std::string result;
  uint64_t bytesSent = 0;
  std::string seconds;  // the number as text, written back the way the log writes it ("3.1")
  std::string message;
  std::string knownFrom;

  bool operator==(const FleetRow&) const = default;
};

struct ParsedLine {
  enum Kind {
    Row,          // `row` holds the record
    NoIdentity,   // a record of a log without identity (no "log" field): never shipped
    NotARecord,   // not a JSON object (a torn write, garbage), or a field missing or wrong
  } kind = NotARecord;
  FleetRow row;
  std::string why;  // NotARecord: what is wrong, for the operator's alarm
};

// Reads one line (without its newline). A record's every field must be there with its type;
// strings must not hold U+0000 (the database's text cannot); numbers must be plain non-negative
// integers that fit a bigint (the sequence above 0), "seconds" a number; "time" an ISO 8601 UTC
// time as the station writes it; "log" a lower-case UUID.
ParsedLine ParseFleetLine(std::string_view line);

// Whether `text` is a log identity: 8-4-4-4-12 lower-case hex digits.
bool IsLogIdentity(std::string_view text);

// The "log" and "sequence" of a line as the station writes it, read without parsing the line
// (its "log" field first, "sequence" among the next fields): false when the line does not begin
// that way. For counting a log's records quickly; ParseFleetLine decides what is a record.
bool QuickLogAndSequence(std::string_view line, std::string_view* log, uint64_t* sequence);

}  // namespace pelorin::fleet
