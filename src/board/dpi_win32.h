// The board's sizes are written at 96 DPI and scaled by the DPI of the monitor its window is on.
// The per-monitor functions (Windows 10) are looked up at run time, so that the program still
// loads on Vista, where the system DPI (GetDeviceCaps) stands in.
#pragma once

#include <windows.h>

namespace pelorin::board {

// The DPI of `window`'s monitor (96 when nothing better is known).
UINT WindowDpi(HWND window);
// `value` at 96 DPI, scaled to `dpi`.
inline int Scale(int value, UINT dpi) {
  return MulDiv(value, static_cast<int>(dpi), 96);
}

}  // namespace pelorin::board
