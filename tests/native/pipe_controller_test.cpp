// The download controller: its two failures, the workers it starts, and whole downloads to
// many simulated devices at once on real threads, as the dialog's console sees them.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
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
  EXPECT_EQ(RunPipeDownloadController(reporter, image, environment, *watchdog),
            PipeDownloadResult::Devices);

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
  // controller's result once the watchdog has seen every worker leave.
  PipeDownloadResult RunDownload() {
    auto watchdog = std::make_shared<PipeWatchdog>();
    for (auto& clock : clocks_) clock->SetOnAdvance([w = watchdog.get()] { w->Wake(); });
    std::atomic<bool> done{false};
    PipeDownloadResult result{};
    std::thread controller([&] {
      result = RunPipeDownloadController(reporter_, image_, *this, *watchdog);
      done = true;
    });
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!done && std::chrono::steady_clock::now() < giveUp) {
      for (size_t k = 0; k < devices_.size(); ++k)
        if (devices_[k]->hostBlocked()) clocks_[k]->Advance(1000);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (!done) {
      ADD_FAILURE() << "the download did not end within 60 s of real time";
      for (auto& device : devices_) device->Shutdown();
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
    const size_t k = static_cast<size_t>(i);
    std::shared_ptr<PipeCallWatch> watch =
        watchdog.Enrol(devsim::MemoryPipeCanceller(*devices_[k]), *clocks_[k]);
    threads_.emplace_back([this, i, k, watch] {
      RunPipeDeviceWorker(i, std::move(pipes_[k].outPipe), std::move(pipes_[k].inPipe), image_,
                          reporter_, *clocks_[k], watch.get());
    });
    return true;
  }
  void CloseDevicePipes(int32_t i) override { pipes_[static_cast<size_t>(i)] = {}; }

  const BulkPipeDevice& device(int32_t i) const { return *devices_[static_cast<size_t>(i)]; }
  uint32_t now(int32_t i) const { return clocks_[static_cast<size_t>(i)]->TickCount(); }
  static inline BulkPipeBehaviour behaviours[MAX_PIPE_DEVICES];

 private:
  ImageSource& image_;
  Reporter& reporter_;
  std::vector<std::unique_ptr<FakeClock>> clocks_;
  std::vector<std::unique_ptr<BulkPipeDevice>> devices_;
  std::vector<devsim::MemoryPipePair> pipes_;
  std::vector<std::thread> threads_;
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
  const ConsoleModel model = reporter.model();
  EXPECT_EQ(model.finishedDevices(), 16);
  EXPECT_FALSE(model.downloading());
  EXPECT_NE(model.statusText(), "Complete");
  EXPECT_EQ(reporter.events(ReportEvent::StopBox).size(), 5u);
  // The hung device's pipes were closed before its final report like everyone's.
  EXPECT_TRUE(farm.device(13).Result().outClosed);
  EXPECT_TRUE(farm.device(13).Result().inClosed);
}

}  // namespace
}  // namespace pelorin::test
