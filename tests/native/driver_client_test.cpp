// The driver-service client and DriverRequest against the simulated driver service: the requests
// issued (codes, channels, record bytes), what the client reads back, and what the operator sees.
// Also compiled into the Windows test program (tests/win32), so it runs under Wine as well.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "driver_service_client.h"
#include "driver_service_sim.h"
#include "recording_reporter.h"
#include "transfer_buffer_address.h"

namespace pelorin {
namespace {

using devsim::LoggedRequest;
using devsim::SimulatedDriverService;
using devsim::SimulatedUsbDevice;
using test::AppBoxEvent;
using test::RecordingReporter;

template <class Record>
std::vector<uint8_t> Bytes(const Record& record) {
  std::vector<uint8_t> bytes(sizeof record);
  std::memcpy(bytes.data(), &record, sizeof record);
  return bytes;
}

class DriverClientTest : public ::testing::Test {
 protected:
  // Every test ends with every channel and device handle given back.
  void TearDown() override {
    EXPECT_EQ(service.openChannels(), 0);
    EXPECT_EQ(service.openDevices(), 0);
    EXPECT_TRUE(service.misuse().empty());
  }

  SimulatedDriverService service;
  RecordingReporter reporter;
  DriverServiceClient client{service, reporter};
};

TEST_F(DriverClientTest, RequestOnAnInvalidChannelSendsNothing) {
  VersionRecord version{};
  EXPECT_EQ(DriverRequest(service, IOCTL_DRIVER_VERSION, INVALID_CHANNEL, &version, sizeof version,
                          false),
            0xFFFFFFFFu);
  service.SetPresent(false);
  EXPECT_EQ(
      DriverRequest(service, IOCTL_DRIVER_VERSION, INVALID_CHANNEL, &version, sizeof version, true),
      0xFFFFFFFFu);
  EXPECT_TRUE(service.requests().empty());
  EXPECT_EQ(version.version, 0u);
}

TEST_F(DriverClientTest, RequestOnItsOwnChannelOpensAndClosesAFreshOne) {
  VersionRecord version{};
  EXPECT_EQ(
      DriverRequest(service, IOCTL_DRIVER_VERSION, INVALID_CHANNEL, &version, sizeof version, true),
      SimulatedDriverService::SUCCESS_STATUS);
  EXPECT_EQ(version.version, 700u);
  EXPECT_EQ(service.channelsOpened(), 1);
  ASSERT_EQ(service.requests().size(), 1u);
  EXPECT_EQ(service.requests()[0].record, std::vector<uint8_t>(132, 0));
}

TEST_F(DriverClientTest, PendingRequestIsAwaitedBeforeTheRecordIsRead) {
  service.DelayRequest(IOCTL_DRIVER_VERSION, 1, 50);
  service.DelayRequest(IOCTL_DRIVER_SCAN, 1, 50);
  service.DelayRequest(IOCTL_DRIVER_OPEN_DEVICE, 1, 50);
  UsbDeviceHandle* device = client.FindAndOpenDevice(true);
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(device->deviceHandle, SimulatedDriverService::FIRST_DEVICE_HANDLE);
  EXPECT_TRUE(service.requests()[0].pending);

  // A transfer read too early would find its success flag still 0.
  service.DelayRequest(IOCTL_DRIVER_TRANSFER, 1, 50);
  EXPECT_EQ(client.ControlWrite(device, nullptr, 0, {0x40, 0x18, 0x1818, 0x1818, 0}), 0);
  EXPECT_TRUE(service.requests().back().pending);
  client.CloseDevice(device);
  EXPECT_TRUE(reporter.events().empty());
}

TEST_F(DriverClientTest, OpenChannelAcceptsVersion700AndKeepsTheChannelOpen) {
  DriverChannel channel = INVALID_CHANNEL;
  EXPECT_EQ(client.OpenChannel(&channel), 1);
  EXPECT_NE(channel, INVALID_CHANNEL);
  EXPECT_EQ(service.openChannels(), 1);
  auto requests = service.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].code, 0x95382443u);
  EXPECT_EQ(requests[0].channel, channel);
  client.CloseChannel(channel);
  EXPECT_TRUE(reporter.events().empty());
}

