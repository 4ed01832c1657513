// The application object: process start-up, the main dialog run modally, and the end of the
// process when it closes. There is no message loop outside the dialog's.
#pragma once

#include <windows.h>

namespace pelorin {

class LoaderApp {
 public:
  // Start-up: common controls, then the main dialog until it closes. Returns the process's exit
  // code.
  int Run();
};

// The process's one application object.
LoaderApp& TheApp();

}  // namespace pelorin
