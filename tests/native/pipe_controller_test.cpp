// The download controller: its two failures, the workers it starts, and whole downloads to
// many simulated devices at once on real threads, as the dialog's console sees them.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <optional>
#include <thread>

#include "memory_pipe_link.h"
#include "pipe_test_support.h"

namespace pelorin::test {
namespace {

using devsim::BulkPipeBehaviour;
using devsim::BulkPipeDevice;
using devsim::FakeImageSource;

// Discovery gives `count` devices; StartWorker fails for the indices in `refuse` and otherwise
// only notes the start.
class ScriptedEnvironment : public PipeControllerEnvironment {
 public:
  int32_t OpenDevices() override {
    ++discoveries;
    if (onDiscovery) onDiscovery();
    return count;
  }
  uint32_t LastErrorCode() override { return lastError; }
  bool StartWorker(int32_t i, PipeWatchdog&) override {
    log.push_back("start " + std::to_string(i));
    return std::find(refuse.begin(), refuse.end(), i) == refuse.end();
  }
  void CloseDevicePipes(int32_t i) override { log.push_back("close " + std::to_string(i)); }

  int32_t count = 0;
  uint32_t lastError = 0;
  std::vector<int32_t> refuse;
  int discoveries = 0;
  std::function<void()> onDiscovery;
  std::vector<std::string> log;
};

const ReportEvent RESET = ControlEvent(CONTROL_RESET_COUNTERS);
const ReportEvent START_TIMER = ControlEvent(CONTROL_START_TIMER);
const ReportEvent STOP_TIMER = ControlEvent(CONTROL_STOP_TIMER);
ReportEvent Expected(int32_t n) {
  return ControlEvent(CONTROL_SET_EXPECTED, n);
}

TEST(PipeDownloadController, ImageThatCannotBeSentEndsTheDownloadBeforeDiscovery) {
  auto missing = FakeImageSource::Generated(10, {.failOpen = true});
  auto huge = FakeImageSource::Generated(0x100000000ull);
  for (FakeImageSource* image : {missing.get(), huge.get()}) {
    RecordingReporter reporter;
    reporter.BeginDownload();
    ScriptedEnvironment environment;
    environment.count = 2;
    auto watchdog = std::make_shared<PipeWatchdog>();
    EXPECT_EQ(RunPipeDownloadController(reporter, *image, environment, *watchdog),
              PipeDownloadResult::ImageError);
    EXPECT_EQ(environment.discoveries, 0);
    EXPECT_EQ(reporter.events(),
              (std::vector<ReportEvent>{
                  RESET, START_TIMER, Expected(1), STOP_TIMER, StatusEvent(STATUS_ERROR, 0),
                  StopBoxEvent("이미지 파일을 열수 없습니다.", "파일 에러")}));
    EXPECT_FALSE(reporter.model().downloading());
    EXPECT_EQ(image->openReaders(), 0);
  }
}

TEST(PipeDownloadController, ImageOfTheLargestLengthGoesOnToDiscovery) {
  auto largest = FakeImageSource::Generated(0xFFFFFFFFull);
  RecordingReporter reporter;
  ScriptedEnvironment environment;
  auto watchdog = std::make_shared<PipeWatchdog>();
  EXPECT_EQ(RunPipeDownloadController(reporter, *largest, environment, *watchdog),
            PipeDownloadResult::NoDevice);
  EXPECT_EQ(environment.discoveries, 1);
}

TEST(PipeDownloadController, NoDeviceShowsTheLastErrorAndEndsTheDownload) {
  FakeImageSource image(Bytes({1, 2, 3}));
  RecordingReporter reporter;
  reporter.BeginDownload();
  ScriptedEnvironment environment;
  environment.lastError = 2;
  auto watchdog = std::make_shared<PipeWatchdog>();
  EXPECT_EQ(RunPipeDownloadController(reporter, image, environment, *watchdog),
            PipeDownloadResult::NoDevice);
  EXPECT_EQ(reporter.events(),
            (std::vector<ReportEvent>{
                RESET, START_TIMER, StatusEvent(STATUS_CONFIGURATION, 0), Expected(1), STOP_TIMER,
                StatusEvent(STATUS_ERROR, 0),
                StopBoxEvent("USB Cable 연결을 확인해 보세요.\nCODE:2 (PIPE01)", "연결 에러")}));
  EXPECT_FALSE(reporter.model().downloading());
  EXPECT_FALSE(reporter.model().timerRunning());
  EXPECT_EQ(image.openReaders(), 0);
}

TEST(PipeDownloadController, WorkerThatCannotStartIsReportedAndTheOthersGoOn) {
  FakeImageSource image(Bytes({1, 2, 3}));
  RecordingReporter reporter;
  reporter.BeginDownload();
  ScriptedEnvironment environment;
  environment.count = 4;
  environment.refuse = {1, 2};
  auto watchdog = std::make_shared<PipeWatchdog>();
  RunBounded(
      [&] {
        EXPECT_EQ(RunPipeDownloadController(reporter, image, environment, *watchdog),
                  PipeDownloadResult::Devices);
      },
      [&] { watchdog->CancelAll(); });

  EXPECT_EQ(environment.log, (std::vector<std::string>{"start 0", "start 1", "close 1", "start 2",
                                                       "close 2", "start 3"}));
  EXPECT_EQ(reporter.events(),
            (std::vector<ReportEvent>{
                RESET, START_TIMER, StatusEvent(STATUS_CONFIGURATION, 0), Expected(4),
                StatusEvent(STATUS_SEND_IMAGE, 0), StatusEvent(STATUS_ERROR, 1),
                StatusEvent(STATUS_ERROR, 2),
                AppBoxEvent("Download Thread를 생성할 수 없습니다.", BoxIcon::Stop)}));
  // The two started workers' final reports end the download.
  reporter.PostStatus(STATUS_DEVICE_DONE, 0);
  EXPECT_TRUE(reporter.model().downloading());
  reporter.PostStatus(STATUS_DEVICE_DONE, 0);
  EXPECT_FALSE(reporter.model().downloading());
}

TEST(PipeDownloadController, NoMoreThanSixteenDevicesAreStarted) {
  FakeImageSource image(Bytes({1, 2, 3}));
  RecordingReporter reporter;
  ScriptedEnvironment environment;
  environment.count = MAX_PIPE_DEVICES + 1;
  auto watchdog = std::make_shared<PipeWatchdog>();
  EXPECT_EQ(RunPipeDownloadController(reporter, image, environment, *watchdog),
            PipeDownloadResult::Devices);
  std::vector<std::string> started;
  for (int32_t i = 0; i < MAX_PIPE_DEVICES; ++i) started.push_back("start " + std::to_string(i));
  EXPECT_EQ(environment.log, started);
  const std::vector<ReportEvent> controls = reporter.events(ReportEvent::Control);
  EXPECT_NE(std::find(controls.begin(), controls.end(), Expected(MAX_PIPE_DEVICES)),
            controls.end());
}

// The operator's stop (the headless front end's Ctrl+C) before discovery looks for no device; one
// during discovery starts no worker and closes every pipe discovery opened.
TEST(PipeDownloadController, CancelledDownloadOpensNoDeviceAndStartsNoWorker) {
  FakeImageSource image(Bytes({1, 2, 3}));
  {
    RecordingReporter reporter;
    ScriptedEnvironment environment;
    environment.count = 2;
    auto watchdog = std::make_shared<PipeWatchdog>();
    watchdog->CancelAll();
    EXPECT_EQ(RunPipeDownloadController(reporter, image, environment, *watchdog),
              PipeDownloadResult::Cancelled);
    EXPECT_EQ(environment.discoveries, 0);
    EXPECT_TRUE(reporter.events(ReportEvent::StopBox).empty());
  }
  RecordingReporter reporter;
  ScriptedEnvironment environment;
  environment.count = 2;
  auto watchdog = std::make_shared<PipeWatchdog>();
  environment.onDiscovery = [&] { watchdog->CancelAll(); };
  EXPECT_EQ(RunPipeDownloadController(reporter, image, environment, *watchdog),
            PipeDownloadResult::Cancelled);
  EXPECT_EQ(environment.log, (std::vector<std::string>{"close 0", "close 1"}));
  EXPECT_TRUE(reporter.events(ReportEvent::StopBox).empty());
  EXPECT_EQ(reporter.events(ReportEvent::Status),
            std::vector<ReportEvent>{StatusEvent(STATUS_CONFIGURATION, 0)});
  EXPECT_EQ(image.openReaders(), 0);
}

// Sixteen simulated devices, each worker on a thread of its own with its own fake clock (the
// time of each device runs on by itself), all watched by the download's one watchdog.
class DeviceFarm : public PipeControllerEnvironment {
 public:
  DeviceFarm(int32_t count, ImageSource& image, Reporter& reporter)
      : image_(image), reporter_(reporter) {
    for (int32_t i = 0; i < count; ++i) {
      clocks_.push_back(std::make_unique<FakeClock>());
      devices_.push_back(std::make_unique<BulkPipeDevice>(*clocks_.back(), behaviours[i]));
    }
  }
  ~DeviceFarm() override { Join(); }
  void Join() {
    for (auto& t : threads_) t.join();
    threads_.clear();
  }

