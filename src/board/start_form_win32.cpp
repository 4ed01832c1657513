#include "start_form_win32.h"

#include <commctrl.h>
#include <commdlg.h>

#include <sstream>
#include <string>
#include <utility>

#include "file_image_source_win32.h"
#include "station_options.h"
#include "station_resource.h"
#include "text_win32.h"

namespace pelorin::board {
namespace {

// Posted by the reading thread: wParam 0 progress (lParam percent), 1 done (lParam the step).
constexpr UINT WM_FORM_IMAGE = WM_APP + 20;

struct Form {
  HWND dialog = nullptr;
  BoardSetup* setup = nullptr;
  const BoardTexts* texts = nullptr;         // the board's language
  HFONT font = nullptr;                      // the form's font in Korean; null: the template's
  station::StationRunner* runner = nullptr;  // the one reading or holding the chosen image
  HANDLE reader = nullptr;                   // its reading thread while it runs
  bool read = false;                         // the image was read: Start may go
  bool logEdited = false;                    // the operator typed a log path of their own
  bool settingLog = false;
};

std::wstring ControlText(HWND dialog, int id) {
  return WindowTextW(GetDlgItem(dialog, id));
}

std::string Trimmed(const std::wstring& text) {
  std::string utf8 = WideToUtf8(text);
  const size_t first = utf8.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return {};
  return utf8.substr(first, utf8.find_last_not_of(" \t\r\n") - first + 1);
}

void Refuse(HWND dialog, const std::string& text) {
  MessageBoxW(dialog, Utf8ToWide(text).c_str(), BOX_CAPTION, MB_OK | MB_ICONSTOP);
}

// Every text of the form in the board's language; in Korean a font that has Hangul, as large as
// the template's.
void SetTexts(Form* form) {
  HWND dialog = form->dialog;
  const BoardTexts& texts = *form->texts;
  SetWindowTextW(dialog, Utf8ToWide(texts(Text::FormCaption)).c_str());
  const std::pair<int, Text> controls[] = {
      {IDC_SF_IMAGE_LABEL, Text::FormImage},
      {IDC_SF_CHOOSE, Text::FormChoose},
      {IDC_SF_SIZE_LABEL, Text::FormSize},
      {IDC_SF_SUM_LABEL, Text::FormByteSum},
      {IDC_SF_EXPECTED_LABEL, Text::FormExpected},
      {IDC_SF_LOG_LABEL, Text::FormLog},
      {IDC_SF_LOG_CHOOSE, Text::FormChoose},
      {IDC_SF_PORTS_LABEL, Text::FormPorts},
      {IDC_SF_PORTS_HINT, Text::FormPortsHint},
      {IDC_SF_MAX_LABEL, Text::FormUnits},
      {IDC_SF_REFLASH, Text::FormReflash},
      {IDC_SF_DATABASE_LABEL, Text::FormDatabase},
      {IDC_SF_DATABASE_HINT, Text::FormDatabaseHint},
      {IDOK, Text::FormStart},
      {IDCANCEL, Text::FormCancel},
  };
  for (const auto& [id, text] : controls)
    SetDlgItemTextW(dialog, id, Utf8ToWide(texts(text)).c_str());
  SetDlgItemTextW(
      dialog, IDC_SF_MAX_RANGE,
      Utf8ToWide(texts(Text::FormUnitsRange, {std::to_string(station::STATION_MAX_DEVICES)}))
          .c_str());
  if (form->setup->language != Language::Korean) return;
  LOGFONTW dialogFont{};
  const auto current = reinterpret_cast<HFONT>(SendMessageW(dialog, WM_GETFONT, 0, 0));
  if (current == nullptr || GetObjectW(current, sizeof dialogFont, &dialogFont) == 0) return;
  form->font = MakeBoardFont(dialogFont.lfHeight < 0 ? -dialogFont.lfHeight : dialogFont.lfHeight,
                             false, Language::Korean);
  if (form->font == nullptr) return;
  for (HWND child = GetWindow(dialog, GW_CHILD); child != nullptr;
       child = GetWindow(child, GW_HWNDNEXT))
    SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(form->font), FALSE);
}

DWORD WINAPI ReadImage(LPVOID parameter) {
  auto* form = static_cast<Form*>(parameter);
  station::StationRunner* runner = form->runner;
  const HWND dialog = form->dialog;
  int last = -1;
  const auto step = runner->PinImage(form->setup->station.imagePath, [&](uint64_t done, uint64_t size) {
    const int percent = size == 0 ? 100 : static_cast<int>(done * 100 / size);
    if (percent != last) PostMessageW(dialog, WM_FORM_IMAGE, 0, percent);
    last = percent;
  });
  PostMessageW(dialog, WM_FORM_IMAGE, 1, static_cast<LPARAM>(step));
  return 0;
}

// Ends the reading of the last image chosen (its runner is dropped with its pinned file).
void DropRunner(Form* form) {
  if (form->runner == nullptr) return;
  form->runner->Stop();
  if (form->reader != nullptr) {
    WaitForSingleObject(form->reader, INFINITE);  // it stops between two pieces
    CloseHandle(form->reader);
    form->reader = nullptr;
  }
  // Drop the reading thread's posts about it that are still queued.
  MSG stale;
  while (PeekMessageW(&stale, form->dialog, WM_FORM_IMAGE, WM_FORM_IMAGE, PM_REMOVE)) {
  }
  delete form->runner;  // it never ran a station: nothing of it is used any more
  form->runner = nullptr;
}

void ChooseImage(Form* form, const std::wstring& path) {
  DropRunner(form);
  HWND dialog = form->dialog;
  form->read = false;
  EnableWindow(GetDlgItem(dialog, IDOK), FALSE);
  SetDlgItemTextW(dialog, IDC_SF_IMAGE, path.c_str());
  for (int id : {IDC_SF_SIZE, IDC_SF_SUM})
    SetDlgItemTextW(dialog, id, Utf8ToWide((*form->texts)(Text::FormReading)).c_str());
  SetDlgItemTextW(dialog, IDC_SF_SHA, L"");
  SendDlgItemMessageW(dialog, IDC_SF_PROGRESS, PBM_SETPOS, 0, 0);
  form->setup->station.imagePath = WideToUtf8(path);
  if (!form->logEdited) {
    const size_t slash = path.find_last_of(L"\\/");
    const std::wstring folder = slash == std::wstring::npos ? L"" : path.substr(0, slash + 1);
    form->settingLog = true;
    SetDlgItemTextW(dialog, IDC_SF_LOG, (folder + Utf8ToWide(DEFAULT_LOG_NAME)).c_str());
    form->settingLog = false;
  }
  form->runner = new station::StationRunner();
  form->reader = CreateThread(nullptr, 0, ReadImage, form, 0, nullptr);
  if (form->reader == nullptr) ReadImage(form);  // no thread: read it here
}

void ImageRead(Form* form, station::StationRunner::Step step) {
  HWND dialog = form->dialog;
  if (form->reader != nullptr) {
    WaitForSingleObject(form->reader, INFINITE);
    CloseHandle(form->reader);
    form->reader = nullptr;
  }
  if (step != station::StationRunner::Step::Done) {
    for (int id : {IDC_SF_SIZE, IDC_SF_SUM}) SetDlgItemTextW(dialog, id, L"-");
    if (step == station::StationRunner::Step::Refused) Refuse(dialog, form->runner->text());
    return;
  }
  const station::StationImage& image = form->runner->image();
  SetDlgItemTextW(
      dialog, IDC_SF_SIZE,
      Utf8ToWide((*form->texts)(Text::FormBytes, {std::to_string(image.size)})).c_str());
  SetDlgItemTextW(dialog, IDC_SF_SUM, std::to_wstring(image.byteSum).c_str());
  SetDlgItemTextW(dialog, IDC_SF_SHA, Utf8ToWide(image.sha256).c_str());
  SendDlgItemMessageW(dialog, IDC_SF_PROGRESS, PBM_SETPOS, 100, 0);
  form->read = true;
  EnableWindow(GetDlgItem(dialog, IDOK), TRUE);
}

void BrowseImage(Form* form) {
  wchar_t file[MAX_PATH] = L"";
  OPENFILENAMEW request{};
  request.lStructSize = sizeof request;
  request.hwndOwner = form->dialog;
  request.lpstrFilter = IMAGE_FILE_FILTER;
  request.nFilterIndex = 1;
  request.lpstrFile = file;
  request.nMaxFile = MAX_PATH;
  const std::wstring title = Utf8ToWide((*form->texts)(Text::FormImageTitle));
  request.lpstrTitle = title.c_str();
  request.Flags = OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY;
  if (GetOpenFileNameW(&request)) ChooseImage(form, file);
}

void BrowseLog(Form* form) {
  wchar_t file[MAX_PATH] = L"";
  lstrcpynW(file, ControlText(form->dialog, IDC_SF_LOG).c_str(), MAX_PATH);
  OPENFILENAMEW request{};
  request.lStructSize = sizeof request;
  request.hwndOwner = form->dialog;
  const BoardTexts& texts = *form->texts;
  // Name, pattern, name, pattern, each ending in a NUL, and one more at the end.
  std::wstring filter = Utf8ToWide(texts(Text::FormLogFilter));
  filter += std::wstring(L"\0*.jsonl\0", 9) + Utf8ToWide(texts(Text::FormAllFiles));
  filter += std::wstring(L"\0*.*\0", 6);
  request.lpstrFilter = filter.c_str();
  request.lpstrFile = file;
  request.nMaxFile = MAX_PATH;
  const std::wstring title = Utf8ToWide(texts(Text::FormLogTitle));
  request.lpstrTitle = title.c_str();
  request.lpstrDefExt = L"jsonl";
  request.Flags = OFN_PATHMUSTEXIST | OFN_HIDEREADONLY;
  if (GetSaveFileNameW(&request)) SetDlgItemTextW(form->dialog, IDC_SF_LOG, file);
}

// Start: every value checked as the station's options are, then the SHA-256 and the log.
bool Start(Form* form) {
  HWND dialog = form->dialog;
  station::StationSetup& setup = form->setup->station;
  if (!form->read) return false;
  // Checked as --sha256 is.
  const std::string expected = station::Lower(Trimmed(ControlText(dialog, IDC_SF_EXPECTED)));
  if (!expected.empty() && !station::IsSha256(expected)) {
    Refuse(dialog, (*form->texts)(Text::FormBadSha256, {expected}));
    return false;
  }
  const std::string units = Trimmed(ControlText(dialog, IDC_SF_MAX));
  int maxDevices = 0;
  if (!units.empty() && units.size() <= 3 && units.find_first_not_of("0123456789") == std::string::npos)
    maxDevices = std::stoi(units);
  if (maxDevices < 1 || maxDevices > station::STATION_MAX_DEVICES) {
    Refuse(dialog,
           (*form->texts)(Text::FormBadUnits, {std::to_string(station::STATION_MAX_DEVICES)}));
    return false;
  }
  if (form->runner->CheckSha256(expected) != station::StationRunner::Step::Done) {
    Refuse(dialog, form->runner->text());
    return false;
  }
  std::vector<std::string> ports;
  std::istringstream words(WideToUtf8(ControlText(dialog, IDC_SF_PORTS)));
  for (std::string port; words >> port;) ports.push_back(port);
  const std::string log = Trimmed(ControlText(dialog, IDC_SF_LOG));
  // The database, checked and warned about as --database is: before the log is opened, so that
  // Start can be pressed again after the field was put right.
  const std::string database = Trimmed(ControlText(dialog, IDC_SF_DATABASE));
  if (!database.empty()) {
    if (log.empty()) {
      Refuse(dialog, (*form->texts)(Text::FormDatabaseNeedsLog));
      return false;
    }
    if (const std::string warning = station::DatabasePasswordWarning(database); !warning.empty() &&
        MessageBoxW(dialog, Utf8ToWide(warning).c_str(), L"PelorinStation",
                    MB_OKCANCEL | MB_ICONWARNING) != IDOK)
      return false;
    HCURSOR cursor = SetCursor(LoadCursorW(nullptr, IDC_WAIT));
    const station::StationRunner::Step step = form->runner->OpenFleet(database);
    SetCursor(cursor);
    if (step != station::StationRunner::Step::Done) {
      Refuse(dialog, form->runner->text());
      return false;
    }
  }
  if (form->runner->OpenLog(log) != station::StationRunner::Step::Done) {
    Refuse(dialog, form->runner->text());
    return false;
  }
  setup.sha256 = expected;
  setup.logPath = log;
  setup.database = database;
  setup.settings.ports = ports;
  setup.settings.maxDevices = maxDevices;
  setup.settings.reflash = IsDlgButtonChecked(dialog, IDC_SF_REFLASH) == BST_CHECKED;
  form->setup->prepared = true;
  return true;
}

INT_PTR CALLBACK FormProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* form = reinterpret_cast<Form*>(GetWindowLongPtrW(dialog, DWLP_USER));
  switch (message) {
    case WM_INITDIALOG: {
      form = reinterpret_cast<Form*>(lParam);
      form->dialog = dialog;
      SetWindowLongPtrW(dialog, DWLP_USER, lParam);
      SetTexts(form);
      const station::StationSetup& setup = form->setup->station;
      SetDlgItemTextW(dialog, IDC_SF_EXPECTED, Utf8ToWide(setup.sha256).c_str());
      std::string ports;
      for (const std::string& port : setup.settings.ports) ports += (ports.empty() ? "" : " ") + port;
      SetDlgItemTextW(dialog, IDC_SF_PORTS, Utf8ToWide(ports).c_str());
      SetDlgItemInt(dialog, IDC_SF_MAX, static_cast<UINT>(setup.settings.maxDevices), FALSE);
      SetDlgItemTextW(dialog, IDC_SF_DATABASE, Utf8ToWide(setup.database).c_str());
      CheckDlgButton(dialog, IDC_SF_REFLASH, setup.settings.reflash ? BST_CHECKED : BST_UNCHECKED);
      if (!setup.logPath.empty()) {
        form->logEdited = true;
        SetDlgItemTextW(dialog, IDC_SF_LOG, Utf8ToWide(setup.logPath).c_str());
      }
      return TRUE;
    }
    case WM_FORM_IMAGE:
      if (wParam == 0) {
        SendDlgItemMessageW(dialog, IDC_SF_PROGRESS, PBM_SETPOS, static_cast<WPARAM>(lParam), 0);
      } else {
        ImageRead(form, static_cast<station::StationRunner::Step>(lParam));
      }
      return TRUE;
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case IDC_SF_CHOOSE: BrowseImage(form); return TRUE;
        case IDC_SF_LOG_CHOOSE: BrowseLog(form); return TRUE;
        case IDC_SF_LOG:
          if (HIWORD(wParam) == EN_CHANGE && !form->settingLog) form->logEdited = true;
          return TRUE;
        case IDOK:
          if (Start(form)) EndDialog(dialog, IDOK);
          return TRUE;
        case IDCANCEL:
          DropRunner(form);
          EndDialog(dialog, IDCANCEL);
          return TRUE;
        default: break;
      }
      break;
    default: break;
  }
  return FALSE;
}

}  // namespace

station::StationRunner* RunStartForm(HINSTANCE instance, BoardSetup* setup) {
  Form form;
  form.setup = setup;
  form.texts = &TextsFor(setup->language);
  const INT_PTR result = DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_START_FORM), nullptr,
                                         FormProc, reinterpret_cast<LPARAM>(&form));
  if (form.font != nullptr) DeleteObject(form.font);  // its controls are gone with the form
  if (result != IDOK) {
    DropRunner(&form);
    return nullptr;
  }
  return form.runner;
}

}  // namespace pelorin::board
