// Everything PelorinCli writes or reads as JSON, in one place (the JSON library is heavy to
// compile): the one-shot run's record.
#include <algorithm>
#include <cmath>
#include <nlohmann/json.hpp>

#include "cli_core.h"

namespace pelorin::cli {
namespace {

// Ordered, so that a record reads in the order its fields are written here.
using Json = nlohmann::ordered_json;

const char* FamilyName(Family family) {
  return family == Family::Driver ? "driver" : "pipe";
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

}  // namespace pelorin::cli