  // Runs the controller (and so the watchdog) on a thread while this one keeps the time: the
  // clock of a device that keeps a call blocked runs on in steps of a second. Returns the
  // controller's result once it has returned and every worker with it. Should a device stay
  // blocked long past every limit (the watchdog did not give its call up), the download not end
  // within 30 s of real time, or the controller not return although every worker has, the test
  // fails and everything is cancelled, so that it ends.
  PipeDownloadResult RunDownload() {
    using Steady = std::chrono::steady_clock;
    auto watchdog = std::make_shared<PipeWatchdog>();
    for (auto& clock : clocks_) clock->SetOnAdvance([w = watchdog.get()] { w->Wake(); });
    std::atomic<bool> done{false};
    PipeDownloadResult result{};
    std::thread controller([&] {
      result = RunPipeDownloadController(reporter_, image_, *this, *watchdog);
      done = true;
    });
    const auto start = Steady::now();
    std::optional<Steady::time_point> workersReturned, cancelledAt;
    std::vector<uint64_t> blockedFor(devices_.size(), 0);
    while (!done || running_ > 0) {
      const auto now = Steady::now();
      const bool held =
          holdTimeUntil != nullptr && !*holdTimeUntil && now - start < std::chrono::seconds(3);
      // A second at a time, but never past the next deadline: a call cancelled there returns
      // on its worker's thread, which is given the real time to do so before the time runs on.
      const uint32_t next = watchdog->CancelOverdue();
      const uint32_t step = next > 1000 ? 1000 : (next == 0 ? 1 : next);
      std::vector<size_t> advanced;
      for (size_t k = 0; k < devices_.size() && !held; ++k) {
        if (!devices_[k]->hostBlocked()) {
          blockedFor[k] = 0;
          continue;
        }
        clocks_[k]->Advance(step);
        advanced.push_back(k);
        if ((blockedFor[k] += step) > 2ull * ANSWER_TIMEOUT_MS && !cancelledAt) {
          ADD_FAILURE() << "device " << k << " stayed blocked long past every limit";
          cancelledAt = now;
        }
      }
      if (step == next && !advanced.empty()) {
        Eventually(
            [&] {
              return std::any_of(advanced.begin(), advanced.end(),
                                 [&](size_t k) { return !devices_[k]->hostBlocked(); });
            },
            50);
      }
      if (started_ > 0 && running_ == 0 && !workersReturned) workersReturned = now;
      if (!cancelledAt && workersReturned && now - *workersReturned > std::chrono::seconds(5)) {
        ADD_FAILURE() << "every worker returned, but the download did not end";
        cancelledAt = now;
      }
      if (!cancelledAt && now - start > std::chrono::seconds(30)) {
        ADD_FAILURE() << "the download did not end within 30 s of real time";
        cancelledAt = now;
      }
      if (cancelledAt) {
        watchdog->CancelAll();
        for (auto& device : devices_) device->Shutdown();
        if (now - *cancelledAt > std::chrono::seconds(5)) {
          AbandonTestProgram("the download did not end although it was cancelled");
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    controller.join();
    Join();
    for (auto& clock : clocks_) clock->SetOnAdvance(nullptr);
    EXPECT_EQ(watchdog->active(), 0);
    return result;
  }

  int32_t OpenDevices() override {
    for (size_t i = 0; i < devices_.size(); ++i) {
      pipes_.push_back(devsim::ConnectMemoryPipes(*devices_[i]));
    }
    return static_cast<int32_t>(devices_.size());
  }
  uint32_t LastErrorCode() override { return 0; }
  std::string DevicePath(int32_t i) override { return "sim" + std::to_string(i); }
  bool StartWorker(int32_t i, PipeWatchdog& watchdog) override {
    if (std::find(refuse.begin(), refuse.end(), i) != refuse.end()) return false;
    const size_t k = static_cast<size_t>(i);
    auto watch = std::make_shared<LeaveCheckingWatch>(
        watchdog.Enrol(devsim::MemoryPipeCanceller(*devices_[k]), *clocks_[k]));
    ++started_;
    ++running_;
    threads_.emplace_back([this, i, k, watch] {
      RunPipeDeviceWorker(i, std::move(pipes_[k].outPipe), std::move(pipes_[k].inPipe), image_,
                          reporter_, *clocks_[k], watch.get());
      watch->CheckLeft(i);
      --running_;
    });
    return true;
  }
  void CloseDevicePipes(int32_t i) override { pipes_[static_cast<size_t>(i)] = {}; }

  const BulkPipeDevice& device(int32_t i) const { return *devices_[static_cast<size_t>(i)]; }
  uint32_t now(int32_t i) const { return clocks_[static_cast<size_t>(i)]->TickCount(); }
  static inline BulkPipeBehaviour behaviours[MAX_PIPE_DEVICES];
  std::vector<int32_t> refuse;  // devices whose worker cannot be started
  // While this is false, the time of every device stands still (for at most 3 s).
  const std::atomic<bool>* holdTimeUntil = nullptr;

 private:
  ImageSource& image_;
  Reporter& reporter_;
  std::vector<std::unique_ptr<FakeClock>> clocks_;
  std::vector<std::unique_ptr<BulkPipeDevice>> devices_;
  std::vector<devsim::MemoryPipePair> pipes_;
  std::vector<std::thread> threads_;
  std::atomic<int> started_{0}, running_{0};  // workers started, and not yet returned
};

TEST(PipeDownloadController, SixteenDevicesDownloadInParallelToComplete) {
  auto image = FakeImageSource::Generated(1000000);
  for (auto& b : DeviceFarm::behaviours) b = {};
  DeviceFarm::behaviours[3].splitAnswers = true;
  DeviceFarm::behaviours[11].bytesPerSecond = 40000000;  // USB 2.0 high speed
  RecordingReporter reporter;
  reporter.BeginDownload();
  DeviceFarm farm(16, *image, reporter);
  EXPECT_EQ(farm.RunDownload(), PipeDownloadResult::Devices);

  const ConsoleModel model = reporter.model();
  EXPECT_FALSE(model.downloading());
  EXPECT_EQ(model.statusText(), "Complete");
  EXPECT_EQ(model.finishedDevices(), 16);
  EXPECT_FALSE(model.timerRunning());
  for (int32_t i = 0; i < 16; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(model.barPosition(i), 100);
    const devsim::BulkPipeResult r = farm.device(i).Result();
    EXPECT_TRUE(r.verified());
    EXPECT_EQ(r.dataBytes, 1000000u);
    EXPECT_EQ(r.replies, (std::vector<std::string>{"OK0", "OK1"}));
    // What the per-device views are told, under the device's own index.
    const DeviceActivity d = reporter.device(i);
    EXPECT_TRUE(d.ready);
    EXPECT_EQ(d.path, "sim" + std::to_string(i));
    EXPECT_TRUE(d.started);
    EXPECT_EQ(d.bytesSent, 1000000u);
    EXPECT_TRUE(d.ended);
    EXPECT_EQ(d.outcome, DeviceOutcome::Verified);
  }
  // Expected devices are set before STATUS_SEND_IMAGE, which comes before any progress.
  const std::vector<ReportEvent> events = reporter.events();
  auto at = [&](const ReportEvent& e) {
    auto found = std::find(events.begin(), events.end(), e);
    EXPECT_NE(found, events.end()) << "no such report";
    return found;
  };
  EXPECT_LT(at(Expected(16)), at(StatusEvent(STATUS_SEND_IMAGE, 0)));
  EXPECT_LT(at(StatusEvent(STATUS_SEND_IMAGE, 0)), at(ProgressEvent(0, 13)));
  EXPECT_EQ(image->openReaders(), 0);
}

TEST(PipeDownloadController, FailedAndHungDevicesEachGiveTheirOwnFinalReport) {
  auto image = FakeImageSource::Generated(300000);
  for (auto& b : DeviceFarm::behaviours) b = {};
  DeviceFarm::behaviours[5].answerVerifyError = true;
  DeviceFarm::behaviours[9].vanishIn = devsim::BulkPipePhase::Data;
  DeviceFarm::behaviours[12].stall = true;  // silent after the byte sum
  DeviceFarm::behaviours[13].hangIn = devsim::BulkPipePhase::Data;
  DeviceFarm::behaviours[13].hangAfterDataBytes = 131072;  // stops reading half-way
  DeviceFarm::behaviours[14].muteAfterReceive = true;
  DeviceFarm::behaviours[15].writeDelayMs = PIPE_WRITE_TIMEOUT_MS - 100;  // slow, not hung
  RecordingReporter reporter;
  reporter.BeginDownload();
  DeviceFarm farm(16, *image, reporter);
  EXPECT_EQ(farm.RunDownload(), PipeDownloadResult::Devices);

  // The failed devices report under their own indices; the others are done, the slow one too.
  // Which report the dialog counts last depends on the threads, so the status line is only
  // checked not to read "Complete".
  std::vector<ReportEvent> failures;
  int done = 0;
  for (auto& e : reporter.events()) {
    if (e == StatusEvent(STATUS_DEVICE_DONE, 0)) {
      ++done;
    } else if (IsFinal(e)) {
      failures.push_back(e);
    }
  }
  std::sort(failures.begin(), failures.end(),
            [](const ReportEvent& x, const ReportEvent& y) { return x.b < y.b; });
  EXPECT_EQ(failures, (std::vector<ReportEvent>{
                          StatusEvent(STATUS_CHECKSUMS_ERROR, 5), StatusEvent(STATUS_ERROR, 9),
                          StatusEvent(STATUS_ERROR, 12), StatusEvent(STATUS_ERROR, 13),
                          StatusEvent(STATUS_ERROR, 14)}));
  EXPECT_EQ(done, 11);
  for (int32_t i : {0, 1, 2, 3, 4, 6, 7, 8, 10, 11, 15}) {
    EXPECT_TRUE(farm.device(i).Result().verified()) << "device " << i;
  }
  EXPECT_TRUE(farm.device(13).Result().hung);
  const DeviceOutcome link = DeviceOutcome::LinkError;
  const DeviceOutcome expectedOutcome[16] = {
      DeviceOutcome::Verified, DeviceOutcome::Verified, DeviceOutcome::Verified,
      DeviceOutcome::Verified, DeviceOutcome::Verified, DeviceOutcome::VerificationError,
      DeviceOutcome::Verified, DeviceOutcome::Verified, DeviceOutcome::Verified,
      link,                    DeviceOutcome::Verified, DeviceOutcome::Verified,
      link,                    link,                    link,
      DeviceOutcome::Verified};
  for (int32_t i = 0; i < 16; ++i) {
    EXPECT_EQ(reporter.device(i).outcome, expectedOutcome[i]) << "device " << i;
    EXPECT_TRUE(reporter.device(i).ended) << "device " << i;
  }
  const ConsoleModel model = reporter.model();
  EXPECT_EQ(model.finishedDevices(), 16);
  EXPECT_FALSE(model.downloading());
  EXPECT_NE(model.statusText(), "Complete");
  EXPECT_EQ(reporter.events(ReportEvent::StopBox).size(), 5u);
  // The hung device's pipes were closed before its final report like everyone's.
  EXPECT_TRUE(farm.device(13).Result().outClosed);
  EXPECT_TRUE(farm.device(13).Result().inClosed);
}

// A box of the controller's (a worker that could not be started) comes up at once and waits for
// the operator while the other devices go on: their calls stay watched. Device 0 hangs half-way;
// its write is still given up at the 10 s limit while the box is up.
class BoxHoldingReporter : public RecordingReporter {
 public:
  void ShowAppBox(std::string_view text, BoxIcon icon) override {
    RecordingReporter::ShowAppBox(text, icon);
    endingsAtBox = endings().size();
    boxShown = true;
    // The operator dismisses the box once the started device has ended too (or after 5 s).
    const bool ended = Eventually(
        [&] {
          const std::vector<DeviceEnding> all = endings();
          return std::any_of(all.begin(), all.end(), [](auto& e) { return e.device == 0; });
        },
        5000);
    if (!ended) ADD_FAILURE() << "the started device did not end while the box was up";
  }
  std::atomic<size_t> endingsAtBox{0};
  std::atomic<bool> boxShown{false};
};

TEST(PipeDownloadController, DevicesStayWatchedWhileTheThreadStartBoxIsUp) {
  auto image = FakeImageSource::Generated(300000);
  for (auto& b : DeviceFarm::behaviours) b = {};
  DeviceFarm::behaviours[0].hangIn = devsim::BulkPipePhase::Data;
  DeviceFarm::behaviours[0].hangAfterDataBytes = 131072;
  BoxHoldingReporter reporter;
  DeviceFarm farm(2, *image, reporter);
  farm.refuse = {1};
  farm.holdTimeUntil = &reporter.boxShown;  // the hung device ends only after the box is up
  EXPECT_EQ(farm.RunDownload(), PipeDownloadResult::Devices);
  EXPECT_TRUE(reporter.boxShown);
  EXPECT_EQ(reporter.endingsAtBox, 1u) << "the box came up only after the started device ended";
  ASSERT_EQ(reporter.endings().size(), 2u);
  const DeviceEnding hung = reporter.endings()[1].device == 0 ? reporter.endings()[1]
                                                              : reporter.endings()[0];
  EXPECT_EQ(hung.outcome, DeviceOutcome::LinkError);
  const uint32_t hungAt = farm.device(0).Result().writes.back().tick;
  EXPECT_GE(hung.tick - hungAt, 10000u);
  EXPECT_LT(hung.tick - hungAt, 11000u);
}

// The download returns only once every worker has made its last report and shown its box,
// although nobody joins the workers (they run on detached threads, as on Windows) and a device's
// ending takes a while to be told: whoever reads the results then has every device's.
class SlowEndingReporter : public RecordingReporter {
 public:
  void DeviceEnded(int32_t device, DeviceOutcome outcome, uint32_t tick,
                   std::string_view message) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
    RecordingReporter::DeviceEnded(device, outcome, tick, message);
  }
  void ShowStopBox(std::string_view text, std::string_view caption) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
    RecordingReporter::ShowStopBox(text, caption);
  }
};

// Three devices, the third answering "VERIERR" (it ends with a box).
class DetachedWorkers : public PipeControllerEnvironment {
 public:
  DetachedWorkers(ImageSource& image, Reporter& reporter) : image_(image), reporter_(reporter) {}
  int32_t OpenDevices() override {
    for (auto& device : devices_) pipes_.push_back(devsim::ConnectMemoryPipes(*device));
    return static_cast<int32_t>(devices_.size());
  }
  uint32_t LastErrorCode() override { return 0; }
  bool StartWorker(int32_t i, PipeWatchdog& watchdog) override {
    const size_t k = static_cast<size_t>(i);
    auto watch = std::make_shared<LeaveCheckingWatch>(
        watchdog.Enrol(devsim::MemoryPipeCanceller(*devices_[k]), clock_));
    std::thread([this, i, k, watch] {
      RunPipeDeviceWorker(i, std::move(pipes_[k].outPipe), std::move(pipes_[k].inPipe), image_,
                          reporter_, clock_, watch.get());
      watch->CheckLeft(i);
    }).detach();
    return true;
  }
  void CloseDevicePipes(int32_t i) override { pipes_[static_cast<size_t>(i)] = {}; }

