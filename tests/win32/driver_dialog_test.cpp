// The driver-service path on Windows: the Win32 transport where no driver service exists, and
// device type 0 end to end through the real dialog, the download thread, ControlPipeDownload and
// DriverServiceClient, with the simulated service behind the transport.
#include <windows.h>
// commctrl.h needs windows.h first
#include <commctrl.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "control_pipe_download.h"
#include "control_pipe_download_win32.h"
#include "driver_service_client.h"
#include "driver_service_sim.h"
#include "driver_transport_win32.h"
#include "loader_dialog_win32.h"
#include "recording_reporter.h"
#include "resource.h"
#include "text_win32.h"
#include "win32_test_support.h"

namespace pelorin {
namespace {

using devsim::SimulatedDriverService;
using test::AppBoxEvent;
using test::BoxRecorder;
using test::PumpUntil;
using test::RecordingReporter;
using test::TempFile;

TEST(Win32DriverTransport, WithoutTheServiceNothingOpensAndTransfersFail) {
  Win32DriverTransport transport;
  EXPECT_EQ(transport.OpenChannel(), INVALID_CHANNEL);

  RecordingReporter reporter;
  DriverServiceClient client(transport, reporter);
  DriverChannel channel = 0;
  EXPECT_EQ(client.OpenChannel(&channel), 0);
  EXPECT_EQ(channel, INVALID_CHANNEL);
  UsbDeviceHandle device;
  device.deviceHandle = 1;
  uint8_t buffer[8] = {};
  EXPECT_EQ(client.ControlWrite(&device, nullptr, 0, SET_RESEND_ALL), -1);
  EXPECT_EQ(client.ControlRead(&device, buffer, 8, GET_CHECKSUM_CNT), -1);
  EXPECT_EQ(client.Pipe1Write(&device, buffer, 8), -1);
  EXPECT_EQ(reporter.events(), std::vector{AppBoxEvent("Cannot open Tarn USB device\n")});
}

// The simulated service the dialog's download thread talks to (null: the product's thread with
// the Windows transport), and that thread.
SimulatedDriverService* simulated = nullptr;
HANDLE lastThread = nullptr;

HANDLE StartSimulated(DownloadJob* job) {
  HANDLE thread = simulated != nullptr ? StartControlPipeDownloadOver(job, simulated)
                                       : StartControlPipeDownload(job);
  if (thread != nullptr)
    DuplicateHandle(GetCurrentProcess(), thread, GetCurrentProcess(), &lastThread, 0, FALSE,
                    DUPLICATE_SAME_ACCESS);
  return thread;
}

std::wstring chosenImage;
bool ChooseImage(HWND, std::wstring* path) {
  *path = chosenImage;
  return true;
}

class ControlPipeDialogTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX),
                                  ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
  }
  void SetUp() override { simulated = &service; }
  void TearDown() override {
    if (lastThread != nullptr) {
      EXPECT_EQ(WaitForSingleObject(lastThread, 20000), WAIT_OBJECT_0);
      CloseHandle(lastThread);
      lastThread = nullptr;
    }
    dialog.reset();
    test::PumpMessages();
    simulated = nullptr;
  }

  // Chooses an image of `bytes` with device type 0, presses Download and waits for the end.
  void Download(const std::string& bytes, size_t boxesExpected) {
    ASSERT_TRUE(image.Write(bytes));
    chosenImage = image.path();
    dialog = std::make_unique<LoaderDialog>(DownloadStarters{&StartSimulated, nullptr});
    dialog->SetFileChooser(&ChooseImage);
    hwnd = dialog->Create(nullptr);
    ASSERT_NE(hwnd, nullptr);
    SendDlgItemMessageW(hwnd, IDC_DEVICE_TYPE, CB_SETCURSEL, 0, 0);
    PostMessageW(hwnd, WM_COMMAND, MAKEWPARAM(IDC_OPEN, BN_CLICKED), 0);
    PostMessageW(hwnd, WM_COMMAND, MAKEWPARAM(IDC_DOWNLOAD, BN_CLICKED), 0);
    ASSERT_TRUE(PumpUntil([&] { return lastThread != nullptr; }, 5000, hwnd));
    ASSERT_TRUE(PumpUntil(
        [&] {
          return WaitForSingleObject(lastThread, 0) == WAIT_OBJECT_0 &&
                 boxes.boxes().size() == boxesExpected && !dialog->model().downloading();
        },
        20000, hwnd));
  }
  bool Enabled(int id) const { return IsWindowEnabled(GetDlgItem(hwnd, id)) != FALSE; }

  SimulatedDriverService service;
  BoxRecorder boxes;
  TempFile image{L"pelorin_control_pipe.nb0"};
  std::unique_ptr<LoaderDialog> dialog;
  HWND hwnd = nullptr;
};

