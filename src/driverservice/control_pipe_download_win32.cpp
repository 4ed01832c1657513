#include "control_pipe_download_win32.h"

#include <memory>
#include <new>

#include "control_pipe_download.h"
#include "driver_transport_win32.h"
#include "file_image_source_win32.h"
#include "system_clock_win32.h"

namespace pelorin {

namespace {

struct ThreadStart {
  DownloadJob* job;
  DriverTransport* transport;  // null: the thread makes the Windows transport
};

DWORD WINAPI ControlPipeThread(void* parameter) {
  ThreadStart start = *static_cast<ThreadStart*>(parameter);
  delete static_cast<ThreadStart*>(parameter);

  const std::shared_ptr<Reporter> reporter = start.job->reporter;
  SystemClock systemClock;
  Clock& clock = start.job->clock != nullptr ? *start.job->clock : systemClock;
  FileImageSource file(start.job->fileName);
  ImageSource& image = start.job->image != nullptr ? *start.job->image : file;
  if (start.transport != nullptr) {
    ControlPipeDownload(*start.transport, *reporter, clock, image);
    return 0;
  }
  Win32DriverTransport transport;
  ControlPipeDownload(transport, *reporter, clock, image);
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
