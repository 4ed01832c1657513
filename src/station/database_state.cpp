#include "database_state.h"

#include <cstdio>

namespace pelorin::station {
namespace {

std::string Waiting(uint64_t count) {
  return std::to_string(count) + (count == 1 ? " record waiting" : " records waiting");
}

}  // namespace

DatabaseState DatabaseStateOf(const fleet::ShipperStatus& status,
                              const std::string& offlineSinceLocal) {
  DatabaseState state;
  switch (status.link) {
    case fleet::ShipperStatus::Starting: state.link = DatabaseState::Connecting; break;
    case fleet::ShipperStatus::UpToDate: state.link = DatabaseState::UpToDate; break;
    case fleet::ShipperStatus::Sending: state.link = DatabaseState::Sending; break;
    case fleet::ShipperStatus::Offline:
      state.link = DatabaseState::Offline;
      state.offlineSince = offlineSinceLocal;
      state.error = status.error;
      break;
  }
  state.waiting = status.waiting;
  return state;
}

std::string DatabaseWords(const DatabaseState& state) {
  switch (state.link) {
    case DatabaseState::Connecting: return "database: connecting";
    case DatabaseState::UpToDate: return "database: up to date";
    case DatabaseState::Sending:
      return "database: sending" + (state.waiting ? ", " + Waiting(*state.waiting) : "");
    case DatabaseState::Offline:
      return "database offline since " + state.offlineSince +
             (state.waiting ? ", " + Waiting(*state.waiting) : "");
  }
  return {};
}

std::string TimeOfDay(int hours, int minutes) {
  char text[8];
  std::snprintf(text, sizeof text, "%02d:%02d", hours % 100, minutes % 100);
  return text;
}

}  // namespace pelorin::station
