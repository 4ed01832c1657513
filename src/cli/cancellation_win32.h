// How PelorinCli is stopped: Ctrl+C, Ctrl+Break, closing its console window, logging off and
// shutting down all stop the run the same way. Nothing new starts (no image read, probe, pipe
// open or device), every blocked pipe call and driver request under way is cancelled at once, and
// pauses end. A close, log-off or shut-down gives the process only a few seconds more, so those
// wait (at most CLOSE_GRACE_MS) until the run has written its record before Windows ends the
// process.
//
// Windows no longer tells a console program that loads user32 of a log-off or shut-down through
// its console handler, but through the session messages of its top-level windows, so a hidden
// window on a thread of its own hears those.
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

#include "cancellable_clock_win32.h"
#include "cancellable_driver_transport.h"
#include "cli_core.h"
#include "pipe_watchdog.h"

namespace pelorin::cli {

// How long a close, log-off or shut-down waits for the record (Windows allows about 5 s).
inline constexpr DWORD CLOSE_GRACE_MS = 4000;

class Cancellation {
 public:
  Cancellation();
  ~Cancellation();
  Cancellation(const Cancellation&) = delete;
  Cancellation& operator=(const Cancellation&) = delete;

  // The process's instance, whose handlers Install sets up (once, from main).
  static Cancellation& Process();
  // Sets up the console handler and starts the session window's thread; returns once that
  // window exists (a thread still starting when the program ends makes 32-bit Wine end it with
  // status 1). Uninstall ends that thread again; main calls it before it returns.
  void Install();
  void Uninstall();

  // Ctrl+C came (whether or not it still changed the run's result). Any thread.
  bool requested() const { return requested_; }
  const std::atomic<bool>& requestedFlag() const { return requested_; }
  // Set on Ctrl+C: a pause that waits on it ends at once.
  HANDLE event() const { return event_; }
  // Whether a Ctrl+C still cancels the one-shot run's result (cli_core.h).
  RunCancellation& run() { return run_; }

  // What a Ctrl+C must cancel while a download runs (null: nothing any more). Cancelled at once
  // when Ctrl+C came before.
  void Watch(std::shared_ptr<PipeWatchdog> watchdog);
  void Watch(CancellableDriverTransport* transport);
  // Called (on the handler's thread) when Ctrl+C comes, or at once when it came before. Must not
  // block.
  void OnCancel(std::function<void()> stop);

  // The run has written its record (or given up on it): a waiting close lets the process end.
  void Finished();
  // Of the CLOSE_GRACE_MS since Ctrl+C came, what is left (less a margin for returning): how much
  // longer a close may still be held for the console's last lines. CLOSE_GRACE_MS before it came.
  DWORD GraceLeft() const;

  // Stops the run as Ctrl+C does (the handlers call it). Any thread.
  void Cancel();
  // The console handler, for every event: true (handled). A close, log-off or shut-down returns
  // once Finished was called, or after CLOSE_GRACE_MS.
  BOOL OnConsoleEvent(DWORD event);
  // The session window's handling of WM_ENDSESSION (ending = its wParam).
  void OnEndSession(bool ending);

 private:
  std::atomic<bool> requested_{false};
  std::atomic<DWORD> requestedAt_{0};  // GetTickCount when the first Ctrl+C came
  HANDLE event_ = nullptr;     // manual reset: set on Ctrl+C
  HANDLE finished_ = nullptr;  // manual reset: set by Finished
  HANDLE sessionThread_ = nullptr;
  DWORD sessionThreadId_ = 0;
  RunCancellation run_;
  std::mutex mutex_;
  std::shared_ptr<PipeWatchdog> watchdog_;           // guarded by mutex_
  CancellableDriverTransport* transport_ = nullptr;  // guarded by mutex_
  std::function<void()> onCancel_;                   // guarded by mutex_
};

}  // namespace pelorin::cli
