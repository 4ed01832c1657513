// The main dialog created from its real template and driven through its messages, as the
// download threads and the operator drive it.
#include <windows.h>
// The other Windows headers build on windows.h.
#include <commctrl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "about_dialog_win32.h"
#include "dialog_reporter_win32.h"
#include "loader_dialog_win32.h"
#include "resource.h"
#include "text_win32.h"
#include "win32_test_support.h"

namespace pelorin {
namespace {

using test::BoxRecorder;
using test::PumpUntil;
using test::TempFile;

// What the fake starters saw; the tests read it on the dialog thread after the click.
struct StarterLog {
  int calls = 0;
  DownloadJob* job = nullptr;
  std::wstring fileName;
  std::shared_ptr<Reporter> reporter;
};
StarterLog pipesLog, controlPipeLog;

DWORD WINAPI IdleThread(void*) {
  return 0;
}

HANDLE RecordAndStart(StarterLog& log, DownloadJob* job) {
  ++log.calls;
  log.job = job;
  log.fileName = job->fileName;
  log.reporter = job->reporter;
  return CreateThread(nullptr, 0, &IdleThread, nullptr, 0, nullptr);
}
// The window the reporter that a starter was handed posts to; null when it is not the dialog's.
HWND ReporterWindow(const StarterLog& log) {
  const auto* reporter = dynamic_cast<const DialogReporter*>(log.reporter.get());
  return reporter != nullptr ? reporter->dialog() : nullptr;
}

HANDLE StartFakePipes(DownloadJob* job) {
  return RecordAndStart(pipesLog, job);
}
HANDLE StartFakeControlPipe(DownloadJob* job) {
  return RecordAndStart(controlPipeLog, job);
}

std::wstring chosenPath;  // what the fake Open File dialog answers; empty: cancelled
bool ChooseFake(HWND, std::wstring* path) {
  if (chosenPath.empty()) return false;
  *path = chosenPath;
  return true;
}

int aboutCalls = 0;
void CountAbout(HWND) {
  ++aboutCalls;
}

class LoaderDialogTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX),
                                  ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
  }

  void SetUp() override {
    pipesLog = {};
    controlPipeLog = {};
    chosenPath.clear();
    aboutCalls = 0;
  }
  void TearDown() override {
    dialog_.reset();
    test::PumpMessages();
  }

  HWND Open(DownloadStarters starters = {&StartFakeControlPipe, &StartFakePipes},
            LoaderDialog::AboutHandler about = &CountAbout) {
    dialog_ = std::make_unique<LoaderDialog>(starters, about);
    dialog_->SetFileChooser(&ChooseFake);
    hwnd_ = dialog_->Create(nullptr);
    EXPECT_NE(hwnd_, nullptr);
    test::PumpMessages(hwnd_);
    return hwnd_;
  }

  // Posts and waits until the dialog has handled it (posted messages keep their order).
  void Post(UINT message, WPARAM wParam, LPARAM lParam) {
    PostMessageW(hwnd_, message, wParam, lParam);
    Settle();
  }
  // Messages posted from this thread are all queued already: handling the queue handles them.
  void Settle() { test::PumpMessages(hwnd_); }
  void Click(int id) { Post(WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0); }
  void Status(int32_t code, int32_t lParam = 0) { Post(WM_DOWNLOAD_STATUS, code, lParam); }
  void Progress(int32_t bar, int32_t position) { Post(WM_DOWNLOAD_PROGRESS, bar, position); }
  void Control(DownloadControl request, int32_t argument = 0) {
    Post(WM_DOWNLOAD_CONTROL, request, argument);
  }

  std::wstring Text(int id) const { return WindowTextW(GetDlgItem(hwnd_, id)); }
  bool Enabled(int id) const { return IsWindowEnabled(GetDlgItem(hwnd_, id)) != FALSE; }
  bool ButtonsEnabled() const {
    return Enabled(IDC_OPEN) && Enabled(IDOK) && Enabled(IDC_DOWNLOAD);
  }
  bool ButtonsDisabled() const {
    return !Enabled(IDC_OPEN) && !Enabled(IDOK) && !Enabled(IDC_DOWNLOAD);
  }
  int Bar(int index) const {
    return static_cast<int>(
        SendDlgItemMessageW(hwnd_, PROGRESS_BAR_IDS[static_cast<size_t>(index)], PBM_GETPOS, 0, 0));
  }
  // Chooses `path` through Open.
  void Choose(const std::wstring& path) {
    chosenPath = path;
    Click(IDC_OPEN);
  }

  BoxRecorder boxes_;
  std::unique_ptr<LoaderDialog> dialog_;
  HWND hwnd_ = nullptr;
};

