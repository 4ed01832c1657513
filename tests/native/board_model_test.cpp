// The station board's model: what each tile says after the engine's entries, the port's tally and
// its "check this port" mark, the header's line of the engine's counts, the tiles' order and
// labels.
#include "board_model.h"

#include <gtest/gtest.h>

namespace pelorin::board {
namespace {

using station::StationRecord;
using station::StationUnit;
using station::UnitPhase;

StationUnit Unit(uint64_t number, const std::string& port, const std::string& serial = "") {
  return {number, port, serial, "path-" + std::to_string(number)};
}
StationRecord Record(const std::string& result, uint32_t ms = 2000, std::string message = "") {
  StationRecord record;
  record.result = result;
  record.ms = ms;
  record.message = std::move(message);
  return record;
}
const Tile& Only(const BoardModel& board) {
  EXPECT_EQ(board.TileCount(), 1u);
  return *board.Tiles().at(0);
}

TEST(BoardModel, ATileFollowsItsUnitAndTurnsGreenOrRedOnlyWithItsRecord) {
  BoardModel board({}, Language::English);
  const std::string port = "Port_#0002.Hub_#0001";
  board.Arrived(Unit(1, port, "SN-A"));
  EXPECT_EQ(board.StateText(Only(board)), "Waiting for a slot");
  board.Started(1, 1000);
  board.Started(1, 1500);  // the open tried again
  EXPECT_EQ(Only(board).startedAt, 1000u) << "an open tried again keeps the unit's start";
  EXPECT_EQ(board.StateText(Only(board)), "Opening\xE2\x80\xA6");
  board.Progress(1, UnitPhase::Sending, 45, 100);
  EXPECT_EQ(board.StateText(Only(board)), "Flashing 45 %");
  EXPECT_EQ(ColourOf(Only(board).state), TileColour::Blue);
  board.Progress(1, UnitPhase::Verifying, 100, 100);
  board.Progress(1, UnitPhase::Sending, 100, 100);  // a late one changes nothing
  EXPECT_EQ(board.StateText(Only(board)), "Verifying");
  EXPECT_EQ(board.TileText(Only(board)), port + " | SN-A | verifying | 0 verified, 0 failed");
  board.Ended(1, Record("verified", 2000), true);
  EXPECT_EQ(board.StateText(Only(board)), "Done \xE2\x80\x93 pull the unit");
  EXPECT_EQ(ColourOf(Only(board).state), TileColour::Green);
  EXPECT_EQ(board.TileText(Only(board)), port + " | SN-A | verified 2.0 s | 1 verified, 0 failed");
  board.Departed(1);
  EXPECT_EQ(board.TileText(Only(board)), port + " | - | plug in a unit | 1 verified, 0 failed");

  // A verdict whose record could not be written is never green, and in no figure of the log.
  board.Arrived(Unit(2, port, "SN-B"));
  board.Ended(2, Record("verified"), false);
  EXPECT_EQ(board.StateText(Only(board)), "NOT IN THE LOG: verified \xE2\x80\x93 pull the unit");
  EXPECT_EQ(ColourOf(Only(board).state), TileColour::Red);
  board.Arrived(Unit(3, port));
  board.Ended(3, Record("link-error", 900, station::TEXT_UNIT_REMOVED), true);
  EXPECT_EQ(board.TileText(Only(board)),
            port + " | - | failed 0.9 s: removed while flashing | 1 verified, 1 failed");
  EXPECT_EQ(Only(board).message, station::TEXT_UNIT_REMOVED) << "the tooltip's text";
  EXPECT_EQ(ColourOf(Only(board).state), TileColour::Red);
  // A unit the operator's stop cut short asks to be flashed again; one that waited says it was
  // not flashed; at the end no tile is left in flight.
  board.Arrived(Unit(4, port));
  board.Ended(4, Record("cancelled", 300, station::TEXT_UNIT_CANCELLED), true);
  EXPECT_EQ(board.StateText(Only(board)), "STOPPED \xE2\x80\x93 flash it again");
  board.Arrived(Unit(5, port));
  board.NotStarted(5);
  EXPECT_EQ(board.TileText(Only(board)), port + " | - | not flashed | 1 verified, 1 failed");
  board.Arrived(Unit(6, "P9"));
  board.Started(6, 100);
  board.Finished(130, {});
  for (const Tile* tile : board.Tiles()) EXPECT_EQ(ColourOf(tile->state), TileColour::Grey);
}

TEST(BoardModel, ThreeFailuresInARowMarkThePortUntilAUnitThereVerifies) {
  BoardModel board({}, Language::English);
  uint64_t unit = 0;
  auto flash = [&](const std::string& result) {
    board.Arrived(Unit(++unit, "P1"));
    board.Ended(unit, Record(result), true);
    board.Departed(unit);
    return Only(board).checkPort;
  };
  EXPECT_FALSE(flash("link-error"));
  EXPECT_FALSE(flash("verification-error"));
  EXPECT_FALSE(flash("cancelled")) << "a unit the operator stopped says nothing of the port";
  EXPECT_FALSE(flash("already-verified")) << "a known unit was not flashed here";
  EXPECT_TRUE(flash("image-error"));
  EXPECT_TRUE(flash("already-verified"));
  EXPECT_NE(board.TileText(Only(board)).find("| check this port"), std::string::npos);
  EXPECT_FALSE(flash("verified"));
  // The port's tally counts flashes only.
  EXPECT_EQ(Only(board).tally.verified, 1u);
  EXPECT_EQ(Only(board).tally.failed, 3u);

  // A unit pulled while it ran ends after the next one arrived in its port: the tally counts it,
  // the tile shows the new unit.
  board.Arrived(Unit(20, "P1"));
  board.Started(20, 0);
  board.Departed(19);
  board.Arrived(Unit(21, "P1"));
  board.Ended(20, Record("link-error"), true);
  EXPECT_EQ(Only(board).state, TileState::Waiting);
  EXPECT_EQ(Only(board).tally.failed, 4u);
  // Its departure, told late, leaves the new unit alone; the new unit's time starts with it.
  board.Departed(20);
  EXPECT_EQ(Only(board).unit, 21u);
  EXPECT_EQ(Only(board).state, TileState::Waiting);
  board.Started(21, 5000);
  EXPECT_EQ(Only(board).startedAt, 5000u);
}

TEST(BoardModel, EachStateHasTheColourReadFromAcrossTheRoom) {
  std::vector<TileColour> colours;
  for (TileState state : {TileState::Empty, TileState::Waiting, TileState::Opening,
                          TileState::Flashing, TileState::Verifying, TileState::Done,
                          TileState::AlreadyVerified, TileState::Failed, TileState::Cancelled,
                          TileState::NotFlashed, TileState::NotInLog})
    colours.push_back(ColourOf(state));
  EXPECT_EQ(colours, (std::vector<TileColour>{TileColour::Grey, TileColour::Amber,
                                              TileColour::Amber, TileColour::Blue,
                                              TileColour::Blue, TileColour::Green,
                                              TileColour::Green, TileColour::Red, TileColour::Red,
                                              TileColour::Grey, TileColour::Red}));
}

// The header shows the engine's counts as they are: every kind apart, the yield of flashes.
TEST(BoardModel, TheHeaderIsTheEnginesCounts) {
  const BoardModel board({}, Language::English);
  station::StationCounts counts;
  EXPECT_EQ(board.CountersText(counts),
            "0 verified, 0 already verified, 0 failed, 0 cancelled, 0 flashing, 0 waiting | 0 "
            "units/h | yield - | 0:00");
  counts.tally = {.verified = 0, .alreadyVerified = 8, .failed = 2, .cancelled = 1};
  counts.flashing = 3;
  counts.waiting = 2;
  counts.unitsPerHour = 47.6;
  counts.elapsedMs = 902000;
  EXPECT_EQ(board.CountersText(counts),
            "0 verified, 8 already verified, 2 failed, 1 cancelled, 3 flashing, 2 waiting | 48 "
            "units/h | yield 0 % | 15:02")
      << "every flash failed: 0 %, not -";
  counts.tally = {.verified = 2, .alreadyVerified = 0, .failed = 1, .cancelled = 0, .notInLog = 1};
  EXPECT_EQ(board.CountersText(counts),
            "2 verified, 0 already verified, 1 failed, 0 cancelled, 1 not in the log, 3 "
            "flashing, 2 waiting | 48 units/h | yield 67 % | 15:02");
  EXPECT_EQ(ClockText(3 * 3600 + 62), "3:01:02");
}

TEST(BoardModel, TilesInTheOrderPortsAreCounted) {
  BoardModel board({"Port_#0010.Hub_#0001", "Port_#00*"}, Language::English);
  EXPECT_EQ(board.TileCount(), 1u) << "an exact --port is shown from the start, a pattern is not";
  board.Arrived(Unit(1, "Port_#0009.Hub_#0001"));
  board.Arrived(Unit(2, "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(10)"));
  board.Arrived(Unit(3, "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(9)#USB(1)"));
  std::vector<std::string> ports;
  for (const Tile* tile : board.Tiles()) ports.push_back(ShortPort(tile->port, board.texts()));
  EXPECT_EQ(ports, (std::vector<std::string>{"USB 9.1", "USB 10", "Hub 1 \xC2\xB7 Port 9",
                                             "Hub 1 \xC2\xB7 Port 10"}));
  EXPECT_EQ(ShortPort("0000.0014.0000.001", board.texts()), "0000.0014.0000.001");
  EXPECT_TRUE(PortBefore("Hub_#01", "Hub_#2")) << "leading zeros make no number larger";
  EXPECT_TRUE(PortBefore("#USB(9)", "#USB(9)#USB(1)")) << "a hub's port before the ports below it";
  EXPECT_FALSE(PortBefore("#USB(9)#USB(1)", "#USB(9)"));
}

// Two controllers with the same hub layout: their ports' short forms collide, so each shows its
// controller; what still collides shows the whole location. Units without a port share a tile.
TEST(BoardModel, TileLabelsAreUnique) {
  BoardModel board({}, Language::English);
  const auto labelOf = [&](const std::string& port) {
    for (const Tile* tile : board.Tiles())
      if (tile->port == port) return tile->label;
    return std::string("no tile");
  };
  const std::string a = "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USB(1)";
  const std::string b = "PCIROOT(0)#PCI(1D00)#USBROOT(0)#USB(2)#USB(1)";
  const std::string c = "PCIROOT(1)#PCI(1400)#USBROOT(0)#USB(9)";
  const std::string d = "PCIROOT(2)#PCI(1400)#USBROOT(0)#USB(9)";
  board.Arrived(Unit(1, a));
  board.Arrived(Unit(2, "PCIROOT(0)#PCI(1D00)#USBROOT(0)#USB(3)"));
  EXPECT_EQ(labelOf(a), "USB 2.1");
  const uint64_t before = board.Tiles().front()->changes + board.Tiles().back()->changes;
  board.Arrived(Unit(3, b));
  EXPECT_EQ(labelOf(a), "PCI(1400) \xC2\xB7 USB 2.1") << "a label already shown changes too";
  EXPECT_EQ(labelOf(b), "PCI(1D00) \xC2\xB7 USB 2.1");
  EXPECT_EQ(labelOf("PCIROOT(0)#PCI(1D00)#USBROOT(0)#USB(3)"), "USB 3");
  EXPECT_GT(board.Tiles().front()->changes + board.Tiles().back()->changes, before)
      << "a tile whose label changed is drawn again";
  board.Arrived(Unit(4, c));
  board.Arrived(Unit(5, d));
  EXPECT_EQ(labelOf(c), c) << "the same controller and layout: the whole location";
  EXPECT_EQ(labelOf(d), d);
  board.Arrived(Unit(6, "", "SN-6"));
  board.Arrived(Unit(7, "", "SN-7"));
  EXPECT_EQ(labelOf("unknown port"), "unknown port");
  EXPECT_EQ(board.TileCount(), 6u) << "one tile for the units without a port";
}


// The database on the board: the header's words are the console's; the start's finding is on the
// banner until the database is up to date, the password warning for good; an alarm is kept.
TEST(BoardModel, TheDatabasesStateAndWhatTheStartFound) {
  BoardModel model({}, Language::English);
  EXPECT_FALSE(model.database().has_value()) << "no database: the header says nothing of one";
  model.DatabaseNote("warning: a password", true);
  model.DatabaseNote("the database cannot be reached (08001)", false);
  EXPECT_EQ(model.DatabaseNotes(), "warning: a password | the database cannot be reached (08001)");
  station::DatabaseState state;
  state.link = station::DatabaseState::Offline;
  state.offlineSince = "10:42";
  state.waiting = 3;
  model.Database(state);
  EXPECT_EQ(model.DatabaseText(*model.database()),
            "database offline since 10:42, 3 records waiting");
  EXPECT_EQ(model.DatabaseNotes(), "warning: a password | the database cannot be reached (08001)");
  state.link = station::DatabaseState::UpToDate;
  state.waiting = 0;
  model.Database(state);
  EXPECT_EQ(model.DatabaseText(*model.database()), "database: up to date");
  EXPECT_EQ(model.DatabaseNotes(), "warning: a password");
  EXPECT_EQ(model.DatabaseNoteText(model.DatabaseNotes()), "database: warning: a password");
  model.DatabaseAlarm("record 3 of log x is in the database with other content");
  EXPECT_EQ(model.DatabaseAlarmText(model.databaseAlarm()),
            "database: record 3 of log x is in the database with other content");
  // In Korean, with the same fields.
  BoardModel korean({}, Language::Korean);
  state.link = station::DatabaseState::Offline;
  state.waiting = 37;
  EXPECT_EQ(korean.DatabaseText(state), "데이터베이스 연결 끊김 (10:42부터), 기록 37개 대기 중");
  state.waiting = 1;
  EXPECT_EQ(model.DatabaseText(state), "database offline since 10:42, 1 record waiting");
}

}  // namespace
}  // namespace pelorin::board
