// The station board's real window, fed the engine's entries through its face from other threads
// as the engine feeds them: what its tiles, header and banner say (their window texts, as screen
// readers and the end-to-end tests read them).
#include <windows.h>
#include <gtest/gtest.h>

#include <commctrl.h>

#include <set>
#include <thread>

#include "board_window_win32.h"
#include "text_win32.h"
#include "win32_test_support.h"

namespace pelorin::board {
namespace {

std::string TextOf(HWND window) {
  return WideToUtf8(WindowTextW(window));
}

// The tiles' texts in their order on the board.
std::vector<std::string> TileTexts(HWND board) {
  std::vector<std::string> texts;
  for (int id = TILE_ID_BASE; HWND tile = GetDlgItem(board, id); ++id) texts.push_back(TextOf(tile));
  return texts;
}

// What a tile draws, as the board last gave it to the tile window.
const TileSlot& SlotOf(HWND board, int position) {
  return *reinterpret_cast<const TileSlot*>(
      GetWindowLongPtrW(GetDlgItem(board, TILE_ID_BASE + position), GWLP_USERDATA));
}

bool Shown(HWND child) {
  return (GetWindowLongW(child, GWL_STYLE) & WS_VISIBLE) != 0;
}

// The tooltip the board shows over `tile`.
struct TipSearch {
  HWND owner, tip;
};
BOOL CALLBACK FindTip(HWND window, LPARAM found) {
  auto* search = reinterpret_cast<TipSearch*>(found);
  wchar_t name[64] = L"";
  GetClassNameW(window, name, 64);
  if (lstrcmpiW(name, TOOLTIPS_CLASSW) != 0 || GetWindow(window, GW_OWNER) != search->owner)
    return TRUE;
  search->tip = window;
  return FALSE;
}
std::string TipOf(HWND board, HWND tile) {
  TipSearch search{board, nullptr};
  EnumThreadWindows(GetCurrentThreadId(), &FindTip, reinterpret_cast<LPARAM>(&search));
  if (search.tip == nullptr) return "(no tooltip)";
  wchar_t text[512] = L"";
  TOOLINFOW tool{};
  tool.cbSize = sizeof tool;
  tool.hwnd = board;
  tool.uId = reinterpret_cast<UINT_PTR>(tile);
  tool.lpszText = text;
  SendMessageW(search.tip, TTM_GETTEXTW, 512, reinterpret_cast<LPARAM>(&tool));
  return WideToUtf8(text);
}

station::StationRecord Record(const std::string& result, uint32_t ms, const std::string& message = "") {
  station::StationRecord record;
  record.result = result;
  record.ms = ms;
  record.message = message;
  return record;
}

TEST(BoardWindow, TilesAndHeaderTellArrivalsAFailureADepartureAndTheLog) {
  auto* runner = new station::StationRunner();  // never run: the face is fed by hand
  BoardSetup setup;
  setup.station.settings.ports = {"Port_#0010.Hub_#0001", "Port_#*"};
  BoardWindow board(*runner, setup);
  // What the engine counts, as the header shows it.
  station::StationCounts counts;
  board.UseCounts([&counts] { return counts; });
  ASSERT_TRUE(board.Create(GetModuleHandleW(nullptr), SW_HIDE));
  HWND window = board.window();
  EXPECT_EQ(TileTexts(window),
            std::vector<std::string>{"Port_#0010.Hub_#0001 | - | plug in a unit | 0 verified, 0 failed"})
      << "an exact --port is there from the start";
  HWND banner = GetDlgItem(window, BANNER_ID);
  EXPECT_FALSE(Shown(banner));

  const station::StationUnit a{1, "Port_#0002.Hub_#0001", "SN-A", "path-a"};
  const station::StationUnit b{2, "Port_#0009.Hub_#0001", "", "path-b"};
  // The entries come from the engine's threads, as they do in a station.
  std::thread runnerThread([&] {
    board.face().Arrived(a);
    board.face().Arrived(b);
    board.face().Started(a);
    board.face().Started(b);
  });
  runnerThread.join();
  std::thread worker([&] {
    for (uint64_t sent = 0; sent <= 1000; sent += 10) {
      board.face().Progress(b, station::UnitPhase::Sending, sent / 2, 1000);
    }
    board.face().Ended(a, Record("verified", 2000), true);
    board.face().Ended(b, Record("verification-error", 2100, "Verification Error 다시 시도해 주세요."),
                       true);
    board.face().Departed(a);
    board.face().LogFailed({}, "the record #3 was not written");
  });
  worker.join();
  counts.tally = {.verified = 1, .alreadyVerified = 2, .failed = 1};
  test::PumpMessages();
  Sleep(HEADER_INTERVAL_MS + 50);  // the header's counters are told at most twice a second
  board.Refresh();
  EXPECT_EQ(TileTexts(window),
            (std::vector<std::string>{
                "Port_#0002.Hub_#0001 | - | plug in a unit | 1 verified, 0 failed",
                "Port_#0009.Hub_#0001 | - | failed 2.1 s: verification error | 0 verified, 1 failed",
                "Port_#0010.Hub_#0001 | - | plug in a unit | 0 verified, 0 failed"}));
  EXPECT_EQ(TextOf(GetDlgItem(window, HEADER_ID)).substr(0, 91),
            "1 verified, 2 already verified, 1 failed, 0 cancelled, 0 flashing, 0 waiting | 0 "
            "units/h | ");
  EXPECT_EQ(TipOf(window, GetDlgItem(window, TILE_ID_BASE + 1)),
            "Port_#0009.Hub_#0001\r\nVerification Error 다시 시도해 주세요.");
  EXPECT_TRUE(Shown(banner));
  EXPECT_EQ(TextOf(banner), "the log cannot be written: no new units start");

  // A unit in flight shows its progress, a unit being opened its running time. Started early in
  // a second of the clock, so that the bar's throttled change below must be shown on its own
  // (a running tile is redrawn anyway when its second moves on). The checks of what is held
  // back hold only while the interval has not passed: a slow machine skips them.
  while (GetTickCount() % 1000 >= 100) Sleep(5);
  const station::StationUnit c{3, "Port_#0010.Hub_#0001", "SN-C", "path-c"};
  const station::StationUnit d{4, "Port_#0002.Hub_#0001", "SN-D", "path-d"};
  board.face().Arrived(d);
  board.face().Started(d);
  board.face().Arrived(c);
  board.face().Started(c);
  board.face().Progress(c, station::UnitPhase::Sending, 450, 1000);
  const uint32_t first = GetTickCount();
  board.Refresh();
  const auto flashing = [&](int percent) {
    return TileTexts(window).at(2).find("| SN-C | flashing " + std::to_string(percent) + " % ") !=
           std::string::npos;
  };
  const TileSlot& bar = SlotOf(window, 2);
  EXPECT_TRUE(flashing(45)) << TileTexts(window).at(2);
  EXPECT_EQ(bar.view.percent, 45);
  const std::wstring openedFor = SlotOf(window, 0).view.time;
  // A moving bar is redrawn at most twice a second and its percentage told at most once a
  // second, and what was held back is shown once its time has come.
  while (GetTickCount() - first < TEXT_PROGRESS_INTERVAL_MS * 9 / 10) Sleep(5);
  board.face().Progress(c, station::UnitPhase::Sending, 460, 1000);
  const uint32_t second = GetTickCount();
  board.Refresh();
  EXPECT_EQ(bar.view.percent, 46);
  if (GetTickCount() - first < 1000) {
    EXPECT_TRUE(flashing(45));
  }
  while (GetTickCount() - first < TEXT_PROGRESS_INTERVAL_MS + 50 ||
         GetTickCount() - second < PROGRESS_REPAINT_MS / 2)
    Sleep(5);
  board.face().Progress(c, station::UnitPhase::Sending, 470, 1000);
  board.Refresh();
  if (GetTickCount() - second < 1000 / 2) {
    EXPECT_EQ(bar.view.percent, 46);
  }
  Sleep(PROGRESS_REPAINT_MS + 50);
  board.Refresh();  // nothing new told: only what was held back
  EXPECT_EQ(bar.view.percent, 47);
  EXPECT_NE(SlotOf(window, 0).view.time, openedFor) << "a running unit's time moves on";
  for (const uint32_t last = GetTickCount(); !flashing(47) && GetTickCount() - last < 2000;) {
    Sleep(20);
    board.Refresh();
  }
  EXPECT_TRUE(flashing(47)) << TileTexts(window).at(2);
  // The station's end disables Stop and says so.
  board.face().Ended(c, Record("cancelled", 300), true);
  board.face().Finished(EXIT_RECORD_NOT_WRITTEN, {});
  board.Refresh();
  EXPECT_FALSE(IsWindowEnabled(GetDlgItem(window, STOP_ID)));
  EXPECT_NE(TextOf(banner).find("exit status 4"), std::string::npos) << TextOf(banner);
  DestroyWindow(window);
  test::PumpMessages();
  EXPECT_EQ(board.exitStatus(), EXIT_RECORD_NOT_WRITTEN);
}

// The face keeps what engine threads tell it for the window: one message wakes the window for
// any number of entries, progress wakes nobody (the refresh timer takes it), and a unit's
// Verifying is not undone by a send told after it.
TEST(BoardWindow, EntriesWakeTheWindowOnceAndProgressNever) {
  auto* runner = new station::StationRunner();
  BoardSetup setup;
  setup.station.settings.ports = {"Port_#0010.Hub_#0001", "Port_#0011.Hub_#0001"};
  BoardWindow board(*runner, setup);
  ASSERT_TRUE(board.Create(GetModuleHandleW(nullptr), SW_HIDE));
  HWND window = board.window();
  test::PumpMessages();
  // Takes the WM_BOARD_EVENTS waiting for the window off its queue.
  const auto wakes = [window] {
    int count = 0;
    MSG message;
    while (PeekMessageW(&message, window, WM_BOARD_EVENTS, WM_BOARD_EVENTS, PM_REMOVE)) ++count;
    return count;
  };
  const station::StationUnit unit{1, "Port_#0002.Hub_#0001", "SN-U", "path-u"};
  std::thread([&] {
    board.face().Arrived(unit);
    board.face().Started(unit);
    board.face().Progress(unit, station::UnitPhase::Sending, 500, 1000);
    board.face().Progress(unit, station::UnitPhase::Verifying, 1000, 1000);
    board.face().Progress(unit, station::UnitPhase::Sending, 1000, 1000);  // told late
  }).join();
  EXPECT_EQ(wakes(), 1);
  board.Refresh();
  // The new port's tile comes first and moves the others along.
  EXPECT_EQ(TileTexts(window),
            (std::vector<std::string>{
                "Port_#0002.Hub_#0001 | SN-U | verifying | 0 verified, 0 failed",
                "Port_#0010.Hub_#0001 | - | plug in a unit | 0 verified, 0 failed",
                "Port_#0011.Hub_#0001 | - | plug in a unit | 0 verified, 0 failed"}));
  std::thread([&] { board.face().Progress(unit, station::UnitPhase::Verifying, 1000, 1000); }).join();
  EXPECT_EQ(wakes(), 0);
  std::thread([&] { board.face().Ended(unit, Record("verified", 2000), true); }).join();
  EXPECT_EQ(wakes(), 1) << "an entry after the window took the queue wakes it again";
  DestroyWindow(window);
  test::PumpMessages();
}

// The Stop question, answered No by a timer while the box runs modally.
int stopQuestions = 0;
std::wstring stopQuestion;
BOOL CALLBACK FindQuestion(HWND child, LPARAM) {
  if (WindowTextW(child).find(L"being flashed") != std::wstring::npos) stopQuestion = WindowTextW(child);
  return TRUE;
}
void CALLBACK AnswerNo(HWND, UINT, UINT_PTR, DWORD) {
  HWND box = FindWindowW(L"#32770", L"PelorinStation");
  if (box == nullptr) return;
  ++stopQuestions;
  EnumChildWindows(box, &FindQuestion, 0);
  PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDNO, BN_CLICKED), 0);
}

