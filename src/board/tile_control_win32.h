// One port's tile on the board: a child window that paints what its TileView says, in the
// colour of its state, double-buffered (the whole tile is drawn into a memory bitmap, then
// copied), so that a repaint never flickers. Its window text is the tile's whole state line, for
// screen readers and for tests; the board sets it.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "board_model.h"

namespace pelorin::board {

inline constexpr wchar_t TILE_CLASS[] = L"PelorinStationTile";

// What a tile shows, made by the board from the model (UTF-16, ready to draw).
struct TileView {
  TileColour colour = TileColour::Grey;
  std::wstring port;    // short form
  std::wstring state;   // in large type
  std::wstring serial;  // "SN-A", or empty
  std::wstring time;    // "12.3 s", or empty
  std::wstring tally;   // "12 ok · 1 failed"
  int percent = -1;     // the bar while flashing; -1 none
  bool checkPort = false;
  std::wstring mark;  // "Check this port", shown instead of the time while checkPort

  bool operator==(const TileView&) const = default;
};

// The fonts a tile draws with, owned by the board (made for the tile size and DPI).
struct TileFonts {
  HFONT state = nullptr;
  HFONT small = nullptr;
  int smallHeight = 12;  // pixels of a line in the small font
  int padding = 4;       // pixels
};

// What one tile window draws: its view and the board's fonts. Owned by the board; must outlive
// the tile window.
struct TileSlot {
  TileView view;
  const TileFonts* fonts = nullptr;
  uint32_t paintedAt = 0;  // when the board last asked for a repaint (GetTickCount)
  // The tile's off-screen buffer, kept between paints (made again when the tile's size
  // changes); the tile's own.
  HDC buffer = nullptr;
  HBITMAP bitmap = nullptr;
  HGDIOBJ oldBitmap = nullptr;
  SIZE bufferSize{0, 0};
};

// The part of a tile of size `client` that must be drawn again when it showed `before` and is to
// show `after`: its top line (port, time), its middle (state, bar), its bottom line (serial,
// tally), or the whole tile when its colour or its mark changed.
RECT TileChangedArea(const RECT& client, const TileView& before, const TileView& after,
                     const TileFonts& fonts);

// Registers the tile class (once per process).
bool RegisterTileClass(HINSTANCE instance);
// Creates a tile under `parent` that draws `slot`.
HWND CreateTile(HWND parent, int id, TileSlot* slot);

}  // namespace pelorin::board
