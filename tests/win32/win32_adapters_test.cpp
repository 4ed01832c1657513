// The Windows adapters of the download seams: the reporter posting to a real dialog from a
// download thread, the boxes it shows, the image file source, text conversion and the handle owner.
#include <windows.h>
// The other Windows headers build on windows.h.
#include <commctrl.h>
#include <gtest/gtest.h>

#include <thread>

#include "dialog_reporter_win32.h"
#include "file_image_source_win32.h"
#include "loader_dialog_win32.h"
#include "pipe_discovery_win32.h"
#include "resource.h"
#include "scoped_handle_win32.h"
#include "text_win32.h"
#include "win32_test_support.h"

namespace pelorin {
namespace {

using test::BoxRecorder;
using test::PumpUntil;
using test::TempFile;

TEST(DialogReporter, ReportsFromAnotherThreadReachTheDialogInOrder) {
  INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&controls);
  BoxRecorder boxes;
  LoaderDialog dialog(DownloadStarters{});
  HWND hwnd = dialog.Create(nullptr);
  ASSERT_NE(hwnd, nullptr);

  DWORD workerId = 0;
  std::thread worker([hwnd, &workerId] {
    workerId = GetCurrentThreadId();
    DialogReporter reporter(hwnd);
    reporter.ResetDeviceCounters();
    reporter.StartElapsedTimer();
    reporter.SetExpectedDevices(2);
    reporter.PostStatus(STATUS_SEND_IMAGE, 0);
    reporter.PostProgress(0, 30);
    reporter.PostProgress(0, 60);
    reporter.PostProgress(9, 100);
    reporter.PostStatus(STATUS_CHECKSUMS_ERROR, 1);
    reporter.ShowStopBox("장치 응답 없음\n", "전송 에러");
    reporter.ShowAppBox("파이프를 열 수 없습니다.");
    reporter.ShowAppBox("Download Thread를 생성할 수 없습니다.", BoxIcon::Stop);
    reporter.PostStatus(STATUS_DEVICE_DONE, 0);
  });
  worker.join();

  ASSERT_TRUE(PumpUntil(
      [&] { return !dialog.model().timerRunning() && dialog.model().finishedDevices() == 2; }, 5000,
      hwnd));
  // The failed device is not summed up as "Complete".
  EXPECT_EQ(WindowTextW(GetDlgItem(hwnd, IDC_STATUS)), L"Checksums Error - No.1");
  // The second move of bar 0 came too soon after the first: it is shown when its turn comes.
  EXPECT_TRUE(PumpUntil([&] { return SendDlgItemMessageW(hwnd, 1004, PBM_GETPOS, 0, 0) == 60; },
                        2000, hwnd));
  EXPECT_EQ(SendDlgItemMessageW(hwnd, PROGRESS_BAR_IDS[9], PBM_GETPOS, 0, 0), 100);
  EXPECT_FALSE(KillTimer(hwnd, ELAPSED_TIMER_ID));

  auto shown = boxes.boxes();
  ASSERT_EQ(shown.size(), 3u);
  EXPECT_EQ(shown[0].owner, hwnd);
  EXPECT_EQ(shown[0].text, L"장치 응답 없음\n");
  EXPECT_EQ(shown[0].caption, L"전송 에러");
  EXPECT_EQ(shown[0].flags, static_cast<UINT>(MB_OK | MB_ICONHAND));
  EXPECT_EQ(shown[0].threadId, workerId) << "a box blocks the thread that shows it";
  EXPECT_EQ(shown[1].owner, hwnd);
  EXPECT_EQ(shown[1].text, L"파이프를 열 수 없습니다.");
  EXPECT_EQ(shown[1].caption, ApplicationName());
  EXPECT_EQ(shown[1].flags, static_cast<UINT>(MB_OK | MB_ICONEXCLAMATION));
  EXPECT_EQ(shown[2].caption, ApplicationName());
  EXPECT_EQ(shown[2].flags, static_cast<UINT>(MB_OK | MB_ICONHAND));
}

TEST(ApplicationName, IsTheExecutablesBaseNameWithoutExtension) {
  wchar_t path[MAX_PATH];
  ASSERT_GT(GetModuleFileNameW(nullptr, path, MAX_PATH), 0u);
  EXPECT_EQ(ApplicationName(), L"pelorin_win32_tests");
}

TEST(TextConversion, KoreanAndControlCharactersSurviveBothWays) {
  const std::string utf8 = "ROM File 찾기\n양의 정수를 입력하십시오.";
  const std::wstring wide = Utf8ToWide(utf8);
  EXPECT_EQ(wide, L"ROM File 찾기\n양의 정수를 입력하십시오.");
  EXPECT_EQ(WideToUtf8(wide), utf8);
  EXPECT_EQ(Utf8ToWide(""), L"");
  EXPECT_EQ(Utf8ToWide("a\xFF"
                       "b"),
            L"a\xFFFD"
            L"b");  // malformed byte: replacement character
  EXPECT_EQ(Utf8ToWide("\xF0\x9F\x98\x80"), L"\xD83D\xDE00");  // outside the BMP: a pair
}

TEST(FileImageSource, ReadersAreIndependentReadSharedAndSized) {
  TempFile image(L"pelorin_source.bin");
  std::string bytes;
  for (int i = 0; i < 70000; ++i) bytes.push_back(static_cast<char>(i * 7));
  ASSERT_TRUE(image.Write(bytes));
  FileImageSource source(image.path());
  auto first = source.Open();
  auto second = source.Open();  // every download thread opens the image itself
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(first->Size(), bytes.size());

  std::string readBack;
  uint8_t buffer[4096];
  uint32_t got = 0;
  while (first->Read(buffer, sizeof buffer, &got) && got > 0) {
    readBack.append(reinterpret_cast<char*>(buffer), got);
  }
  EXPECT_EQ(readBack, bytes);
  EXPECT_TRUE(first->Read(buffer, sizeof buffer, &got));
  EXPECT_EQ(got, 0u) << "end of file";
  ASSERT_TRUE(second->Read(buffer, 3, &got));
  ASSERT_EQ(got, 3u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 3), bytes.substr(0, 3));
}