TEST_F(DriverClientTest, OpenChannelRefusesVersion699AndANoService) {
  service.SetVersion(699);
  DriverChannel channel = 0;
  EXPECT_EQ(client.OpenChannel(&channel), 0);
  EXPECT_EQ(channel, INVALID_CHANNEL);

  service.SetPresent(false);
  channel = 0;
  EXPECT_EQ(client.OpenChannel(&channel), 0);
  EXPECT_EQ(channel, INVALID_CHANNEL);
  EXPECT_EQ(reporter.events(), (std::vector{AppBoxEvent("Error - incorrect Tarn USB version\n"),
                                            AppBoxEvent("Cannot open Tarn USB device\n")}));
  EXPECT_EQ(service.requests().size(), 1u);  // the version request on the first channel only
}

TEST_F(DriverClientTest, FindAndOpenDeviceScansThenOpensOnASecondChannel) {
  EXPECT_STREQ(client.lastError(), "");
  UsbDeviceHandle* device = client.FindAndOpenDevice(true);
  ASSERT_NE(device, nullptr);
  auto requests = service.requests();
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_EQ(requests[0].code, IOCTL_DRIVER_VERSION);
  EXPECT_EQ(requests[1].code, 0x953825A7u);
  EXPECT_EQ(requests[2].code, IOCTL_DRIVER_VERSION);
  EXPECT_EQ(requests[3].code, 0x953825A3u);
  // The scan runs on the tested channel; the device gets a channel of its own.
  EXPECT_EQ(requests[1].channel, requests[0].channel);
  EXPECT_EQ(requests[2].channel, device->channel);
  EXPECT_EQ(requests[3].channel, device->channel);
  EXPECT_NE(device->channel, requests[0].channel);
  EXPECT_EQ(service.openChannels(), 1);

  ScanRecord scan{};
  scan.vendorId = 0x5555;
  scan.productId = 0x5555;
  EXPECT_EQ(requests[1].record, Bytes(scan));
  DeviceRecord open{};
  open.uniqueId = SimulatedDriverService::FIRST_UNIQUE_ID;
  EXPECT_EQ(requests[3].record, Bytes(open));

  EXPECT_EQ(device->deviceHandle, SimulatedDriverService::FIRST_DEVICE_HANDLE);
  for (uint32_t i = 0; i < DEVICE_INFO_SIZE; ++i)
    ASSERT_EQ(device->deviceInfo[i], static_cast<uint8_t>(i * 7 + open.uniqueId)) << i;

  DriverChannel deviceChannel = device->channel;
  client.CloseDevice(device);
  auto close = service.requests().back();
  EXPECT_EQ(close.code, 0x953825C3u);
  EXPECT_EQ(close.channel, deviceChannel);
  DeviceRecord expected{};
  expected.deviceHandle = SimulatedDriverService::FIRST_DEVICE_HANDLE;
  EXPECT_EQ(close.record, Bytes(expected));
  EXPECT_TRUE(reporter.events().empty());
}

TEST_F(DriverClientTest, OpenDeviceFailuresLeaveTheirTextAndShowNothing) {
  service.FailChannelOpen(0);
  EXPECT_EQ(client.OpenDevice(0x31, 0, 0, 0), nullptr);
  EXPECT_STREQ(client.lastError(), "Failed opening WinDriver device\n");

  service.SetVersion(699);
  EXPECT_EQ(client.OpenDevice(0x31, 0, 0, 0), nullptr);
  EXPECT_STREQ(client.lastError(), "Incorrect WinDriver version\n");  // overwritten, not appended
  EXPECT_TRUE(service.requests(IOCTL_DRIVER_OPEN_DEVICE).empty());
  EXPECT_TRUE(reporter.events().empty());
}

class DriverTransferTest : public DriverClientTest {
 protected:
  void SetUp() override {
    device = client.FindAndOpenDevice(true);
    ASSERT_NE(device, nullptr);
    before = service.requests().size();
  }
  void TearDown() override {
    client.CloseDevice(device);
    DriverClientTest::TearDown();
  }
  // The transfers since SetUp.
  std::vector<LoggedRequest> Transfers() {
    auto all = service.requests();
    return {all.begin() + static_cast<long>(before), all.end()};
  }

  UsbDeviceHandle* device = nullptr;
  size_t before = 0;
};

