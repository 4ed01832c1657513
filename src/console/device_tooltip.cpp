#include "device_tooltip.h"

#include <cstdio>

#include "console_model.h"
#include "run_results.h"

namespace pelorin {

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
