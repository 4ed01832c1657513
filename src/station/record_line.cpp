// The production log's record line, written by the JSON library (heavy to compile: this is its
// one translation unit in the station).
#include <nlohmann/json.hpp>

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
  };
  return OneLineJson(json);
}

}  // namespace pelorin::station