TEST_F(LoaderDialogTest, TemplateControlsAndInitialState) {
  Open();
  EXPECT_EQ(WindowTextW(hwnd_), L"Image Loader Ver 4.0.1");
  EXPECT_EQ(Text(IDC_STATUS), L"Ready");
  EXPECT_EQ(Text(IDC_FILE_SIZE), L"0");
  EXPECT_EQ(Text(IDC_FILE_NAME), L"");
  EXPECT_EQ(Text(IDC_ELAPSED), L"");
  EXPECT_TRUE(Enabled(IDC_OPEN));
  EXPECT_TRUE(Enabled(IDOK));
  EXPECT_FALSE(Enabled(IDC_DOWNLOAD)) << "no image chosen yet";
  EXPECT_NE(SendMessageW(hwnd_, WM_GETICON, ICON_BIG, 0), 0);
  EXPECT_NE(SendMessageW(hwnd_, WM_GETICON, ICON_SMALL, 0), 0);
  EXPECT_NE(SendMessageW(hwnd_, WM_QUERYDRAGICON, 0, 0), 0);

  // The selector: two entries, pipe devices chosen, and the operator cannot open it.
  HWND selector = GetDlgItem(hwnd_, IDC_DEVICE_TYPE);
  ASSERT_EQ(SendMessageW(selector, CB_GETCOUNT, 0, 0), 2);
  wchar_t item[32];
  SendMessageW(selector, CB_GETLBTEXT, 0, reinterpret_cast<LPARAM>(item));
  EXPECT_STREQ(item, L"Tarn");
  SendMessageW(selector, CB_GETLBTEXT, 1, reinterpret_cast<LPARAM>(item));
  EXPECT_STREQ(item, L"Skerry / Fell");
  EXPECT_EQ(SendMessageW(selector, CB_GETCURSEL, 0, 0), 1);
  EXPECT_EQ(WindowTextW(selector), L"Skerry / Fell");
  EXPECT_FALSE(IsWindowEnabled(selector));
  EXPECT_EQ(GetWindowLongW(selector, GWL_STYLE) & 3, CBS_DROPDOWNLIST);
  EXPECT_EQ(dialog_->deviceType(), DEVICE_TYPE_PIPES);

  // The size edit: read-only digits, no tab stop.
  const LONG sizeStyle = GetWindowLongW(GetDlgItem(hwnd_, IDC_FILE_SIZE), GWL_STYLE);
  EXPECT_TRUE(sizeStyle & ES_READONLY);
  EXPECT_TRUE(sizeStyle & ES_NUMBER);
  EXPECT_FALSE(sizeStyle & WS_TABSTOP);

  for (int bar = 0; bar < PROGRESS_BAR_COUNT; ++bar) {
    HWND control = GetDlgItem(hwnd_, PROGRESS_BAR_IDS[static_cast<size_t>(bar)]);
    ASSERT_NE(control, nullptr) << "bar " << bar;
    PBRANGE range{};
    SendMessageW(control, PBM_GETRANGE, FALSE, reinterpret_cast<LPARAM>(&range));
    EXPECT_EQ(range.iLow, 0) << "bar " << bar;
    EXPECT_EQ(range.iHigh, 100) << "bar " << bar;
    EXPECT_EQ(Bar(bar), 0);
  }
  EXPECT_TRUE(boxes_.boxes().empty());
}

// One control of a DIALOGEX template as the resource holds it (themed controls may rewrite their
// window styles at creation, so the template is read directly).
struct TemplateItem {
  DWORD style = 0, exStyle = 0;
  int id = 0;
  std::wstring className;  // "" for the predefined classes, given by ordinal
  WORD classOrdinal = 0;
};
struct DialogTemplate {
  DWORD style = 0;
  WORD pointSize = 0;
  std::wstring caption, font;
  std::vector<TemplateItem> items;
};

DialogTemplate ReadDialogTemplate(int resourceId) {
  DialogTemplate result;
  HRSRC resource = FindResourceW(nullptr, MAKEINTRESOURCEW(resourceId), RT_DIALOG);
  if (resource == nullptr) return result;
  const auto* base = static_cast<const BYTE*>(LockResource(LoadResource(nullptr, resource)));
  const BYTE* at = base;
  auto word = [&] {
    WORD v;
    memcpy(&v, at, 2);
    at += 2;
    return v;
  };
  auto dword = [&] {
    DWORD v;
    memcpy(&v, at, 4);
    at += 4;
    return v;
  };
  auto string = [&] {
    std::wstring text;
    for (WORD c = word(); c != 0; c = word()) text.push_back(static_cast<wchar_t>(c));
    return text;
  };
  auto nameOrOrdinal = [&](WORD* ordinal) {
    WORD first;
    memcpy(&first, at, 2);
    if (first == 0xFFFF) {
      at += 2;
      *ordinal = word();
      return std::wstring();
    }
    return string();
  };
  auto align = [&] { at = base + ((at - base + 3) & ~3); };
  if (word() != 1 || word() != 0xFFFF) return result;  // DIALOGEX only
  dword();                                             // help id
  dword();                                             // extended style
  result.style = dword();
  const WORD count = word();
  at += 8;  // x, y, cx, cy
  WORD ordinal = 0;
  nameOrOrdinal(&ordinal);  // menu
  nameOrOrdinal(&ordinal);  // class
  result.caption = string();
  if (result.style & DS_SETFONT) {
    result.pointSize = word();
    at += 4;  // weight, italic, charset
    result.font = string();
  }
  for (WORD i = 0; i < count; ++i) {
    align();
    TemplateItem item;
    dword();  // help id
    item.exStyle = dword();
    item.style = dword();
    at += 8;  // x, y, cx, cy
    item.id = static_cast<int>(dword());
    item.className = nameOrOrdinal(&item.classOrdinal);
    WORD titleOrdinal = 0;
    nameOrOrdinal(&titleOrdinal);
    at += word();  // creation data
    result.items.push_back(item);
  }
  return result;
}

