#include "cancellable_driver_transport.h"

#include <cstring>

#include "control_pipe_download.h"
#include "driver_records.h"

namespace pelorin {

bool IsFarewellRequest(uint32_t code, const void* record, uint32_t size) {
  if (code == IOCTL_DRIVER_CLOSE_DEVICE) return true;
  if (code != IOCTL_DRIVER_TRANSFER || size != sizeof(TransferRecord)) return false;
  TransferRecord transfer;
  std::memcpy(&transfer, record, sizeof transfer);
  return transfer.pipe == PIPE_CONTROL && transfer.direction == DIRECTION_WRITE &&
         std::memcmp(&transfer.setup, &SET_SEND_END, sizeof(SetupPacket)) == 0;
}

CancellableDriverTransport::CancellableDriverTransport(
    DriverTransport& inner, std::function<void(DriverChannel)> cancelRequest)
    : inner_(inner), cancelRequest_(std::move(cancelRequest)) {}

DriverChannel CancellableDriverTransport::OpenChannel() {
  // Opening a channel does not reach the device; the farewell needs channels of its own.
  return inner_.OpenChannel();
}

void CancellableDriverTransport::CloseChannel(DriverChannel channel) {
  inner_.CloseChannel(channel);
}

bool CancellableDriverTransport::StartRequest(DriverChannel channel, uint32_t code, void* record,
                                              uint32_t size, uint32_t* status) {
  const bool farewell = IsFarewellRequest(code, record, size);
  {
    std::lock_guard lock(mutex_);
    if (cancelled_ && !farewell) return true;  // refused: the record stays as the caller made it
    current_ = channel;
    currentIsFarewell_ = farewell;
  }
  const bool done = inner_.StartRequest(channel, code, record, size, status);
  if (done) Finished();
  return done;
}

void CancellableDriverTransport::FinishRequest(DriverChannel channel) {
  inner_.FinishRequest(channel);
  Finished();
}

void CancellableDriverTransport::Finished() {
  std::lock_guard lock(mutex_);
  current_ = INVALID_CHANNEL;
  currentIsFarewell_ = false;
}

void CancellableDriverTransport::Cancel() {
  std::lock_guard lock(mutex_);
  cancelled_ = true;
  if (current_ != INVALID_CHANNEL && !currentIsFarewell_ && cancelRequest_) {
    cancelRequest_(current_);
  }
}

bool CancellableDriverTransport::cancelled() const {
  std::lock_guard lock(mutex_);
  return cancelled_;
}

}  // namespace pelorin
