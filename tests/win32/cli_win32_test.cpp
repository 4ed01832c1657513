// PelorinCli's Windows parts: how a Ctrl+C or a console close stops a run, and the image it pins
// for the run's length.
#include <windows.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "cancellation_win32.h"
#include "control_pipe_download.h"
#include "file_image_source_win32.h"
#include "pinned_image_win32.h"
#include "win32_test_support.h"

namespace pelorin::cli {
namespace {

using test::TempFile;

// A close of the console window (and a log-off or shut-down) stops the run like Ctrl+C, and
// holds the process until the run has written its record; Ctrl+C itself returns at once.
TEST(CliCancellation, ACloseWaitsForTheRecordCtrlCDoesNot) {
  Cancellation cancellation;
  auto watchdog = std::make_shared<PipeWatchdog>();
  cancellation.Watch(watchdog);
  std::atomic<bool> returned{false};
  std::thread handler([&] {
    EXPECT_TRUE(cancellation.OnConsoleEvent(CTRL_CLOSE_EVENT));
    returned = true;
  });
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (!watchdog->cancelled() && std::chrono::steady_clock::now() < until) Sleep(1);
  EXPECT_TRUE(watchdog->cancelled()) << "the download was not cancelled";
  EXPECT_TRUE(cancellation.requested());
  EXPECT_EQ(WaitForSingleObject(cancellation.event(), 0), WAIT_OBJECT_0) << "pauses go on";
  Sleep(300);
  EXPECT_FALSE(returned) << "the process would end before the record is written";
  cancellation.Finished();
  handler.join();  // bounded: the handler waits CLOSE_GRACE_MS at most
  EXPECT_TRUE(returned);

  // The session's end (log-off, shut-down) reaches the hidden window: the same stop and wait;
  // a session end that was called off stops nothing.
  Cancellation session;
  auto sessionRun = std::make_shared<PipeWatchdog>();
  session.Watch(sessionRun);
  session.OnEndSession(false);
  EXPECT_FALSE(sessionRun->cancelled());
  std::atomic<bool> ended{false};
  std::thread window([&] {
    session.OnEndSession(true);
    ended = true;
  });
  Sleep(300);
  EXPECT_TRUE(sessionRun->cancelled());
  EXPECT_FALSE(ended) << "the session would end before the record is written";
  session.Finished();
  window.join();  // bounded: CLOSE_GRACE_MS at most
  EXPECT_TRUE(ended);

  Cancellation ctrlC;
  const DWORD start = GetTickCount();
  EXPECT_TRUE(ctrlC.OnConsoleEvent(CTRL_C_EVENT));
  EXPECT_LT(GetTickCount() - start, 1000u);
  EXPECT_TRUE(ctrlC.run().cancelled());
  // What starts after Ctrl+C is cancelled as it is watched.
  auto late = std::make_shared<PipeWatchdog>();
  ctrlC.Watch(late);
  EXPECT_TRUE(late->cancelled());

  // The station learns of the stop before the devices' calls are cancelled: a device that ends
  // because of Ctrl+C is then recorded as cancelled, not as a link error.
  Cancellation ordered;
  auto flight = std::make_shared<PipeWatchdog>();
  ordered.Watch(flight);
  bool callsCancelledFirst = true;
  ordered.OnCancel([&] { callsCancelledFirst = flight->cancelled(); });
  ordered.Cancel();
  EXPECT_FALSE(callsCancelledFirst);
  EXPECT_TRUE(flight->cancelled());
}

TEST(PinnedImage, NobodyWritesTheImageWhileItIsPinnedReadersMay) {
  TempFile file(L"pelorin-pinned.nb0");
  ASSERT_TRUE(file.Write("abc"));
  {
    PinnedImage pinned;
    ASSERT_TRUE(pinned.Open(file.path()));
    EXPECT_EQ(pinned.size(), 3u);
    HANDLE writer = CreateFileW(file.path().c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(writer, INVALID_HANDLE_VALUE) << "a writer got in";
    if (writer != INVALID_HANDLE_VALUE) CloseHandle(writer);
    EXPECT_FALSE(DeleteFileW(file.path().c_str()));
    FileImageSource workers(file.path());
    EXPECT_NE(workers.Open(), nullptr) << "a worker cannot read the pinned image";

    ImageFacts facts;
    std::string sha256;
    std::atomic<bool> stop{false};
    ASSERT_EQ(pinned.Summarise(true, true, stop, &facts, &sha256), PinnedImage::Pass::Done);
    EXPECT_EQ(facts.byteSum, 0x61u + 0x62u + 0x63u);
    EXPECT_EQ(sha256, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    // "abc" and 637 bytes of '0' as the control-pipe download's one packet.
    std::string packet = "abc" + std::string(637, '0');
    EXPECT_EQ(facts.wordSum,
              WordChecksum(reinterpret_cast<const uint8_t*>(packet.data()), 640));
    // A second pass gives the same (the pass reads from the start).
    ImageFacts again;
    ASSERT_EQ(pinned.Summarise(false, false, stop, &again), PinnedImage::Pass::Done);
    EXPECT_EQ(again.byteSum, facts.byteSum);
    stop = true;
    EXPECT_EQ(pinned.Summarise(false, false, stop, &again), PinnedImage::Pass::Stopped);
  }
  HANDLE writer = CreateFileW(file.path().c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                              nullptr);
  EXPECT_NE(writer, INVALID_HANDLE_VALUE) << "still pinned after the run";
  if (writer != INVALID_HANDLE_VALUE) CloseHandle(writer);
}

}  // namespace
}  // namespace pelorin::cli