TEST(DialogTemplates, MainDialogStylesFontAndControls) {
  const DialogTemplate main = ReadDialogTemplate(IDD_PELORIN_DIALOG);
  EXPECT_EQ(main.caption, L"Image Loader Ver 4.0.1");
  EXPECT_EQ(main.pointSize, 9);
  EXPECT_EQ(main.font, L"Gulim");
  for (DWORD bit : {DWORD{DS_MODALFRAME}, DWORD{WS_POPUP}, DWORD{WS_CAPTION}, DWORD{WS_SYSMENU},
                    DWORD{WS_MINIMIZEBOX}}) {
    EXPECT_TRUE(main.style & bit) << std::hex << bit;
  }
  ASSERT_EQ(main.items.size(), 32u);
  int bars = 0;
  for (const TemplateItem& item : main.items) {
    if (lstrcmpiW(item.className.c_str(), PROGRESS_CLASSW) == 0) {  // class names ignore case
      ++bars;
      EXPECT_TRUE(item.style & PBS_SMOOTH) << item.id;
      EXPECT_TRUE(item.style & WS_BORDER) << item.id;
    }
    if (item.id == IDC_DEVICE_TYPE) {
      EXPECT_EQ(item.style & 3, static_cast<DWORD>(CBS_DROPDOWNLIST));
      EXPECT_TRUE(item.style & WS_DISABLED);
      EXPECT_TRUE(item.style & WS_VSCROLL);
      EXPECT_TRUE(item.style & WS_TABSTOP);
    }
    if (item.id == IDC_STATUS) {
      EXPECT_TRUE(item.exStyle & WS_EX_STATICEDGE);
    }
    if (item.id == IDC_FILE_SIZE) {
      EXPECT_TRUE(item.exStyle & WS_EX_STATICEDGE);
      EXPECT_FALSE(item.style & WS_BORDER);
      EXPECT_TRUE(item.style & ES_RIGHT);
    }
  }
  EXPECT_EQ(bars, PROGRESS_BAR_COUNT);
  // Tab order starts at Open.
  EXPECT_EQ(main.items.front().id, IDC_OPEN);

  const DialogTemplate about = ReadDialogTemplate(IDD_ABOUTBOX);
  EXPECT_EQ(about.caption, L"Pelorin Info");
  EXPECT_EQ(about.pointSize, 9);
  EXPECT_EQ(about.items.size(), 4u);
}