// Stop asks first while a unit is in flight (No keeps the station going), and stops at once
// when none is.
TEST(BoardWindow, StopAsksOnlyWhileAUnitIsInFlight) {
  auto* runner = new station::StationRunner();
  BoardWindow board(*runner, BoardSetup{});
  // The engine's count of units in flight (being opened, flashed or recorded) decides.
  station::StationCounts counts;
  counts.flashing = 1;
  board.UseCounts([&counts] { return counts; });
  ASSERT_TRUE(board.Create(GetModuleHandleW(nullptr), SW_HIDE));
  HWND window = board.window();
  const station::StationUnit unit{1, "Port_#0002.Hub_#0001", "SN-U", "path-u"};
  board.face().Arrived(unit);
  board.face().Started(unit);
  board.Refresh();
  const struct Answering {
    UINT_PTR timer = SetTimer(nullptr, 0, 50, &AnswerNo);
    ~Answering() { KillTimer(nullptr, timer); }
  } answering;
  SendMessageW(window, WM_COMMAND, STOP_ID, 0);  // returns once the box is answered
  EXPECT_EQ(stopQuestions, 1);
  EXPECT_EQ(stopQuestion.rfind(L"1 unit is being flashed.", 0), 0u) << WideToUtf8(stopQuestion);
  ASSERT_TRUE(IsWindow(window)) << "No keeps the station going";
  EXPECT_TRUE(IsWindowEnabled(GetDlgItem(window, STOP_ID)));
  board.face().Ended(unit, Record("verified", 2000), true);
  counts.flashing = 0;
  board.Refresh();
  SendMessageW(window, WM_COMMAND, STOP_ID, 0);
  EXPECT_EQ(stopQuestions, 1) << "nothing in flight: no question";
  EXPECT_FALSE(IsWindow(window));
  test::PumpMessages();
}

