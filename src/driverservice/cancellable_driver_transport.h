// A driver transport that the operator's stop (the headless front end's Ctrl+C) cuts short. The
// request under way is cancelled at once, and from then on every request is refused (the service
// never sees it, so the caller reads the untouched record as a failure) except the device's
// farewell: SetSendEnd and the close request still go out, each bounded by the service's own
// transfer limit, so that a device left in the middle of a block is told the download has ended
// and is closed.
#pragma once

#include <functional>
#include <mutex>

#include "driver_transport.h"

namespace pelorin {

class CancellableDriverTransport : public DriverTransport {
 public:
  // `cancelRequest` cancels the request under way on a channel (Windows: CancelIoEx on the
  // handle). It is called with this transport's lock held, only for a channel whose request has
  // not finished yet (and so is still open); it must not block.
  CancellableDriverTransport(DriverTransport& inner,
                             std::function<void(DriverChannel)> cancelRequest);

  DriverChannel OpenChannel() override;
  void CloseChannel(DriverChannel channel) override;
  bool StartRequest(DriverChannel channel, uint32_t code, void* record, uint32_t size,
                    uint32_t* status) override;
  void FinishRequest(DriverChannel channel) override;

  // Any thread: cancels the request under way (unless it is the farewell) and refuses every
  // later one but the farewell.
  void Cancel();
  bool cancelled() const;

 private:
  // The request under way finished: nothing of it may be cancelled any more.
  void Finished();

  DriverTransport& inner_;
  const std::function<void(DriverChannel)> cancelRequest_;
  mutable std::mutex mutex_;
  bool cancelled_ = false;
  DriverChannel current_ = INVALID_CHANNEL;  // the channel of the request under way
  bool currentIsFarewell_ = false;
};

// The device's farewell: the close request, or a control write of SetSendEnd.
bool IsFarewellRequest(uint32_t code, const void* record, uint32_t size);

}  // namespace pelorin
