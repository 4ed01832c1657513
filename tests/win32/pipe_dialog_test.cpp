// A pipe download through the real dialog and the real download threads, against simulated
// devices this process registers in the Wine prefix: which bars were put in the error state, and
// what each bar's tooltip tells.
#include <windows.h>
// The other Windows headers build on windows.h.
#include <commctrl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bulk_pipe_endpoint_win32.h"
#include "devsim_registry_win32.h"
#include "loader_dialog_win32.h"
#include "pipe_download_win32.h"
#include "resource.h"
#include "text_win32.h"
#include "win32_test_support.h"

namespace pelorin {
namespace {

using devsim::BulkPipeBehaviour;
using devsim::BulkPipeEndpoint;
using devsim::SimDeviceId;
using devsim::SimPipeDevice;

// Every PBM_SETSTATE each bar received, by bar window.
std::map<HWND, std::vector<WPARAM>> statesSent;

LRESULT CALLBACK RecordStates(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                              DWORD_PTR) {
  if (message == PBM_SETSTATE) statesSent[window].push_back(wParam);
  return DefSubclassProc(window, message, wParam, lParam);
}

class PipeDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    devsim::RemoveAllSimDevices();
    INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX),
                                  ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES | ICC_BAR_CLASSES};
    InitCommonControlsEx(&controls);
    statesSent.clear();
  }
  void TearDown() override {
    dialog_.reset();
    for (auto& [id, server] : devices_) {
      devsim::UnregisterSimDevice(id);
      server->Stop();
    }
    test::PumpMessages();
  }

  void AddDevice(BulkPipeBehaviour behaviour) {
    static std::atomic<int> run{0};
    SimDeviceId id;
    char instance[32];
    std::snprintf(instance, sizeof instance, "D%lu_%02zu", GetCurrentProcessId() % 10000,
                  devices_.size());
    id.instance = instance;
    id.reference =
        "simdlg" + std::to_string(GetCurrentProcessId() % 10000) + "_" + std::to_string(run++);
    auto server = std::make_unique<SimPipeDevice>(
        id.reference, devsim::SimDeviceOptions{},
        [this, behaviour] { return std::make_unique<BulkPipeEndpoint>(clock_, behaviour); });
    std::string error;
    ASSERT_TRUE(server->Start(&error)) << error;
    ASSERT_TRUE(devsim::RegisterSimDevice(id, &error)) << error;
    paths_.push_back(devsim::SimDevicePath(id));
    devices_.emplace_back(id, std::move(server));
  }

  devsim::WallClock clock_;
  std::vector<std::pair<SimDeviceId, std::unique_ptr<SimPipeDevice>>> devices_;
  std::vector<std::string> paths_;
  std::unique_ptr<LoaderDialog> dialog_;
  test::BoxRecorder boxes_;
};

std::wstring ChosenImage;
bool ChooseImage(HWND, std::wstring* path) {
  *path = ChosenImage;
  return true;
}

TEST_F(PipeDialogTest, AVerifyErrorMarksExactlyItsBarAndEachTooltipTellsItsDevice) {
  AddDevice({});
  BulkPipeBehaviour verierr;
  verierr.answerVerifyError = true;
  AddDevice(verierr);
  AddDevice({});
  test::TempFile image(L"pelorin_dialog_pipes.nb0");
  ASSERT_TRUE(image.Write(std::string(300000, '\x5a')));
  ChosenImage = image.path();

  dialog_ = std::make_unique<LoaderDialog>(DownloadStarters{nullptr, &StartPipeDownload});
  dialog_->SetFileChooser(&ChooseImage);
  HWND hwnd = dialog_->Create(nullptr);
  ASSERT_NE(hwnd, nullptr);
  for (int id : PROGRESS_BAR_IDS) SetWindowSubclass(GetDlgItem(hwnd, id), &RecordStates, 1, 0);
  EXPECT_EQ(SendMessageW(dialog_->tooltip(), TTM_GETTOOLCOUNT, 0, 0), PROGRESS_BAR_COUNT);
  EXPECT_EQ(dialog_->BarTooltipText(0), L"") << "no device yet";

  SendMessageW(hwnd, WM_COMMAND, MAKEWPARAM(IDC_OPEN, BN_CLICKED), 0);
  SendMessageW(hwnd, WM_COMMAND, MAKEWPARAM(IDC_DOWNLOAD, BN_CLICKED), 0);
  ASSERT_TRUE(test::PumpUntil([&] { return !dialog_->model().downloading(); }, 30000, hwnd))
      << "the download did not end";
  test::PumpUntil([] { return false; }, 400, hwnd);  // any bar still waiting its turn

  EXPECT_EQ(WindowTextW(GetDlgItem(hwnd, IDC_STATUS)), L"Checksums Error - No.1");
  for (int bar = 0; bar < PROGRESS_BAR_COUNT; ++bar) {
    HWND control = GetDlgItem(hwnd, PROGRESS_BAR_IDS[static_cast<size_t>(bar)]);
    const std::vector<WPARAM> expected =
        bar == 1 ? std::vector<WPARAM>{PBST_ERROR} : std::vector<WPARAM>{};
    EXPECT_EQ(statesSent[control], expected) << "bar " << bar;
    EXPECT_EQ(dialog_->model().barState(bar), bar == 1 ? BarState::Error : BarState::Normal);
    EXPECT_EQ(SendMessageW(control, PBM_GETPOS, 0, 0), bar < 3 ? 100 : 0) << "bar " << bar;
  }

  for (int bar = 0; bar < 3; ++bar) {
    // What the tooltip control is told when it asks the dialog for a bar's text.
    NMTTDISPINFOW info{};
    info.hdr.hwndFrom = dialog_->tooltip();
    info.hdr.idFrom =
        reinterpret_cast<UINT_PTR>(GetDlgItem(hwnd, PROGRESS_BAR_IDS[static_cast<size_t>(bar)]));
    info.hdr.code = TTN_GETDISPINFOW;
    SendMessageW(hwnd, WM_NOTIFY, 0, reinterpret_cast<LPARAM>(&info));
    ASSERT_NE(info.lpszText, nullptr);
    const std::wstring text = info.lpszText;
    EXPECT_EQ(text.substr(0, text.find(L"\r\n")), Utf8ToWide(paths_[static_cast<size_t>(bar)]));
    EXPECT_NE(text.find(bar == 1 ? L"Checksums Error - No.1" : L"Verified"), std::wstring::npos)
        << WideToUtf8(text);
  }
  EXPECT_EQ(dialog_->BarTooltipText(3), L"") << "no device on bar 3";

  // The next download puts the failed bar back to normal.
  statesSent.clear();
  SendMessageW(hwnd, WM_COMMAND, MAKEWPARAM(IDC_DOWNLOAD, BN_CLICKED), 0);
  ASSERT_TRUE(test::PumpUntil([&] { return !dialog_->model().downloading(); }, 30000, hwnd));
  EXPECT_EQ(statesSent[GetDlgItem(hwnd, PROGRESS_BAR_IDS[1])],
            (std::vector<WPARAM>{PBST_NORMAL, PBST_ERROR}));
}

}  // namespace
}  // namespace pelorin
