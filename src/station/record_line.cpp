// The production log's record line, written by the JSON library (heavy to compile: this is its
// one translation unit in the station).
#include <nlohmann/json.hpp>

#include <algorithm>
#include <iterator>

#include "station_core.h"

namespace pelorin::station {
namespace {

// Ordered, so that a record reads in the order its fields are written here.
using Json = nlohmann::ordered_json;

// `{"a": 1, "b": {"c": 2}}`: the record's one line, spaced as people read it. UTF-8 as it is; a
// text that is not valid UTF-8 (a device's message, a path) gets U+FFFD where its bad bytes were
// instead of losing the whole record.
std::string OneLineJson(const Json& value) {
  if (!value.is_object()) {
    return value.dump(-1, ' ', false, Json::error_handler_t::replace);
  }
  std::string text = "{";
  bool first = true;
  for (const auto& [key, item] : value.items()) {
    if (!first) text += ", ";
    first = false;
    text += Json(key).dump() + ": " + OneLineJson(item);
  }
  return text + "}";
}

}  // namespace

std::string RecordLine(const StationRecord& record, const StationImage& image) {
  const Json json = {
      {"log", record.log},
      {"time", IsoTimeMs(record.unixMs)},
      {"station", record.station},
      {"sequence", record.sequence},
      {"port", record.device.port},
      {"path", record.device.path},
      {"instance", record.device.instance},
      {"serial", record.serial},
      {"image",
       {{"path", image.path}, {"size", image.size}, {"byteSum", image.byteSum},
        {"sha256", image.sha256}}},
      {"result", record.result},
      {"bytesSent", record.bytesSent},
      {"seconds", record.ms / 1000.0},
      {"message", record.message},
      {"knownFrom", record.knownFrom},
  };
  return OneLineJson(json);
}

std::string LogIdentity(const uint8_t (&random)[16]) {
  uint8_t bytes[16];
  std::copy(std::begin(random), std::end(random), bytes);
  bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4: random
  bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3F) | 0x80);  // the RFC 4122 variant
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
    text += kHex[bytes[i] >> 4];
    text += kHex[bytes[i] & 0x0F];
  }
  return text;
}

}  // namespace pelorin::station
