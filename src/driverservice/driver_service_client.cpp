#include "driver_service_client.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "transfer_buffer_address.h"

namespace pelorin {

uint32_t DriverRequest(DriverTransport& transport, uint32_t code, DriverChannel channel,
                       void* record, uint32_t recordSize, bool ownChannel) {
  if (ownChannel) channel = transport.OpenChannel();
  uint32_t status = 0xFFFFFFFF;
  if (channel == INVALID_CHANNEL) return status;
  if (!transport.StartRequest(channel, code, record, recordSize, &status)) {
    // The service finishes the request later; the record is only valid once it has.
    transport.FinishRequest(channel);
  }
  if (ownChannel) transport.CloseChannel(channel);
  return status;
}

int DriverServiceClient::OpenChannel(DriverChannel* channel) {
  *channel = transport_.OpenChannel();
  if (*channel == INVALID_CHANNEL) {
    reporter_.ShowAppBox("Cannot open Tarn USB device\n");
    return 0;
  }
  VersionRecord version{};
  DriverRequest(transport_, IOCTL_DRIVER_VERSION, *channel, &version, sizeof version, false);
  if (version.version >= DRIVER_SERVICE_MIN_VERSION) return 1;
  reporter_.ShowAppBox("Error - incorrect Tarn USB version\n");
  transport_.CloseChannel(*channel);
  *channel = INVALID_CHANNEL;
  return 0;
}

void DriverServiceClient::CloseChannel(DriverChannel channel) {
  if (channel != INVALID_CHANNEL) transport_.CloseChannel(channel);
}

UsbDeviceHandle* DriverServiceClient::FindAndOpenDevice(bool filterById) {
  DriverChannel channel;
  if (!OpenChannel(&channel)) return nullptr;

  ScanRecord scan{};
  if (filterById) {
    scan.vendorId = DEVICE_FILTER_VENDOR_ID;
    scan.productId = DEVICE_FILTER_PRODUCT_ID;
  }
  DriverRequest(transport_, IOCTL_DRIVER_SCAN, channel, &scan, sizeof scan, false);
  if (scan.deviceCount == 0) {
    transport_.CloseChannel(channel);
    return nullptr;
  }

  UsbDeviceHandle* device = OpenDevice(scan.firstUniqueId, 0, 0, 0);
  if (device == nullptr) {
    char text[sizeof lastError_ + 2];
    std::snprintf(text, sizeof text, "%s\n", lastError_);
    reporter_.ShowAppBox(text);
  }
  transport_.CloseChannel(channel);
  return device;
}

UsbDeviceHandle* DriverServiceClient::OpenDevice(uint32_t uniqueId, uint32_t param1,
                                                 uint32_t param2, uint32_t param3) {
  auto* device = new (std::nothrow) UsbDeviceHandle;
  if (device == nullptr) {
    SetLastError("Failed opening WinDriver device\n");
    return nullptr;
  }
  device->channel = transport_.OpenChannel();
  if (device->channel == INVALID_CHANNEL) {
    SetLastError("Failed opening WinDriver device\n");
    delete device;
    return nullptr;
  }

  VersionRecord version{};
  DriverRequest(transport_, IOCTL_DRIVER_VERSION, device->channel, &version, sizeof version, false);
  if (version.version < DRIVER_SERVICE_MIN_VERSION) {
    SetLastError("Incorrect WinDriver version\n");
    transport_.CloseChannel(device->channel);
    delete device;
    return nullptr;
  }

  DeviceRecord open{};
  open.uniqueId = uniqueId;
  open.openParams[0] = param1;
  open.openParams[1] = param2;
  open.openParams[2] = param3;
  DriverRequest(transport_, IOCTL_DRIVER_OPEN_DEVICE, device->channel, &open, sizeof open, false);
  if (open.deviceHandle == 0) {
    SetLastError("Could not open device\n");
    transport_.CloseChannel(device->channel);
    delete device;
    return nullptr;
  }
  device->deviceHandle = open.deviceHandle;
  std::memcpy(device->deviceInfo, open.deviceInfo, sizeof device->deviceInfo);
  return device;
}

void DriverServiceClient::CloseDevice(UsbDeviceHandle* device) {
  if (device == nullptr) return;
  DeviceRecord close{};
  close.deviceHandle = device->deviceHandle;
  DriverRequest(transport_, IOCTL_DRIVER_CLOSE_DEVICE, device->channel, &close, sizeof close,
                false);
  CloseChannel(device->channel);
  delete device;
}

int32_t DriverServiceClient::ControlRead(UsbDeviceHandle* device, void* buffer, uint32_t length,
                                         const SetupPacket& setup) {
  return Transfer(device, PIPE_CONTROL, DIRECTION_READ, buffer, length, CONTROL_READ_TIMEOUT_MS,
                  &setup);
}

int32_t DriverServiceClient::ControlWrite(UsbDeviceHandle* device, void* buffer, uint32_t length,
                                          const SetupPacket& setup) {
  return Transfer(device, PIPE_CONTROL, DIRECTION_WRITE, buffer, length, CONTROL_WRITE_TIMEOUT_MS,
                  &setup);
}

int32_t DriverServiceClient::Pipe1Write(UsbDeviceHandle* device, void* buffer, uint32_t length) {
  return Transfer(device, PIPE_1, DIRECTION_WRITE, buffer, length, PIPE1_WRITE_TIMEOUT_MS, nullptr);
}

int32_t DriverServiceClient::Transfer(UsbDeviceHandle* device, uint32_t pipe, uint32_t direction,
                                      void* buffer, uint32_t length, uint32_t timeoutMs,
                                      const SetupPacket* setup) {
  TransferBufferAddress address(buffer);
  TransferRecord transfer{};
  transfer.deviceHandle = device->deviceHandle;
  transfer.pipe = pipe;
  transfer.direction = direction;
  transfer.dataAddress = address.field();
  transfer.length = length;
  transfer.timeoutMs = timeoutMs;
  if (setup != nullptr) transfer.setup = *setup;
  DriverRequest(transport_, IOCTL_DRIVER_TRANSFER, INVALID_CHANNEL, &transfer, sizeof transfer,
                true);
  if (transfer.completed == 0) return -1;
  return static_cast<int32_t>(transfer.transferred);
}

void DriverServiceClient::SetLastError(const char* text) {
  std::snprintf(lastError_, sizeof lastError_, "%s", text);
}

}  // namespace pelorin
