// The control-pipe download's thread on Windows: reports through the job's reporter, reads the
// job's image file, and reaches the driver service through DeviceIoControl.
#pragma once

#include <windows.h>

#include "download_job_win32.h"
#include "driver_transport.h"

namespace pelorin {

// Starts the download thread for `job` (device type 0); its handle, or null when no thread
// could be created. Matches DownloadThreadStarter.
HANDLE StartControlPipeDownload(DownloadJob* job);

// The same thread over another transport (the simulated service in tests). `transport` must
// outlive the thread.
HANDLE StartControlPipeDownloadOver(DownloadJob* job, DriverTransport* transport);

}  // namespace pelorin
