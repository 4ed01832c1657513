// The driver transport on Windows: channels are handles to the driver service's device, opened
// with CreateFileA, and a request is one DeviceIoControl with the record as input buffer and the
// 4-byte status word as output buffer. One transport serves one thread.
#pragma once

#include <windows.h>

#include "driver_transport.h"

namespace pelorin {

class Win32DriverTransport : public DriverTransport {
 public:
  Win32DriverTransport();
  ~Win32DriverTransport() override;
  Win32DriverTransport(const Win32DriverTransport&) = delete;
  Win32DriverTransport& operator=(const Win32DriverTransport&) = delete;

  DriverChannel OpenChannel() override;
  void CloseChannel(DriverChannel channel) override;
  bool StartRequest(DriverChannel channel, uint32_t code, void* record, uint32_t size,
                    uint32_t* status) override;
  void FinishRequest(DriverChannel channel) override;

 private:
  // The channels are overlapped handles: a request the service leaves pending completes
  // through this structure and its event.
  OVERLAPPED overlapped_{};
  HANDLE event_ = nullptr;
};

}  // namespace pelorin
