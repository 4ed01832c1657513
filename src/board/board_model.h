// What the station board shows, apart from any window: one tile per port with the state of the
// unit in it, the port's tally and its "check this port" mark, and the header's line made of the
// engine's counts. Fed the station engine's observer entries in their order (on the board's own
// thread) with a millisecond clock; every text a window or a screen reader shows is made here, in
// the board's language (board_texts.h).
// The board counts nothing of the station's own: the header shows the engine's StationCounts, and
// a port's tally counts its records by the engine's one definition (station::Tally).
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "board_texts.h"
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
  Cancelled,        // "STOPPED – flash it again": the operator's stop cut it short
  NotFlashed,       // "Not flashed – pull the unit": it waited, and the station is ending
  NotInLog,         // "NOT IN THE LOG: verified – pull the unit": its record could not be written
};
TileColour ColourOf(TileState state);

// A port's last flashes all failed this many times in a row: it is marked "Check this port" until
// a unit there verifies.
inline constexpr int CHECK_PORT_AFTER_FAILURES = 3;
// The one tile of the units whose port Windows cannot tell (its port; it is shown in the board's
// language).
inline constexpr char UNKNOWN_PORT_TILE[] = "unknown port";

struct Tile {
  std::string port;   // as the station names it; UNKNOWN_PORT_TILE for units without one
  std::string label;  // in large type: the port's short form, unique among the tiles
  TileState state = TileState::Empty;
  uint64_t unit = 0;   // the unit in it now; 0 none
  std::string serial;  // of that unit
  int percent = 0;     // Flashing
  std::string reason;  // Failed, NotInLog: in a few words, in the board's language
  std::string message; // the record's message (the box the dialog would show)
  uint32_t startedAt = 0;  // when its unit started (Opening), board clock
  bool started = false;
  uint32_t unitMs = 0;  // the ended unit's time, from its record
  station::Tally tally;  // the port's records since the start (its figures count flashes only)
  int failedInARow = 0;  // flashes
  bool checkPort = false;
  uint64_t changes = 0;  // counts every entry that touched this tile (a view can tell it is current)
};

class BoardModel {
 public:
  // `exactPorts`: the --port names without '*', shown from the start (empty tiles); every text in
  // `language`.
  BoardModel(const std::vector<std::string>& exactPorts, Language language);

  void Arrived(const station::StationUnit& unit);
  void Waiting(uint64_t unit);
  void Started(uint64_t unit, uint32_t now);
  void Progress(uint64_t unit, station::UnitPhase phase, uint64_t bytesSent, uint64_t imageSize);
  // Green or red only here: the record is in the log (or, `written` false, could not be put
  // there: then the tile is red whatever the verdict).
  void Ended(uint64_t unit, const station::StationRecord& record, bool written);
  void Departed(uint64_t unit);
  // The unit waited and will not be flashed (the station is ending).
  void NotStarted(uint64_t unit);
  void LogFailed() { logFailed_ = true; }
  // On a station with a database: its state (the header shows it); an alarm (the banner shows
  // the latest); notes from the start (the start check's finding, shown until the database is up
  // to date; a `sticky` one, the password warning, for good).
  void Database(const station::DatabaseState& state);
  void DatabaseAlarm(const std::string& text) { databaseAlarm_ = text; }
  void DatabaseNote(const std::string& text, bool sticky);
  const std::optional<station::DatabaseState>& database() const { return database_; }
  const std::string& databaseAlarm() const { return databaseAlarm_; }
  // The notes in force, joined with " | " ("" none).
  std::string DatabaseNotes() const;
  // Nothing runs any more: every tile still in flight (none should be) or waiting says so.
  void Finished(int exitStatus, const station::StationCounts& counts);

  // The tiles, sorted by port (numbers within a port name compare as numbers).
  std::vector<const Tile*> Tiles() const;
  size_t TileCount() const { return tiles_.size(); }
  bool logFailed() const { return logFailed_; }
  bool finished() const { return finished_; }
  int exitStatus() const { return exitStatus_; }
  // The engine's final counts, once Finished.
  const station::StationCounts& finalCounts() const { return finalCounts_; }

  const BoardTexts& texts() const { return texts_; }

  // The state line in large type on the tile: "Flashing 45 %", "FAILED: link error – pull the
  // unit", ... ("플래싱 45 %", "실패: 연결 오류 – 유닛을 뽑으세요").
  std::string StateText(const Tile& tile) const;
  // The tile's whole state as its window text (what screen readers and tests read), without the
  // running unit's time:
  //   "Port_#0002.Hub_#0001 | SN-A | verified 2.0 s | 12 verified, 1 failed"
  // with " | check this port" at the end while the port is marked. In Korean the same fields and
  // separators: "Port_#0002.Hub_#0001 | SN-A | 검증됨 2.0 s | 검증 12, 실패 1 | 포트 점검 필요".
  std::string TileText(const Tile& tile) const;
  // The header's line, of the engine's counts: "12 verified, 2 already verified, 1 failed, 0
  // cancelled, 3 flashing, 0 waiting | 48 units/h | yield 92 % | 0:15:02" (", 1 not in the log"
  // after the cancelled once a record could not be written; "yield -" before the first flash).
  // In Korean: "검증 12, 이미 검증 2, 실패 1, 취소 0, 플래싱 3, 대기 0 | 시간당 48대 | 수율 92 % |
  // 0:15:02".
  std::string CountersText(const station::StationCounts& counts) const;
  // The port as the tile's window text and tooltip name it: the station's name, or the unknown
  // port's in the board's language.
  std::string PortName(const Tile& tile) const;
  // The board's texts about the database: the header's words ("database: up to date",
  // "database offline since 10:42, 37 records waiting"), the banner's alarm and its note.
  std::string DatabaseText(const station::DatabaseState& state) const;
  std::string DatabaseAlarmText(const std::string& alarm) const;
  std::string DatabaseNoteText(const std::string& notes) const;

 private:
  Tile* TileOf(uint64_t unit);
  Tile& PortTile(const std::string& port);
  // A record's result in a few words for "FAILED: ..." and "NOT IN THE LOG: ...".
  std::string ReasonOf(const station::StationRecord& record) const;

  const BoardTexts& texts_;
  std::map<std::string, Tile> tiles_;         // by port
  std::map<uint64_t, std::string> portOf_;    // unit to port
  bool logFailed_ = false;
  std::optional<station::DatabaseState> database_;
  std::string databaseAlarm_;
  std::vector<std::pair<std::string, bool>> databaseNotes_;  // text, sticky
  station::StationCounts finalCounts_;
  bool finished_ = false;
  int exitStatus_ = 0;
};

// A port as a tile shows it in large type: "Hub 1 · Port 2" ("허브 1 · 포트 2") for
// Port_#0002.Hub_#0001, "USB 2.1" for a location path ending #USB(2)#USB(1), else the port as it
// is.
std::string ShortPort(std::string_view port, const BoardTexts& texts);
// The labels of a set of ports, each unique: the short form where no other port has the same,
// else the short form with its controller ("PCI(1400) · USB 2.1", two controllers with the same
// hub layout), else the port as it is.
std::map<std::string, std::string> UniqueLabels(const std::vector<std::string>& ports,
                                                const BoardTexts& texts);
// Port names in the order an operator counts them: digits compare as numbers.
bool PortBefore(const std::string& a, const std::string& b);

}  // namespace pelorin::board
