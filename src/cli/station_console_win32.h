// PelorinCli --station: the station engine (src/station) with the console as its face. Each
// unit's line comes once its record is in the log, boxes go to standard error, and on a console
// a status line is rewritten in place; every line goes through the console's writer thread, so a
// console that does not take them holds nothing but itself.
#pragma once

#include "cancellation_win32.h"
#include "cli_core.h"

namespace pelorin::cli {

// Returns the exit status.
int RunStation(const Options& options, Cancellation& cancellation);

}  // namespace pelorin::cli
