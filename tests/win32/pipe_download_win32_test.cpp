// The device worker over real pipe handles: HandlePipeLink on message-mode named pipes served by
// a small relay to the simulated bulk-pipe device, as the driver's two pipes would be.
#include "pipe_download_win32.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bulk_pipe_device.h"
#include "system_clock_win32.h"
#include "fake_image_source.h"
#include "recording_reporter.h"

namespace pelorin::test {
namespace {

using devsim::BulkPipeBehaviour;
using devsim::BulkPipeDevice;
using devsim::FakeImageSource;

// Serves `device` on two duplex message pipes: every message read from the out-pipe goes to
// HostWrite; every answer chunk is written to the in-pipe. A vanished device cuts both pipes.
class PipeRelay {
 public:
  PipeRelay(BulkPipeDevice& device, const std::wstring& name) : device_(device) {
    outName_ = name + L"-out";
    inName_ = name + L"-in";
    out_ = Create(outName_);
    in_ = Create(inName_);
  }
  ~PipeRelay() {
    if (outThread_.joinable()) outThread_.join();
    if (inThread_.joinable()) inThread_.join();
    CloseHandle(out_);
    CloseHandle(in_);
  }
  HANDLE OpenHostEnd(const std::wstring& name) {
    return CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  }
  void Start() {
    outThread_ = std::thread([this] {
      Connect(out_);
      std::vector<uint8_t> buffer(1 << 18);
      DWORD got = 0;
      while (ReadFile(out_, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) {
        const int64_t taken = device_.HostWrite(buffer.data(), got);
        if (taken == BulkPipeDevice::LINK_GONE) break;
        // A hung device reads no more: the host's next write stays blocked.
        if (taken == BulkPipeDevice::LINK_HUNG) device_.WaitWhileHung();
        if (taken < 0) break;
      }
      DisconnectNamedPipe(out_);
    });
    inThread_ = std::thread([this] {
      Connect(in_);
      for (;;) {
        BulkPipeDevice::AnswerChunk chunk = device_.NextAnswerChunk(50);
        if (chunk.kind == BulkPipeDevice::AnswerChunk::Gone) break;
        if (chunk.kind == BulkPipeDevice::AnswerChunk::Timeout) {
          if (device_.ended()) break;
          continue;
        }
        DWORD written = 0;
        if (!WriteFile(in_, chunk.bytes.data(), static_cast<DWORD>(chunk.bytes.size()), &written,
                       nullptr))
          break;
      }
      FlushFileBuffers(in_);
      DisconnectNamedPipe(in_);
    });
  }
  // Waits until every host write has reached the device: the out-pipe's reader ends once the
  // host has closed its end (or the device vanished).
  void JoinHostWrites() {
    if (outThread_.joinable()) outThread_.join();
  }
  const std::wstring& outName() const { return outName_; }
  const std::wstring& inName() const { return inName_; }

 private:
  static HANDLE Create(const std::wstring& name) {
    return CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX,
                            PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 0, 0, 0,
                            nullptr);
  }
  static void Connect(HANDLE pipe) {
    if (!ConnectNamedPipe(pipe, nullptr)) (void)GetLastError();  // already connected is fine
  }

