#include "dialog_reporter_win32.h"

#include "message_box_win32.h"
#include "post_delivery.h"
#include "text_win32.h"

namespace pelorin {

bool DialogReporter::Post(UINT message, WPARAM wParam, LPARAM lParam, bool mustArrive) {
  return DeliverPost([&] { return PostMessageW(dialog_, message, wParam, lParam) != FALSE; },
                     [&] { return IsWindow(dialog_) != FALSE; }, clock_, mustArrive);
}

// lParam keeps the sign of negative values; the dialog reads it back as a 32-bit number.
void DialogReporter::PostStatus(int32_t code, int32_t lParam) {
  Post(WM_DOWNLOAD_STATUS, static_cast<WPARAM>(code), static_cast<LPARAM>(lParam),
       IsFinalReport(code));
}

void DialogReporter::PostProgress(int32_t bar, int32_t percent) {
  Post(WM_DOWNLOAD_PROGRESS, static_cast<WPARAM>(bar), static_cast<LPARAM>(percent), false);
}

void DialogReporter::Control(DownloadControl request, int32_t argument) {
  Post(WM_DOWNLOAD_CONTROL, static_cast<WPARAM>(request), static_cast<LPARAM>(argument), true);
}

void DialogReporter::ShowStopBox(std::string_view text, std::string_view caption) {
  pelorin::ShowStopBox(dialog_, Utf8ToWide(text), Utf8ToWide(caption));
}

void DialogReporter::ShowAppBox(std::string_view text, BoxIcon icon) {
  pelorin::ShowAppBox(dialog_, Utf8ToWide(text),
                      icon == BoxIcon::Stop ? MB_ICONHAND : MB_ICONEXCLAMATION);
}

}  // namespace pelorin
