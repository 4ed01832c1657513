// What the download threads tell about each device beside their posts (Reporter's Device*
// entries): its interface path, the bytes it has taken, when it started and how it ended. The
// per-device views read it: the dialog's tooltips (device_tooltip.h), the headless front end's
// results. The status rules never do.
//
// Written by download threads, read by the front end's thread; every entry locks. A download's
// reports carry the number Begin gave it, so a late report of an earlier download (a worker that
// was still showing its box) cannot overwrite the current one's devices.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "download_report.h"
#include "run_results.h"

namespace pelorin {

struct DeviceActivity {
  bool ready = false;  // discovery found the device in this download
  std::string path;    // its interface path (UTF-8)
  bool started = false;
  uint32_t startTick = 0;
  uint64_t imageSize = 0;
  uint64_t bytesSent = 0;
  bool sending = false;  // at least one data write went out
  uint32_t firstDataTick = 0;
  uint32_t lastDataTick = 0;
  bool ended = false;
  DeviceOutcome outcome = DeviceOutcome::LinkError;
  uint32_t endTick = 0;
  std::string message;  // the text of the device's box, empty when none

  // Milliseconds from the worker's start to the device's end.
  uint32_t elapsedMs() const { return ended && started ? endTick - startTick : 0; }
};

class DeviceActivityBoard {
 public:
  // A new download begins: forgets the last one's devices. Returns the download's number, which
  // its reports must carry.
  uint32_t Begin();
  uint32_t download() const;

  void Ready(uint32_t download, int32_t device, std::string_view path);
  void Started(uint32_t download, int32_t device, uint32_t tick);
  void Sent(uint32_t download, int32_t device, uint64_t bytesSent, uint64_t imageSize,
            uint32_t tick);
  void Ended(uint32_t download, int32_t device, DeviceOutcome outcome, uint32_t tick,
             std::string_view message);

  // A copy of one device's entry (an empty one outside 0..15).
  DeviceActivity Device(int32_t device) const;

 private:
  // The entry to write, or null for a report of another download or an index out of range.
  DeviceActivity* Entry(uint32_t download, int32_t device);

  mutable std::mutex mutex_;
  uint32_t download_ = 0;
  std::array<DeviceActivity, PROGRESS_BAR_COUNT> devices_{};
};

// The part of a front end's Reporter that keeps a board: the device entries go to `board` (none:
// dropped) as reports of download number `download`.
class BoardReporter : public Reporter {
 public:
  BoardReporter(DeviceActivityBoard* board, uint32_t download)
      : board_(board), download_(download) {}
  void DeviceReady(int32_t device, std::string_view path) override;
  void DeviceStarted(int32_t device, uint32_t tick) override;
  void DeviceSent(int32_t device, uint64_t bytesSent, uint64_t imageSize, uint32_t tick) override;
  void DeviceEnded(int32_t device, DeviceOutcome outcome, uint32_t tick,
                   std::string_view message) override;

 private:
  DeviceActivityBoard* board_;
  uint32_t download_;
};

}  // namespace pelorin
