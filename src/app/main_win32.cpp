// Pelorin's entry point: hands the process to the application object.
#include <windows.h>

#include "loader_app_win32.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  return pelorin::TheApp().Run();
}
