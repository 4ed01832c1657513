#include "driver_service_sim.h"

#include <chrono>
#include <cstring>

#include "transfer_buffer_address.h"

namespace pelorin::devsim {

TransferRecord LoggedRequest::transfer() const {
  TransferRecord t{};
  if (record.size() == sizeof t) std::memcpy(&t, record.data(), sizeof t);
  return t;
}

SimulatedDriverService::SimulatedDriverService() {
  devices_.push_back({0x5555, 0x5555, FIRST_UNIQUE_ID});
}

SimulatedDriverService::~SimulatedDriverService() {
  if (pending_.joinable()) pending_.join();
}

DriverChannel SimulatedDriverService::OpenChannel() {
  std::lock_guard lock(mutex_);
  int index = channelOpens_++;
  if (!present_ || failedOpens_.count(index)) return INVALID_CHANNEL;
  DriverChannel channel = nextChannel_++;
  channels_.insert(channel);
  return channel;
}

void SimulatedDriverService::CloseChannel(DriverChannel channel) {
  std::lock_guard lock(mutex_);
  if (channels_.erase(channel) == 0)
    misuse_.push_back("close of channel " + std::to_string(channel) + " that is not open");
}

bool SimulatedDriverService::StartRequest(DriverChannel channel, uint32_t code, void* record,
                                          uint32_t size, uint32_t* status) {
  size_t logIndex;
  uint32_t delayMs = 0;
  bool delayed = false;
  {
    std::lock_guard lock(mutex_);
    if (!channels_.count(channel)) {
      misuse_.push_back("request on channel " + std::to_string(channel) + " that is not open");
      return true;
    }
    LoggedRequest entry;
    entry.code = code;
    entry.channel = channel;
    auto* bytes = static_cast<uint8_t*>(record);
    entry.record.assign(bytes, bytes + size);
    if (auto it = delays_.find({code, ++seen_[code]}); it != delays_.end()) {
      delayed = true;
      delayMs = it->second;
      entry.pending = true;
      pendingChannels_.insert(channel);
    }
    log_.push_back(std::move(entry));
    logIndex = log_.size() - 1;
  }
  auto* bytes = static_cast<uint8_t*>(record);
  if (!delayed) {
    Serve(code, bytes, size, status, logIndex);
    return true;
  }
  if (pending_.joinable()) pending_.join();
  pending_ = std::thread([=, this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    Serve(code, bytes, size, status, logIndex);
  });
  return false;
}

void SimulatedDriverService::FinishRequest(DriverChannel channel) {
  {
    std::lock_guard lock(mutex_);
    if (pendingChannels_.erase(channel) == 0)
      misuse_.push_back("finish on channel " + std::to_string(channel) +
                        " with no request pending");
  }
  if (pending_.joinable()) pending_.join();
}

void SimulatedDriverService::Serve(uint32_t code, uint8_t* record, uint32_t size, uint32_t* status,
                                   size_t logIndex) {
  std::lock_guard lock(mutex_);
  *status = SUCCESS_STATUS;
  switch (code) {
    case IOCTL_DRIVER_VERSION: {
      if (size != sizeof(VersionRecord)) break;
      std::memcpy(record + offsetof(VersionRecord, version), &version_, 4);
      return;
    }
    case IOCTL_DRIVER_SCAN: {
      if (size != sizeof(ScanRecord)) break;
      ScanRecord scan;
      std::memcpy(&scan, record, sizeof scan);
      uint32_t count = 0;
      for (auto& d : devices_) {
        if ((scan.vendorId != 0 && d.vendorId != scan.vendorId) ||
            (scan.productId != 0 && d.productId != scan.productId))
          continue;
        if (count++ == 0) scan.firstUniqueId = d.uniqueId;
      }
      scan.deviceCount = count;
      std::memcpy(record, &scan, sizeof scan);
      return;
    }
    case IOCTL_DRIVER_OPEN_DEVICE: {
      if (size != sizeof(DeviceRecord)) break;
      DeviceRecord open;
      std::memcpy(&open, record, sizeof open);
      bool known = false;
      for (auto& d : devices_) known = known || d.uniqueId == open.uniqueId;
      if (!known || refuseOpen_) return;  // handle number stays 0
      open.deviceHandle = nextHandle_++;
      handles_[open.deviceHandle] = open.uniqueId;
      for (uint32_t i = 0; i < DEVICE_INFO_SIZE; ++i)
        open.deviceInfo[i] = static_cast<uint8_t>(i * 7 + open.uniqueId);
      std::memcpy(record, &open, sizeof open);
      return;
    }
    case IOCTL_DRIVER_CLOSE_DEVICE: {
      if (size != sizeof(DeviceRecord)) break;
      DeviceRecord close;
      std::memcpy(&close, record, sizeof close);
      if (handles_.erase(close.deviceHandle) == 0) break;
      return;
    }
    case IOCTL_DRIVER_TRANSFER:
      if (size != sizeof(TransferRecord)) break;
      ServeTransfer(record, logIndex);
      return;
    default: break;
  }
  *status = 0xC000000D;  // invalid parameter: the record is left as it was
}

void SimulatedDriverService::ServeTransfer(uint8_t* record, size_t logIndex) {
  TransferRecord t;
  std::memcpy(&t, record, sizeof t);
  auto handle = handles_.find(t.deviceHandle);
  auto* data = static_cast<uint8_t*>(ResolveTransferBuffer(t.dataAddress));
  LoggedRequest& entry = log_[logIndex];
  bool valid = handle != handles_.end() && handle->second == devices_.front().uniqueId &&
               (data != nullptr || t.length == 0) && t.pipe <= PIPE_1 &&
               t.direction <= DIRECTION_READ &&
               !(t.pipe == PIPE_1 && t.direction == DIRECTION_READ);
  if (!valid) return;  // not completed

  int32_t count;
  if (t.pipe == PIPE_CONTROL) {
    bool read = t.direction == DIRECTION_READ;
    if (!read && data != nullptr) entry.data.assign(data, data + t.length);
    count = device_.Control(t.setup, read, data, t.length);
    if (read && count > 0) entry.data.assign(data, data + count);
  } else {
    entry.data.assign(data, data + t.length);
    count = device_.Pipe1Write(data, t.length);
  }
  if (count < 0) return;
  t.transferred = static_cast<uint32_t>(count);
  t.completed = 1;
  std::memcpy(record, &t, sizeof t);
}

std::vector<LoggedRequest> SimulatedDriverService::requests() const {
  std::lock_guard lock(mutex_);
  return log_;
}

std::vector<LoggedRequest> SimulatedDriverService::requests(uint32_t code) const {
  std::vector<LoggedRequest> out;
  for (auto& r : requests())
    if (r.code == code) out.push_back(r);
  return out;
}

int SimulatedDriverService::channelsOpened() const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(nextChannel_ - 0x100);
}

int SimulatedDriverService::openChannels() const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(channels_.size());
}

int SimulatedDriverService::openDevices() const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(handles_.size());
}

std::vector<std::string> SimulatedDriverService::misuse() const {
  std::lock_guard lock(mutex_);
  return misuse_;
}

}  // namespace pelorin::devsim
