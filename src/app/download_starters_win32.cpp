#include "download_starters_win32.h"

#include "control_pipe_download_win32.h"
#include "pipe_download_win32.h"

namespace pelorin {

// One line per device type: the thread that serves it, or null while that path is not built
// (the dialog then tells the operator that no download thread could be created).
DownloadStarters ApplicationDownloadStarters() {
  DownloadStarters starters;
  starters.controlPipe = &StartControlPipeDownload;
  starters.pipes = &StartPipeDownload;
  return starters;
}

}  // namespace pelorin
