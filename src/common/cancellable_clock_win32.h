// The download threads' clock in the headless programs: pauses that a stop cuts short.
#pragma once

#include <windows.h>

#include "download_report.h"

namespace pelorin {

// Pauses end at once when `cancelEvent` (a manual-reset event set on a stop) is set; ticks from
// GetTickCount. Stateless: shared by every thread.
class CancellableClock : public Clock {
 public:
  explicit CancellableClock(HANDLE cancelEvent) : cancelEvent_(cancelEvent) {}
  void Sleep(uint32_t milliseconds) override { WaitForSingleObject(cancelEvent_, milliseconds); }
  uint32_t TickCount() override { return GetTickCount(); }

 private:
  HANDLE cancelEvent_;
};

}  // namespace pelorin