std::string SetupBytes(const SetupPacket& setup) {
  std::string bytes(8, '\0');
  std::memcpy(bytes.data(), &setup, 8);
  return bytes;
}

TEST_F(ControlPipeDialogTest, HundredByteImageDownloadsAndEndsInChecksumsOk) {
  std::string bytes(100, '\0');
  for (int i = 0; i < 100; ++i) bytes[static_cast<size_t>(i)] = static_cast<char>('A' + i % 26);
  Download(bytes, 0);

  EXPECT_EQ(WindowTextW(GetDlgItem(hwnd, IDC_STATUS)), L"Checksums OK");
  EXPECT_TRUE(Enabled(IDC_OPEN) && Enabled(IDOK) && Enabled(IDC_DOWNLOAD));
  EXPECT_EQ(dialog->runningWorker(), nullptr);
  EXPECT_FALSE(KillTimer(hwnd, ELAPSED_TIMER_ID));  // stopped

  // The transfers in order: pipe, SETUP bytes, length.
  struct Expected {
    uint32_t pipe;
    std::string setup;
    uint32_t length;
  };
  const std::string none(8, '\0');
  std::vector<Expected> expected = {{0, SetupBytes(SET_RESEND_ALL), 0},
                                    {1, none, 640},
                                    {0, SetupBytes(SET_RESEND_ALL), 0},
                                    {0, SetupBytes(SET_SUB_SEND), 0},
                                    {1, none, 640},
                                    {0, SetupBytes(SET_SUB_CHECKSUM), 0},
                                    {0, SetupBytes(GET_SUB_CHECKSUM_CNT), 8},
                                    {0, SetupBytes(SET_CHECKSUM), 0},
                                    {0, SetupBytes(GET_CHECKSUM_CNT), 8},
                                    {0, SetupBytes(SET_SEND_END), 0}};
  auto transfers = service.requests(IOCTL_DRIVER_TRANSFER);
  ASSERT_EQ(transfers.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    TransferRecord t = transfers[i].transfer();
    EXPECT_EQ(t.pipe, expected[i].pipe) << i;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&t.setup), 8), expected[i].setup) << i;
    EXPECT_EQ(t.length, expected[i].length) << i;
  }
  std::string packet = bytes + std::string(540, '0');
  EXPECT_EQ(std::string(transfers[4].data.begin(), transfers[4].data.end()), packet);
  EXPECT_EQ(service.requests().back().code, IOCTL_DRIVER_CLOSE_DEVICE);
  EXPECT_EQ(service.openChannels(), 0);
  EXPECT_TRUE(service.device().protocolErrors().empty());
}

TEST_F(ControlPipeDialogTest, NoDeviceShowsItsBoxAndReturnsTheDialogToIdle) {
  service.SetDevices({});
  Download("x", 1);
  auto shown = boxes.boxes();
  EXPECT_EQ(shown[0].text, L"Device Open Fail.");
  EXPECT_EQ(shown[0].caption, L"Error");
  EXPECT_EQ(shown[0].owner, hwnd);
  EXPECT_EQ(shown[0].flags & MB_ICONMASK, static_cast<UINT>(MB_ICONHAND));
  EXPECT_EQ(WindowTextW(GetDlgItem(hwnd, IDC_STATUS)), L"Error - No.0");
  EXPECT_TRUE(Enabled(IDC_OPEN) && Enabled(IDOK) && Enabled(IDC_DOWNLOAD));
  EXPECT_FALSE(KillTimer(hwnd, ELAPSED_TIMER_ID));
}

TEST_F(ControlPipeDialogTest, WithoutTheServiceTheProductThreadShowsBothBoxesAndEndsIdle) {
  simulated = nullptr;  // no driver service exists under Wine
  Download("x", 2);
  auto shown = boxes.boxes();
  EXPECT_EQ(shown[0].text, L"Cannot open Tarn USB device\n");
  EXPECT_EQ(shown[0].flags & MB_ICONMASK, static_cast<UINT>(MB_ICONEXCLAMATION));
  EXPECT_EQ(shown[1].text, L"USB Driver Fail.");
  EXPECT_EQ(shown[1].caption, L"에러");
  EXPECT_NE(shown[1].threadId, GetCurrentThreadId());
  EXPECT_EQ(WindowTextW(GetDlgItem(hwnd, IDC_STATUS)), L"Error - No.0");
  EXPECT_TRUE(Enabled(IDC_OPEN) && Enabled(IDOK) && Enabled(IDC_DOWNLOAD));
}

}  // namespace
}  // namespace pelorin
