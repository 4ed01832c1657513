#include "loader_dialog_win32.h"

#include <windows.h>
// The other Windows headers build on windows.h.
#include <commctrl.h>
#include <commdlg.h>

#include <cwchar>
#include <memory>

#include "device_tooltip.h"
#include "dialog_reporter_win32.h"
#include "file_image_source_win32.h"
#include "message_box_win32.h"
#include "resource.h"
#include "scoped_handle_win32.h"
#include "text_win32.h"

namespace pelorin {
namespace {

constexpr DWORD IMAGE_PATH_CHARS = 260;  // the Open File dialog's path buffer

HINSTANCE ModuleInstance() {
  return GetModuleHandleW(nullptr);
}

}  // namespace

LoaderDialog::LoaderDialog(DownloadStarters starters, AboutHandler about)
    : starters_(starters),
      about_(about),
      job_(new DownloadJob),
      activity_(new DeviceActivityBoard) {
  // job_ and activity_ are deliberately never freed: a download thread still ending after the
  // dialog has gone keeps reading and writing valid memory until the process ends.
  icon_ = static_cast<HICON>(LoadImageW(ModuleInstance(), MAKEINTRESOURCEW(IDR_MAINFRAME),
                                        IMAGE_ICON, GetSystemMetrics(SM_CXICON),
                                        GetSystemMetrics(SM_CYICON), LR_DEFAULTCOLOR));
  smallIcon_ = static_cast<HICON>(LoadImageW(ModuleInstance(), MAKEINTRESOURCEW(IDR_MAINFRAME),
                                             IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
                                             GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR));
}

LoaderDialog::~LoaderDialog() {
  if (hwnd_ != nullptr) DestroyWindow(hwnd_);
  if (icon_ != nullptr) DestroyIcon(icon_);
  if (smallIcon_ != nullptr) DestroyIcon(smallIcon_);
}

INT_PTR LoaderDialog::DoModal(HWND parent) {
  modal_ = true;
  ended_ = false;
  result_ = DialogBoxParamW(ModuleInstance(), MAKEINTRESOURCEW(IDD_PELORIN_DIALOG), parent,
                            &DialogProc, reinterpret_cast<LPARAM>(this));
  ended_ = true;
  return result_;
}

HWND LoaderDialog::Create(HWND parent) {
  modal_ = false;
  ended_ = false;
  return CreateDialogParamW(ModuleInstance(), MAKEINTRESOURCEW(IDD_PELORIN_DIALOG), parent,
                            &DialogProc, reinterpret_cast<LPARAM>(this));
}

void LoaderDialog::End(INT_PTR result) {
  result_ = result;
  if (modal_) {
    EndDialog(hwnd_, result);
  } else {
    ended_ = true;
    DestroyWindow(hwnd_);
  }
}

INT_PTR CALLBACK LoaderDialog::DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  LoaderDialog* self;
  if (message == WM_INITDIALOG) {
    self = reinterpret_cast<LoaderDialog*>(lParam);
    SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
    self->hwnd_ = hwnd;
  } else {
    self = reinterpret_cast<LoaderDialog*>(GetWindowLongPtrW(hwnd, DWLP_USER));
  }
  if (self == nullptr) return FALSE;
  const INT_PTR handled = self->HandleMessage(message, wParam, lParam);
  if (message == WM_NCDESTROY) {
    SetWindowLongPtrW(hwnd, DWLP_USER, 0);
    self->hwnd_ = nullptr;
  }
  return handled;
}

