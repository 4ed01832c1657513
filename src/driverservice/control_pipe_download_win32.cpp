#include "control_pipe_download_win32.h"

#include <new>

#include "control_pipe_download.h"
#include "dialog_reporter_win32.h"
#include "driver_transport_win32.h"
#include "file_image_source_win32.h"

namespace pelorin {

namespace {

struct ThreadStart {
  DownloadJob* job;
  DriverTransport* transport;  // null: the thread makes the Windows transport
};

DWORD WINAPI ControlPipeThread(void* parameter) {
  ThreadStart start = *static_cast<ThreadStart*>(parameter);
  delete static_cast<ThreadStart*>(parameter);

  DialogReporter reporter(start.job->window, &start.job->activity, start.job->download);
  SystemClock clock;
  FileImageSource image(start.job->fileName);
  if (start.transport != nullptr) {
    ControlPipeDownload(*start.transport, reporter, clock, image);
    return 0;
  }
  Win32DriverTransport transport;
  ControlPipeDownload(transport, reporter, clock, image);
  return 0;
}

}  // namespace

HANDLE StartControlPipeDownloadOver(DownloadJob* job, DriverTransport* transport) {
  auto* start = new (std::nothrow) ThreadStart{job, transport};
  if (start == nullptr) return nullptr;
  HANDLE thread = CreateThread(nullptr, 0, &ControlPipeThread, start, 0, nullptr);
  if (thread == nullptr) delete start;
  return thread;
}

HANDLE StartControlPipeDownload(DownloadJob* job) {
  return StartControlPipeDownloadOver(job, nullptr);
}

}  // namespace pelorin
