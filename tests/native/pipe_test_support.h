// Shared pieces of the bulk-pipe tests: a link that records what the worker writes, a scripted
// in-pipe, and a reporter that notes whether a device's pipes and image were closed by the time
// its final report was posted.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
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
class ScriptedInLink : public PipeLink {
 public:
  struct Step {
    bool ok;
    std::string bytes;
    uint32_t delayMs = 0;
  };
  class Canceller : public PipeCallCanceller {
   public:
    explicit Canceller(std::atomic<bool>* cancelled) : cancelled_(cancelled) {}
    void CancelCall() override { *cancelled_ = true; }

   private:
    std::atomic<bool>* cancelled_;
  };
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

// Lets the fake clock run on, as real time would, while the worker is blocked in `device`, so
// that the watchdog gives the blocked call up when its deadline comes: each step advances the
// clock to the watchdog's next deadline. Returns when `done` is set. Should the worker stay
// blocked although the clock has run on for twice the longest limit (the watchdog did not give
// the call up), or not end within `realLimitMs`, it releases the device for good, so that the
// worker and the test end, and fails the test with the device's phase.
inline bool LetTimeRunWhileBlocked(devsim::BulkPipeDevice& device, FakeClock& clock,
                                   PipeWatchdog& watchdog, const std::atomic<bool>& done,
                                   uint32_t realLimitMs = 120000) {
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::milliseconds(realLimitMs);
  uint64_t advanced = 0;
  while (!done) {
    const bool overdue = advanced > 2ull * ANSWER_TIMEOUT_MS;
    if (overdue || std::chrono::steady_clock::now() > giveUp) {
      const devsim::BulkPipeResult r = device.Result();
      device.Shutdown();
      ADD_FAILURE() << "the worker did not end "
                    << (overdue ? "although its blocked call was long overdue"
                                : "within the test's real-time limit")
                    << "; the device is in phase " << devsim::PhaseName(r.phase)
                    << (r.hung ? " (hung)" : "");
      while (!done) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      return false;
    }
    if (device.hostBlocked()) {
      const uint32_t next = watchdog.CancelOverdue();
      const uint32_t step = next == UINT32_MAX ? 1000 : (next == 0 ? 1 : next);
      clock.Advance(step);
      advanced += step;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

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
