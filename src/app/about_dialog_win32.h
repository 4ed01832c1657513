// The About box (template 100): icon, version line, the makers' notice and OK.
#pragma once

#include <windows.h>

namespace pelorin {

class AboutDialog {
 public:
  // Runs the box modally over `owner`; returns when the operator presses OK or closes it.
  static INT_PTR DoModal(HWND owner);
  // The form LoaderDialog takes for its system-menu entry.
  static void Show(HWND owner) { DoModal(owner); }

 private:
  static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
};

}  // namespace pelorin