TEST_F(DriverTransferTest, TransfersCarryPipeDirectionTimeoutAndSetupOnFreshChannels) {
  const SetupPacket resend{0x40, 0x18, 0x1818, 0x1818, 0};
  const SetupPacket getSum{0xC0, 0x0C, 0x0C0C, 0x0C0C, 8};
  EXPECT_EQ(client.ControlWrite(device, nullptr, 0, resend), 0);
  uint8_t packet[640];
  for (int i = 0; i < 640; ++i) packet[i] = static_cast<uint8_t>(i);
  EXPECT_EQ(client.Pipe1Write(device, packet, sizeof packet), 640);

  auto t = Transfers();
  ASSERT_EQ(t.size(), 2u);
  for (auto& r : t) {
    EXPECT_EQ(r.code, 0x9538259Fu);
    EXPECT_NE(r.channel, device->channel);
  }
  EXPECT_NE(t[0].channel, t[1].channel);
  std::vector<uint8_t> write(48, 0);
  std::memcpy(write.data(), &device->deviceHandle, 4);
  write[24] = 0x10, write[25] = 0x27;  // 10,000 ms
  const uint8_t setup[8] = {0x40, 0x18, 0x18, 0x18, 0x18, 0x18, 0x00, 0x00};
  std::memcpy(write.data() + 32, setup, 8);
  EXPECT_EQ(t[0].record, write);

  TransferRecord pipe1 = t[1].transfer();
  EXPECT_EQ(pipe1.pipe, 1u);
  EXPECT_EQ(pipe1.direction, 0u);
  EXPECT_EQ(pipe1.length, 640u);
  EXPECT_EQ(pipe1.timeoutMs, 10000u);
  EXPECT_NE(pipe1.dataAddress, 0u);
  EXPECT_EQ(std::vector<uint8_t>(t[1].record.begin() + 28, t[1].record.end()),
            std::vector<uint8_t>(20, 0));
  EXPECT_EQ(t[1].data, std::vector<uint8_t>(packet, packet + 640));

  // Out of protocol order the device stalls: the transfer is not completed.
  uint8_t reply[8] = {};
  EXPECT_EQ(client.ControlRead(device, reply, 8, getSum), -1);
  TransferRecord read = Transfers().back().transfer();
  EXPECT_EQ(read.direction, 1u);
  EXPECT_EQ(read.timeoutMs, 300000u);
  EXPECT_EQ(read.length, 8u);
  EXPECT_EQ(std::memcmp(&read.setup, &getSum, 8), 0);
  EXPECT_EQ(service.openChannels(), 1);  // only the device's own
}

TEST_F(DriverTransferTest, TransferResultFollowsTheServicesFlagAndCount) {
  const SetupPacket resend{0x40, 0x18, 0x1818, 0x1818, 0};
  uint8_t packet[640] = {};
  service.device().ShortPipe1Write(0, 0);  // completed with 0 bytes: success
  EXPECT_EQ(client.ControlWrite(device, nullptr, 0, resend), 0);
  EXPECT_EQ(client.Pipe1Write(device, packet, sizeof packet), 0);

  service.device().StallRequest(0x18, 2);
  EXPECT_EQ(client.ControlWrite(device, nullptr, 0, resend), -1);

  service.FailNextChannelOpen();
  size_t logged = service.requests().size();
  EXPECT_EQ(client.ControlWrite(device, nullptr, 0, resend), -1);
  EXPECT_EQ(service.requests().size(), logged);  // nothing sent
  EXPECT_TRUE(reporter.events().empty());
}

TEST(TransferBufferAddress, FieldStandsForTheBufferWhileItsRequestRuns) {
  uint8_t first[4], second[4];
  uint32_t stale;
  {
    TransferBufferAddress a(first), b(second);
    EXPECT_EQ(ResolveTransferBuffer(a.field()), first);
    EXPECT_EQ(ResolveTransferBuffer(b.field()), second);
    stale = a.field();
  }
  EXPECT_EQ(TransferBufferAddress(nullptr).field(), 0u);
  if constexpr (sizeof(void*) > 4) {
    // A token outlives its request only as a field that resolves to nothing.
    TransferBufferAddress reused(second);
    EXPECT_EQ(ResolveTransferBuffer(stale), nullptr);
    EXPECT_EQ(ResolveTransferBuffer(reused.field()), second);
  }
}

TEST_F(DriverClientTest, WithoutServiceEveryTransferFailsSilently) {
  UsbDeviceHandle device;
  device.deviceHandle = 5;
  service.SetPresent(false);
  uint8_t buffer[8] = {};
  const SetupPacket resend{0x40, 0x18, 0x1818, 0x1818, 0};
  EXPECT_EQ(client.ControlWrite(&device, nullptr, 0, resend), -1);
  EXPECT_EQ(client.ControlRead(&device, buffer, 8, resend), -1);
  EXPECT_EQ(client.Pipe1Write(&device, buffer, 8), -1);
  EXPECT_TRUE(service.requests().empty());
  EXPECT_TRUE(reporter.events().empty());
}

}  // namespace
}  // namespace pelorin
