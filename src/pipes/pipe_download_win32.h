// The bulk-pipe download's Windows threads: the controller (started by a front end's download,
// the dialog's Download command), and one device worker per discovered device, each running the
// portable core of pipe_download.h over the device's real pipe handles and reporting through the
// job's reporter.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>

#include "download_job_win32.h"
#include "pipe_download.h"
#include "scoped_handle_win32.h"

namespace pelorin {

// Starts the controller thread with `job` (normal priority, default stack, running at once).
// Returns the thread's handle, or null when no thread could be created. Matches
// DownloadThreadStarter.
HANDLE StartPipeDownload(DownloadJob* job);

// The controller itself, on the calling thread: finds the devices, starts their workers (with
// `limits` on their pipe calls), and watches their pipe calls with `watchdog` until the last one
// has ended, its last report made. The controller thread runs it; the headless front end calls it
// directly (and cancels through the watchdog: then no further device is looked for or opened).
PipeDownloadResult RunPipeDownload(DownloadJob* job, PipeWatchdog& watchdog,
                                   PipeCallLimits limits = {});

// Cancels the synchronous pipe call that `thread` is blocked in (CancelSynchronousIo); the call
// then fails with ERROR_OPERATION_ABORTED. Takes ownership of the handle, which needs
// THREAD_TERMINATE access (CreateThread's handle has it).
std::unique_ptr<PipeCallCanceller> ThreadCallCanceller(HANDLE thread);

// A PipeLink over one pipe handle opened for synchronous I/O; owns and closes the handle.
// Null and INVALID_HANDLE_VALUE are the invalid pipe.
class HandlePipeLink : public PipeLink {
 public:
  explicit HandlePipeLink(HANDLE pipe) : pipe_(pipe) {}
  bool Write(const uint8_t* data, uint32_t size, uint32_t* written) override;
  bool Read(uint8_t* buffer, uint32_t capacity, uint32_t* got) override;
  bool Valid() const override { return pipe_.valid(); }

 private:
  ScopedHandle pipe_;
};

}  // namespace pelorin
