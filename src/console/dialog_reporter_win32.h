// The dialog's side of the reporting seam: a Reporter that posts to the main dialog and shows
// boxes owned by it. The dialog hands one to each download it starts.
#pragma once

#include <windows.h>

#include "device_activity.h"
#include "download_report.h"
#include "system_clock_win32.h"

namespace pelorin {

// Posts every report to the dialog window (never sends: the dialog thread may be showing a box,
// and the download thread must not wait for it); a post the window does not take is tried again
// (post_delivery.h). Boxes block the calling thread only. The per-device facts go to `board`
// (the dialog's, for its tooltips) as reports of download number `download`. Holds nothing that
// changes: every thread of a download may report through the same one.
class DialogReporter : public BoardReporter {
 public:
  explicit DialogReporter(HWND dialog, DeviceActivityBoard* board = nullptr, uint32_t download = 0)
      : BoardReporter(board, download), dialog_(dialog) {}

  void PostStatus(int32_t code, int32_t lParam) override;
  void PostProgress(int32_t bar, int32_t percent) override;
  void Control(DownloadControl request, int32_t argument) override;
  void ShowStopBox(std::string_view text, std::string_view caption) override;
  void ShowAppBox(std::string_view text, BoxIcon icon = BoxIcon::Exclamation) override;

  HWND dialog() const { return dialog_; }

 private:
  bool Post(UINT message, WPARAM wParam, LPARAM lParam, bool mustArrive);

  HWND dialog_;
  SystemClock clock_;
};

}  // namespace pelorin