INT_PTR LoaderDialog::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      OnInitDialog();
      return TRUE;  // let the dialog manager place the initial focus
    case WM_SYSCOMMAND: return OnSysCommand(wParam) ? TRUE : FALSE;
    case WM_PAINT: return OnPaint() ? TRUE : FALSE;
    case WM_QUERYDRAGICON: return reinterpret_cast<INT_PTR>(icon_);
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case IDC_OPEN: OnOpen(); return TRUE;
        case IDC_DOWNLOAD: OnDownload(); return TRUE;
        case IDOK: OnExit(); return TRUE;
        case IDCANCEL: End(IDCANCEL); return TRUE;
        default: return FALSE;
      }
    case WM_TIMER:
      OnTimer(wParam);
      return FALSE;  // every timer message goes on to the default processing
    case WM_DOWNLOAD_STATUS:
      Apply(model_.OnStatus(static_cast<int32_t>(wParam), static_cast<int32_t>(lParam)));
      return TRUE;
    case WM_DOWNLOAD_PROGRESS:
      Apply(model_.OnProgress(static_cast<int32_t>(wParam), static_cast<int32_t>(lParam),
                              GetTickCount()));
      return TRUE;
    case WM_NOTIFY: return OnNotify(lParam) ? TRUE : FALSE;
    case WM_DOWNLOAD_CONTROL:
      Apply(model_.OnControl(static_cast<int32_t>(wParam), static_cast<int32_t>(lParam)));
      return TRUE;
    case WM_DESTROY:
      KillTimer(hwnd_, ELAPSED_TIMER_ID);
      KillTimer(hwnd_, BAR_REDRAW_TIMER_ID);
      if (tooltip_ != nullptr) DestroyWindow(tooltip_);
      tooltip_ = nullptr;
      // The thread itself goes on (it holds only the job record); only our handle goes.
      if (runningWorker_ != nullptr) CloseHandle(runningWorker_);
      runningWorker_ = nullptr;
      return FALSE;
    default: return FALSE;
  }
}

void LoaderDialog::OnInitDialog() {
  AddAboutEntry();
  SendMessageW(hwnd_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon_));
  SendMessageW(hwnd_, WM_SETICON, ICON_SMALL,
               reinterpret_cast<LPARAM>(smallIcon_ != nullptr ? smallIcon_ : icon_));

  // The selector's two entries; a plain template cannot carry a combo box's list.
  HWND selector = GetDlgItem(hwnd_, IDC_DEVICE_TYPE);
  SendMessageW(selector, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"Tarn"));
  SendMessageW(selector, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"Skerry / Fell"));

  runningWorker_ = nullptr;
  fileSize_ = 0;
  model_.setStatusText("Ready");
  LoadFields();
  for (int id : PROGRESS_BAR_IDS) {
    SendDlgItemMessageW(hwnd_, id, PBM_SETRANGE32, 0, 100);
  }
  SaveFields();
  EnableWindow(GetDlgItem(hwnd_, IDC_DOWNLOAD), FALSE);
  CreateBarTooltips();
}

void LoaderDialog::CreateBarTooltips() {
  tooltip_ =
      CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr,
                      WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX, CW_USEDEFAULT, CW_USEDEFAULT,
                      CW_USEDEFAULT, CW_USEDEFAULT, hwnd_, nullptr, ModuleInstance(), nullptr);
  if (tooltip_ == nullptr) return;  // the bars work without their tooltips
  // A maximum width makes the tooltip break its text at the line ends.
  SendMessageW(tooltip_, TTM_SETMAXTIPWIDTH, 0, 600);
  // Long enough to read a path.
  SendMessageW(tooltip_, TTM_SETDELAYTIME, TTDT_AUTOPOP, 30000);
  for (int id : PROGRESS_BAR_IDS) {
    TTTOOLINFOW tool{};
    tool.cbSize = sizeof tool;
    tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
    tool.hwnd = hwnd_;
    tool.uId = reinterpret_cast<UINT_PTR>(GetDlgItem(hwnd_, id));
    tool.lpszText = LPSTR_TEXTCALLBACKW;  // asked for when shown: the text follows the download
    SendMessageW(tooltip_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
  }
}

std::wstring LoaderDialog::BarTooltipText(int bar) const {
  if (bar < 0 || bar >= PROGRESS_BAR_COUNT) return {};
  return Utf8ToWide(DeviceTooltip(activity_->Device(bar), bar, GetTickCount()));
}

