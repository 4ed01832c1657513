// The station board's model on a fake clock: what each tile says after the engine's entries, the
// port's tally and its "check this port" mark, the header's rate and yield, and the tiles' order.
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
  BoardModel board({}, 0);
  const std::string port = "Port_#0002.Hub_#0001";
  board.Arrived(Unit(1, port, "SN-A"));
  EXPECT_EQ(BoardModel::StateText(Only(board)), "Waiting for a slot");
  board.Started(1, 1000);
  board.Started(1, 1500);  // the open tried again
  EXPECT_EQ(Only(board).startedAt, 1000u) << "an open tried again keeps the unit's start";
  EXPECT_EQ(board.Counters(1500).flashing, 1) << "a unit being opened is in flight";
  EXPECT_EQ(BoardModel::StateText(Only(board)), "Opening\xE2\x80\xA6");
  board.Progress(1, UnitPhase::Sending, 45, 100);
  EXPECT_EQ(BoardModel::StateText(Only(board)), "Flashing 45 %");
  EXPECT_EQ(ColourOf(Only(board).state), TileColour::Blue);
  board.Progress(1, UnitPhase::Verifying, 100, 100);
  board.Progress(1, UnitPhase::Sending, 100, 100);  // a late one changes nothing
  EXPECT_EQ(BoardModel::StateText(Only(board)), "Verifying");
  EXPECT_EQ(BoardModel::TileText(Only(board)),
            port + " | SN-A | verifying | 0 verified, 0 failed");
  EXPECT_EQ(board.Counters(3500).flashing, 1);
  board.Ended(1, Record("verified", 2000), true, 4000);
  EXPECT_EQ(BoardModel::StateText(Only(board)), "Done \xE2\x80\x93 pull the unit");
  EXPECT_EQ(ColourOf(Only(board).state), TileColour::Green);
  EXPECT_EQ(BoardModel::TileText(Only(board)),
            port + " | SN-A | verified 2.0 s | 1 verified, 0 failed");
  board.Departed(1);
  EXPECT_EQ(BoardModel::TileText(Only(board)),
            port + " | - | plug in a unit | 1 verified, 0 failed");

  // A verdict whose record could not be written is never green.
  board.Arrived(Unit(2, port, "SN-B"));
  board.Ended(2, Record("verified"), false, 6000);
  EXPECT_EQ(BoardModel::StateText(Only(board)), "FAILED: not in the log \xE2\x80\x93 pull the unit");
  board.Arrived(Unit(3, port));
  board.Ended(3, Record("link-error", 900, station::TEXT_UNIT_REMOVED), true, 7000);
  EXPECT_EQ(BoardModel::TileText(Only(board)),
            port + " | - | failed 0.9 s: removed while flashing | 1 verified, 2 failed");
  EXPECT_EQ(ColourOf(Only(board).state), TileColour::Red);
}

TEST(BoardModel, ThreeFailuresInARowMarkThePortUntilAUnitThereVerifies) {
  BoardModel board({}, 0);
  uint64_t unit = 0;
  auto flash = [&](const std::string& result) {
    board.Arrived(Unit(++unit, "P1"));
    board.Ended(unit, Record(result), true, 0);
    board.Departed(unit);
    return Only(board).checkPort;
  };
  EXPECT_FALSE(flash("link-error"));
  EXPECT_FALSE(flash("verification-error"));
  EXPECT_FALSE(flash("cancelled")) << "a unit the operator stopped says nothing of the port";
  EXPECT_TRUE(flash("image-error"));
  EXPECT_TRUE(flash("already-verified")) << "a known unit was not flashed here";
  EXPECT_NE(BoardModel::TileText(Only(board)).find("| check this port"), std::string::npos);
  EXPECT_FALSE(flash("verified"));
  EXPECT_EQ(Only(board).verified, 2u);
  EXPECT_EQ(Only(board).failed, 4u);

  // A unit pulled while it ran ends after the next one arrived in its port: the tally counts it,
  // the tile shows the new unit.
  board.Arrived(Unit(20, "P1"));
  board.Started(20, 0);
  board.Departed(19);
  board.Arrived(Unit(21, "P1"));
  board.Ended(20, Record("link-error"), true, 0);
  EXPECT_EQ(Only(board).state, TileState::Waiting);
  EXPECT_EQ(Only(board).failed, 5u);
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
                          TileState::AlreadyVerified, TileState::Failed})
    colours.push_back(ColourOf(state));
  EXPECT_EQ(colours, (std::vector<TileColour>{TileColour::Grey, TileColour::Amber,
                                              TileColour::Amber, TileColour::Blue,
                                              TileColour::Blue, TileColour::Green,
                                              TileColour::Green, TileColour::Red}));
}

