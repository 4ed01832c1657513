// The system's clock behind the Clock seam: Sleep and GetTickCount. Stateless, so one serves
// every thread.
#pragma once

#include <windows.h>

#include "download_report.h"

namespace pelorin {

class SystemClock : public Clock {
 public:
  void Sleep(uint32_t milliseconds) override { ::Sleep(milliseconds); }
  uint32_t TickCount() override { return GetTickCount(); }
};

}  // namespace pelorin
