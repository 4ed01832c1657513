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

// Between the download and the cancellable transport: presses Ctrl+C right after the service has
// taken the `nth` control write of `request` (before it finished, if it is pending).
class CtrlCAfter : public DriverTransport {
 public:
  CtrlCAfter(CancellableDriverTransport& inner, const SetupPacket& request, int nth)
      : inner_(inner), request_(request), nth_(nth) {}
  DriverChannel OpenChannel() override { return inner_.OpenChannel(); }
  void CloseChannel(DriverChannel channel) override { inner_.CloseChannel(channel); }
  bool StartRequest(DriverChannel channel, uint32_t code, void* record, uint32_t size,
                    uint32_t* status) override {
    const bool match = code == IOCTL_DRIVER_TRANSFER && size == sizeof(TransferRecord) &&
                       std::memcmp(static_cast<uint8_t*>(record) + 32, &request_, 8) == 0;
    const bool done = inner_.StartRequest(channel, code, record, size, status);
    if (match && ++seen_ == nth_) inner_.Cancel();
    return done;
  }
  void FinishRequest(DriverChannel channel) override { inner_.FinishRequest(channel); }

 private:
  CancellableDriverTransport& inner_;
  const SetupPacket request_;
  const int nth_;
  int seen_ = 0;
};

struct CtrlCRun {
  std::vector<uint8_t> lastSetups;  // bRequest of every control write/read to the device
  std::vector<uint32_t> codes;      // every request's code
  std::vector<DriverChannel> cancelledChannels;
  ControlPipeResult result;
};

CtrlCRun DownloadWithCtrlC(SimulatedDriverService& service, const SetupPacket& at, int nth) {
  CtrlCRun run;
  CancellableDriverTransport transport(
      service, [&run](DriverChannel channel) { run.cancelledChannels.push_back(channel); });
  CtrlCAfter ctrlC(transport, at, nth);
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
  return run;
}

TEST(CancellableDriverTransport, CtrlCMidBlockStillSaysGoodbyeToTheDevice) {
  SimulatedDriverService service;
  const CtrlCRun run = DownloadWithCtrlC(service, SET_SUB_SEND, 1);
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
  SimulatedDriverService service;
  // The first SetSubSend (the fourth transfer, after SetResendAll, PAY_LOAD and SetResendAll)
  // is left pending for a moment: Ctrl+C comes while it is under way.
  service.DelayRequest(IOCTL_DRIVER_TRANSFER, 4, 20);
  const CtrlCRun run = DownloadWithCtrlC(service, SET_SUB_SEND, 1);
  EXPECT_EQ(run.result, ControlPipeResult::Failed);
  ASSERT_EQ(run.cancelledChannels.size(), 1u) << "the pending request is cancelled, once";
  EXPECT_NE(run.cancelledChannels[0], INVALID_CHANNEL);
  ASSERT_GE(run.lastSetups.size(), 2u);
  EXPECT_EQ(run.lastSetups.back(), 0x19) << "SetSendEnd after the block's SetSubSend";
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
}

}  // namespace
}  // namespace pelorin