// The version block (Korean language block, Unicode strings) and the two sizes of icon 128, as
// the compiled resources hold them.
TEST(DialogTemplates, VersionBlockAndIconSizes) {
  wchar_t path[MAX_PATH];
  ASSERT_GT(GetModuleFileNameW(nullptr, path, MAX_PATH), 0u);
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(path, &ignored);
  ASSERT_GT(size, 0u);
  std::vector<BYTE> block(size);
  ASSERT_TRUE(GetFileVersionInfoW(path, 0, size, block.data()));

  void* value = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", &value, &length));
  const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
  EXPECT_EQ(fixed->dwFileVersionMS, 0x00030001u);
  EXPECT_EQ(fixed->dwFileVersionLS, 0x00010000u);
  EXPECT_EQ(fixed->dwProductVersionMS, 0x00030001u);
  EXPECT_EQ(fixed->dwProductVersionLS, 0x00010000u);

  ASSERT_TRUE(VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", &value, &length));
  ASSERT_GE(length, 4u);
  WORD translation[2];
  memcpy(translation, value, sizeof translation);
  EXPECT_EQ(translation[0], 0x0412) << "Korean";
  EXPECT_EQ(translation[1], 1200) << "Unicode";

  const struct {
    const wchar_t* key;
    const wchar_t* text;
  } entries[] = {{L"FileVersion", L"3, 1, 1, 0"},
                 {L"ProductVersion", L"3, 1, 1, 0"},
                 {L"InternalName", L"Pelorin"},
                 {L"OriginalFilename", L"Pelorin.EXE"},
                 {L"ProductName", L"Pelorin 응용 프로그램"}};
  for (const auto& entry : entries) {
    const std::wstring key = std::wstring(L"\\StringFileInfo\\041204b0\\") + entry.key;
    ASSERT_TRUE(VerQueryValueW(block.data(), key.c_str(), &value, &length)) << WideToUtf8(key);
    EXPECT_STREQ(static_cast<const wchar_t*>(value), entry.text) << WideToUtf8(key);
  }

  // The icon group lists a 32x32 and a 16x16 image (a width byte of 0 would mean 256).
  HRSRC group = FindResourceW(nullptr, MAKEINTRESOURCEW(IDR_MAINFRAME), RT_GROUP_ICON);
  ASSERT_NE(group, nullptr);
  const auto* directory = static_cast<const BYTE*>(LockResource(LoadResource(nullptr, group)));
  ASSERT_GE(SizeofResource(nullptr, group), 6u);
  WORD count = 0;
  memcpy(&count, directory + 4, 2);
  ASSERT_EQ(SizeofResource(nullptr, group), 6u + 14u * count);
  std::vector<int> widths;
  for (WORD i = 0; i < count; ++i) widths.push_back(directory[6 + 14 * i]);
  std::sort(widths.begin(), widths.end());
  EXPECT_EQ(widths, (std::vector<int>{16, 32}));
}

TEST_F(LoaderDialogTest, SystemMenuEndsWithSeparatorAndAboutEntry) {
  Open();
  HMENU menu = GetSystemMenu(hwnd_, FALSE);
  ASSERT_NE(menu, nullptr);
  const int count = GetMenuItemCount(menu);
  ASSERT_GE(count, 2);
  EXPECT_EQ(GetMenuItemID(menu, count - 1), static_cast<UINT>(IDM_ABOUTBOX));
  wchar_t text[64] = L"";
  GetMenuStringW(menu, count - 1, text, 64, MF_BYPOSITION);
  EXPECT_STREQ(text, L"Pelorin Info(&A)...");
  MENUITEMINFOW info{};
  info.cbSize = sizeof info;
  info.fMask = MIIM_FTYPE;
  ASSERT_TRUE(GetMenuItemInfoW(menu, count - 2, TRUE, &info));
  EXPECT_TRUE(info.fType & MFT_SEPARATOR);
}

TEST_F(LoaderDialogTest, SystemCommandsWhoseHighBitsAre0x0010OpenAbout) {
  Open();
  for (WPARAM command : {0x0010, 0x0011, 0x001F}) {
    SendMessageW(hwnd_, WM_SYSCOMMAND, command, 0);
  }
  EXPECT_EQ(aboutCalls, 3);
  SendMessageW(hwnd_, WM_SYSCOMMAND, 0x0020, 0);
  SendMessageW(hwnd_, WM_SYSCOMMAND, 0x000F, 0);
  EXPECT_EQ(aboutCalls, 3);
  EXPECT_TRUE(IsWindow(hwnd_));
}

// The real About box: found while it runs modally, then closed with its OK button.
std::wstring aboutCaption, aboutVersionLine;
bool aboutSeen = false;
BOOL CALLBACK FindVersionLine(HWND child, LPARAM) {
  const std::wstring text = WindowTextW(child);
  if (text.rfind(L"Pelorin Ver", 0) == 0) aboutVersionLine = text;
  return TRUE;
}
void CALLBACK CloseAboutBox(HWND, UINT, UINT_PTR timer, DWORD) {
  HWND box = FindWindowW(L"#32770", L"Pelorin Info");
  if (box == nullptr) return;
  KillTimer(nullptr, timer);
  aboutSeen = true;
  aboutCaption = WindowTextW(box);
  EnumChildWindows(box, &FindVersionLine, 0);
  PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
}

TEST_F(LoaderDialogTest, AboutEntryShowsTheAboutBoxUntilOk) {
  Open({}, &AboutDialog::Show);
  SetTimer(nullptr, 0, 50, &CloseAboutBox);
  SendMessageW(hwnd_, WM_SYSCOMMAND, IDM_ABOUTBOX, 0);  // returns once the box is closed
  EXPECT_TRUE(aboutSeen);
  EXPECT_EQ(aboutCaption, L"Pelorin Info");
  EXPECT_EQ(aboutVersionLine, L"Pelorin Ver 2.2.1");
}

TEST_F(LoaderDialogTest, OpenShowsNameAndSizeAndEnablesDownload) {
  Open();
  TempFile image(L"pelorin_open_test.nb0");
  ASSERT_TRUE(image.Write(std::string(12345, 'x')));
  Choose(image.path());
  EXPECT_EQ(Text(IDC_FILE_NAME), image.path());
  EXPECT_EQ(Text(IDC_FILE_SIZE), L"12345");
  EXPECT_EQ(dialog_->fileSize(), 12345u);
  EXPECT_TRUE(Enabled(IDC_DOWNLOAD));
  EXPECT_TRUE(boxes_.boxes().empty());

  // Cancelling the next Open changes nothing.
  chosenPath.clear();
  Click(IDC_OPEN);
  EXPECT_EQ(Text(IDC_FILE_NAME), image.path());
  EXPECT_EQ(Text(IDC_FILE_SIZE), L"12345");
}

TEST_F(LoaderDialogTest, ImageThatCannotBeOpenedShowsFileErrorAndSizeZero) {
  Open();
  TempFile gone(L"pelorin_deleted_before_sizing.PAK");  // never created
  Choose(gone.path());
  auto boxes = boxes_.boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, L"파일을 열수 없습니다.");
  EXPECT_EQ(boxes[0].caption, L"파일 에러");
  EXPECT_EQ(boxes[0].flags, static_cast<UINT>(MB_OK | MB_ICONHAND));
  EXPECT_EQ(boxes[0].owner, hwnd_);
  EXPECT_EQ(Text(IDC_FILE_SIZE), L"0");
  EXPECT_EQ(Text(IDC_FILE_NAME), gone.path());
  EXPECT_TRUE(Enabled(IDC_DOWNLOAD)) << "Download is enabled either way";
}

