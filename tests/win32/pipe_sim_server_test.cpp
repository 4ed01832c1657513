// The named-pipe side of the simulated bulk-pipe device under Wine: what a host doing plain
// CreateFileA/WriteFile/ReadFile on the pipes sees, and what the device core receives.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bulk_pipe_endpoint_win32.h"
#include "sim_pipe_server_win32.h"

namespace pelorin::devsim {
namespace {

class SimPipeServerTest : public ::testing::Test {
 protected:
  // A device with its own pipe names, each session a bulk-pipe device with `behaviour`.
  void Serve(BulkPipeBehaviour behaviour = {}, SimDeviceOptions options = {}) {
    static std::atomic<int> run{0};
    reference_ = "simsrv" + std::to_string(GetCurrentProcessId()) + "_" + std::to_string(run++);
    device_ = std::make_unique<SimPipeDevice>(reference_, options, [this, behaviour] {
      return std::make_unique<BulkPipeEndpoint>(clock_, behaviour);
    });
    std::string error;
    ASSERT_TRUE(device_->Start(&error)) << error;
  }

  void TearDown() override {
    for (HANDLE h : {in_, out_})
      if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    if (device_) device_->Stop();
  }

  HANDLE Open(const char* pipe) {
    std::string path = "\\\\.\\pipe\\" + reference_;
    if (*pipe) path += std::string("\\") + pipe;
    return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  }

  void OpenPair() {
    in_ = Open("PIPE00");
    ASSERT_NE(in_, INVALID_HANDLE_VALUE) << GetLastError();
    out_ = Open("PIPE01");
    ASSERT_NE(out_, INVALID_HANDLE_VALUE) << GetLastError();
  }

  bool Write(const void* data, DWORD size) {
    DWORD written = 0;
    return WriteFile(out_, data, size, &written, nullptr) && written == size;
  }
  bool Write(const std::string& text) {
    return Write(text.data(), static_cast<DWORD>(text.size()));
  }
  bool WriteWord(uint32_t value) {
    uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                        static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
    return Write(bytes, 4);
  }

  // One read of at most 14 bytes, as the host's answer buffer takes them.
  std::string ReadAnswer() {
    char buffer[14];
    DWORD got = 0;
    if (!ReadFile(in_, buffer, sizeof(buffer), &got, nullptr)) return "<failed>";
    return std::string(buffer, got);
  }

  // Magic, length and `image` in writes of at most 131,072 bytes (ending with a shorter or
  // empty one), then the byte sum.
  void SendImage(const std::vector<uint8_t>& image) {
    ASSERT_TRUE(Write("9721"));
    ASSERT_TRUE(WriteWord(static_cast<uint32_t>(image.size())));
    uint32_t sum = 0;
    for (uint8_t b : image) sum += b;
    size_t offset = 0;
    for (;;) {
      DWORD chunk = static_cast<DWORD>(std::min<size_t>(131072, image.size() - offset));
      ASSERT_TRUE(Write(image.data() + offset, chunk));
      offset += chunk;
      if (chunk < 131072) break;
    }
    ASSERT_TRUE(WriteWord(sum));
  }

  BulkPipeResult SessionResult(size_t index) {
    std::vector<BulkPipeResult> results;
    device_->ForEachSession(
        [&](SessionEndpoint& e) { results.push_back(static_cast<BulkPipeEndpoint&>(e).Result()); });
    return index < results.size() ? results[index] : BulkPipeResult{};
  }

  WallClock clock_;
  std::string reference_;
  std::unique_ptr<SimPipeDevice> device_;
  HANDLE in_ = INVALID_HANDLE_VALUE;
  HANDLE out_ = INVALID_HANDLE_VALUE;
};

TEST_F(SimPipeServerTest, WholeDownloadKeepsEveryWriteBoundaryBothWays) {
  Serve();
  OpenPair();
  std::vector<uint8_t> image(262144);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7 + 3);
  SendImage(image);

