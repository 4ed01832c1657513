// What the station board shows, apart from any window: one tile per port with the state of the
// unit in it, the port's tally and its "check this port" mark, and the header's counters, rate
// and yield. Fed the station engine's observer entries in their order (on the board's own
// thread) with a millisecond clock; every text a window or a screen reader shows is made here.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "station_core.h"
#include "station_observer.h"

namespace pelorin::board {

// The colour an operator reads from across the room.
enum class TileColour { Grey, Blue, Amber, Green, Red };

enum class TileState {
  Empty,            // "Plug in a unit"
  Waiting,          // "Waiting for a slot"
  Opening,          // "Opening…"
  Flashing,         // "Flashing 45 %"
  Verifying,        // "Verifying"
  Done,             // "Done – pull the unit"
  AlreadyVerified,  // "Already verified – pull the unit"
  Failed,           // "FAILED: reason – pull the unit"
};
TileColour ColourOf(TileState state);

// A port's last units all failed this many times in a row: it is marked "Check this port" until
// a unit there verifies.
inline constexpr int CHECK_PORT_AFTER_FAILURES = 3;
// The header's rate counts the units that ended within this window.
inline constexpr uint32_t RATE_WINDOW_MS = 15 * 60 * 1000;
inline constexpr uint32_t RATE_MIN_WINDOW_MS = 60 * 1000;

struct Tile {
  std::string port;  // as the station names it (may be empty: then the unit's path)
  TileState state = TileState::Empty;
  uint64_t unit = 0;   // the unit in it now; 0 none
  std::string serial;  // of that unit
  int percent = 0;     // Flashing
  std::string reason;  // Failed: in a few words
  std::string message; // the record's message (the box the dialog would show)
  uint32_t startedAt = 0;  // when its unit started (Opening), board clock
  bool started = false;
  uint32_t unitMs = 0;  // the ended unit's time, from its record
  uint64_t verified = 0, failed = 0;  // the port's tally since the start
  int failedInARow = 0;
  bool checkPort = false;
  uint64_t changes = 0;  // counts every entry that touched this tile (a view can tell it is current)
};

struct BoardCounters {
  uint64_t verified = 0, failed = 0;  // records; failed counts the cancelled too
  int flashing = 0, waiting = 0;
  double unitsPerHour = 0;  // units that ended within the last RATE_WINDOW_MS (or since the
                            // start, counted as a minute at least)
  int yieldPercent = -1;    // verified of ended, -1 before the first
  uint32_t elapsedMs = 0;   // since the start
};

class BoardModel {
 public:
  // `exactPorts`: the --port names without '*', shown from the start (empty tiles).
  BoardModel(const std::vector<std::string>& exactPorts, uint32_t now);

  void Arrived(const station::StationUnit& unit);
  void Waiting(uint64_t unit);
  void Started(uint64_t unit, uint32_t now);
  void Progress(uint64_t unit, station::UnitPhase phase, uint64_t bytesSent, uint64_t imageSize);
  // Green or red only here: the record is in the log (or, `written` false, could not be put
  // there: then the tile is red whatever the verdict).
  void Ended(uint64_t unit, const station::StationRecord& record, bool written, uint32_t now);
  void Departed(uint64_t unit);
  void LogFailed() { logFailed_ = true; }
  void Finished(int exitStatus) {
    finished_ = true;
    exitStatus_ = exitStatus;
  }

  // The tiles, sorted by port (numbers within a port name compare as numbers).
  std::vector<const Tile*> Tiles() const;
  size_t TileCount() const { return tiles_.size(); }
  BoardCounters Counters(uint32_t now) const;
  bool logFailed() const { return logFailed_; }
  bool finished() const { return finished_; }
  int exitStatus() const { return exitStatus_; }

  // The state line in large type on the tile: "Flashing 45 %", "FAILED: link error – pull the
  // unit", ...
  static std::string StateText(const Tile& tile);
  // The tile's whole state as its window text (what screen readers and tests read), without the
  // running unit's time:
  //   "Port_#0002.Hub_#0001 | SN-A | verified 2.0 s | 12 verified, 1 failed"
  // with " | check this port" at the end while the port is marked.
  static std::string TileText(const Tile& tile);
  // The header's line of counters: "12 verified, 1 failed, 3 flashing, 0 waiting | 48 units/h |
  // yield 92 % | 0:15:02".
  std::string CountersText(uint32_t now) const;

 private:
  Tile* TileOf(uint64_t unit);
  Tile& PortTile(const std::string& port);

  std::map<std::string, Tile> tiles_;         // by port
  std::map<uint64_t, std::string> portOf_;    // unit to port
  std::deque<uint32_t> endings_;              // when units ended, for the rate
  uint64_t verified_ = 0, failed_ = 0;
  const uint32_t start_;
  bool logFailed_ = false;
  bool finished_ = false;
  int exitStatus_ = 0;
};

// A port as a tile shows it in large type: "Hub 1 · Port 2" for Port_#0002.Hub_#0001,
// "USB 2.1" for a location path ending #USB(2)#USB(1), else the port as it is.
std::string ShortPort(std::string_view port);
// Port names in the order an operator counts them: digits compare as numbers.
bool PortBefore(const std::string& a, const std::string& b);

}  // namespace pelorin::board
