// The operator's stop on the driver family: the request under way is cancelled, nothing more
// reaches the device but its farewell, and a request that has finished is never cancelled later.
#include "cancellable_driver_transport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "control_pipe_download.h"
#include "driver_service_sim.h"
#include "fake_image_source.h"
#include "recording_reporter.h"

namespace pelorin {
namespace {

using devsim::SimulatedDriverService;

// When Ctrl+C is pressed: right after the service has taken the `nth` control write of
// `request` (before it finished, if it is pending), or once that request has finished.
struct CtrlC {
  SetupPacket request;
  int nth;
  bool finished = false;
};

// Between the download and the cancellable transport: presses Ctrl+C as told.
class CtrlCAfter : public DriverTransport {
 public:
  CtrlCAfter(CancellableDriverTransport& inner, std::vector<CtrlC> presses)
      : inner_(inner), presses_(std::move(presses)), seen_(presses_.size(), 0) {}
  DriverChannel OpenChannel() override { return inner_.OpenChannel(); }
  void CloseChannel(DriverChannel channel) override { inner_.CloseChannel(channel); }
  bool StartRequest(DriverChannel channel, uint32_t code, void* record, uint32_t size,
                    uint32_t* status) override {
    const bool done = inner_.StartRequest(channel, code, record, size, status);
    for (size_t i = 0; i < presses_.size(); ++i) {
      const bool match =
          code == IOCTL_DRIVER_TRANSFER && size == sizeof(TransferRecord) &&
          std::memcmp(static_cast<uint8_t*>(record) + 32, &presses_[i].request, 8) == 0;
      if (!match || ++seen_[i] != presses_[i].nth) continue;
      if (!presses_[i].finished || done) {
        inner_.Cancel();
      } else {
        pressAtFinish_ = true;
      }
    }
    return done;
  }
  void FinishRequest(DriverChannel channel) override {
    inner_.FinishRequest(channel);
    if (pressAtFinish_) inner_.Cancel();
    pressAtFinish_ = false;
  }

