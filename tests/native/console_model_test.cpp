// The console's rules: status text per code, counting finished devices against expected ones,
// the end of a download, progress bars, and the elapsed-time text.
#include "console_model.h"

#include <gtest/gtest.h>

#include "device_tooltip.h"
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
    model.OnProgress(4, 40, 0);
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
  for (int bar = 0; bar < PROGRESS_BAR_COUNT; ++bar) model.OnProgress(bar, 10 + bar, 0);
  model.OnStatus(STATUS_SEND_IMAGE, 0);
  for (int bar = 0; bar < PROGRESS_BAR_COUNT; ++bar) EXPECT_EQ(model.barPosition(bar), 0) << bar;
}

TEST(ConsoleModel, ProgressOutsideTheSixteenBarsIsIgnored) {
  ConsoleModel model = Downloading(1);
  EXPECT_EQ(model.OnProgress(15, 100, 0).drawBars, 1u << 15);
  EXPECT_EQ(model.barPosition(15), 100);
  for (int32_t bar : {16, 17, 1000, -1})
    EXPECT_EQ(model.OnProgress(bar, 50, 0).drawBars, 0u) << bar;
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
  EXPECT_FALSE(DeliverPost(
      post, [&] { return --alive > 0; }, clock, true));
  EXPECT_EQ(attempts, 5);

  EXPECT_TRUE(IsFinalReport(STATUS_DEVICE_DONE) && IsFinalReport(STATUS_ERROR) &&
              IsFinalReport(STATUS_CHECKSUMS_ERROR) && IsFinalReport(STATUS_CHECKSUMS_OK));
  EXPECT_FALSE(IsFinalReport(STATUS_VERIFYING) || IsFinalReport(STATUS_SEND_IMAGE));
}

std::vector<int> ErrorBars(const ConsoleModel& model) {
  std::vector<int> bars;
  for (int bar = 0; bar < PROGRESS_BAR_COUNT; ++bar)
    if (model.barState(bar) == BarState::Error) bars.push_back(bar);
  return bars;
}

TEST(ConsoleModel, FailedPipeDevicesMarkTheirBarsUntilTheNextDownload) {
  ConsoleModel model = Downloading(3);
  // The controller's failures come before STATUS_SEND_IMAGE: their 0 is no device.
  model.OnStatus(STATUS_ERROR, 0);
  EXPECT_EQ(ErrorBars(model), std::vector<int>{});
  model.OnStatus(STATUS_SEND_IMAGE, 0);
  model.OnProgress(2, 40, 0);
  model.OnProgress(5, 70, 0);
  EXPECT_EQ(model.OnStatus(STATUS_ERROR, 2).drawBars, 1u << 2) << "shown at once";
  model.OnStatus(STATUS_CHECKSUMS_ERROR, 5);
  model.OnStatus(STATUS_DEVICE_DONE, 0);
  model.OnStatus(STATUS_ERROR, 16);  // no such bar
  EXPECT_EQ(ErrorBars(model), (std::vector<int>{2, 5}));
  EXPECT_EQ(model.barPosition(2), 40) << "a failed bar keeps the position it reached";

  // The next download's STATUS_SEND_IMAGE puts every bar back to normal at 0. Until then its
  // devices are not known: the controller's own failure (its 0 is no device) marks no bar.
  model.BeginDownload();
  model.OnStatus(STATUS_ERROR, 0);
  EXPECT_EQ(ErrorBars(model), (std::vector<int>{2, 5})) << "until its devices are known";
  ConsoleEffects reset = model.OnStatus(STATUS_SEND_IMAGE, 0);
  EXPECT_EQ(ErrorBars(model), std::vector<int>{});
  EXPECT_EQ(reset.drawBars, (1u << 2) | (1u << 5)) << "the bars that changed";

  // A download to the driver-service device marks none.
  model.BeginDownload(false);
  model.OnStatus(STATUS_SEND_IMAGE, 0);
  model.OnStatus(STATUS_ERROR, 0);
  EXPECT_EQ(ErrorBars(model), std::vector<int>{});
}

