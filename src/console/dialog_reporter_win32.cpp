#include "dialog_reporter_win32.h"

#include "message_box_win32.h"
#include "text_win32.h"

namespace pelorin {

// lParam keeps the sign of negative values; the dialog reads it back as a 32-bit number.
void DialogReporter::PostStatus(int32_t code, int32_t lParam) {
  PostMessageW(dialog_, WM_DOWNLOAD_STATUS, static_cast<WPARAM>(code), static_cast<LPARAM>(lParam));
}

void DialogReporter::PostProgress(int32_t bar, int32_t percent) {
  PostMessageW(dialog_, WM_DOWNLOAD_PROGRESS, static_cast<WPARAM>(bar),
               static_cast<LPARAM>(percent));
}

void DialogReporter::Control(DownloadControl request, int32_t argument) {
  PostMessageW(dialog_, WM_DOWNLOAD_CONTROL, static_cast<WPARAM>(request),
               static_cast<LPARAM>(argument));
}

void DialogReporter::ShowStopBox(std::string_view text, std::string_view caption) {
  pelorin::ShowStopBox(dialog_, Utf8ToWide(text), Utf8ToWide(caption));
}

void DialogReporter::ShowAppBox(std::string_view text) {
  pelorin::ShowAppBox(dialog_, Utf8ToWide(text));
}

}  // namespace pelorin