TEST_F(LoaderDialogTest, ImageHeldOpenByAnotherWriterCannotBeSized) {
  // Sizing opens with no sharing, so an image another program has open fails the same way.
  Open();
  TempFile image(L"pelorin_locked.nb0");
  ASSERT_TRUE(image.Write("abc"));
  HANDLE holder = CreateFileW(image.path().c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  Choose(image.path());
  CloseHandle(holder);
  ASSERT_EQ(boxes_.boxes().size(), 1u);
  EXPECT_EQ(Text(IDC_FILE_SIZE), L"0");
}

TEST_F(LoaderDialogTest, SizeOfImagesOver4GiBIsTheLow32Bits) {
  Open();
  TempFile big(L"pelorin_5e9.nb0");
  if (!big.Extend(5000000000ull)) GTEST_SKIP() << "no room for a 5 GB sparse file here";
  Choose(big.path());
  EXPECT_EQ(Text(IDC_FILE_SIZE), L"705032704");
  EXPECT_EQ(dialog_->fileSize(), 705032704u);
}

TEST_F(LoaderDialogTest, DownloadHandsTheStoredImageToThePipeThread) {
  Open();
  TempFile image(L"pelorin_download.nb0");
  ASSERT_TRUE(image.Write(std::string(777, 'a')));
  Choose(image.path());
  // Text typed since Open is not what gets downloaded: the stored path comes back.
  SetDlgItemTextW(hwnd_, IDC_FILE_NAME, L"typed afterwards");
  Status(STATUS_VERIFYING);  // leaves a status text that Download must replace
  Click(IDC_DOWNLOAD);

  EXPECT_EQ(pipesLog.calls, 1);
  EXPECT_EQ(controlPipeLog.calls, 0);
  EXPECT_EQ(pipesLog.fileName, image.path());
  EXPECT_EQ(ReporterWindow(pipesLog), hwnd_);
  EXPECT_EQ(pipesLog.job, dialog_->job());
  EXPECT_EQ(Text(IDC_FILE_NAME), image.path());
  EXPECT_EQ(Text(IDC_STATUS), L"Ready");
  EXPECT_TRUE(ButtonsDisabled());
  EXPECT_NE(dialog_->runningWorker(), nullptr);

  // A second click queued before the buttons went grey starts nothing.
  SendMessageW(hwnd_, WM_COMMAND, MAKEWPARAM(IDC_DOWNLOAD, BN_CLICKED), 0);
  EXPECT_EQ(pipesLog.calls, 1);
  // Enter while Exit is grey does not end the dialog.
  Click(IDOK);
  EXPECT_FALSE(dialog_->ended());
  EXPECT_TRUE(boxes_.boxes().empty());
}

TEST_F(LoaderDialogTest, DeviceTypeZeroStartsTheControlPipeThread) {
  Open();
  // The selector is disabled for the operator; the program can still choose index 0, and
  // Open's save takes it.
  SendDlgItemMessageW(hwnd_, IDC_DEVICE_TYPE, CB_SETCURSEL, 0, 0);
  TempFile image(L"pelorin_type0.nb0");
  ASSERT_TRUE(image.Write("0123456789"));
  Choose(image.path());
  EXPECT_EQ(dialog_->deviceType(), DEVICE_TYPE_DRIVER_SERVICE);
  Click(IDC_DOWNLOAD);
  EXPECT_EQ(controlPipeLog.calls, 1);
  EXPECT_EQ(pipesLog.calls, 0);
  EXPECT_EQ(controlPipeLog.fileName, image.path());
  EXPECT_EQ(ReporterWindow(controlPipeLog), hwnd_);
}

TEST_F(LoaderDialogTest, NoDownloadThreadTellsTheOperatorAndReturnsToIdle) {
  Open(DownloadStarters{});
  TempFile image(L"pelorin_nothread.nb0");
  ASSERT_TRUE(image.Write("x"));
  Choose(image.path());
  Click(IDC_DOWNLOAD);
  auto boxes = boxes_.boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, L"Download Thread를 생성할 수 없습니다.");
  EXPECT_EQ(boxes[0].caption, ApplicationName());
  EXPECT_EQ(boxes[0].flags, static_cast<UINT>(MB_OK | MB_ICONHAND));
  EXPECT_TRUE(ButtonsEnabled());
  EXPECT_EQ(dialog_->runningWorker(), nullptr);
  EXPECT_FALSE(dialog_->model().downloading());
  // And the operator can try again.
  Click(IDC_DOWNLOAD);
  EXPECT_EQ(boxes_.boxes().size(), 2u);
}