 private:
  ImageSource& image_;
  Reporter& reporter_;
  FakeClock clock_;
  std::vector<std::unique_ptr<BulkPipeDevice>> devices_ = [this] {
    std::vector<std::unique_ptr<BulkPipeDevice>> devices;
    for (int i = 0; i < 3; ++i) {
      BulkPipeBehaviour behaviour;
      behaviour.answerVerifyError = i == 2;
      devices.push_back(std::make_unique<BulkPipeDevice>(clock_, behaviour));
    }
    return devices;
  }();
  std::vector<devsim::MemoryPipePair> pipes_;
};

TEST(PipeDownloadController, ReturnsOnlyAfterEveryWorkersLastReport) {
  FakeImageSource image(Bytes({7}));
  for (int run = 0; run < 100; ++run) {
    SlowEndingReporter reporter;
    DetachedWorkers workers(image, reporter);
    auto watchdog = std::make_shared<PipeWatchdog>();
    PipeDownloadResult result{};
    RunBounded([&] { result = RunPipeDownloadController(reporter, image, workers, *watchdog); },
               [&] { watchdog->CancelAll(); }, 5000);
    EXPECT_EQ(result, PipeDownloadResult::Devices);
    EXPECT_EQ(reporter.endings().size(), 3u);
    EXPECT_EQ(reporter.events(ReportEvent::Status).size(), 2u + 3u * 2u);
    for (int32_t i = 0; i < 3; ++i) {
      EXPECT_EQ(reporter.device(i).outcome,
                i == 2 ? DeviceOutcome::VerificationError : DeviceOutcome::Verified);
    }
    EXPECT_EQ(reporter.events(ReportEvent::StopBox).size(), 1u);
    ASSERT_FALSE(HasFailure()) << "run " << run;
  }
}

}  // namespace
}  // namespace pelorin::test
