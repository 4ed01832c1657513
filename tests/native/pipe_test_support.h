// Shared pieces of the bulk-pipe tests: a link that records what the worker writes, a scripted
// in-pipe, and a reporter that notes whether a device's pipes and image were closed by the time
// its final report was posted.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bulk_pipe_device.h"
#include "fake_image_source.h"
#include "pipe_download.h"
#include "pipe_watchdog.h"
#include "recording_reporter.h"

namespace pelorin::test {

// Passes writes on to `inner` and keeps the first 16 bytes and the size of each.
class TapLink : public PipeLink {
 public:
  struct Write_ {
    uint32_t size;
    std::vector<uint8_t> head;
  };
  TapLink(std::unique_ptr<PipeLink> inner, std::vector<Write_>* log)
      : inner_(std::move(inner)), log_(log) {}
  bool Write(const uint8_t* data, uint32_t size, uint32_t* written) override {
    log_->push_back({size, std::vector<uint8_t>(data, data + (size < 16 ? size : 16))});
    return inner_->Write(data, size, written);
  }
  bool Read(uint8_t* buffer, uint32_t capacity, uint32_t* got) override {
    return inner_->Read(buffer, capacity, got);
  }
  bool Valid() const override { return inner_->Valid(); }

 private:
  std::unique_ptr<PipeLink> inner_;
  std::vector<Write_>* log_;
};

// An in-pipe that plays a script: each step is one read's result (failed, or these bytes),
// which arrives `delayMs` of the clock after the read began, unless the read is cancelled
// meanwhile (Canceller): then it fails and the step is gone. Once the script is over, every read
// fails (the device is gone).
// Cancels a call by raising a flag that the test's blocked call watches.
class FlagCanceller : public PipeCallCanceller {
 public:
  explicit FlagCanceller(std::atomic<bool>* cancelled) : cancelled_(cancelled) {}
  void CancelCall() override { *cancelled_ = true; }

 private:
  std::atomic<bool>* cancelled_;
};

class ScriptedInLink : public PipeLink {
 public:
  struct Step {
    bool ok;
    std::string bytes;
    uint32_t delayMs = 0;
  };
  using Canceller = FlagCanceller;
  // `capacities`, when given, collects what each successful read asked for.
  explicit ScriptedInLink(std::deque<Step> script, std::vector<uint32_t>* capacities = nullptr)
      : script_(std::move(script)), capacities_(capacities) {}
  bool Write(const uint8_t*, uint32_t, uint32_t* written) override {
    *written = 0;
    return false;
  }
  bool Read(uint8_t* buffer, uint32_t capacity, uint32_t* got) override {
    *got = 0;
    if (script_.empty()) {
      // The script is over: the device is gone. A worker that never stops reading it would
      // keep the test busy for ever: it fails instead.
      if (++readsAfterScript_ > 100000) throw std::runtime_error("read on after the script");
      return false;
    }
    Step step = std::move(script_.front());
    script_.pop_front();
    if (left) *left = script_.size();
    if (step.delayMs != 0) {
      // The time passes a second at a time, as it would for a watchdog that looks at its
      // deadlines: a cancellation ends the wait at once.
      cancelled = false;
      for (uint32_t waited = 0; waited < step.delayMs; waited += 1000) {
        clock->Advance(std::min<uint32_t>(1000, step.delayMs - waited));
        if (cancelled.exchange(false)) return false;
      }
    }
    if (!step.ok) return false;
    if (capacities_) capacities_->push_back(capacity);
    const uint32_t n = step.bytes.size() < capacity ? uint32_t(step.bytes.size()) : capacity;
    for (uint32_t i = 0; i < n; ++i) buffer[i] = static_cast<uint8_t>(step.bytes[i]);
    *got = n;
    return true;
  }
  bool Valid() const override { return true; }

  size_t* left = nullptr;      // told how many steps are left after each read
  FakeClock* clock = nullptr;  // needed by steps with a delay
  std::atomic<bool> cancelled{false};