 private:
  CancellableDriverTransport& inner_;
  const std::vector<CtrlC> presses_;
  std::vector<int> seen_;
  bool pressAtFinish_ = false;
};

struct CtrlCRun {
  std::vector<uint8_t> lastSetups;  // bRequest of every control write/read to the device
  std::vector<uint32_t> codes;      // every request's code
  std::vector<DriverChannel> cancelledChannels;
  ControlPipeResult result;
};

CtrlCRun DownloadWithCtrlC(SimulatedDriverService& service, std::vector<CtrlC> presses) {
  CtrlCRun run;
  CancellableDriverTransport transport(
      service, [&run](DriverChannel channel) { run.cancelledChannels.push_back(channel); });
  CtrlCAfter ctrlC(transport, std::move(presses));
  test::RecordingReporter reporter;
  test::FakeClock clock;
  auto image = devsim::FakeImageSource::Generated(100000);
  run.result = ControlPipeDownload(ctrlC, reporter, clock, *image);
  for (auto& r : service.requests()) {
    run.codes.push_back(r.code);
    if (r.code == IOCTL_DRIVER_TRANSFER && r.transfer().pipe == PIPE_CONTROL)
      run.lastSetups.push_back(r.transfer().setup.request);
  }
  EXPECT_EQ(service.openDevices(), 0);
  EXPECT_EQ(service.openChannels(), 0);
  EXPECT_EQ(service.misuse(), std::vector<std::string>{});
  return run;
}

TEST(CancellableDriverTransport, CtrlCMidBlockStillSaysGoodbyeToTheDevice) {
  SimulatedDriverService service;
  const CtrlCRun run = DownloadWithCtrlC(service, {{SET_SUB_SEND, 1}});
  EXPECT_EQ(run.result, ControlPipeResult::Failed);
  // SetResendAll twice, SetSubSend, then (no packet, no checksum) SetSendEnd; then the close.
  EXPECT_EQ(run.lastSetups, (std::vector<uint8_t>{0x18, 0x18, 0x1A, 0x19}));
  ASSERT_GE(run.codes.size(), 2u);
  EXPECT_EQ(run.codes.back(), IOCTL_DRIVER_CLOSE_DEVICE);
  EXPECT_EQ(run.codes[run.codes.size() - 2], IOCTL_DRIVER_TRANSFER);
  // SetSubSend had completed when Ctrl+C came: its (closed) channel is not cancelled.
  EXPECT_TRUE(run.cancelledChannels.empty());
}

TEST(CancellableDriverTransport, CancelsOnlyTheRequestStillUnderWay) {
  // The first SetSubSend (the fourth transfer, after SetResendAll, PAY_LOAD and SetResendAll)
  // is left pending for a moment: Ctrl+C comes while it is under way.
  {
    SimulatedDriverService service;
    service.DelayRequest(IOCTL_DRIVER_TRANSFER, 4, 20);
    const CtrlCRun run = DownloadWithCtrlC(service, {{SET_SUB_SEND, 1}});
    EXPECT_EQ(run.result, ControlPipeResult::Failed);
    ASSERT_EQ(run.cancelledChannels.size(), 1u) << "the pending request is cancelled, once";
    EXPECT_NE(run.cancelledChannels[0], INVALID_CHANNEL);
    ASSERT_GE(run.lastSetups.size(), 2u);
    EXPECT_EQ(run.lastSetups.back(), 0x19) << "SetSendEnd after the block's SetSubSend";
    EXPECT_EQ(run.codes.back(), IOCTL_DRIVER_CLOSE_DEVICE);
  }
  // Ctrl+C just after that pending request has finished, and again while the farewell
  // (SetSendEnd, the fifth transfer) is pending: neither is cancelled.
  SimulatedDriverService service;
  service.DelayRequest(IOCTL_DRIVER_TRANSFER, 4, 20);
  service.DelayRequest(IOCTL_DRIVER_TRANSFER, 5, 20);
  const CtrlCRun run = DownloadWithCtrlC(service, {{SET_SUB_SEND, 1, true}, {SET_SEND_END, 1}});
  EXPECT_TRUE(run.cancelledChannels.empty());
  EXPECT_EQ(run.lastSetups, (std::vector<uint8_t>{0x18, 0x18, 0x1A, 0x19}));
  EXPECT_EQ(run.codes.back(), IOCTL_DRIVER_CLOSE_DEVICE);
}

TEST(CancellableDriverTransport, TheFarewellIsTheCloseAndSetSendEndOnly) {
  TransferRecord transfer{};
  transfer.pipe = PIPE_CONTROL;
  transfer.direction = DIRECTION_WRITE;
  transfer.setup = SET_SEND_END;
  EXPECT_TRUE(IsFarewellRequest(IOCTL_DRIVER_TRANSFER, &transfer, sizeof transfer));
  EXPECT_TRUE(IsFarewellRequest(IOCTL_DRIVER_CLOSE_DEVICE, &transfer, 0));
  transfer.setup = SET_SUB_SEND;
  EXPECT_FALSE(IsFarewellRequest(IOCTL_DRIVER_TRANSFER, &transfer, sizeof transfer));
  transfer.setup = SET_SEND_END;
  transfer.pipe = PIPE_1;
  EXPECT_FALSE(IsFarewellRequest(IOCTL_DRIVER_TRANSFER, &transfer, sizeof transfer));
  transfer.pipe = PIPE_CONTROL;
  transfer.direction = DIRECTION_READ;
  EXPECT_FALSE(IsFarewellRequest(IOCTL_DRIVER_TRANSFER, &transfer, sizeof transfer));
  EXPECT_FALSE(IsFarewellRequest(IOCTL_DRIVER_OPEN_DEVICE, &transfer, sizeof transfer));
  transfer.direction = DIRECTION_WRITE;
  EXPECT_FALSE(IsFarewellRequest(IOCTL_DRIVER_TRANSFER, &transfer, sizeof transfer - 1))
      << "a record of another size is no transfer";
}

}  // namespace
}  // namespace pelorin
