// The download threads the dialog starts for each device type.
#pragma once

#include "download_job_win32.h"

namespace pelorin {

DownloadStarters ApplicationDownloadStarters();

}  // namespace pelorin