bool LoaderDialog::OnNotify(LPARAM lParam) {
  auto* header = reinterpret_cast<NMHDR*>(lParam);
  if (header == nullptr || header->code != TTN_GETDISPINFOW) return false;
  auto* info = reinterpret_cast<NMTTDISPINFOW*>(lParam);
  int bar = -1;
  for (int i = 0; i < PROGRESS_BAR_COUNT; ++i) {
    if (reinterpret_cast<HWND>(header->idFrom) ==
        GetDlgItem(hwnd_, PROGRESS_BAR_IDS[static_cast<size_t>(i)]))
      bar = i;
  }
  if (bar < 0) return false;
  tooltipText_ = BarTooltipText(bar);
  info->hinst = nullptr;
  info->lpszText = tooltipText_.data();
  return true;
}

void LoaderDialog::AddAboutEntry() {
  HMENU systemMenu = GetSystemMenu(hwnd_, FALSE);
  if (systemMenu == nullptr) return;
  const wchar_t* text = nullptr;
  // With a zero buffer size LoadStringW hands out a pointer into the resource (not terminated).
  const int length =
      LoadStringW(ModuleInstance(), IDS_ABOUTBOX, reinterpret_cast<LPWSTR>(&text), 0);
  if (length <= 0 || text == nullptr) return;
  const std::wstring entry(text, static_cast<size_t>(length));
  AppendMenuW(systemMenu, MF_SEPARATOR, 0, nullptr);
  AppendMenuW(systemMenu, MF_STRING, IDM_ABOUTBOX, entry.c_str());
}

bool LoaderDialog::OnSysCommand(WPARAM command) {
  if ((command & 0xFFF0) != IDM_ABOUTBOX) return false;
  if (about_ != nullptr) about_(hwnd_);
  return true;
}

