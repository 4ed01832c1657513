#include "device_activity.h"

namespace pelorin {

uint32_t DeviceActivityBoard::Begin() {
  std::lock_guard lock(mutex_);
  devices_.fill({});
  return ++download_;
}

uint32_t DeviceActivityBoard::download() const {
  std::lock_guard lock(mutex_);
  return download_;
}

DeviceActivity* DeviceActivityBoard::Entry(uint32_t download, int32_t device) {
  if (download != download_ || device < 0 || device >= PROGRESS_BAR_COUNT) return nullptr;
  return &devices_[static_cast<size_t>(device)];
}

void DeviceActivityBoard::Ready(uint32_t download, int32_t device, std::string_view path) {
  std::lock_guard lock(mutex_);
  if (DeviceActivity* d = Entry(download, device)) {
    d->ready = true;
    d->path = path;
  }
}

void DeviceActivityBoard::Started(uint32_t download, int32_t device, uint32_t tick) {
  std::lock_guard lock(mutex_);
  if (DeviceActivity* d = Entry(download, device)) {
    d->started = true;
    d->startTick = tick;
  }
}

void DeviceActivityBoard::Sent(uint32_t download, int32_t device, uint64_t bytesSent,
                               uint64_t imageSize, uint32_t tick) {
  std::lock_guard lock(mutex_);
  if (DeviceActivity* d = Entry(download, device)) {
    if (!d->sending) d->firstDataTick = tick;
    d->sending = true;
    d->lastDataTick = tick;
    d->bytesSent = bytesSent;
    d->imageSize = imageSize;
  }
}

void DeviceActivityBoard::Ended(uint32_t download, int32_t device, DeviceOutcome outcome,
                                uint32_t tick, std::string_view message) {
  std::lock_guard lock(mutex_);
  if (DeviceActivity* d = Entry(download, device)) {
    d->ended = true;
    d->outcome = outcome;
    d->endTick = tick;
    d->message = message;
  }
}

DeviceActivity DeviceActivityBoard::Device(int32_t device) const {
  std::lock_guard lock(mutex_);
  if (device < 0 || device >= PROGRESS_BAR_COUNT) return {};
  return devices_[static_cast<size_t>(device)];
}

void BoardReporter::DeviceReady(int32_t device, std::string_view path) {
  if (board_) board_->Ready(download_, device, path);
}

void BoardReporter::DeviceStarted(int32_t device, uint32_t tick) {
  if (board_) board_->Started(download_, device, tick);
}

void BoardReporter::DeviceSent(int32_t device, uint64_t bytesSent, uint64_t imageSize,
                               uint32_t tick) {
  if (board_) board_->Sent(download_, device, bytesSent, imageSize, tick);
}

void BoardReporter::DeviceEnded(int32_t device, DeviceOutcome outcome, uint32_t tick,
                                std::string_view message) {
  if (board_) board_->Ended(download_, device, outcome, tick, message);
}

}  // namespace pelorin
