// The fleet's database as a station's faces show it: the shipper's state in the engine's terms,
// and the words both faces use for it ("database: up to date", "database offline since 10:42, 37
// records waiting"). Portable; no state of its own.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "shipper.h"

namespace pelorin::station {

struct DatabaseState {
  enum Link {
    Connecting,  // not connected yet, and no try has failed
    UpToDate,    // every record of the log is in the database
    Sending,     // connected, records are on their way
    Offline,     // the last try failed; the station tries again with a backoff
  } link = Connecting;
  std::string offlineSince;        // Offline: the local time of day it went, "10:42"
  std::optional<uint64_t> waiting;  // records of the log the database lacks, once known
  std::string error;               // Offline: the database's words (never the connection string)

  bool operator==(const DatabaseState&) const = default;
};

// The shipper's status with the time it went offline as the station's local time of day
// (`offlineSinceLocal`, "10:42", made by the caller, which knows the time zone).
DatabaseState DatabaseStateOf(const fleet::ShipperStatus& status,
                              const std::string& offlineSinceLocal);

// The words the console and the board show:
//   "database: connecting", "database: up to date", "database: sending, 37 records waiting",
//   "database offline since 10:42, 37 records waiting" (", 1 record waiting"; without the count
//   before the station knows where the database stands).
std::string DatabaseWords(const DatabaseState& state);

// "10:42": the hours and minutes of a local time.
std::string TimeOfDay(int hours, int minutes);

}  // namespace pelorin::station