  // Each answer arrives alone in a 14-byte read, never merged with the next one.
  EXPECT_EQ(ReadAnswer(), "RECEIVE");
  ASSERT_TRUE(Write("OK0"));
  EXPECT_EQ(ReadAnswer(), "VERIOK_");
  ASSERT_TRUE(Write("OK1"));

  // The host's write returns once the message is in the pipe; the device takes it a moment later.
  BulkPipeResult r;
  for (int i = 0; i < 500; ++i) {
    r = SessionResult(0);
    if (r.phase == BulkPipePhase::Finished) break;
    Sleep(10);
  }
  std::vector<uint32_t> sizes;
  for (auto& w : r.writes) sizes.push_back(w.size);
  // A size that is a multiple of the chunk ends the data with a zero-length write, which the
  // device must see as a write of its own.
  EXPECT_EQ(sizes, (std::vector<uint32_t>{4, 4, 131072, 131072, 0, 4, 3, 3}));
  EXPECT_TRUE(r.verified());
  EXPECT_EQ(r.dataBytes, image.size());
  EXPECT_EQ(r.replies, (std::vector<std::string>{"OK0", "OK1"}));
  EXPECT_EQ(r.phase, BulkPipePhase::Finished);
}

TEST_F(SimPipeServerTest, SplitAnswersReachTheHostAsSeparateReads) {
  BulkPipeBehaviour behaviour;
  behaviour.splitAnswers = true;
  Serve(behaviour);
  OpenPair();
  SendImage(std::vector<uint8_t>(1000, 0xff));
  EXPECT_EQ(ReadAnswer(), "RECE");
  EXPECT_EQ(ReadAnswer(), "IVE");
}

TEST_F(SimPipeServerTest, EachOpenOfThePairIsANewSession) {
  Serve();
  OpenPair();
  ASSERT_TRUE(Write("9721"));
  CloseHandle(out_);
  CloseHandle(in_);
  out_ = in_ = INVALID_HANDLE_VALUE;
  ASSERT_TRUE(device_->WaitUntilNoClients(5000));

  OpenPair();
  SendImage(std::vector<uint8_t>(10, 1));
  EXPECT_EQ(ReadAnswer(), "RECEIVE");
  ASSERT_EQ(device_->SessionCount(), 2u);
  EXPECT_EQ(SessionResult(0).phase, BulkPipePhase::Length);
  EXPECT_TRUE(SessionResult(0).outClosed);
  EXPECT_EQ(SessionResult(1).dataBytes, 10u);
}

TEST_F(SimPipeServerTest, VanishedDeviceCutsBothPipes) {
  BulkPipeBehaviour behaviour;
  behaviour.vanishIn = BulkPipePhase::Length;
  Serve(behaviour);
  OpenPair();
  ASSERT_TRUE(Write("9721"));
  WriteWord(16);  // the length: the device drops off the bus
  // Within a moment every later write and read of the host fails, as with an unplugged device.
  bool writeFailed = false;
  for (int i = 0; i < 200 && !writeFailed; ++i) {
    writeFailed = !Write("more");
    if (!writeFailed) Sleep(10);
  }
  EXPECT_TRUE(writeFailed);
  EXPECT_EQ(ReadAnswer(), "<failed>");
  EXPECT_TRUE(SessionResult(0).vanished);
}

TEST_F(SimPipeServerTest, StopReturnsWhileTheHostStillHoldsThePipes) {
  Serve();
  OpenPair();
  ASSERT_TRUE(Write("9721"));
  device_->Stop();
  EXPECT_FALSE(Write("more"));
  EXPECT_EQ(ReadAnswer(), "<failed>");
}

TEST_F(SimPipeServerTest, UnservedPipesCannotBeOpened) {
  Serve({}, {.serveInterface = false, .serveInPipe = true, .serveOutPipe = false});
  HANDLE probe = Open("");
  EXPECT_EQ(probe, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  in_ = Open("PIPE00");
  EXPECT_NE(in_, INVALID_HANDLE_VALUE);
  out_ = Open("PIPE01");
  EXPECT_EQ(out_, INVALID_HANDLE_VALUE);
}

}  // namespace
}  // namespace pelorin::devsim
