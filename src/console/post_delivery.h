// How a download thread's post reaches the dialog when the window does not take it at once (a
// full message queue): it is tried again after a short pause. A report the dialog cannot do
// without (a final report, a timer or counter request) is tried for as long as the window
// exists, since losing it would leave the dialog busy for good; others for a bounded while.
#pragma once

#include <cstdint>

#include "download_report.h"

namespace pelorin {

inline constexpr uint32_t POST_RETRY_PAUSE_MS = 10;
inline constexpr uint32_t POST_RETRY_ATTEMPTS = 50;  // about half a second for other reports

// The reports that end a device or a download.
constexpr bool IsFinalReport(int32_t code) {
  return code == STATUS_ERROR || code == STATUS_CHECKSUMS_ERROR || code == STATUS_DEVICE_DONE ||
         code == STATUS_CHECKSUMS_OK;
}

// Calls `post` until it succeeds. Between attempts it checks `windowExists` and pauses on
// `clock`; gives up when the window is gone or, unless `mustArrive`, after POST_RETRY_ATTEMPTS
// retries. Returns whether the post was taken.
template <class Post, class WindowExists>
bool DeliverPost(Post post, WindowExists windowExists, Clock& clock, bool mustArrive) {
  for (uint32_t retries = 0;; ++retries) {
    if (post()) return true;
    if (!windowExists()) return false;
    if (!mustArrive && retries >= POST_RETRY_ATTEMPTS) return false;
    clock.Sleep(POST_RETRY_PAUSE_MS);
  }
}

}  // namespace pelorin
