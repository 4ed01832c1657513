// The console's rules: status text per code, counting finished devices against expected ones,
// the end of a download, progress bars, and the elapsed-time text.
#include "console_model.h"

#include <gtest/gtest.h>

#include "post_delivery.h"
#include "recording_reporter.h"

namespace pelorin {
namespace {

// A console in the middle of a download that expects `devices` final reports.
ConsoleModel Downloading(int devices) {
  ConsoleModel model;
  model.BeginDownload();
  model.OnControl(CONTROL_START_TIMER, 0);
  model.OnControl(CONTROL_RESET_COUNTERS, 0);
  model.OnControl(CONTROL_SET_EXPECTED, devices);
  return model;
}

TEST(ConsoleModel, StartsReadyAndIdle) {
  ConsoleModel model;
  EXPECT_EQ(model.statusText(), "Ready");
  EXPECT_FALSE(model.downloading());
  for (int bar = 0; bar < PROGRESS_BAR_COUNT; ++bar) EXPECT_EQ(model.barPosition(bar), 0);
}

TEST(ConsoleModel, EveryStatusRowSetsItsTextAndLoads) {
  struct Row {
    int32_t code, lParam;
    const char* text;
  } rows[] = {
      {STATUS_CONFIGURATION, 0, "Configuration"},
      {STATUS_SEND_IMAGE, 0, "Send - OS Image"},
      {STATUS_SEND_LENGTH, 0, "Send - OS Image's Length"},
      {STATUS_VERIFYING, 0, "Verify Checksums..."},
      {STATUS_ERROR, 3, "Error - No.3"},
      {STATUS_CHECKSUMS_ERROR, 2, "Checksums Error - No.2"},
      {STATUS_CHECKSUMS_OK, 0, "Checksums OK"},
  };
  for (const Row& row : rows) {
    ConsoleModel model = Downloading(5);
    ConsoleEffects effects = model.OnStatus(row.code, row.lParam);
    EXPECT_EQ(model.statusText(), row.text) << "code " << row.code;
    EXPECT_TRUE(effects.load) << "code " << row.code;
  }
}

TEST(ConsoleModel, BlockSentLoadsWithoutChangingTheText) {
  ConsoleModel model = Downloading(1);
  model.OnStatus(STATUS_SEND_LENGTH, 0);
  ConsoleEffects effects = model.OnStatus(STATUS_BLOCK_SENT, 1234);
  EXPECT_TRUE(effects.load);
  EXPECT_EQ(model.statusText(), "Send - OS Image's Length");
}

TEST(ConsoleModel, IgnoredCodesChangeNothing) {
  for (int32_t code : {0, 5, 7, 8, 9, 14, 15, 100, -1}) {
    ConsoleModel model = Downloading(1);
    model.OnStatus(STATUS_VERIFYING, 0);
    model.OnProgress(4, 40);
    ConsoleEffects effects = model.OnStatus(code, 7);
    EXPECT_FALSE(effects.load || effects.enableButtons || effects.stopTimer || effects.clearWorker)
        << "code " << code;
    EXPECT_EQ(model.statusText(), "Verify Checksums...") << "code " << code;
    EXPECT_EQ(model.finishedDevices(), 0);
    EXPECT_EQ(model.barPosition(4), 40);
    EXPECT_TRUE(model.downloading());
  }
}

TEST(ConsoleModel, TwoDevicesEndCompleteOnlyWithTheSecondDone) {
  ConsoleModel model = Downloading(2);
  model.OnStatus(STATUS_VERIFYING, 0);

  ConsoleEffects first = model.OnStatus(STATUS_DEVICE_DONE, 0);
  EXPECT_FALSE(first.load || first.enableButtons || first.stopTimer || first.clearWorker);
  EXPECT_EQ(model.statusText(), "Verify Checksums...");
  EXPECT_TRUE(model.downloading());
  EXPECT_EQ(model.finishedDevices(), 1);

  ConsoleEffects second = model.OnStatus(STATUS_DEVICE_DONE, 0);
  EXPECT_TRUE(second.load && second.enableButtons && second.stopTimer && second.clearWorker);
  EXPECT_EQ(model.statusText(), "Complete");
  EXPECT_FALSE(model.downloading());
  EXPECT_FALSE(model.timerRunning());
}

TEST(ConsoleModel, LateReportsAfterTheEnd) {
  ConsoleModel model = Downloading(1);
  model.OnStatus(STATUS_DEVICE_DONE, 0);
  ASSERT_EQ(model.statusText(), "Complete");

  // A late "done" is counted but changes nothing else.
  ConsoleEffects lateDone = model.OnStatus(STATUS_DEVICE_DONE, 0);
  EXPECT_FALSE(lateDone.load || lateDone.enableButtons || lateDone.stopTimer);
  EXPECT_EQ(model.finishedDevices(), 2);
  EXPECT_EQ(model.statusText(), "Complete");

  // A late error still sets its text, without ending anything again.
  ConsoleEffects lateError = model.OnStatus(STATUS_ERROR, 4);
  EXPECT_TRUE(lateError.load);
  EXPECT_FALSE(lateError.enableButtons || lateError.stopTimer);
  EXPECT_EQ(model.statusText(), "Error - No.4");
}

TEST(ConsoleModel, AFailedDeviceIsNeverSummedUpAsComplete) {
  ConsoleModel model = Downloading(3);
  model.OnStatus(STATUS_CHECKSUMS_ERROR, 1);
  model.OnStatus(STATUS_ERROR, 2);
  EXPECT_EQ(model.statusText(), "Error - No.2");
  ConsoleEffects end = model.OnStatus(STATUS_DEVICE_DONE, 0);
  EXPECT_TRUE(end.enableButtons && end.stopTimer);
  EXPECT_EQ(model.statusText(), "Checksums Error - No.1");
}

TEST(ConsoleModel, AFailureAsTheLastReportShowsTheFirstFailure) {
  ConsoleModel model = Downloading(2);
  model.OnStatus(STATUS_ERROR, 0);
  ConsoleEffects end = model.OnStatus(STATUS_CHECKSUMS_ERROR, 1);
  EXPECT_TRUE(end.load && end.enableButtons && end.stopTimer && end.clearWorker);
  EXPECT_EQ(model.statusText(), "Error - No.0");
}

TEST(ConsoleModel, ANewDownloadForgetsTheLastOnesFailure) {
  ConsoleModel model = Downloading(1);
  model.OnStatus(STATUS_ERROR, 0);
  // Already on the press: a late report may land before the new thread resets the counters.
  model.BeginDownload();
  EXPECT_EQ(model.firstFailure(), "");
  model.OnControl(CONTROL_RESET_COUNTERS, 0);
  model.OnControl(CONTROL_SET_EXPECTED, 1);
  model.OnStatus(STATUS_DEVICE_DONE, 0);
  EXPECT_EQ(model.statusText(), "Complete");
}

TEST(ConsoleModel, ChecksumsOkEndsWithoutCountingOrStoppingTheTimer) {
  ConsoleModel model = Downloading(1);
  ConsoleEffects effects = model.OnStatus(STATUS_CHECKSUMS_OK, 0);
  EXPECT_TRUE(effects.load && effects.enableButtons && effects.clearWorker);
  EXPECT_FALSE(effects.stopTimer);
  EXPECT_EQ(model.finishedDevices(), 0);
  EXPECT_FALSE(model.downloading());
}

TEST(ConsoleModel, ErrorWithNothingExpectedDoesNotEnd) {
  // Counters left at 0 expected: the count cannot meet, so the download does not end here.
  ConsoleModel model;
  model.BeginDownload();
  ConsoleEffects effects = model.OnStatus(STATUS_ERROR, 0);
  EXPECT_FALSE(effects.enableButtons);
  EXPECT_TRUE(model.downloading());
}

TEST(ConsoleModel, SendImageResetsAllSixteenBars) {
  ConsoleModel model = Downloading(1);
  for (int bar = 0; bar < PROGRESS_BAR_COUNT; ++bar) model.OnProgress(bar, 10 + bar);
  model.OnStatus(STATUS_SEND_IMAGE, 0);
  for (int bar = 0; bar < PROGRESS_BAR_COUNT; ++bar) EXPECT_EQ(model.barPosition(bar), 0) << bar;
}

TEST(ConsoleModel, ProgressOutsideTheSixteenBarsIsIgnored) {
  ConsoleModel model = Downloading(1);
  EXPECT_EQ(model.OnProgress(15, 100).bar, 15);
  EXPECT_EQ(model.barPosition(15), 100);
  for (int32_t bar : {16, 17, 1000, -1}) EXPECT_EQ(model.OnProgress(bar, 50).bar, -1) << bar;
  for (int bar = 0; bar < 15; ++bar) EXPECT_EQ(model.barPosition(bar), 0);
}

TEST(ConsoleModel, ElapsedText) {
  EXPECT_EQ(ConsoleModel::FormatElapsed(0), " 0 Min 0 Sec");
  EXPECT_EQ(ConsoleModel::FormatElapsed(59), " 0 Min 59 Sec");
  EXPECT_EQ(ConsoleModel::FormatElapsed(60), " 1 Min 0 Sec");
  EXPECT_EQ(ConsoleModel::FormatElapsed(125), " 2 Min 5 Sec");
  EXPECT_EQ(ConsoleModel::FormatElapsed(3660), " 61 Min 0 Sec");  // no hours
}

TEST(ConsoleModel, TimerStartResetsTheSecondsAndTicksCount) {
  ConsoleModel model;
  for (int i = 0; i < 70; ++i) model.OnTimerTick();
  EXPECT_EQ(model.ElapsedText(), " 1 Min 10 Sec");
  ConsoleEffects start = model.OnControl(CONTROL_START_TIMER, 0);
  EXPECT_TRUE(start.startTimer);
  EXPECT_TRUE(model.timerRunning());
  EXPECT_EQ(model.elapsedSeconds(), 0);
  model.OnTimerTick();
  EXPECT_EQ(model.ElapsedText(), " 0 Min 1 Sec");
  EXPECT_TRUE(model.OnControl(CONTROL_STOP_TIMER, 0).stopTimer);
  EXPECT_FALSE(model.timerRunning());
}

TEST(ConsoleModel, AbandonedDownloadReturnsToIdle) {
  ConsoleModel model;
  model.BeginDownload();
  ConsoleEffects effects = model.AbandonDownload();
  EXPECT_TRUE(effects.enableButtons && effects.clearWorker);
  EXPECT_FALSE(model.downloading());
}

// A post the window does not take (its queue is full) is tried again; a report the dialog cannot
// do without is never dropped while the window exists.
TEST(DeliverPost, RetriesUntilTakenAndDropsOnlyWhatMayBeLost) {
  test::FakeClock clock;
  int refusals = 3, attempts = 0;
  auto post = [&] { return ++attempts > refusals; };
  auto exists = [] { return true; };
  EXPECT_TRUE(DeliverPost(post, exists, clock, false));
  EXPECT_EQ(attempts, 4);
  EXPECT_EQ(clock.totalSlept(), 3u * POST_RETRY_PAUSE_MS);

  // Progress may be lost after a bounded wait; a final report keeps trying.
  refusals = 1000;
  attempts = 0;
  EXPECT_FALSE(DeliverPost(post, exists, clock, false));
  EXPECT_EQ(attempts, static_cast<int>(POST_RETRY_ATTEMPTS) + 1);
  attempts = 0;
  EXPECT_TRUE(DeliverPost(post, exists, clock, true));
  EXPECT_EQ(attempts, 1001);

  // Once the window is gone nobody is left to tell.
  attempts = 0;
  int alive = 5;
  EXPECT_FALSE(DeliverPost(post, [&] { return --alive > 0; }, clock, true));
  EXPECT_EQ(attempts, 5);

  EXPECT_TRUE(IsFinalReport(STATUS_DEVICE_DONE) && IsFinalReport(STATUS_ERROR) &&
              IsFinalReport(STATUS_CHECKSUMS_ERROR) && IsFinalReport(STATUS_CHECKSUMS_OK));
  EXPECT_FALSE(IsFinalReport(STATUS_VERIFYING) || IsFinalReport(STATUS_SEND_IMAGE));
}

}  // namespace
}  // namespace pelorin
