// Everything PelorinCli writes or reads as JSON, in one place (the JSON library is heavy to
// compile): the one-shot run's record and the station's production-log lines.
#include <algorithm>
#include <cmath>
#include <nlohmann/json.hpp>

#include "cli_core.h"
#include "station_core.h"

namespace pelorin::cli {
namespace {

// Ordered, so that a record reads in the order its fields are written here.
using Json = nlohmann::ordered_json;

const char* FamilyName(Family family) {
  return family == Family::Driver ? "driver" : "pipe";
}

// `{"a": 1, "b": {"c": 2}}`: the record's one line, spaced as people read it.
std::string OneLine(const Json& value) {
  if (!value.is_object()) {
    return value.dump(-1, ' ', false, Json::error_handler_t::replace);
  }
  std::string text = "{";
  bool first = true;
  for (const auto& [key, item] : value.items()) {
    if (!first) text += ", ";
    first = false;
    text += Json(key).dump() + ": " + OneLine(item);
  }
  return text + "}";
}

}  // namespace

std::string RecordJson(const RunRecord& record) {
  Json image = {
      {"path", record.image.path},
      {"size", record.image.size},
      {"byteSum", record.image.byteSum},
  };
  if (record.family == Family::Driver && record.image.wordSum) {
    image["wordSum"] = *record.image.wordSum;
  }
  Json devices = Json::array();
  for (size_t i = 0; i < record.devices.size(); ++i) {
    const DeviceActivity& device = record.devices[i];
    devices.push_back({
        {"index", i < record.indices.size() ? record.indices[i] : static_cast<int32_t>(i)},
        {"path", device.path},
        {"result", DeviceResultName(device)},
        {"bytesSent", device.bytesSent},
        {"seconds", device.elapsedMs() / 1000.0},
        {"message", device.message},
    });
  }
  const Json json = {
      {"result", RunResultName(record.result)},
      {"family", FamilyName(record.family)},
      {"started", record.started},
      {"seconds", std::round(record.seconds * 100) / 100},
      {"image", std::move(image)},
      {"devices", std::move(devices)},
  };
  // UTF-8 as it is; a text that is not valid UTF-8 (a device's message, a path) gets U+FFFD
  // where its bad bytes were instead of losing the whole record.
  return json.dump(2, ' ', false, Json::error_handler_t::replace);
}

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
  return OneLine(json);
}

void LogMemoryReader::Line(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  const Json record = Json::parse(line, nullptr, false);
  if (!record.is_object()) return;
  if (auto sequence = record.find("sequence");
      sequence != record.end() && sequence->is_number_unsigned()) {
    memory_.lastSequence = std::max(memory_.lastSequence, sequence->get<uint64_t>());
  }
  const auto result = record.find("result");
  const auto serial = record.find("serial");
  const auto image = record.find("image");
  if (result == record.end() || !result->is_string() || serial == record.end() ||
      !serial->is_string() || image == record.end() || !image->is_object())
    return;
  const auto hash = image->find("sha256");
  const bool verified = *result == "verified" || *result == "already-verified";
  if (verified && hash != image->end() && hash->is_string() && *hash == sha256_ &&
      !serial->get<std::string>().empty()) {
    memory_.verifiedSerials.insert(serial->get<std::string>());
  }
}

}  // namespace pelorin::cli
