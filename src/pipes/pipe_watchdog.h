// Bounded device I/O for the bulk-pipe download. The pipes are opened for synchronous I/O, and a
// synchronous call on a device that hangs never returns by itself. So every pipe call of a worker
// carries a deadline, and one watchdog per download gives up the calls that pass theirs: it asks
// the platform to cancel the call (Windows: CancelSynchronousIo on the worker's thread), which
// then returns as failed, and the worker ends that device the way its protocol step prescribes.
//
// Portable: the deadlines are ticks of the worker's Clock, so the native tests drive everything
// with a fake clock; only the cancellation itself is the platform's.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "download_report.h"

namespace pelorin {

// How one worker's blocked call is cancelled. Called by the watchdog with its lock held, only
// while that worker is inside a call it announced and that call is past its deadline (again a
// little later if the call has not returned yet, so that a cancellation that came too early to
// find the call still catches it). Must not block and must not call back into the watchdog.
class PipeCallCanceller {
 public:
  virtual ~PipeCallCanceller() = default;
  virtual void CancelCall() = 0;
};

// A worker's side of the watchdog. Every entry is called by that worker only, on its own thread.
class PipeCallWatch {
 public:
  virtual ~PipeCallWatch() = default;
  // Announces a pipe call that must have completed by `deadlineTick` (a tick of the worker's
  // clock). False when the download is being cancelled: the call must not be made.
  virtual bool BeginCall(uint32_t deadlineTick) = 0;
  // The announced call returned. True when the watchdog cancelled it (it was overdue); a call
  // that succeeded all the same stays a success for the caller.
  virtual bool EndCall() = 0;
  // The worker makes no more calls. Called once; after this it must not touch the watch again.
  virtual void Leave() = 0;
  // Whether a call of this worker was refused or cancelled from outside (the download stopped,
  // or the worker was withdrawn) rather than given up for being overdue: the worker ended
  // because it was told to.
  virtual bool Interrupted() { return false; }
};

// Re-cancels a call that is still running this long after it was cancelled.
inline constexpr uint32_t PIPE_RECANCEL_INTERVAL_MS = 200;

// One per download (or one for a station's whole life). Workers are enrolled before they start,
// also while the watchdog runs; the watchdog runs on a thread of its own (the controller's, once
// it has started the workers) until the last one has left. A station that must keep it running
// while no worker is active enrols a keeper of its own (no canceller, never a call) and leaves it
// when the station ends.
class PipeWatchdog : public std::enable_shared_from_this<PipeWatchdog> {
 public:
  PipeWatchdog();
  ~PipeWatchdog();
  PipeWatchdog(const PipeWatchdog&) = delete;
  PipeWatchdog& operator=(const PipeWatchdog&) = delete;

  // Enrols one worker whose calls `canceller` cancels and whose deadlines are ticks of `clock`
  // (which must outlive the worker). The watch keeps the watchdog alive. Any thread; the
  // watchdog must be owned by a shared_ptr. `id` (if given) gets the worker's number for
  // Withdraw.
  std::shared_ptr<PipeCallWatch> Enrol(std::unique_ptr<PipeCallCanceller> canceller, Clock& clock,
                                       uint64_t* id = nullptr);

  // Runs the watchdog on the calling thread until every enrolled worker has left. Sleeps until
  // the earliest deadline, or until a call with an earlier one begins; never spins.
  void Run();
  // One round of Run, for callers that drive the watchdog themselves: cancels every call past its
  // deadline. Returns the milliseconds until the next deadline (of a call that is not yet
  // cancelled, or the next re-cancel), UINT32_MAX when no call is pending.
  uint32_t CancelOverdue();
  // Makes a sleeping Run look at the clocks again (a test's fake clock has moved).
  void Wake();
  // Cancels every pending call at once and refuses every later one (the operator stopped the
  // download). Any thread.
  void CancelAll();
  bool cancelled() const;
  // Cancels worker `id`'s pending call at once and refuses its later ones (its device went away);
  // the others go on. Nothing when that worker has left. Any thread.
  void Withdraw(uint64_t id);
  // Workers enrolled and not yet left.
  int active() const;

 private:
  class Slot;
  uint32_t CancelOverdueLocked();
  void Forget(const Slot* slot);  // with the lock held

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::unique_ptr<Slot>> slots_;
  int active_ = 0;
  uint64_t nextId_ = 1;
  bool cancelled_ = false;
  // While Run sleeps: when it will look again by itself (time_point::max(): only when woken).
  // A call whose deadline comes earlier wakes it.
  bool sleeping_ = false;
  std::chrono::steady_clock::time_point wakeAt_{};
};

}  // namespace pelorin