  BulkPipeDevice& device_;
  std::wstring outName_, inName_;
  HANDLE out_, in_;
  std::thread outThread_, inThread_;
};

std::wstring PipeName(const char* test) {
  return L"\\\\.\\pipe\\pelorin-pipe-download-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
         std::wstring(test, test + strlen(test));
}

struct RelayRun {
  devsim::BulkPipeResult device;
  std::vector<ReportEvent> events;
};

// Opens the host's two pipe ends, as discovery does, and lets the relay serve them.
struct HostEnds {
  HANDLE out, in;
};
HostEnds OpenHostEnds(PipeRelay& relay) {
  HostEnds ends{relay.OpenHostEnd(relay.outName()), relay.OpenHostEnd(relay.inName())};
  EXPECT_NE(ends.out, INVALID_HANDLE_VALUE);
  EXPECT_NE(ends.in, INVALID_HANDLE_VALUE);
  relay.Start();
  return ends;
}

RelayRun DownloadOverNamedPipes(const char* name, BulkPipeBehaviour behaviour) {
  FakeClock clock;
  BulkPipeDevice device(clock, behaviour);
  PipeRelay relay(device, PipeName(name));
  const auto [out, in] = OpenHostEnds(relay);
  auto image = FakeImageSource::Generated(300000);
  RecordingReporter reporter;
  RunPipeDeviceWorker(6, std::make_unique<HandlePipeLink>(out),
                      std::make_unique<HandlePipeLink>(in), *image, reporter, clock);
  relay.JoinHostWrites();  // the worker closed its pipes; the last reply may still be in flight
  if (!device.ended()) device.Vanish();  // lets the relay's answer thread end
  return {device.Result(), reporter.events()};
}

TEST(HandlePipeLink, CarriesAWholeDownloadOverMessagePipes) {
  const RelayRun run = DownloadOverNamedPipes("whole", {});
  std::vector<uint32_t> sizes;
  for (auto& w : run.device.writes) sizes.push_back(w.size);
  EXPECT_EQ(sizes, (std::vector<uint32_t>{4, 4, 131072, 131072, 37856, 4, 3, 3}));
  EXPECT_TRUE(run.device.verified());
  ASSERT_FALSE(run.events.empty());
  EXPECT_EQ(run.events.back(), StatusEvent(STATUS_DEVICE_DONE, 0));
}

TEST(HandlePipeLink, CutPipeFailsTheWrite) {
  BulkPipeBehaviour behaviour;
  behaviour.vanishIn = devsim::BulkPipePhase::Data;
  behaviour.vanishAfterDataBytes = 131072;
  const RelayRun run = DownloadOverNamedPipes("cut", behaviour);
  ASSERT_GE(run.events.size(), 2u);
  EXPECT_EQ(run.events[run.events.size() - 2], StatusEvent(STATUS_ERROR, 6));
  EXPECT_EQ(run.events.back(), StopBoxEvent("USB Cable 연결을 확인해 보세요.", "연결 에러3"));
}

struct WatchedStart {
  HandlePipeLink* out;
  HandlePipeLink* in;
  std::shared_ptr<PipeCallWatch> watch;
  PipeCallLimits limits;
  ImageSource* image;
  Reporter* reporter;
};

DWORD WINAPI WatchedWorker(void* parameter) {
  auto* start = static_cast<WatchedStart*>(parameter);
  static SystemClock clock;
  RunPipeDeviceWorker(6, std::unique_ptr<PipeLink>(start->out),
                      std::unique_ptr<PipeLink>(start->in), *start->image, *start->reporter, clock,
                      start->watch.get(), start->limits);
  start->watch.reset();
  return 0;
}

// The worker on a thread of its own over real message pipes, with the download's watchdog (run
// here) cancelling its calls through CancelSynchronousIo; short limits. Returns the reports and
// how long the watchdog ran.
struct WatchedRun {
  std::vector<ReportEvent> events;
  ULONGLONG ms = 0;
  devsim::BulkPipeResult device;
};
WatchedRun RunWatchedOverNamedPipes(const char* name, BulkPipeBehaviour behaviour,
                                    PipeCallLimits limits) {
  SystemClock clock;
  BulkPipeDevice device(clock, behaviour);
  PipeRelay relay(device, PipeName(name));
  const auto [out, in] = OpenHostEnds(relay);
  auto image = FakeImageSource::Generated(300000);
  RecordingReporter reporter;
  auto watchdog = std::make_shared<PipeWatchdog>();
  WatchedStart start{
      new HandlePipeLink(out), new HandlePipeLink(in), nullptr, limits, image.get(), &reporter};
  HANDLE thread = CreateThread(nullptr, 0, WatchedWorker, &start, CREATE_SUSPENDED, nullptr);
  EXPECT_NE(thread, nullptr);
  HANDLE waitable = nullptr;
  DuplicateHandle(GetCurrentProcess(), thread, GetCurrentProcess(), &waitable, SYNCHRONIZE, FALSE,
                  0);
  start.watch = watchdog->Enrol(ThreadCallCanceller(thread), clock);
  const ULONGLONG began = GetTickCount64();
  ResumeThread(thread);
  watchdog->Run();
  WatchedRun run;
  run.ms = GetTickCount64() - began;
  EXPECT_EQ(WaitForSingleObject(waitable, 10000), WAIT_OBJECT_0);
  CloseHandle(waitable);
  device.Shutdown();  // releases the relay of a hung device
  relay.JoinHostWrites();
  if (!device.ended()) device.Vanish();
  run.events = reporter.events();
  run.device = device.Result();
  return run;
}

TEST(PipeWatchdog, CancelsABlockedSynchronousWriteOnAMessagePipe) {
  BulkPipeBehaviour behaviour;
  behaviour.hangIn = devsim::BulkPipePhase::Data;
  behaviour.hangAfterDataBytes = 0;  // stops reading at the first data write
  const WatchedRun run = RunWatchedOverNamedPipes("hung-write", behaviour, {300, 60000});
  ASSERT_GE(run.events.size(), 2u);
  EXPECT_EQ(run.events[run.events.size() - 2], StatusEvent(STATUS_ERROR, 6));
  EXPECT_EQ(run.events.back(), StopBoxEvent("USB Cable 연결을 확인해 보세요.", "연결 에러3"));
  EXPECT_TRUE(run.device.hung);
  // The 2 s of pauses, then the write limit; not the minutes a hung pipe would take.
  EXPECT_GE(run.ms, 2000u + 300u);
  EXPECT_LT(run.ms, 2000u + 3000u);
}

TEST(PipeWatchdog, CancelsABlockedSynchronousReadOnAMessagePipe) {
  BulkPipeBehaviour behaviour;
  behaviour.stall = true;  // never answers after the byte sum
  const WatchedRun run = RunWatchedOverNamedPipes("silent-read", behaviour, {10000, 500});
  ASSERT_GE(run.events.size(), 2u);
  EXPECT_EQ(run.events[run.events.size() - 2], StatusEvent(STATUS_ERROR, 6));
  EXPECT_EQ(run.events.back(), StopBoxEvent("USB Cable 연결을 확인해 보세요.", "연결 에러"));
  EXPECT_TRUE(run.device.verified()) << "the whole image went out before the silence";
  EXPECT_GE(run.ms, 2000u + 500u);
  EXPECT_LT(run.ms, 2000u + 3000u);
}

TEST(HandlePipeLink, InvalidHandleIsAnInvalidPipe) {
  for (HANDLE handle : {INVALID_HANDLE_VALUE, HANDLE(nullptr)}) {
    HandlePipeLink link(handle);
    EXPECT_FALSE(link.Valid());
    uint8_t byte = 0;
    uint32_t count = 7;
    EXPECT_FALSE(link.Write(&byte, 1, &count));
    EXPECT_EQ(count, 0u);
    count = 7;
    EXPECT_FALSE(link.Read(&byte, 1, &count));
    EXPECT_EQ(count, 0u);
  }
}

}  // namespace
}  // namespace pelorin::test
