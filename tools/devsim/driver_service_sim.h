// A simulated driver service behind the driver-transport seam: serves the five requests on their
// record layouts (version, scan by vendor and product id, open, close, transfers on pipe 0 and
// pipe 1 of the control-pipe device), records every request with its bytes, and can be told to
// misbehave: be absent, report another version, find no device or several, refuse the open,
// refuse channels, or complete a request only after a delay (answering it as pending).
// One client thread at a time; a delayed request completes on a thread of its own.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "control_pipe_device.h"
#include "driver_records.h"
#include "driver_transport.h"

namespace pelorin::devsim {

struct SimulatedUsbDevice {
  uint32_t vendorId = 0x5555;
  uint32_t productId = 0x5555;
  uint32_t uniqueId = 0;
};

// One request as the service received it.
struct LoggedRequest {
  uint32_t code = 0;
  DriverChannel channel = INVALID_CHANNEL;
  std::vector<uint8_t> record;  // the record's bytes as the client sent them
  std::vector<uint8_t> data;    // transfers: the bytes written, or the bytes read back
  bool pending = false;         // answered as pending, completed later

  // Transfers: the record's fields.
  TransferRecord transfer() const;
};

class SimulatedDriverService : public DriverTransport {
 public:
  // The service's control-pipe device (the first device of the list).
  static constexpr uint32_t FIRST_UNIQUE_ID = 0x00A70001;
  static constexpr uint32_t FIRST_DEVICE_HANDLE = 0x00D50001;
  static constexpr uint32_t SUCCESS_STATUS = 0;

  SimulatedDriverService();
  ~SimulatedDriverService() override;

  ControlPipeDevice& device() { return device_; }

  // --- configuration and misbehaviour (before the client starts) ---
  void SetPresent(bool present) { present_ = present; }
  void SetVersion(uint32_t version) { version_ = version; }
  // The attached devices; transfers reach the control-pipe device through any open handle of
  // the first one. Default: one device with vendor and product id 0x5555.
  void SetDevices(std::vector<SimulatedUsbDevice> devices) { devices_ = std::move(devices); }
  void RefuseOpen() { refuseOpen_ = true; }
  // Channel open number `index` (0-based, counting every open) fails.
  void FailChannelOpen(int index) { failedOpens_.insert(index); }
  void FailNextChannelOpen() {
    std::lock_guard lock(mutex_);
    failedOpens_.insert(channelOpens_);
  }
  // Occurrence `occurrence` (1 = first) of request `code` is answered as pending and completed
  // `delayMs` later on another thread.
  void DelayRequest(uint32_t code, int occurrence, uint32_t delayMs) {
    delays_[{code, occurrence}] = delayMs;
  }

  // --- DriverTransport ---
  DriverChannel OpenChannel() override;
  void CloseChannel(DriverChannel channel) override;
  bool StartRequest(DriverChannel channel, uint32_t code, void* record, uint32_t size,
                    uint32_t* status) override;
  void FinishRequest(DriverChannel channel) override;

  // --- observations ---
  std::vector<LoggedRequest> requests() const;
  std::vector<LoggedRequest> requests(uint32_t code) const;
  int channelsOpened() const;
  int openChannels() const;  // channels opened and not closed
  int openDevices() const;   // device handles opened and not closed
  // Channels closed that were not open, requests on unknown channels, finishes with no request
  // pending: empty for a good client.
  std::vector<std::string> misuse() const;

 private:
  void Serve(uint32_t code, uint8_t* record, uint32_t size, uint32_t* status, size_t logIndex);
  void ServeTransfer(uint8_t* record, size_t logIndex);

  mutable std::mutex mutex_;
  ControlPipeDevice device_;
  bool present_ = true;
  uint32_t version_ = 700;
  bool refuseOpen_ = false;
  std::vector<SimulatedUsbDevice> devices_;
  std::set<int> failedOpens_;
  std::map<std::pair<uint32_t, int>, uint32_t> delays_;
  std::map<uint32_t, int> seen_;

  int channelOpens_ = 0;
  std::set<DriverChannel> channels_;
  std::set<DriverChannel> pendingChannels_;  // answered as pending, not yet finished
  DriverChannel nextChannel_ = 0x100;
  std::map<uint32_t, uint32_t> handles_;  // open device handle -> unique id
  uint32_t nextHandle_ = FIRST_DEVICE_HANDLE;
  std::vector<LoggedRequest> log_;
  std::vector<std::string> misuse_;
  std::thread pending_;
};

}  // namespace pelorin::devsim