TEST_F(LoaderDialogTest, TwoDevicesEndWithCompleteAndIdleButtons) {
  Open();
  TempFile image(L"pelorin_two.nb0");
  ASSERT_TRUE(image.Write("data"));
  Choose(image.path());
  for (int bar = 0; bar < PROGRESS_BAR_COUNT; ++bar) Progress(bar, 90);  // left from before
  Click(IDC_DOWNLOAD);
  Control(CONTROL_RESET_COUNTERS);
  Control(CONTROL_START_TIMER);
  Status(STATUS_CONFIGURATION);
  EXPECT_EQ(Text(IDC_STATUS), L"Configuration");
  Control(CONTROL_SET_EXPECTED, 2);
  Status(STATUS_SEND_IMAGE);
  EXPECT_EQ(Text(IDC_STATUS), L"Send - OS Image");
  for (int bar = 0; bar < PROGRESS_BAR_COUNT; ++bar) EXPECT_EQ(Bar(bar), 0) << "bar " << bar;
  Progress(0, 40);
  Progress(1, 100);
  EXPECT_EQ(Bar(0), 40);
  EXPECT_EQ(Bar(1), 100);
  Status(STATUS_VERIFYING);
  EXPECT_EQ(Text(IDC_STATUS), L"Verify Checksums...");

  Status(STATUS_DEVICE_DONE, 0);
  EXPECT_EQ(Text(IDC_STATUS), L"Verify Checksums...") << "one of two devices: no change";
  EXPECT_TRUE(ButtonsDisabled());
  EXPECT_NE(dialog_->runningWorker(), nullptr);

  Status(STATUS_DEVICE_DONE, 1);
  EXPECT_EQ(Text(IDC_STATUS), L"Complete");
  EXPECT_TRUE(ButtonsEnabled());
  EXPECT_EQ(dialog_->runningWorker(), nullptr);
  EXPECT_FALSE(KillTimer(hwnd_, ELAPSED_TIMER_ID)) << "the elapsed timer was left running";
}

TEST_F(LoaderDialogTest, ElapsedTimerRunsOnTheDialogThreadUntilStopped) {
  Open();
  Control(CONTROL_START_TIMER);
  // A real tick of the one-second timer.
  EXPECT_TRUE(PumpUntil([&] { return Text(IDC_ELAPSED) == L" 0 Min 1 Sec"; }, 5000, hwnd_));
  Control(CONTROL_STOP_TIMER);
  EXPECT_FALSE(KillTimer(hwnd_, ELAPSED_TIMER_ID));
  // A restart counts from zero again.
  Control(CONTROL_START_TIMER);
  Post(WM_TIMER, ELAPSED_TIMER_ID, 0);
  EXPECT_EQ(Text(IDC_ELAPSED), L" 0 Min 1 Sec");
  Control(CONTROL_STOP_TIMER);
}

TEST_F(LoaderDialogTest, TimerTicksFormatMinutesAndSecondsWithLeadingBlank) {
  Open();
  for (int tick = 0; tick < 125; ++tick) PostMessageW(hwnd_, WM_TIMER, ELAPSED_TIMER_ID, 0);
  Settle();
  EXPECT_EQ(Text(IDC_ELAPSED), L" 2 Min 5 Sec");
  Post(WM_TIMER, ELAPSED_TIMER_ID + 1, 0);  // another timer: not counted
  EXPECT_EQ(Text(IDC_ELAPSED), L" 2 Min 5 Sec");
  EXPECT_EQ(dialog_->model().elapsedSeconds(), 125);
}