TEST(ConsoleModel, ABarIsRedrawnAtMostFourTimesASecondAlwaysEndingOnTheLatest) {
  ConsoleModel model = Downloading(1);
  model.OnStatus(STATUS_SEND_IMAGE, 0);
  uint32_t now = 5000;
  EXPECT_EQ(model.OnProgress(3, 1, now).drawBars, 1u << 3) << "the first move at once";
  ConsoleEffects wait = model.OnProgress(3, 2, now + 100);
  EXPECT_EQ(wait.drawBars, 0u);
  EXPECT_EQ(wait.redrawInMs, 150u);
  model.OnProgress(3, 3, now + 200);
  model.OnProgress(7, 9, now + 200);  // another bar has a turn of its own
  EXPECT_EQ(model.OnRedrawDue(now + 249).drawBars, 0u);
  ConsoleEffects due = model.OnRedrawDue(now + 250);
  EXPECT_EQ(due.drawBars, 1u << 3);
  EXPECT_EQ(due.redrawInMs, 0u) << "nothing left waiting";

  // A steady stream of moves: at most four redraws a second, the last position shown.
  int redraws = 0;
  for (uint32_t t = now + 251; t <= now + 1240; ++t) {
    ConsoleEffects e = model.OnProgress(3, 3 + static_cast<int32_t>((t - now) / 20) % 90, t);
    redraws += (e.drawBars >> 3) & 1;
  }
  EXPECT_LE(redraws, 4);
  EXPECT_GE(redraws, 3);
  EXPECT_EQ(model.OnRedrawDue(now + 1600).drawBars, 1u << 3);
  EXPECT_EQ(model.barPosition(3), 3 + (1240 / 20) % 90);

  // Two bars waiting for their turns: the redraw comes at the earlier one's.
  ConsoleModel two = Downloading(2);
  two.OnStatus(STATUS_SEND_IMAGE, 0);
  two.OnProgress(1, 1, 10000);
  two.OnProgress(2, 1, 10050);
  EXPECT_EQ(two.OnProgress(1, 2, 10100).redrawInMs, 150u);
  EXPECT_EQ(two.OnProgress(2, 2, 10110).redrawInMs, 140u) << "bar 1's turn comes first";
  ConsoleEffects first = two.OnRedrawDue(10250);
  EXPECT_EQ(first.drawBars, 1u << 1);
  EXPECT_EQ(first.redrawInMs, 50u) << "bar 2 still waits";
  // A move of bar 1 when bar 2's turn has come (its redraw is late): the redraw is due at once.
  EXPECT_EQ(two.OnProgress(1, 3, 10300).redrawInMs, 1u);
  EXPECT_EQ(two.OnRedrawDue(10301).drawBars, 1u << 2);

  // 100 and a failure (of device 0 too) are shown at once.
  EXPECT_EQ(model.OnProgress(3, 100, now + 1601).drawBars, 1u << 3);
  model.OnProgress(0, 50, now + 1601);
  model.OnProgress(0, 51, now + 1602);
  EXPECT_EQ(model.OnStatus(STATUS_ERROR, 0).drawBars, 1u << 0);
  EXPECT_EQ(model.OnProgress(3, 100, now + 1603).drawBars, 0u) << "no change, no redraw";

  // The next download's first move is shown at once, however soon after the last redraw.
  model.BeginDownload();
  model.OnStatus(STATUS_SEND_IMAGE, 0);
  EXPECT_EQ(model.OnProgress(3, 1, now + 1604).drawBars, 1u << 3);
}

TEST(DeviceTooltip, TellsThePathTheProgressAndTheEnding) {
  DeviceActivityBoard board;
  const uint32_t download = board.Begin();
  EXPECT_EQ(DeviceTooltip(board.Device(0), 0, 0), "") << "no device in the download";

  const std::string path = R"(\\?\usb#vid_5555#1\sim1)";
  board.Ready(download, 1, path);
  board.Started(download, 1, 1000);
  EXPECT_EQ(DeviceTooltip(board.Device(1), 1, 1500), path);
  board.Sent(download, 1, 131072, 4194304, 3000);
  board.Sent(download, 1, 2097152, 4194304, 3100);
  EXPECT_EQ(DeviceTooltip(board.Device(1), 1, 3200),
            path + "\r\n2097152 of 4194304 bytes (50%), 10.5 MB/s");

  board.Ended(download, 1, DeviceOutcome::Verified, 5000, "");
  EXPECT_EQ(DeviceTooltip(board.Device(1), 1, 9000), path + "\r\nVerified, 4.0 s, 0.5 MB/s");
  board.Ready(download, 4, "p4");
  board.Started(download, 4, 0);
  board.Ended(download, 4, DeviceOutcome::VerificationError, 2500, "Verification Error");
  EXPECT_EQ(DeviceTooltip(board.Device(4), 4, 9000),
            "p4\r\nChecksums Error - No.4, 2.5 s, 0.0 MB/s");
  board.Ready(download, 5, "p5");
  board.Ended(download, 5, DeviceOutcome::LinkError, 2500, "USB Cable");
  EXPECT_EQ(DeviceTooltip(board.Device(5), 5, 9000).substr(0, 16), "p5\r\nError - No.5");

  // A late report of an earlier download changes nothing of the new one.
  const uint32_t next = board.Begin();
  board.Ready(next, 1, "again");
  board.Ended(download, 1, DeviceOutcome::LinkError, 7000, "late");
  EXPECT_FALSE(board.Device(1).ended);
  EXPECT_EQ(board.Device(1).path, "again");
}

}  // namespace
}  // namespace pelorin
