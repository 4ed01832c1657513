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
#include "run_results.h"
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
  // The event is set just after the calls are cancelled, on the handler's thread.
  EXPECT_EQ(WaitForSingleObject(cancellation.event(), 2000), WAIT_OBJECT_0) << "pauses go on";
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
  const auto sessionUntil = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (!sessionRun->cancelled() && std::chrono::steady_clock::now() < sessionUntil) Sleep(1);
  EXPECT_TRUE(sessionRun->cancelled());
  Sleep(300);
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

TEST(PinnedImage, NobodyWritesTheImageWhileItIsPinnedAndItsReadersReadTheHandle) {
  using station::PinnedImage;
  TempFile file(L"pelorin-pinned.nb0");
  std::string content(station::PINNED_READ_CHUNK + 100, '\0');
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7 + i / 251);
  ASSERT_TRUE(file.Write(content));
  {
    PinnedImage pinned;
    ASSERT_TRUE(pinned.Open(file.path()));
    EXPECT_EQ(pinned.size(), content.size());
    HANDLE writer = CreateFileW(file.path().c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(writer, INVALID_HANDLE_VALUE) << "a writer got in";
    if (writer != INVALID_HANDLE_VALUE) CloseHandle(writer);
    EXPECT_FALSE(DeleteFileW(file.path().c_str()));

    // One pass: byte sum, SHA-256, the pieces (the last one shorter) and the progress.
    PinnedImage::Sums sums;
    std::atomic<bool> stop{false};
    std::vector<std::pair<uint32_t, bool>> pieces;
    std::vector<uint64_t> progress;
    ASSERT_EQ(pinned.Summarise(
                  true, stop, &sums,
                  [&](const uint8_t*, uint32_t size, bool last) { pieces.push_back({size, last}); },
                  [&](uint64_t done) { progress.push_back(done); }),
              PinnedImage::Pass::Done);
    uint32_t byteSum = 0;
    for (char c : content) byteSum += static_cast<uint8_t>(c);
    EXPECT_EQ(sums.byteSum, byteSum);
    EXPECT_EQ(sums.sha256.size(), 64u);
    EXPECT_EQ(pieces, (std::vector<std::pair<uint32_t, bool>>{
                          {station::PINNED_READ_CHUNK, false}, {100, true}}));
    EXPECT_EQ(progress, (std::vector<uint64_t>{station::PINNED_READ_CHUNK, content.size()}));
    stop = true;
    EXPECT_EQ(pinned.Summarise(false, stop, &sums), PinnedImage::Pass::Stopped);

    // Workers read the pinned handle, each at its own position, side by side.
    station::PinnedImageSource source(pinned);
    std::unique_ptr<ImageReader> first = source.Open(), second = source.Open();
    ASSERT_TRUE(first && second);
    // Room for a whole read past the end (the system may touch all of a buffer it is given).
    std::string a(content.size() + 70000, '\0'), b(content.size() + 50000, '\0');
    uint32_t got = 0, filledA = 0, filledB = 0;
    while (filledA < content.size()) {
      ASSERT_TRUE(first->Read(reinterpret_cast<uint8_t*>(a.data()) + filledA, 70000, &got));
      ASSERT_GT(got, 0u);
      filledA += got;
      if (filledB < content.size()) {
        ASSERT_TRUE(second->Read(reinterpret_cast<uint8_t*>(b.data()) + filledB, 50000, &got));
        filledB += got;
      }
    }
    while (filledB < content.size()) {
      ASSERT_TRUE(second->Read(reinterpret_cast<uint8_t*>(b.data()) + filledB, 50000, &got));
      ASSERT_GT(got, 0u);
      filledB += got;
    }
    ASSERT_TRUE(first->Read(reinterpret_cast<uint8_t*>(a.data()), 10, &got));
    EXPECT_EQ(got, 0u) << "the end of the image";
    a.resize(content.size());
    b.resize(content.size());
    EXPECT_TRUE(a == content && b == content) << "a reader read other bytes";
  }
  HANDLE writer = CreateFileW(file.path().c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                              nullptr);
  EXPECT_NE(writer, INVALID_HANDLE_VALUE) << "still pinned after the run";
  if (writer != INVALID_HANDLE_VALUE) CloseHandle(writer);
}

}  // namespace
}  // namespace pelorin::cli
