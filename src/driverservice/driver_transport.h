// The driver-transport seam: how the client reaches the driver service. On Windows a channel is a
// handle to the service's device and a request is one DeviceIoControl (driver_transport_win32.h);
// in tests a simulated driver service stands behind it (tools/devsim/driver_service_sim.h).
// One transport serves one thread: every entry is called by the DriverServiceClient (and
// DriverRequest) on the download thread, one request after another.
#pragma once

#include <cstdint>

namespace pelorin {

// A channel to the service: an opaque value, INVALID_CHANNEL for none (on Windows the handle,
// with INVALID_HANDLE_VALUE as the invalid one).
using DriverChannel = intptr_t;
inline constexpr DriverChannel INVALID_CHANNEL = -1;

class DriverTransport {
 public:
  virtual ~DriverTransport() = default;

  // Opens a channel to the service (read access, shared read and write, existing device,
  // overlapped). Returns INVALID_CHANNEL when the service is absent. Does not block.
  virtual DriverChannel OpenChannel() = 0;
  // Closes a channel that OpenChannel returned. Never called with INVALID_CHANNEL.
  virtual void CloseChannel(DriverChannel channel) = 0;

  // Starts one request on a valid channel: `code` with `record` (`size` bytes) as input buffer,
  // which the service reads and writes in place, and the 4-byte `status` word as output buffer.
  // Blocks while the service works on a request it completes at once (a transfer for up to its
  // timeout). Returns true when nothing more is to come: the service completed the request (or
  // refused it) before returning. Returns false when the service answered that the request is
  // pending: the record and `status` must not be read until FinishRequest has returned.
  virtual bool StartRequest(DriverChannel channel, uint32_t code, void* record, uint32_t size,
                            uint32_t* status) = 0;
  // Blocks until the pending request started last on `channel` has completed.
  virtual void FinishRequest(DriverChannel channel) = 0;
};

}  // namespace pelorin
