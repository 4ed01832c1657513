// Drives a running Pelorin.exe from outside its process, one command per run, for the
// end-to-end scripts. Texts go out as UTF-8 on stdout; the exit code is 0 on success, 1 when a
// check or wait failed, 2 on bad usage.
//
//   e2e_driver wait-window <caption> <timeout-ms>     a visible top-level window with that caption
//   e2e_driver get-text <ctrl-id>                     text of a main-dialog control
//   e2e_driver wait-text <ctrl-id> <text> <timeout-ms>
//   e2e_driver wait-status <text> <timeout-ms>        the status line (1003) reads <text>
//   e2e_driver click <ctrl-id>                        posts BM_CLICK to a main-dialog button
//   e2e_driver enabled <ctrl-id>                      prints 1 or 0
//   e2e_driver bar <index>                            position of progress bar 0..15
//   e2e_driver hover <index>                          puts the mouse pointer on progress bar
//                                                     0..15 (its tooltip shows a moment later)
//   e2e_driver wait-dialog <timeout-ms>               waits for a dialog owned by the main one
//                                                     and prints its caption
//   e2e_driver choose-file <path> [timeout-ms]        fills the Open File dialog and presses OK
//   e2e_driver boxes [--keep]                         lists owned message boxes ("caption|text",
//                                                     newlines as \n) and closes them
//   e2e_driver wait-box <timeout-ms>                  waits until a message box is up
//   e2e_driver about [--keep]                         opens the About box through the system
//                                                     command, prints its texts, closes it
//   e2e_driver system-menu                            lists the main dialog's system menu
//                                                     ("0xID|text" per entry)
//   e2e_driver close-window <caption>                 closes a dialog by its caption
//   e2e_driver hold-file <path> <ms>                  keeps a file open (read, read sharing) for
//                                                     <ms>, so that an exclusive open fails
//   e2e_driver close                                  closes the main dialog (Cancel)
//   e2e_driver end-session <class>                    tells the top-level window of that class a
//                                                     log-off (WM_QUERYENDSESSION, WM_ENDSESSION)
//                                                     and prints the ms its end took
// The station board (PelorinStation.exe) and its start form:
//   e2e_driver board-texts                            "header|...", "banner|..." (when shown)
//                                                     and "tile|..." per tile, in board order
//   e2e_driver board-wait <text> <timeout-ms>         until a line of board-texts holds <text>
//   e2e_driver board-watch <text> <tiles> <timeout-ms> prints "<GetTickCount64> <port>" the first
//                                                     time each tile shows <text>, until <tiles>
//                                                     tiles have (or the timeout)
//   e2e_driver board-stop                             presses the board's Stop button
//   e2e_driver board-close                            closes the board's window
//   e2e_driver press-box <button-id>                  presses a button of each message box
//                                                     (IDYES 6, IDNO 7), printing "caption|text"
//   e2e_driver form-set <ctrl-id> <text>              sets a start-form control's text
//   e2e_driver form-get <ctrl-id>                     prints it
//   e2e_driver form-click <ctrl-id>                   posts BM_CLICK to a start-form button
// Message boxes and Open File dialogs owned by the board or the start form count as owned
// dialogs as well (wait-box, boxes, wait-dialog, choose-file).
#include <windows.h>
// The other Windows headers build on windows.h.
#include <commctrl.h>
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "text_win32.h"

