// The download threads the dialog starts for each device type.
#pragma once

#include "loader_dialog_win32.h"

namespace pelorin {

DownloadStarters ApplicationDownloadStarters();

}  // namespace pelorin
