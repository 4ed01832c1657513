// PelorinCli --station on Windows: pins and hashes the image, opens the production log, then
// polls the bulk-pipe interface class every STATION_POLL_INTERVAL_MS and runs a worker for each
// device the station core starts, each on its own thread under the station's one watchdog,
// until Ctrl+C (or a console close) or --count records.
#pragma once

#include "cancellation_win32.h"
#include "cli_core.h"

namespace pelorin::cli {

// Returns the exit status.
int RunStation(const Options& options, Cancellation& cancellation);

}  // namespace pelorin::cli