namespace {

constexpr wchar_t MAIN_CAPTION[] = L"Image Loader Ver 4.0.1";
constexpr wchar_t BOARD_CLASS[] = L"PelorinStationBoard";
constexpr wchar_t FORM_CAPTION[] = L"Pelorin Station - start";
constexpr int BOARD_HEADER = 100, BOARD_BANNER = 101, BOARD_STOP = 102, BOARD_TILES = 1000;
constexpr int FILE_NAME_EDIT = 0x047C;  // file-name field of the Open File dialog
constexpr int MESSAGE_TEXT = 0xFFFF;    // the text of a message box
constexpr int PROGRESS_BAR_IDS[16] = {1004, 1006, 1009, 1012, 1013, 1014, 1015, 1016,
                                      1017, 1018, 1019, 1020, 1021, 1022, 1023, 1024};

std::string Utf8(const std::wstring& text) {
  return pelorin::WideToUtf8(text);
}

void Print(const std::wstring& text) {
  std::string line = Utf8(text);
  line.push_back('\n');
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

// Newlines shown as \n so that one box stays one line.
std::wstring OneLine(const std::wstring& text) {
  std::wstring out;
  for (wchar_t c : text) {
    if (c == L'\n')
      out += L"\\n";
    else if (c != L'\r')
      out += c;
  }
  return out;
}

std::wstring TextOf(HWND window) {
  if (window == nullptr) return {};
  DWORD_PTR length = 0;
  if (!SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 5000, &length))
    return {};
  std::wstring text(length + 1, L'\0');
  DWORD_PTR got = 0;
  SendMessageTimeoutW(window, WM_GETTEXT, length + 1, reinterpret_cast<LPARAM>(text.data()),
                      SMTO_ABORTIFHUNG, 5000, &got);
  text.resize(got);
  return text;
}

HWND MainWindow() {
  return FindWindowW(L"#32770", MAIN_CAPTION);
}

HWND Board() {
  return FindWindowW(BOARD_CLASS, nullptr);
}
HWND StartForm() {
  return FindWindowW(L"#32770", FORM_CAPTION);
}

HWND MainControl(int id) {
  HWND main = MainWindow();
  if (main == nullptr) {
    std::fprintf(stderr, "e2e_driver: main dialog not found\n");
    std::exit(1);
  }
  HWND control = GetDlgItem(main, id);
  if (control == nullptr) {
    std::fprintf(stderr, "e2e_driver: no control %d\n", id);
    std::exit(1);
  }
  return control;
}

template <class Predicate>
bool WaitFor(Predicate done, DWORD timeoutMs) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  while (!done()) {
    if (GetTickCount64() >= deadline) return false;
    Sleep(50);
  }
  return true;
}

// Visible dialogs owned by the main dialog, the board or its start form: message boxes and the
// Open File dialog.
struct OwnedSearch {
  std::vector<HWND> owners;
  std::vector<HWND> found;
};

BOOL CALLBACK CollectOwned(HWND window, LPARAM param) {
  auto* search = reinterpret_cast<OwnedSearch*>(param);
  wchar_t className[32];
  GetClassNameW(window, className, 32);
  const HWND owner = GetWindow(window, GW_OWNER);
  if (IsWindowVisible(window) && wcscmp(className, L"#32770") == 0 && owner != nullptr) {
    for (HWND candidate : search->owners) {
      if (candidate == owner && window != candidate) search->found.push_back(window);
    }
  }
  return TRUE;
}