TEST(FileImageSource, MissingFileGivesNoReader) {
  TempFile missing(L"pelorin_no_such_image.nb0");
  EXPECT_EQ(FileImageSource(missing.path()).Open(), nullptr);
}

TEST(FileImageSource, ImageWhoseSizeCannotBeReadGivesNoReader) {
  // A pipe opens like a file, but has no size: it must not pass for an empty image.
  const std::wstring name =
      L"\\\\.\\pipe\\pelorin-sizeless-" + std::to_wstring(GetCurrentProcessId());
  ScopedHandle server(
      CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 1, 0, 0, 0, nullptr));
  ASSERT_TRUE(server.valid());
  EXPECT_EQ(FileImageSource(name).Open(), nullptr);
}

TEST(TextConversion, AnsiPathsAreTakenInTheirCodePage) {
  // A character of this code page beyond ASCII, as CreateFileA paths carry it.
  for (const wchar_t* wide : {L"\uAC00", L"\u00E9", L"\u0436"}) {
    char ansi[8] = {};
    BOOL lossy = FALSE;
    const int n = WideCharToMultiByte(CP_ACP, 0, wide, 1, ansi, sizeof ansi - 1, nullptr, &lossy);
    if (n <= 0 || lossy || static_cast<unsigned char>(ansi[0]) < 0x80) continue;
    const std::string path = std::string("C:\\") + ansi + "\\PIPE01";
    EXPECT_EQ(AnsiToUtf8(path), "C:\\" + WideToUtf8(wide) + "\\PIPE01");
    EXPECT_EQ(PipeOpenFailedText(path.c_str(), 2),
              "Failed to open (C:\\" + WideToUtf8(wide) + "\\PIPE01) = 2");
    return;
  }
  GTEST_SKIP() << "this code page has no character beyond ASCII to try";
}

TEST(ScopedHandle, NullAndInvalidMeanNoHandleAndOwnershipMoves) {
  EXPECT_FALSE(ScopedHandle().valid());
  EXPECT_FALSE(ScopedHandle(INVALID_HANDLE_VALUE).valid());
  { ScopedHandle invalid(INVALID_HANDLE_VALUE); }  // closing nothing must not fault

  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(event, nullptr);
  DWORD flags = 0;
  {
    ScopedHandle owner(event);
    ScopedHandle moved(std::move(owner));
    EXPECT_FALSE(owner.valid());
    EXPECT_EQ(moved.get(), event);
    ScopedHandle assigned;
    assigned = std::move(moved);
    EXPECT_TRUE(GetHandleInformation(event, &flags)) << "still open while owned";
  }
  EXPECT_FALSE(GetHandleInformation(event, &flags)) << "closed with its last owner";

  HANDLE kept = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  {
    ScopedHandle owner(kept);
    EXPECT_EQ(owner.Release(), kept);
  }
  EXPECT_TRUE(GetHandleInformation(kept, &flags)) << "released handles stay open";
  CloseHandle(kept);
}

}  // namespace
}  // namespace pelorin
