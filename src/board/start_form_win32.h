// The board's start form, shown when PelorinStation.exe is started without an IMAGE: the image
// (chosen with the dialog's Open filter, then read once in the background with a progress bar:
// its size, byte sum and SHA-256), an expected SHA-256 to paste, the log file (beside the image
// by default), the ports, the units at once and re-flash; Start. A mismatch, a bad value or a log
// that cannot be opened refuses Start with the words PelorinCli uses.
#pragma once

#include <windows.h>

#include "board_window_win32.h"
#include "station_runner_win32.h"

namespace pelorin::board {

// The log a station keeps beside its image unless told otherwise.
inline constexpr char DEFAULT_LOG_NAME[] = "Pelorin-station.jsonl";

// Shows the form, filled from `setup` (the command line's options). On Start returns the runner
// that pinned the image and opened the log, with `setup` completed (prepared); null when the
// operator cancelled. The runner is never freed.
station::StationRunner* RunStartForm(HINSTANCE instance, BoardSetup* setup);

}  // namespace pelorin::board
