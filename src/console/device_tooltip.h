// The tooltip of a progress bar: what the dialog tells about the device behind it, from the
// per-device facts the download threads keep (device_activity.h).
#pragma once

#include <cstdint>
#include <string>

#include "device_activity.h"

namespace pelorin {

// The tooltip of device `index`'s bar, lines separated by "\r\n": its interface path; while it
// has not ended, the bytes sent of the image size with the percentage and the average MB/s since
// its first data write (at `now`); once ended, "Verified" or the status text of its final report,
// its time and average MB/s. Empty for a bar without a device in the download.
std::string DeviceTooltip(const DeviceActivity& device, int32_t index, uint32_t now);

}  // namespace pelorin
