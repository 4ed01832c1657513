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

// The text of a Windows error code ("error 5: Access is denied."), for messages.
std::string ErrorText(DWORD error);

// The full path of `path` as UTF-8 (as given when it cannot be made full).
std::string FullPathUtf8(const std::wstring& path);

}  // namespace pelorin::cli
