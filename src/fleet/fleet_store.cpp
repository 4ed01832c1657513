#include "fleet_store.h"

namespace pelorin::fleet {

FleetCheck CheckFleetStore(FleetStore& store) {
  FleetCheck check;
  StoreResult result = store.Connected() ? StoreResult::Success() : store.Connect();
  int version = 0;
  if (result.ok()) result = store.SchemaVersion(&version);
  if (result.ok() && version == FLEET_SCHEMA_VERSION) return check;
  store.Disconnect();
  switch (result.kind) {
    case StoreResult::Ok:
      check.kind = FleetCheck::OtherVersion;
      check.line = "the database holds version " + std::to_string(version) +
                   " of the fleet's schema; this station needs version " +
                   std::to_string(FLEET_SCHEMA_VERSION) + ": apply " + FLEET_SCHEMA_FILE +
                   " of this release to it";
      break;
    case StoreResult::NoSchema:
      check.kind = FleetCheck::NoSchema;
      check.line = std::string("the database has no fleet schema: apply ") + FLEET_SCHEMA_FILE +
                   " to it (a station never creates tables)";
      break;
    case StoreResult::LoginRefused:
      check.kind = FleetCheck::LoginRefused;
      check.line = "the database refused the login (" + result.text +
                   "); the station goes on without it: check the user and password";
      break;
    case StoreResult::Unreachable:
    case StoreResult::Failed:
      check.kind = FleetCheck::Unreachable;
      check.line = "the database cannot be reached (" + result.text +
                   "); the station goes on and ships its log once it can";
      break;
  }
  return check;
}

}  // namespace pelorin::fleet