 private:
  std::deque<Step> script_;
  std::vector<uint32_t>* capacities_;
  int readsAfterScript_ = 0;
};

// The last resort of a test that waits for a thread running code under test which ignored every
// cancellation: that thread uses the test's objects, so it can be neither joined nor left
// behind. The program ends here, failing, rather than hang.
[[noreturn]] inline void AbandonTestProgram(const char* what) {
  std::fprintf(stderr, "FATAL: %s; the test program ends here instead of hanging\n", what);
  std::fflush(stderr);
  std::abort();
}

// Waits (polling, at most `limitMs` of real time) until `condition` holds; true when it did.
template <class Condition>
bool Eventually(Condition condition, int limitMs = 10000) {
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > giveUp) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Runs `body` (code under test that blocks, such as a download's controller) on this thread,
// bounded: past `limitMs` of real time the test fails and `cancel` is called from another thread
// to end what the body waits for. Should the body not return within 5 s more, the program is
// abandoned.
template <class Body, class Cancel>
void RunBounded(Body body, Cancel cancel, int limitMs = 10000) {
  std::mutex mutex;
  std::condition_variable returned;
  bool done = false;
  std::thread guard([&] {
    std::unique_lock lock(mutex);
    if (returned.wait_for(lock, std::chrono::milliseconds(limitMs), [&] { return done; })) return;
    ADD_FAILURE() << "did not return within " << limitMs << " ms of real time; cancelled";
    lock.unlock();
    cancel();
    lock.lock();
    if (!returned.wait_for(lock, std::chrono::seconds(5), [&] { return done; })) {
      AbandonTestProgram("the code under test did not return although it was cancelled");
    }
  });
  body();
  {
    std::lock_guard lock(mutex);
    done = true;
  }
  returned.notify_all();
  guard.join();
}

// Lets the fake clock run on, as real time would, while the worker is blocked in `device`, so
// that the watchdog gives the blocked call up when its deadline comes: each step advances the
// clock to the watchdog's next deadline. Returns when `done` is set. Should the worker stay
// blocked although the clock has run on for twice the longest limit (the watchdog did not give
// the call up), or not end within `realLimitMs`, it fails the test and cancels everything (the
// watchdog and the device), so that the worker ends.
inline bool LetTimeRunWhileBlocked(devsim::BulkPipeDevice& device, FakeClock& clock,
                                   PipeWatchdog& watchdog, const std::atomic<bool>& done,
                                   uint32_t realLimitMs = 20000) {
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::milliseconds(realLimitMs);
  uint64_t advanced = 0;
  while (!done) {
    const bool overdue = advanced > 2ull * ANSWER_TIMEOUT_MS;
    if (overdue || std::chrono::steady_clock::now() > giveUp) {
      const devsim::BulkPipeResult r = device.Result();
      ADD_FAILURE() << "the worker did not end "
                    << (overdue ? "although its blocked call was long overdue"
                                : "within the test's real-time limit")
                    << "; the device is in phase " << devsim::PhaseName(r.phase)
                    << (r.hung ? " (hung)" : "");
      watchdog.CancelAll();
      device.Shutdown();
      if (!Eventually([&] { return done.load(); }, 5000)) {
        AbandonTestProgram("the worker did not end although everything was cancelled");
      }
      return false;
    }
    if (device.hostBlocked()) {
      const uint32_t next = watchdog.CancelOverdue();
      const uint32_t step = next == UINT32_MAX ? 1000 : (next == 0 ? 1 : next);
      clock.Advance(step);
      advanced += step;
      // A call cancelled by this step returns on the worker's thread: let it, before the time
      // runs on (on a loaded machine that can take milliseconds of real time).
      Eventually([&] { return done.load() || !device.hostBlocked(); }, 100);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Stands between a worker and its watch, noting whether the worker left it: a worker that
// returns without leaving is reported, and left on its behalf so that the watchdog can end.
class LeaveCheckingWatch : public PipeCallWatch {
 public:
  explicit LeaveCheckingWatch(std::shared_ptr<PipeCallWatch> inner) : inner_(std::move(inner)) {}
  bool BeginCall(uint32_t deadlineTick) override { return inner_->BeginCall(deadlineTick); }
  bool EndCall() override { return inner_->EndCall(); }
  void Leave() override {
    left_ = true;
    inner_->Leave();
  }
  // After the worker has returned.
  void CheckLeft(int32_t device) {
    if (left_) return;
    ADD_FAILURE() << "the worker of device " << device << " returned without leaving its watch";
    Leave();
  }

 private:
  std::shared_ptr<PipeCallWatch> inner_;
  bool left_ = false;
};

// Notes, at each final report, whether the device's links and the image readers were closed.
class ClosingCheckReporter : public RecordingReporter {
 public:
  ClosingCheckReporter(const devsim::BulkPipeDevice* device, const devsim::FakeImageSource* image)
      : device_(device), image_(image) {}
  void PostStatus(int32_t code, int32_t lParam) override {
    if (code == STATUS_ERROR || code == STATUS_CHECKSUMS_ERROR || code == STATUS_DEVICE_DONE) {
      bool closed = image_->openReaders() == 0;
      if (device_) {
        const devsim::BulkPipeResult r = device_->Result();
        closed = closed && r.outClosed && r.inClosed;
      }
      closedAtFinalReport.push_back(closed);
    }
    RecordingReporter::PostStatus(code, lParam);
  }
  void PostProgress(int32_t bar, int32_t percent) override {
    if (device_) dataWritesAtProgress.push_back(device_->Result().dataWrites);
    RecordingReporter::PostProgress(bar, percent);
  }
  std::vector<bool> closedAtFinalReport;
  std::vector<uint32_t> dataWritesAtProgress;  // data writes the device had taken at each post

 private:
  const devsim::BulkPipeDevice* device_;
  const devsim::FakeImageSource* image_;
};

inline bool IsFinal(const ReportEvent& e) {
  return e.kind == ReportEvent::Status &&
         (e.a == STATUS_ERROR || e.a == STATUS_CHECKSUMS_ERROR || e.a == STATUS_DEVICE_DONE);
}

inline std::vector<uint8_t> Bytes(std::initializer_list<int> values) {
  std::vector<uint8_t> out;
  for (int v : values) out.push_back(static_cast<uint8_t>(v));
  return out;
}

}  // namespace pelorin::test
