// The station board's window: a header (the image, the log, the counters, the rate, the yield and
// the time since the start), a banner for what the operator must know (the log cannot be
// written, the station has ended), a Stop button, and below them one tile per port. It runs the
// station engine on a thread of its own and shows what the engine tells it (BoardFace); the
// model (board_model.h) decides every text. Repaints are coalesced by a 100 ms timer: a tile is
// redrawn at most 10 times a second (twice for a moving bar), and only the parts that changed.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "board_face_win32.h"
#include "board_model.h"
#include "station_runner_win32.h"
#include "tile_control_win32.h"

namespace pelorin::board {

inline constexpr wchar_t BOARD_CLASS[] = L"PelorinStationBoard";
// The caption of the board's boxes (its refusals, the Stop question): the program's name, in
// every language.
inline constexpr wchar_t BOX_CAPTION[] = L"PelorinStation";
inline constexpr wchar_t STRIP_CLASS[] = L"PelorinStationStrip";
// Child window ids: the header, the banner, the Stop button; tiles from TILE_ID_BASE on, in the
// order of their ports.
inline constexpr int HEADER_ID = 100;
inline constexpr int BANNER_ID = 101;
inline constexpr int STOP_ID = 102;
inline constexpr int TILE_ID_BASE = 1000;
inline constexpr UINT REFRESH_INTERVAL_MS = 100;
// A flashing unit's tile is redrawn for its progress at most this often (twice a second: enough
// for an operator across the room to see it move, and 64 tiles cost little to draw).
inline constexpr uint32_t PROGRESS_REPAINT_MS = 500;
// ... and its window text for its percentage at most this often.
inline constexpr uint32_t TEXT_PROGRESS_INTERVAL_MS = 1000;
// The header's counters are redrawn at most this often.
inline constexpr uint32_t HEADER_INTERVAL_MS = 500;

// What the header or the banner paints: a line in large type over a line in small type.
struct StripView {
  std::wstring big, small;
  COLORREF background = RGB(40, 44, 52), text = RGB(255, 255, 255);
  HFONT bigFont = nullptr, smallFont = nullptr;
  // The big line's smaller types, tried in turn when it does not fit in the big one (may be null).
  HFONT fitFonts[2] = {nullptr, nullptr};
};

// What the board runs: the station's options, and whether the start form already pinned the
// image, checked its SHA-256 and opened the log (else the engine's thread does, first); and the
// language of every text it shows.
struct BoardSetup {
  station::StationSetup station;
  bool prepared = false;
  Language language = Language::English;
};

// A font of the board of `pixels` height: the system's message font, or for Korean a face made
// for Hangul (Malgun Gothic where Windows has it, else the one it maps the Hangul character set
// to).
HFONT MakeBoardFont(int pixels, bool bold, Language language);

class BoardWindow {
 public:
  // `runner` must outlive the window and the engine's thread (it is never freed).
  BoardWindow(station::StationRunner& runner, BoardSetup setup);
  ~BoardWindow();
  BoardWindow(const BoardWindow&) = delete;
  BoardWindow& operator=(const BoardWindow&) = delete;

  // Creates the window, shown with `show`. False when it cannot be made.
  bool Create(HINSTANCE instance, int show);
  // Starts the station engine on a thread of its own (the image's read and the log's first, if
  // the start form did not do them). Without it, the window shows only what the face is told.
  bool StartEngine();
  HWND window() const { return window_; }
  BoardFace& face() { return face_; }
  // Where the header and the Stop question take the engine's counts: the runner's, unless a
  // window fed by hand (a test) gives its own.
  void UseCounts(std::function<station::StationCounts()> counts) { counts_ = std::move(counts); }
  // Applies what the face was told and redraws what changed, now (the timer does it otherwise).
  void Refresh();
  // The program's exit status once the window is gone: the station's, or 2 when the image or the
  // log was refused.
  int exitStatus() const { return exitStatus_; }
  // Waits at most `ms` for the engine's thread to be done (at the program's end).
  void WaitForEngine(DWORD ms) {
    if (engine_ != nullptr) WaitForSingleObject(engineEnded_, ms);
  }

 private:
  static LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam);
  static DWORD WINAPI EngineThread(LPVOID self);
  int RunEngine();

  void Apply(const BoardEvent& event);
  void Layout();
  void MakeFonts(int tileHeight);
  void UpdateHeader(uint32_t now);
  void UpdateBanner();
  // Stop button or close: asks first while units are in flight.
  void RequestStop();

  station::StationRunner& runner_;
  std::function<station::StationCounts()> counts_;
  BoardSetup setup_;
  BoardFace face_;
  BoardModel model_;
  const BoardTexts& texts_;  // the model's
  HWND window_ = nullptr;
  HWND header_ = nullptr, banner_ = nullptr, stop_ = nullptr, tooltip_ = nullptr;
  std::vector<std::unique_ptr<TileSlot>> slots_;  // by position: the tiles in port order
  std::vector<HWND> tiles_;
  struct TileLabel {
    std::wstring text, tip;  // the tile's window text and tooltip as last set
    TileState state = TileState::Empty;
    uint32_t at = 0;  // when the text was last set
    // What the last refresh of this position saw: the tile's port and changes, the second, and
    // whether all of it is shown (a throttled change is not yet).
    std::string port;
    uint64_t changes = 0;
    uint32_t second = 0;
    bool settled = false;
  };
  std::vector<TileLabel> labels_;  // by position, as slots_
  TileFonts tileFonts_;
  HFONT headerFont_ = nullptr, smallFont_ = nullptr, mediumFont_ = nullptr, narrowFont_ = nullptr;
  UINT dpi_ = 96;
  std::unique_ptr<StripView> headerView_, bannerView_;
  std::wstring imageLine_;  // the header's second line: image, SHA-256, log
  std::wstring preparing_;  // while the image is read: "reading the image 45 %"
  uint32_t headerAt_ = 0;   // when the header's text was last set
  HANDLE engine_ = nullptr;
  HANDLE engineEnded_ = nullptr;  // manual reset: set once the engine's thread is done
  std::string refusal_;           // why the image or the log was refused (engine thread)
  bool closeWhenFinished_ = false;
  bool stopping_ = false;
  int exitStatus_ = EXIT_USAGE;
};

}  // namespace pelorin::board