// 24 and 64 ports fit a 1366x768 screen: every tile inside the window, none over another, each
// tall enough for its three lines and wider than tall, in the grid of the largest tiles (or,
// within 5 % of their area, of more columns).
TEST(BoardWindow, TilesFitALaptopScreen) {
  for (const auto& [ports, columns] : {std::pair{24, 5}, std::pair{64, 8}}) {
    SCOPED_TRACE(std::to_string(ports) + " ports");
    auto* runner = new station::StationRunner();
    BoardSetup setup;
    for (int port = 1; port <= ports; ++port)
      setup.station.settings.ports.push_back("Port_#" + std::to_string(1000 + port).substr(1) + ".Hub_#0001");
    BoardWindow board(*runner, setup);
    ASSERT_TRUE(board.Create(GetModuleHandleW(nullptr), SW_HIDE));
    HWND window = board.window();
    SetWindowPos(window, nullptr, 0, 0, 1366, 768, SWP_NOZORDER | SWP_NOACTIVATE);
    board.Refresh();
    RECT client;
    GetClientRect(window, &client);
    std::vector<RECT> placed;
    std::set<LONG> lefts;
    for (int id = TILE_ID_BASE; HWND tile = GetDlgItem(window, id); ++id) {
      RECT rect;
      GetWindowRect(tile, &rect);
      MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&rect), 2);
      EXPECT_TRUE(rect.left >= 0 && rect.top >= 0 && rect.right <= client.right &&
                  rect.bottom <= client.bottom)
          << "tile " << id - TILE_ID_BASE << " is outside the window";
      EXPECT_GE(rect.bottom - rect.top, 56) << "tile " << id - TILE_ID_BASE << " is too low to read";
      EXPECT_GT(rect.right - rect.left, rect.bottom - rect.top) << "tile " << id - TILE_ID_BASE;
      for (const RECT& other : placed) {
        RECT overlap;
        EXPECT_FALSE(IntersectRect(&overlap, &rect, &other)) << "tile " << id - TILE_ID_BASE;
      }
      placed.push_back(rect);
      lefts.insert(rect.left);
    }
    EXPECT_EQ(placed.size(), static_cast<size_t>(ports));
    EXPECT_EQ(lefts.size(), static_cast<size_t>(columns));
    DestroyWindow(window);
    test::PumpMessages();
  }
}

}  // namespace
}  // namespace pelorin::board
