// Access to the driver service: channels, the version check, finding and opening the single
// control-pipe device, transfers on its control pipe and its pipe 1, and closing it. Every
// operation is synchronous on the calling thread; a client and its open device belong to one
// thread. Failures the operator must see are shown as application boxes through the Reporter.
#pragma once

#include <cstdint>

#include "download_report.h"
#include "driver_records.h"
#include "driver_transport.h"

namespace pelorin {

inline constexpr uint32_t DEVICE_FILTER_VENDOR_ID = 0x5555;
inline constexpr uint32_t DEVICE_FILTER_PRODUCT_ID = 0x5555;
inline constexpr uint32_t CONTROL_READ_TIMEOUT_MS = 300000;
inline constexpr uint32_t CONTROL_WRITE_TIMEOUT_MS = 10000;
inline constexpr uint32_t PIPE1_WRITE_TIMEOUT_MS = 10000;

// One request to the service: on a fresh channel of its own when `ownChannel` is set (opened and
// closed around the request), else on `channel`. Returns the service's status word, or
// 0xFFFFFFFF when no channel was usable and nothing was sent. Waits for a pending request to
// complete before it returns, so the record can be read at once.
uint32_t DriverRequest(DriverTransport& transport, uint32_t code, DriverChannel channel,
                       void* record, uint32_t recordSize, bool ownChannel);

// The open device: from a successful OpenDevice to its CloseDevice.
struct UsbDeviceHandle {
  DriverChannel channel = INVALID_CHANNEL;  // kept open for the device, carries the close request
  uint8_t deviceInfo[DEVICE_INFO_SIZE] = {};
  uint32_t deviceHandle = 0;  // the service's number for the open device, never 0
};

class DriverServiceClient {
 public:
  DriverServiceClient(DriverTransport& transport, Reporter& reporter)
      : transport_(transport), reporter_(reporter) {}
  virtual ~DriverServiceClient() = default;
  DriverServiceClient(const DriverServiceClient&) = delete;
  DriverServiceClient& operator=(const DriverServiceClient&) = delete;

  // Opens a channel into `*channel` and checks the service's version. Returns 1 with the channel
  // open (the caller closes it) or 0 with `*channel` invalid, after an application box.
  int OpenChannel(DriverChannel* channel);
  void CloseChannel(DriverChannel channel);
  // Scans (filtered by vendor and product id 0x5555 when `filterById`) and opens the first device
  // found. Null when none is found (no box) or the open failed (a box with lastError()).
  UsbDeviceHandle* FindAndOpenDevice(bool filterById);
  // Opens the device with `uniqueId` on a channel of its own. Null on failure, with the reason in
  // lastError(); shows nothing.
  UsbDeviceHandle* OpenDevice(uint32_t uniqueId, uint32_t param1, uint32_t param2, uint32_t param3);
  // Closes the device whatever the service answers; `device` is freed.
  void CloseDevice(UsbDeviceHandle* device);

  // Transfers, each on a fresh channel. Return the bytes transferred (possibly 0 or fewer than
  // asked), or -1 when no channel could be opened or the service did not complete the transfer.
  int32_t ControlRead(UsbDeviceHandle* device, void* buffer, uint32_t length,
                      const SetupPacket& setup);
  int32_t ControlWrite(UsbDeviceHandle* device, void* buffer, uint32_t length,
                       const SetupPacket& setup);
  int32_t Pipe1Write(UsbDeviceHandle* device, void* buffer, uint32_t length);

  const char* lastError() const { return lastError_; }

 private:
  int32_t Transfer(UsbDeviceHandle* device, uint32_t pipe, uint32_t direction, void* buffer,
                   uint32_t length, uint32_t timeoutMs, const SetupPacket* setup);
  void SetLastError(const char* text);

  DriverTransport& transport_;
  Reporter& reporter_;
  char lastError_[1024] = {};
};

}  // namespace pelorin