std::vector<HWND> OwnedDialogs() {
  OwnedSearch search;
  for (HWND owner : {MainWindow(), Board(), StartForm()})
    if (owner != nullptr) search.owners.push_back(owner);
  if (search.owners.empty()) return {};
  EnumWindows(&CollectOwned, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

bool IsMessageBox(HWND dialog) {
  return GetDlgItem(dialog, MESSAGE_TEXT) != nullptr;
}

// The board's texts, one line each, as board-texts prints them.
std::vector<std::wstring> BoardTexts() {
  std::vector<std::wstring> lines;
  HWND board = Board();
  if (board == nullptr) return lines;
  lines.push_back(L"header|" + TextOf(GetDlgItem(board, BOARD_HEADER)));
  HWND banner = GetDlgItem(board, BOARD_BANNER);
  if (banner != nullptr && IsWindowVisible(banner)) lines.push_back(L"banner|" + TextOf(banner));
  for (int id = BOARD_TILES; HWND tile = GetDlgItem(board, id); ++id)
    lines.push_back(L"tile|" + TextOf(tile));
  return lines;
}

HWND FormControl(int id) {
  HWND form = StartForm();
  HWND control = form != nullptr ? GetDlgItem(form, id) : nullptr;
  if (control == nullptr) {
    std::fprintf(stderr, "e2e_driver: no start form or no control %d on it\n", id);
    std::exit(1);
  }
  return control;
}

int Usage() {
  std::fprintf(stderr, "usage: e2e_driver <command> [arguments]; see the source for the list\n");
  return 2;
}

int ControlId(const wchar_t* text) {
  return static_cast<int>(wcstol(text, nullptr, 0));
}
DWORD Timeout(const wchar_t* text) {
  return static_cast<DWORD>(wcstoul(text, nullptr, 10));
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return Usage();
  _setmode(_fileno(stdout), _O_BINARY);  // plain \n line ends for the scripts
  const std::wstring command = argv[1];

  if (command == L"wait-window" && argc == 4) {
    const std::wstring caption = argv[2];
    HWND found = nullptr;
    const bool ok = WaitFor(
        [&] {
          found = FindWindowW(nullptr, caption.c_str());
          return found != nullptr && IsWindowVisible(found);
        },
        Timeout(argv[3]));
    if (!ok)
      std::fprintf(stderr, "e2e_driver: window \"%s\" did not appear\n", Utf8(caption).c_str());
    return ok ? 0 : 1;
  }
  if (command == L"get-text" && argc == 3) {
    Print(TextOf(MainControl(ControlId(argv[2]))));
    return 0;
  }
  if ((command == L"wait-text" && argc == 5) || (command == L"wait-status" && argc == 4)) {
    const bool status = command == L"wait-status";
    const int id = status ? 1003 : ControlId(argv[2]);
    const std::wstring expected = argv[status ? 2 : 3];
    std::wstring last;
    const bool ok = WaitFor(
        [&] {
          last = TextOf(MainControl(id));
          return last == expected;
        },
        Timeout(argv[status ? 3 : 4]));
    if (!ok) {
      std::fprintf(stderr, "e2e_driver: control %d reads \"%s\", not \"%s\"\n", id,
                   Utf8(last).c_str(), Utf8(expected).c_str());
    }
    return ok ? 0 : 1;
  }
  if (command == L"click" && argc == 3) {
    // Posted, never sent: a button that opens a modal dialog would not return until it closed.
    PostMessageW(MainControl(ControlId(argv[2])), BM_CLICK, 0, 0);
    return 0;
  }
  if (command == L"enabled" && argc == 3) {
    Print(IsWindowEnabled(MainControl(ControlId(argv[2]))) ? L"1" : L"0");
    return 0;
  }
  if (command == L"bar" && argc == 3) {
    const int index = ControlId(argv[2]);
    if (index < 0 || index >= 16) return Usage();
    const DWORD_PTR position = SendMessageW(MainControl(PROGRESS_BAR_IDS[index]), PBM_GETPOS, 0, 0);
    Print(std::to_wstring(position));
    return 0;
  }
  if (command == L"hover" && argc == 3) {
    const int index = ControlId(argv[2]);
    if (index < 0 || index >= 16) return Usage();
    RECT bar;
    if (!GetWindowRect(MainControl(PROGRESS_BAR_IDS[index]), &bar)) return 1;
    // Beside the bar first, so that arriving on it is a move the tooltip sees.
    SetCursorPos(bar.left - 20, bar.top - 20);
    Sleep(100);
    return SetCursorPos((bar.left + bar.right) / 2, (bar.top + bar.bottom) / 2) ? 0 : 1;
  }
  if (command == L"wait-dialog" && argc == 3) {
    std::vector<HWND> dialogs;
    if (!WaitFor([&] { return !(dialogs = OwnedDialogs()).empty(); }, Timeout(argv[2]))) {
      std::fprintf(stderr, "e2e_driver: no dialog owned by the main dialog appeared\n");
      return 1;
    }
    Print(TextOf(dialogs.front()));
    return 0;
  }
  if (command == L"choose-file" && (argc == 3 || argc == 4)) {
    HWND fileDialog = nullptr;
    const bool ok = WaitFor(
        [&] {
          for (HWND dialog : OwnedDialogs()) {
            if (GetDlgItem(dialog, FILE_NAME_EDIT) != nullptr) fileDialog = dialog;
          }
          return fileDialog != nullptr;
        },
        argc == 4 ? Timeout(argv[3]) : 10000);
    if (!ok) {
      std::fprintf(stderr, "e2e_driver: no Open File dialog\n");
      return 1;
    }
    SendMessageTimeoutW(GetDlgItem(fileDialog, FILE_NAME_EDIT), WM_SETTEXT, 0,
                        reinterpret_cast<LPARAM>(argv[2]), SMTO_ABORTIFHUNG, 5000, nullptr);
    PostMessageW(fileDialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    return WaitFor([&] { return !IsWindow(fileDialog) || !IsWindowVisible(fileDialog); }, 10000)
               ? 0
               : 1;
  }
  if (command == L"wait-box" && argc == 3) {
    const bool ok = WaitFor(
        [] {
          for (HWND dialog : OwnedDialogs())
            if (IsMessageBox(dialog)) return true;
          return false;
        },
        Timeout(argv[2]));
    if (!ok) std::fprintf(stderr, "e2e_driver: no message box appeared\n");
    return ok ? 0 : 1;
  }
  if (command == L"boxes" && (argc == 2 || argc == 3)) {
    const bool keep = argc == 3 && std::wstring(argv[2]) == L"--keep";
    for (HWND dialog : OwnedDialogs()) {
      if (!IsMessageBox(dialog)) continue;
      Print(OneLine(TextOf(dialog)) + L"|" + OneLine(TextOf(GetDlgItem(dialog, MESSAGE_TEXT))));
      if (!keep) PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    }
    return 0;
  }
  if (command == L"about" && (argc == 2 || argc == 3)) {
    const bool keep = argc == 3 && std::wstring(argv[2]) == L"--keep";
    HWND main = MainWindow();
    if (main == nullptr) return 1;
    PostMessageW(main, WM_SYSCOMMAND, 0x0010, 0);
    HWND about = nullptr;
    if (!WaitFor(
            [&] {
              return (about = FindWindowW(L"#32770", L"Pelorin Info")) != nullptr &&
                     IsWindowVisible(about);
            },
            10000)) {
      std::fprintf(stderr, "e2e_driver: the About box did not open\n");
      return 1;
    }
    Print(TextOf(about));
    for (HWND child = GetWindow(about, GW_CHILD); child != nullptr;
         child = GetWindow(child, GW_HWNDNEXT)) {
      const std::wstring text = TextOf(child);
      if (!text.empty()) Print(OneLine(text));
    }
    if (!keep) PostMessageW(about, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    return 0;
  }
  if (command == L"system-menu" && argc == 2) {
    HWND main = MainWindow();
    HMENU menu = main != nullptr ? GetSystemMenu(main, FALSE) : nullptr;
    const int count = menu != nullptr ? GetMenuItemCount(menu) : -1;
    if (count <= 0) {
      std::fprintf(stderr, "e2e_driver: the system menu cannot be read\n");
      return 1;
    }
    for (int item = 0; item < count; ++item) {
      wchar_t text[128] = L"";
      GetMenuStringW(menu, static_cast<UINT>(item), text, 128, MF_BYPOSITION);
      wchar_t id[16];
      swprintf(id, 16, L"0x%04X", GetMenuItemID(menu, item));
      Print(std::wstring(id) + L"|" + text);
    }
    return 0;
  }
  if (command == L"close-window" && argc == 3) {
    HWND window = FindWindowW(L"#32770", argv[2]);
    if (window == nullptr) return 1;
    PostMessageW(window, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    return 0;
  }
  if (command == L"hold-file" && argc == 4) {
    HANDLE file = CreateFileW(argv[2], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 1;
    Print(L"held");
    Sleep(Timeout(argv[3]));
    CloseHandle(file);
    return 0;
  }
  if (command == L"board-texts" && argc == 2) {
    const std::vector<std::wstring> lines = BoardTexts();
    for (const std::wstring& line : lines) Print(line);
    return lines.empty() ? 1 : 0;
  }
  if (command == L"board-wait" && argc == 4) {
    const std::wstring wanted = argv[2];
    const bool ok = WaitFor(
        [&] {
          for (const std::wstring& line : BoardTexts())
            if (line.find(wanted) != std::wstring::npos) return true;
          return false;
        },
        Timeout(argv[3]));
    if (!ok) {
      std::fprintf(stderr, "e2e_driver: the board never showed \"%s\"; it shows:\n",
                   Utf8(wanted).c_str());
      for (const std::wstring& line : BoardTexts()) std::fprintf(stderr, "  %s\n", Utf8(line).c_str());
    }
    return ok ? 0 : 1;
  }
  if (command == L"board-watch" && argc == 5) {
    const std::wstring wanted = argv[2];
    const size_t tiles = static_cast<size_t>(wcstoul(argv[3], nullptr, 10));
    std::vector<std::wstring> seen;
    WaitFor(
        [&] {
          HWND board = Board();
          for (int id = BOARD_TILES; board != nullptr; ++id) {
            HWND tile = GetDlgItem(board, id);
            if (tile == nullptr) break;
            const std::wstring text = TextOf(tile);
            if (text.find(wanted) == std::wstring::npos) continue;
            const std::wstring port = text.substr(0, text.find(L" |"));
            bool known = false;
            for (const std::wstring& p : seen) known = known || p == port;
            if (known) continue;
            seen.push_back(port);
            Print(std::to_wstring(GetTickCount64()) + L" " + port);
          }
          return seen.size() >= tiles;
        },
        Timeout(argv[4]));
    return seen.size() >= tiles ? 0 : 1;
  }
  if ((command == L"board-stop" || command == L"board-close") && argc == 2) {
    HWND board = Board();
    if (board == nullptr) return 1;
    if (command == L"board-stop") {
      PostMessageW(GetDlgItem(board, BOARD_STOP), BM_CLICK, 0, 0);
    } else {
      PostMessageW(board, WM_CLOSE, 0, 0);
    }
    return 0;
  }
  if (command == L"press-box" && argc == 3) {
    int pressed = 0;
    for (HWND dialog : OwnedDialogs()) {
      if (!IsMessageBox(dialog)) continue;
      Print(OneLine(TextOf(dialog)) + L"|" + OneLine(TextOf(GetDlgItem(dialog, MESSAGE_TEXT))));
      PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(ControlId(argv[2]), BN_CLICKED), 0);
      ++pressed;
    }
    return pressed > 0 ? 0 : 1;
  }
  if (command == L"form-set" && argc == 4) {
    SendMessageTimeoutW(FormControl(ControlId(argv[2])), WM_SETTEXT, 0,
                        reinterpret_cast<LPARAM>(argv[3]), SMTO_ABORTIFHUNG, 5000, nullptr);
    return 0;
  }
  if (command == L"form-get" && argc == 3) {
    Print(TextOf(FormControl(ControlId(argv[2]))));
    return 0;
  }
  if (command == L"form-click" && argc == 3) {
    PostMessageW(FormControl(ControlId(argv[2])), BM_CLICK, 0, 0);
    return 0;
  }
  if (command == L"end-session" && argc == 3) {
    // As Windows tells a log-off: first the question, then the end itself. Windows ends the
    // process once the window has answered WM_ENDSESSION; the caller does so at once.
    HWND window = FindWindowW(argv[2], nullptr);
    if (window == nullptr) return 1;
    DWORD_PTR answer = 0;
    if (!SendMessageTimeoutW(window, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF, SMTO_NORMAL, 10000,
                             &answer))
      return 1;
    const ULONGLONG start = GetTickCount64();
    if (!SendMessageTimeoutW(window, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF, SMTO_NORMAL, 10000,
                             &answer))
      return 1;
    Print(std::to_wstring(GetTickCount64() - start));
    return 0;
  }
  if (command == L"close" && argc == 2) {
    HWND main = MainWindow();
    if (main == nullptr) return 1;
    PostMessageW(main, WM_CLOSE, 0, 0);
    return 0;
  }
  return Usage();
}
