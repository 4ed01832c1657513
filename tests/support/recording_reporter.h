// Test doubles for the download seams that stand where the dialog and the wall clock stand in
// the product: a Reporter that records every request in order (thread-safe, as many download
// threads report at once) and feeds a ConsoleModel like the dialog would, and a Clock that
// advances without sleeping.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "console_model.h"
#include "device_activity.h"
#include "download_report.h"

namespace pelorin::test {

struct ReportEvent {
  enum Kind { Status, Progress, Control, StopBox, AppBox } kind;
  int32_t a = 0;  // code, bar or control request
  int32_t b = 0;  // lParam, position or argument
  std::string text;
  std::string caption;

  bool operator==(const ReportEvent&) const = default;
};

inline ReportEvent StatusEvent(int32_t code, int32_t lParam) {
  return {ReportEvent::Status, code, lParam, {}, {}};
}
inline ReportEvent ProgressEvent(int32_t bar, int32_t pos) {
  return {ReportEvent::Progress, bar, pos, {}, {}};
}
inline ReportEvent ControlEvent(int32_t request, int32_t arg = 0) {
  return {ReportEvent::Control, request, arg, {}, {}};
}
inline ReportEvent StopBoxEvent(std::string text, std::string caption) {
  return {ReportEvent::StopBox, 0, 0, std::move(text), std::move(caption)};
}
// `a` is the box's icon.
inline ReportEvent AppBoxEvent(std::string text, BoxIcon icon = BoxIcon::Exclamation) {
  return {ReportEvent::AppBox, static_cast<int32_t>(icon), 0, std::move(text), {}};
}

// A device's ending as the worker told it (DeviceEnded).
struct DeviceEnding {
  int32_t device;
  DeviceOutcome outcome;
  uint32_t tick;
  std::string message;
  bool operator==(const DeviceEnding&) const = default;
};

class RecordingReporter : public Reporter {
 public:
  void PostStatus(int32_t code, int32_t lParam) override {
    Add(StatusEvent(code, lParam), [&] { model_.OnStatus(code, lParam); });
  }
  void PostProgress(int32_t bar, int32_t percent) override {
    Add(ProgressEvent(bar, percent), [&] { model_.OnProgress(bar, percent, 0); });
  }
  void Control(DownloadControl request, int32_t argument) override {
    Add(ControlEvent(request, argument), [&] { model_.OnControl(request, argument); });
  }
  void ShowStopBox(std::string_view text, std::string_view caption) override {
    Add(StopBoxEvent(std::string(text), std::string(caption)), [] {});
  }
  void ShowAppBox(std::string_view text, BoxIcon icon) override {
    Add(AppBoxEvent(std::string(text), icon), [] {});
  }

  // The per-device facts go to a board as the front ends keep them; the endings are also kept in
  // the order the workers told them.
  void DeviceReady(int32_t device, std::string_view path) override {
    board_.Ready(download_, device, path);
  }
  void DeviceStarted(int32_t device, uint32_t tick) override {
    board_.Started(download_, device, tick);
  }
  void DeviceSent(int32_t device, uint64_t bytesSent, uint64_t imageSize, uint32_t tick) override {
    board_.Sent(download_, device, bytesSent, imageSize, tick);
  }
  void DeviceEnded(int32_t device, DeviceOutcome outcome, uint32_t tick,
                   std::string_view message) override {
    board_.Ended(download_, device, outcome, tick, message);
    std::lock_guard lock(mutex_);
    endings_.push_back({device, outcome, tick, std::string(message)});
  }
  // What the Device* reports told of device `device` (0..15).
  DeviceActivity device(int32_t device) const { return board_.Device(device); }

  std::vector<ReportEvent> events() const {
    std::lock_guard lock(mutex_);
    return events_;
  }
  // The per-device endings, in the order the workers told them (not among events()).
  std::vector<DeviceEnding> endings() const {
    std::lock_guard lock(mutex_);
    return endings_;
  }
  // Only the events of one kind, in order.
  std::vector<ReportEvent> events(ReportEvent::Kind kind) const {
    std::vector<ReportEvent> out;
    for (auto& e : events())
      if (e.kind == kind) out.push_back(e);
    return out;
  }
  // A copy of the console as the dialog would show it after every report so far.
  ConsoleModel model() const {
    std::lock_guard lock(mutex_);
    return model_;
  }
  // Waits until `predicate(events)` holds, at most `timeoutMs` of real time. Returns whether it
  // held.
  template <class Predicate>
  bool WaitFor(Predicate predicate, int timeoutMs = 20000) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return predicate(events_); });
  }
  // Waits until the console has left its downloading state after the download began.
  bool WaitForIdle(int timeoutMs = 20000) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return !model_.downloading(); });
  }
  // Puts the model into its downloading state, as the Download button does.
  void BeginDownload() {
    std::lock_guard lock(mutex_);
    model_.BeginDownload();
  }

 private:
  template <class Apply>
  void Add(ReportEvent event, Apply apply) {
    {
      std::lock_guard lock(mutex_);
      events_.push_back(std::move(event));
      apply();
    }
    changed_.notify_all();
  }

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<ReportEvent> events_;
  std::vector<DeviceEnding> endings_;
  ConsoleModel model_;
  DeviceActivityBoard board_;
  const uint32_t download_ = board_.Begin();
};

// Pauses advance a counter instead of sleeping; ticks follow the pauses plus any manual advance.
// A listener set before the clock is shared hears every advance, on the advancing thread (a
// test's watchdog looks at its deadlines then).
class FakeClock : public Clock {
 public:
  explicit FakeClock(uint32_t start = 1000) : now_(start) {}
  void Sleep(uint32_t milliseconds) override {
    now_ += milliseconds;
    sleeps_ += 1;
    slept_ += milliseconds;
    if (onAdvance_) onAdvance_();
  }
  uint32_t TickCount() override { return now_.load(); }
  void Advance(uint32_t milliseconds) {
    now_ += milliseconds;
    if (onAdvance_) onAdvance_();
  }
  void SetOnAdvance(std::function<void()> listener) { onAdvance_ = std::move(listener); }
  uint64_t totalSlept() const { return slept_.load(); }
  uint32_t sleepCount() const { return sleeps_.load(); }

 private:
  std::atomic<uint32_t> now_;
  std::atomic<uint64_t> slept_{0};
  std::atomic<uint32_t> sleeps_{0};
  std::function<void()> onAdvance_;
};

}  // namespace pelorin::test
