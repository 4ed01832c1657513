// The log line's reading, with the JSON library (heavy to compile: its one translation unit in
// the fleet).
#include "fleet_row.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <limits>

namespace pelorin::fleet {
namespace {

using Json = nlohmann::json;

constexpr uint64_t kMaxBigint = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());

// "2026-12-08T07:01:02Z" or with a fraction of a second: what the station writes, and what the
// database reads as the same instant.
bool IsIsoUtcTime(std::string_view text) {
  static constexpr std::string_view kShape = "dddd-dd-ddTdd:dd:dd";
  if (text.size() < kShape.size() + 1 || text.back() != 'Z') return false;
  for (size_t i = 0; i < kShape.size(); ++i) {
    const bool digit = text[i] >= '0' && text[i] <= '9';
    if (kShape[i] == 'd' ? !digit : text[i] != kShape[i]) return false;
  }
  std::string_view rest = text.substr(kShape.size(), text.size() - kShape.size() - 1);
  if (rest.empty()) return true;
  if (rest.size() < 2 || rest.size() > 7 || rest[0] != '.') return false;
  for (char c : rest.substr(1))
    if (c < '0' || c > '9') return false;
  return true;
}

// Takes fields out of the line's objects; the first that is missing or wrong says why.
class Reader {
 public:

  bool Text(const Json& object, const char* name, std::string* out) {
    const auto it = object.find(name);
    if (it == object.end() || !it->is_string()) return Missing(name, "a string");
    *out = it->get<std::string>();
    if (out->find('\0') != std::string::npos) return Missing(name, "a text without U+0000");
    return true;
  }
  bool Count(const Json& object, const char* name, uint64_t* out) {
    const auto it = object.find(name);
    if (it == object.end() || !it->is_number_unsigned() || it->get<uint64_t>() > kMaxBigint)
      return Missing(name, "a non-negative integer");
    *out = it->get<uint64_t>();
    return true;
  }
  bool Number(const Json& object, const char* name, std::string* out) {
    const auto it = object.find(name);
    if (it == object.end() || !it->is_number()) return Missing(name, "a number");
    if (it->is_number_float() && !std::isfinite(it->get<double>())) return Missing(name, "a number");
    *out = it->dump();
    return true;
  }
  std::string why;

 private:
  bool Missing(const char* name, const char* what) {
    why = std::string("\"") + name + "\" is not " + what;
    return false;
  }
};

}  // namespace

bool IsLogIdentity(std::string_view text) {
  if (text.size() != 36) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (c != '-') return false;
    } else if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
      return false;
    }
  }
  return true;
}

ParsedLine ParseFleetLine(std::string_view line) {
  ParsedLine parsed;
  Json json = Json::parse(line.begin(), line.end(), nullptr, /*allow_exceptions=*/false);
  if (!json.is_object()) {
    parsed.why = "the line is not a JSON object";
    return parsed;
  }
  if (!json.contains("log")) {
    parsed.kind = ParsedLine::NoIdentity;
    return parsed;
  }
  FleetRow& row = parsed.row;
  Reader r;
  const auto image = json.find("image");
  const bool ok =
      r.Text(json, "log", &row.log) && r.Count(json, "sequence", &row.sequence) &&
      r.Text(json, "time", &row.time) && r.Text(json, "station", &row.station) &&
      r.Text(json, "port", &row.port) && r.Text(json, "path", &row.path) &&
      r.Text(json, "instance", &row.instance) && r.Text(json, "serial", &row.serial) &&
      image != json.end() && image->is_object() && r.Text(*image, "path", &row.imagePath) &&
      r.Count(*image, "size", &row.imageSize) && r.Count(*image, "byteSum", &row.imageByteSum) &&
      r.Text(*image, "sha256", &row.imageSha256) && r.Text(json, "result", &row.result) &&
      r.Count(json, "bytesSent", &row.bytesSent) && r.Number(json, "seconds", &row.seconds) &&
      r.Text(json, "message", &row.message) && r.Text(json, "knownFrom", &row.knownFrom);
  if (!ok) {
    parsed.why = r.why.empty() ? "\"image\" is not an object" : r.why;
    return parsed;
  }
  if (!IsLogIdentity(row.log)) {
    parsed.why = "\"log\" is not a lower-case UUID";
  } else if (row.sequence == 0) {
    parsed.why = "\"sequence\" is 0";
  } else if (!IsIsoUtcTime(row.time)) {
    parsed.why = "\"time\" is not a UTC time as the station writes it";
  } else {
    parsed.kind = ParsedLine::Row;
  }
  return parsed;
}

bool QuickLogAndSequence(std::string_view line, std::string_view* log, uint64_t* sequence) {
  static constexpr std::string_view kLog = "{\"log\": \"";
  if (line.size() < kLog.size() + 37 || line.substr(0, kLog.size()) != kLog ||
      line[kLog.size() + 36] != '"')
    return false;
  *log = line.substr(kLog.size(), 36);
  // Inside a JSON string a quote is escaped, so `"sequence": ` is the key itself.
  static constexpr std::string_view kSequence = "\"sequence\": ";
  const size_t at = line.find(kSequence, kLog.size() + 37);
  if (at == std::string_view::npos) return false;
  uint64_t number = 0;
  size_t i = at + kSequence.size(), digits = 0;
  for (; i < line.size() && line[i] >= '0' && line[i] <= '9'; ++i, ++digits) {
    if (digits == 18) return false;  // more than a bigint's worth: let the parser decide
    number = number * 10 + static_cast<uint64_t>(line[i] - '0');
  }
  if (digits == 0) return false;
  *sequence = number;
  return true;
}

}  // namespace pelorin::fleet