TEST_F(LoaderDialogTest, ProgressOutsideTheSixteenBarsIsIgnored) {
  Open();
  Progress(15, 77);
  EXPECT_EQ(Bar(15), 77);
  EXPECT_EQ(SendDlgItemMessageW(hwnd_, 1024, PBM_GETPOS, 0, 0), 77);
  Progress(16, 55);
  Progress(-1, 55);
  Progress(1000, 55);
  for (int bar = 0; bar < 15; ++bar) EXPECT_EQ(Bar(bar), 0) << "bar " << bar;
  EXPECT_EQ(Bar(15), 77);
}

TEST_F(LoaderDialogTest, ProgressMovesOnlyItsBarWhileStatusReportsLoadEveryField) {
  Open();
  TempFile image(L"pelorin_progress_only.nb0");
  ASSERT_TRUE(image.Write("progress"));
  Choose(image.path());
  Click(IDC_DOWNLOAD);
  // The file-name edit stays open to typing during a download.
  SetDlgItemTextW(hwnd_, IDC_FILE_NAME, L"typed during the download");
  Progress(3, 50);
  EXPECT_EQ(Bar(3), 50);
  EXPECT_EQ(Text(IDC_FILE_NAME), L"typed during the download")
      << "a progress report touches no control but its bar";
  Status(STATUS_VERIFYING);
  EXPECT_EQ(Text(IDC_FILE_NAME), image.path()) << "a status report loads the stored name";
  EXPECT_EQ(Bar(3), 50) << "and keeps the bar where the progress report put it";
}

TEST_F(LoaderDialogTest, FocusLeavesTheGreyedButtonsSoEscapeStillWorks) {
  Open();
  TempFile image(L"pelorin_focus.nb0");
  ASSERT_TRUE(image.Write("focus"));
  Choose(image.path());
  SetFocus(GetDlgItem(hwnd_, IDC_DOWNLOAD));  // where a mouse click on Download leaves it
  ASSERT_EQ(GetFocus(), GetDlgItem(hwnd_, IDC_DOWNLOAD));
  Click(IDC_DOWNLOAD);
  ASSERT_TRUE(ButtonsDisabled());
  // A disabled control cannot keep the focus; with none at all, Escape would reach no control.
  HWND focus = GetFocus();
  ASSERT_NE(focus, nullptr);
  EXPECT_TRUE(IsChild(hwnd_, focus));
  EXPECT_TRUE(IsWindowEnabled(focus));
  PostMessageW(focus, WM_KEYDOWN, VK_ESCAPE, 0);
  Settle();
  EXPECT_TRUE(dialog_->ended());
  EXPECT_EQ(dialog_->result(), IDCANCEL);
}

TEST_F(LoaderDialogTest, ErrorReportsShowTheirNumberAndUnknownCodesNothing) {
  Open();
  Control(CONTROL_RESET_COUNTERS);
  Control(CONTROL_SET_EXPECTED, 5);
  Status(STATUS_ERROR, 3);
  EXPECT_EQ(Text(IDC_STATUS), L"Error - No.3");
  Status(STATUS_CHECKSUMS_ERROR, 2);
  EXPECT_EQ(Text(IDC_STATUS), L"Checksums Error - No.2");
  for (int32_t code : {0, 5, 7, 8, 9, 14, 0x7FFFFFFF}) Status(code, 1);
  EXPECT_EQ(Text(IDC_STATUS), L"Checksums Error - No.2");
  Status(STATUS_ERROR, -2);  // lParam keeps its sign through the post
  EXPECT_EQ(Text(IDC_STATUS), L"Error - No.-2");
}

TEST_F(LoaderDialogTest, ChecksumsOkEndsTheControlPipeDownload) {
  Open();
  TempFile image(L"pelorin_ok.nb0");
  ASSERT_TRUE(image.Write("y"));
  Choose(image.path());
  Click(IDC_DOWNLOAD);
  Status(STATUS_SEND_LENGTH);
  EXPECT_EQ(Text(IDC_STATUS), L"Send - OS Image's Length");
  Status(STATUS_BLOCK_SENT, 1234);
  EXPECT_EQ(Text(IDC_STATUS), L"Send - OS Image's Length");
  Status(STATUS_CHECKSUMS_OK);
  EXPECT_EQ(Text(IDC_STATUS), L"Checksums OK");
  EXPECT_TRUE(ButtonsEnabled());
  EXPECT_EQ(dialog_->runningWorker(), nullptr);
}

