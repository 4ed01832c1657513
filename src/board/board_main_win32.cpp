// PelorinStation.exe: the station board. The same options as PelorinCli --station; with IMAGE it
// starts at once (a shortcut on the station's desktop is how a line runs it), without it the
// start form asks for one. Exits with the station's status (see --help). It speaks Korean or
// English: --lang, else Korean where Windows' user interface is Korean.
#include <windows.h>
#include <commctrl.h>

#include <string>
#include <vector>

#include "board_arguments.h"
#include "board_window_win32.h"
#include "start_form_win32.h"
#include "text_win32.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  using namespace pelorin;
  std::vector<std::string> arguments;
  for (int i = 1; i < __argc; ++i) arguments.push_back(WideToUtf8(__wargv[i]));
  const board::BoardArguments parsed =
      board::ParseBoardArguments(arguments, board::LanguageOfUi(GetUserDefaultUILanguage()));
  if (!parsed.ok) {
    // --help and --version come in a box too: a GUI program has no console to print to.
    MessageBoxW(nullptr, Utf8ToWide(parsed.text).c_str(), board::BOX_CAPTION,
                MB_OK | (parsed.exitStatus == EXIT_VERIFIED ? MB_ICONINFORMATION : MB_ICONSTOP));
    return parsed.exitStatus;
  }
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS | ICC_BAR_CLASSES};
  InitCommonControlsEx(&controls);

  board::BoardSetup setup;
  setup.station = parsed.setup;
  setup.language = parsed.language;
  station::StationRunner* runner = nullptr;
  if (setup.station.imagePath.empty()) {
    runner = board::RunStartForm(instance, &setup);
    if (runner == nullptr) return EXIT_CANCELLED;  // the operator cancelled: nothing ran
  } else {
    runner = new station::StationRunner();  // never freed: workers may still end at exit
  }
  auto* board = new board::BoardWindow(*runner, setup);  // never freed, as the runner
  if (!board->Create(instance, SW_SHOWMAXIMIZED) || !board->StartEngine()) {
    MessageBoxW(nullptr,
                Utf8ToWide(board::TextsFor(setup.language)(board::Text::WindowFailed)).c_str(),
                board::BOX_CAPTION, MB_OK | MB_ICONSTOP);
    return EXIT_USAGE;
  }
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  // The window goes once the station has ended: the engine's thread is done, or about to be.
  board->WaitForEngine(5000);
  return board->exitStatus();
}
