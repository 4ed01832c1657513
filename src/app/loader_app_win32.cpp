#include "loader_app_win32.h"

#include <windows.h>
// The other Windows headers build on windows.h.
#include <commctrl.h>

#include "about_dialog_win32.h"
#include "download_starters_win32.h"
#include "loader_dialog_win32.h"

namespace pelorin {

namespace {
LoaderApp theApp;  // exists before the entry point runs
}  // namespace

LoaderApp& TheApp() {
  return theApp;
}

int LoaderApp::Run() {
  // The progress bars (and, with the manifest's common controls 6, the themed standard
  // controls) must be registered before the dialog template is instantiated. The old
  // "three-dimensional controls" switch has no counterpart to call: every supported Windows
  // draws dialog controls in 3-D by itself.
  INITCOMMONCONTROLSEX controls{};
  controls.dwSize = sizeof controls;
  controls.dwICC = ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES;
  InitCommonControlsEx(&controls);  // failure only costs the progress bars; it is ignored

  LoaderDialog dialog(ApplicationDownloadStarters(), &AboutDialog::Show);
  dialog.DoModal(nullptr);  // OK or Cancel: the process ends either way
  return 0;
}

}  // namespace pelorin
