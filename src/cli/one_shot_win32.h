// PelorinCli's one-shot forms: --list, and a download to the devices present now (the bulk-pipe
// devices that discovery finds, or the driver-service device), reported on the console and in
// the run's JSON record.
#pragma once

#include "cancellation_win32.h"
#include "cli_core.h"

namespace pelorin::cli {

// Prints the present bulk-pipe devices (index and interface path); opens no pipe.
int RunList();

// One download; returns the exit status. `cancellation` stops it.
int RunDownload(const Options& options, Cancellation& cancellation);

}  // namespace pelorin::cli
