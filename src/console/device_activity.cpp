#include "device_activity.h"

#include <cstdio>

#include "console_model.h"

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

std::string DeviceTooltip(const DeviceActivity& device, int32_t index, uint32_t now) {
  if (!device.ready) return {};
  std::string text = device.path;
  char line[160];
  if (!device.ended) {
    if (!device.sending) return text;
    const uint64_t percent =
        device.imageSize == 0 ? 100 : device.bytesSent * 100 / device.imageSize;
    std::snprintf(line, sizeof line, "\r\n%llu of %llu bytes (%llu%%), %.1f MB/s",
                  static_cast<unsigned long long>(device.bytesSent),
                  static_cast<unsigned long long>(device.imageSize),
                  static_cast<unsigned long long>(percent),
                  MegabytesPerSecond(device.bytesSent, now - device.firstDataTick));
    return text + line;
  }
  std::string verdict;
  switch (device.outcome) {
    case DeviceOutcome::Verified: verdict = "Verified"; break;
    case DeviceOutcome::VerificationError:
      verdict = ConsoleModel::StatusText(STATUS_CHECKSUMS_ERROR, index);
      break;
    default: verdict = ConsoleModel::StatusText(STATUS_ERROR, index); break;
  }
  const uint32_t ms = device.elapsedMs();
  std::snprintf(line, sizeof line, "\r\n%s, %.1f s, %.1f MB/s", verdict.c_str(), ms / 1000.0,
                MegabytesPerSecond(device.bytesSent, ms));
  return text + line;
}

}  // namespace pelorin