bool LoaderDialog::OnPaint() {
  if (!IsIconic(hwnd_)) return false;
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(hwnd_, &paint);
  SendMessageW(hwnd_, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
  RECT client;
  GetClientRect(hwnd_, &client);
  const int x = (client.right - client.left - GetSystemMetrics(SM_CXICON) + 1) / 2;
  const int y = (client.bottom - client.top - GetSystemMetrics(SM_CYICON) + 1) / 2;
  DrawIcon(dc, x, y, icon_);
  EndPaint(hwnd_, &paint);
  return true;
}

void LoaderDialog::LoadFields() {
  // The elapsed label is set by the timer alone; the bars are shown when the model says
  // (ConsoleEffects::drawBars), the status line comes from the model.
  wchar_t size[16];
  std::swprintf(size, sizeof size / sizeof size[0], L"%lu", static_cast<unsigned long>(fileSize_));
  // A control is only rewritten when its text differs: every rewrite repaints it, and a download
  // loads the fields at every status report of every device.
  auto setText = [&](int id, const std::wstring& text) {
    HWND control = GetDlgItem(hwnd_, id);
    if (WindowTextW(control) != text) SetWindowTextW(control, text.c_str());
  };
  setText(IDC_FILE_SIZE, size);
  setText(IDC_FILE_NAME, fileName_);
  setText(IDC_STATUS, Utf8ToWide(model_.statusText()));
  HWND selector = GetDlgItem(hwnd_, IDC_DEVICE_TYPE);
  if (SendMessageW(selector, CB_GETCURSEL, 0, 0) != deviceType_) {
    SendMessageW(selector, CB_SETCURSEL, static_cast<WPARAM>(deviceType_), 0);
  }
}

bool LoaderDialog::ParseFileSize(const std::wstring& text, uint32_t* size) {
  size_t at = 0;
  while (at < text.size() && (text[at] == L' ' || text[at] == L'\t')) ++at;
  uint64_t value = 0;
  size_t digits = 0;
  for (; at < text.size() && text[at] >= L'0' && text[at] <= L'9'; ++at, ++digits) {
    value = value * 10 + static_cast<uint64_t>(text[at] - L'0');
    if (value > 0xFFFFFFFFull) return false;
  }
  while (at < text.size() && (text[at] == L' ' || text[at] == L'\t')) ++at;
  if (digits == 0 || at != text.size()) return false;
  *size = static_cast<uint32_t>(value);
  return true;
}

bool LoaderDialog::SaveFields() {
  uint32_t size = 0;
  if (!ParseFileSize(WindowTextW(GetDlgItem(hwnd_, IDC_FILE_SIZE)), &size)) {
    ShowAppBox(hwnd_, L"양의 정수를 입력하십시오.");
    SetFocus(GetDlgItem(hwnd_, IDC_FILE_SIZE));
    return false;
  }
  fileSize_ = size;
  fileName_ = WindowTextW(GetDlgItem(hwnd_, IDC_FILE_NAME));
  model_.setStatusText(WideToUtf8(WindowTextW(GetDlgItem(hwnd_, IDC_STATUS))));
  deviceType_ =
      static_cast<int32_t>(SendDlgItemMessageW(hwnd_, IDC_DEVICE_TYPE, CB_GETCURSEL, 0, 0));
  return true;
}

bool LoaderDialog::ShowOpenImageDialog(HWND owner, std::wstring* path) {
  wchar_t buffer[IMAGE_PATH_CHARS] = L"";
  OPENFILENAMEW request{};
  request.lStructSize = sizeof request;
  request.hwndOwner = owner;
  request.lpstrFilter = IMAGE_FILE_FILTER;
  request.nFilterIndex = 1;
  request.lpstrFile = buffer;
  request.nMaxFile = IMAGE_PATH_CHARS;
  request.lpstrTitle = L"ROM File 찾기";
  request.lpstrDefExt = L"NB0";
  request.Flags = OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST | OFN_NONETWORKBUTTON | OFN_EXPLORER;
  if (!GetOpenFileNameW(&request)) return false;
  *path = buffer;
  return true;
}

uint32_t LoaderDialog::ImageFileSize(HWND owner, const std::wstring& path) {
  ScopedHandle file(CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  LARGE_INTEGER size{};
  if (!file || !GetFileSizeEx(file.get(), &size)) {
    ShowStopBox(owner, L"파일을 열수 없습니다.", L"파일 에러");
    return 0;
  }
  return static_cast<uint32_t>(static_cast<uint64_t>(size.QuadPart) & 0xFFFFFFFFu);
}

void LoaderDialog::OnOpen() {
  std::wstring path;
  if (fileChooser_ == nullptr || !fileChooser_(hwnd_, &path)) return;
  SetDlgItemTextW(hwnd_, IDC_FILE_NAME, path.c_str());
  SaveFields();
  fileSize_ = ImageFileSize(hwnd_, fileName_);
  LoadFields();
  EnableWindow(GetDlgItem(hwnd_, IDC_DOWNLOAD), TRUE);
}

void LoaderDialog::EnableButtons(bool enable) {
  for (int id : {IDC_OPEN, IDOK, IDC_DOWNLOAD}) EnableWindow(GetDlgItem(hwnd_, id), enable);
}

void LoaderDialog::OnDownload() {
  // A click that was queued before the buttons went grey must not start a second download.
  if (runningWorker_ != nullptr || model_.downloading()) return;
  // A greyed button loses the focus, and a dialog with no focus at all hears no Escape: hand the
  // focus to the file-name edit, which stays enabled.
  HWND focus = GetFocus();
  for (int id : {IDC_OPEN, IDOK, IDC_DOWNLOAD}) {
    if (focus != nullptr && focus == GetDlgItem(hwnd_, id)) {
      SendMessageW(hwnd_, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(GetDlgItem(hwnd_, IDC_FILE_NAME)),
                   TRUE);
    }
  }
  EnableButtons(false);
  model_.BeginDownload(deviceType_ == DEVICE_TYPE_PIPES);
  LoadFields();

  job_->fileName = fileName_;
  // A reporter of this download's own: a thread of the last download that is still ending keeps
  // the last one, whose reports carry that download's number and so change nothing of this one.
  job_->reporter = std::make_shared<DialogReporter>(hwnd_, activity_, activity_->Begin());
  DownloadThreadStarter starter = nullptr;
  if (deviceType_ == DEVICE_TYPE_DRIVER_SERVICE) starter = starters_.controlPipe;
  if (deviceType_ == DEVICE_TYPE_PIPES) starter = starters_.pipes;
  HANDLE worker = starter != nullptr ? starter(job_) : nullptr;
  runningWorker_ = ScopedHandle::IsValid(worker) ? worker : nullptr;
  if (runningWorker_ == nullptr) {
    ShowAppBox(hwnd_, L"Download Thread를 생성할 수 없습니다.", MB_ICONHAND);
    // No thread will ever report, so nothing else would bring the dialog back to idle.
    Apply(model_.AbandonDownload());
  }
}

void LoaderDialog::OnExit() {
  // Enter reaches here even while the Exit button is greyed out during a download.
  if (!IsWindowEnabled(GetDlgItem(hwnd_, IDOK))) return;
  if (!SaveFields()) return;
  End(IDOK);
}

void LoaderDialog::OnTimer(WPARAM id) {
  if (id == BAR_REDRAW_TIMER_ID) {
    KillTimer(hwnd_, BAR_REDRAW_TIMER_ID);
    redrawTimerArmed_ = false;
    Apply(model_.OnRedrawDue(GetTickCount()));
    return;
  }
  if (id != ELAPSED_TIMER_ID) return;
  model_.OnTimerTick();
  SetDlgItemTextW(hwnd_, IDC_ELAPSED, Utf8ToWide(model_.ElapsedText()).c_str());
}

void LoaderDialog::DrawBar(int bar) {
  const size_t i = static_cast<size_t>(bar);
  HWND control = GetDlgItem(hwnd_, PROGRESS_BAR_IDS[i]);
  const BarState state = model_.barState(bar);
  // The normal state first, so that a bar that turns normal again moves as it always did; the
  // error state after the position, which it keeps.
  if (state != sentStates_[i] && state == BarState::Normal) {
    SendMessageW(control, PBM_SETSTATE, PBST_NORMAL, 0);
  }
  SendMessageW(control, PBM_SETPOS, static_cast<WPARAM>(model_.barPosition(bar)), 0);
  if (state != sentStates_[i] && state == BarState::Error) {
    SendMessageW(control, PBM_SETSTATE, PBST_ERROR, 0);
  }
  sentStates_[i] = state;
}

void LoaderDialog::Apply(const ConsoleEffects& effects) {
  if (effects.load) LoadFields();
  for (int bar = 0; bar < PROGRESS_BAR_COUNT; ++bar) {
    if (effects.drawBars & (1u << bar)) DrawBar(bar);
  }
  if (effects.redrawInMs != 0) {
    // Armed again only when it would come later than needed: each SetTimer costs a round trip
    // to the window system, and progress arrives much more often than the bars are redrawn.
    const uint32_t now = GetTickCount();
    const uint32_t due = now + effects.redrawInMs;
    if (!redrawTimerArmed_ || static_cast<int32_t>(due - redrawTimerDue_) < 0) {
      SetTimer(hwnd_, BAR_REDRAW_TIMER_ID, effects.redrawInMs, nullptr);
      redrawTimerArmed_ = true;
      redrawTimerDue_ = due;
    }
  }
  if (effects.enableButtons) EnableButtons(true);
  if (effects.startTimer) SetTimer(hwnd_, ELAPSED_TIMER_ID, ELAPSED_TIMER_PERIOD_MS, nullptr);
  if (effects.stopTimer) KillTimer(hwnd_, ELAPSED_TIMER_ID);
  if (effects.clearWorker && runningWorker_ != nullptr) {
    CloseHandle(runningWorker_);
    runningWorker_ = nullptr;
  }
}

}  // namespace pelorin
