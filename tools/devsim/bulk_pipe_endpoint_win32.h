// The simulated bulk-pipe device behind one named-pipe session: PIPE01 messages go to the
// device's HostWrite, the device's answers come back for PIPE00.
#pragma once

#include <windows.h>

#include <atomic>
#include <memory>

#include "bulk_pipe_device.h"
#include "sim_pipe_server_win32.h"

namespace pelorin::devsim {

// Sleep and GetTickCount, for the device's write stamps and its byte-rate pacing.
class WallClock : public Clock {
 public:
  void Sleep(uint32_t milliseconds) override { ::Sleep(milliseconds); }
  uint32_t TickCount() override { return GetTickCount(); }
};

class BulkPipeEndpoint : public SessionEndpoint {
 public:
  BulkPipeEndpoint(Clock& clock, const BulkPipeBehaviour& behaviour) : device_(clock, behaviour) {}

  void HostMessage(const uint8_t* data, size_t size) override;
  bool NextDeviceMessage(std::vector<uint8_t>* message) override;
  bool Vanished() const override { return device_.vanished(); }
  bool Hung() const override { return device_.hung(); }
  void HostClosed(SimPipe pipe) override;
  void Shutdown() override {
    shutdown_ = true;
    device_.Shutdown();
  }

  BulkPipeResult Result() const { return device_.Result(); }

 private:
  BulkPipeDevice device_;
  std::atomic<bool> hostClosed_{false};
  std::atomic<bool> shutdown_{false};
};

}  // namespace pelorin::devsim
