// The device worker over real pipe handles: HandlePipeLink on message-mode named pipes served by
// a small relay to the simulated bulk-pipe device, as the driver's two pipes would be.
#include "pipe_download_win32.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <thread>
#include <vector>

#include "bulk_pipe_device.h"
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
        if (device_.HostWrite(buffer.data(), got) == BulkPipeDevice::LINK_GONE) break;
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

RelayRun DownloadOverNamedPipes(const char* name, BulkPipeBehaviour behaviour) {
  FakeClock clock;
  BulkPipeDevice device(clock, behaviour);
  PipeRelay relay(device, PipeName(name));
  HANDLE out = relay.OpenHostEnd(relay.outName());
  HANDLE in = relay.OpenHostEnd(relay.inName());
  EXPECT_NE(out, INVALID_HANDLE_VALUE);
  EXPECT_NE(in, INVALID_HANDLE_VALUE);
  relay.Start();
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