TEST(BoardModel, RateOverTheLastQuarterHourAndYield) {
  BoardModel board({}, 0);
  EXPECT_EQ(board.CountersText(0), "0 verified, 0 failed, 0 flashing, 0 waiting | 0 units/h | yield - | 0:00");
  const uint32_t minute = 60000;
  for (uint64_t unit = 1; unit <= 10; ++unit) {
    board.Arrived(Unit(unit, "P" + std::to_string(unit)));
    board.Ended(unit, Record(unit == 10 ? "verification-error" : "verified"), true,
                static_cast<uint32_t>(unit) * 30000);
  }
  // Ten units in the first five minutes: 120 an hour; nine of ten verified.
  EXPECT_EQ(board.CountersText(5 * minute),
            "9 verified, 1 failed, 0 flashing, 0 waiting | 120 units/h | yield 90 % | 5:00");
  // Twenty minutes on, those ten are out of the window.
  EXPECT_EQ(board.Counters(25 * minute).unitsPerHour, 0);
  EXPECT_EQ(board.Counters(16 * minute).unitsPerHour, 4 * 9);
  EXPECT_EQ(ClockText(3 * 3600 + 62), "3:01:02");
  // The first unit after ten seconds is not a rate of 360 an hour.
  BoardModel early({}, 0);
  early.Arrived(Unit(1, "P1"));
  early.Ended(1, Record("verified"), true, 10000);
  EXPECT_EQ(early.Counters(10000).unitsPerHour, 60);
  // Two units that end together may be told a millisecond out of order (each engine thread
  // reads the clock before it queues its entry): both count.
  BoardModel together({}, 0);
  together.Arrived(Unit(1, "P1"));
  together.Arrived(Unit(2, "P2"));
  together.Ended(1, Record("verified"), true, 10001);
  together.Ended(2, Record("verified"), true, 10000);
  EXPECT_EQ(together.Counters(10001).unitsPerHour, 2 * 60);
}

TEST(BoardModel, TilesInTheOrderPortsAreCounted) {
  BoardModel board({"Port_#0010.Hub_#0001", "Port_#00*"}, 0);
  EXPECT_EQ(board.TileCount(), 1u) << "an exact --port is shown from the start, a pattern is not";
  board.Arrived(Unit(1, "Port_#0009.Hub_#0001"));
  board.Arrived(Unit(2, "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(10)"));
  board.Arrived(Unit(3, "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(9)#USB(1)"));
  std::vector<std::string> ports;
  for (const Tile* tile : board.Tiles()) ports.push_back(ShortPort(tile->port));
  EXPECT_EQ(ports, (std::vector<std::string>{"USB 9.1", "USB 10", "Hub 1 \xC2\xB7 Port 9",
                                             "Hub 1 \xC2\xB7 Port 10"}));
  EXPECT_EQ(ShortPort("0000.0014.0000.001"), "0000.0014.0000.001");
  EXPECT_TRUE(PortBefore("Hub_#01", "Hub_#2")) << "leading zeros make no number larger";
  EXPECT_TRUE(PortBefore("#USB(9)", "#USB(9)#USB(1)")) << "a hub's port before the ports below it";
  EXPECT_FALSE(PortBefore("#USB(9)#USB(1)", "#USB(9)"));
}

}  // namespace
}  // namespace pelorin::board