// Every download reports through a reporter of its own: a thread of the last download that is
// still ending keeps reporting as that download, and the bars' tooltips show only the new one's
// devices.
TEST_F(LoaderDialogTest, EachDownloadReportsThroughAReporterOfItsOwn) {
  Open();
  TempFile image(L"pelorin_reporters.nb0");
  ASSERT_TRUE(image.Write("z"));
  SendDlgItemMessageW(hwnd_, IDC_DEVICE_TYPE, CB_SETCURSEL, 0, 0);
  Choose(image.path());
  Click(IDC_DOWNLOAD);
  ASSERT_EQ(controlPipeLog.calls, 1);
  const std::shared_ptr<Reporter> first = controlPipeLog.reporter;
  ASSERT_NE(first, nullptr);
  first->DeviceReady(0, "first");
  EXPECT_EQ(dialog_->BarTooltipText(0), L"first");
  Status(STATUS_CHECKSUMS_OK);
  ASSERT_TRUE(ButtonsEnabled());

  Click(IDC_DOWNLOAD);
  ASSERT_EQ(controlPipeLog.calls, 2);
  const std::shared_ptr<Reporter> second = controlPipeLog.reporter;
  ASSERT_NE(second, nullptr);
  EXPECT_NE(second, first);
  EXPECT_EQ(ReporterWindow(controlPipeLog), hwnd_);
  EXPECT_EQ(dialog_->BarTooltipText(0), L"") << "the last download's devices are forgotten";
  first->DeviceReady(0, "late");
  EXPECT_EQ(dialog_->BarTooltipText(0), L"") << "a late report of the last download";
  second->DeviceReady(0, "second");
  first->DeviceEnded(0, DeviceOutcome::LinkError, 5000, "late");
  EXPECT_EQ(dialog_->BarTooltipText(0), L"second");
  Status(STATUS_CHECKSUMS_OK);
}

TEST_F(LoaderDialogTest, ExitWithASizeThatIsNoNumberTellsTheOperatorAndStaysOpen) {
  Open();
  TempFile image(L"pelorin_save.nb0");
  ASSERT_TRUE(image.Write("12345"));
  Choose(image.path());
  SetDlgItemTextW(hwnd_, IDC_FILE_SIZE, L"12x");
  SetDlgItemTextW(hwnd_, IDC_FILE_NAME, L"edited name");
  Click(IDOK);
  auto boxes = boxes_.boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, L"양의 정수를 입력하십시오.");
  EXPECT_EQ(boxes[0].caption, ApplicationName());
  EXPECT_EQ(boxes[0].flags, static_cast<UINT>(MB_OK | MB_ICONEXCLAMATION));
  EXPECT_FALSE(dialog_->ended());
  // The save stopped at the size: it and the fields after it keep their values.
  EXPECT_EQ(dialog_->fileSize(), 5u);
  EXPECT_EQ(dialog_->fileName(), image.path());

  SetDlgItemTextW(hwnd_, IDC_FILE_SIZE, L"42");
  Click(IDOK);
  EXPECT_TRUE(dialog_->ended());
  EXPECT_EQ(dialog_->result(), IDOK);
  EXPECT_EQ(dialog_->fileSize(), 42u);
  EXPECT_EQ(dialog_->fileName(), L"edited name");
  EXPECT_FALSE(IsWindow(hwnd_));
}

TEST_F(LoaderDialogTest, EscapeAndCloseBoxCancelWithoutSaving) {
  Open();
  SetDlgItemTextW(hwnd_, IDC_FILE_SIZE, L"not a number");
  Post(WM_CLOSE, 0, 0);
  EXPECT_TRUE(dialog_->ended());
  EXPECT_EQ(dialog_->result(), IDCANCEL);
  EXPECT_TRUE(boxes_.boxes().empty());

  Open();
  TempFile image(L"pelorin_escape.nb0");
  ASSERT_TRUE(image.Write("z"));
  Choose(image.path());
  Click(IDC_DOWNLOAD);  // Escape stays available while downloading
  PostMessageW(GetDlgItem(hwnd_, IDC_FILE_NAME), WM_KEYDOWN, VK_ESCAPE, 0);
  Settle();
  EXPECT_TRUE(dialog_->ended());
  EXPECT_EQ(dialog_->result(), IDCANCEL);
}

TEST_F(LoaderDialogTest, FileSizeTextMustBeAnUnsigned32BitDecimal) {
  uint32_t size = 99;
  EXPECT_TRUE(LoaderDialog::ParseFileSize(L"0", &size));
  EXPECT_EQ(size, 0u);
  EXPECT_TRUE(LoaderDialog::ParseFileSize(L" 4294967295 ", &size));
  EXPECT_EQ(size, 4294967295u);
  size = 7;
  for (const wchar_t* bad : {L"", L" ", L"4294967296", L"99999999999999999999", L"-1", L"+1",
                             L"1 2", L"12x", L"0x10", L"１２"}) {
    EXPECT_FALSE(LoaderDialog::ParseFileSize(bad, &size)) << WideToUtf8(bad);
    EXPECT_EQ(size, 7u);
  }
}

}  // namespace
}  // namespace pelorin
