// The reporting contract between the download threads and the main dialog: the two posted
// messages, the status codes, the elapsed-time timer, and the seams through which a download
// thread reports (Reporter) and waits (Clock). Portable: no Windows header here.
#pragma once

#include <cstdint>
#include <string_view>

namespace pelorin {

// Window messages posted by download threads to the dialog (private base WM_USER = 0x0400).
inline constexpr unsigned WM_DOWNLOAD_STATUS = 0x0400 + 10;    // wParam StatusCode, lParam per code
inline constexpr unsigned WM_DOWNLOAD_PROGRESS = 0x0400 + 11;  // wParam bar 0..15, lParam 0..100
// Requests from download threads that only the dialog thread may carry out (timer, counters).
// wParam is a DownloadControl value, lParam its argument.
inline constexpr unsigned WM_DOWNLOAD_CONTROL = 0x0400 + 12;

inline constexpr unsigned ELAPSED_TIMER_ID = 100;
inline constexpr unsigned ELAPSED_TIMER_PERIOD_MS = 1000;
inline constexpr int PROGRESS_BAR_COUNT = 16;
// A download thread posts a device's progress at most this often (100 at once): the bars are not
// redrawn more often, and every post costs the window system a round trip.
inline constexpr uint32_t PROGRESS_POST_INTERVAL_MS = 250;

enum StatusCode : int32_t {
  STATUS_CONFIGURATION = 1,
  STATUS_SEND_IMAGE = 2,
  STATUS_SEND_LENGTH = 3,
  STATUS_BLOCK_SENT = 4,
  STATUS_ERROR = 6,
  STATUS_VERIFYING = 10,
  STATUS_CHECKSUMS_OK = 11,
  STATUS_CHECKSUMS_ERROR = 12,
  STATUS_DEVICE_DONE = 13,
};

enum DownloadControl : int32_t {
  CONTROL_START_TIMER = 1,     // elapsed seconds to 0, then start ELAPSED_TIMER_ID
  CONTROL_STOP_TIMER = 2,      // stop ELAPSED_TIMER_ID
  CONTROL_RESET_COUNTERS = 3,  // finished and expected devices to 0: a new download begins
  CONTROL_SET_EXPECTED = 4,    // expected devices to lParam
};

// The icon of an application box.
enum class BoxIcon : int32_t { Exclamation, Stop };

// How one device's download ended, as the per-device views (the dialog's tooltips, the headless
// front end's results) tell it. The status rules never see it.
enum class DeviceOutcome : int32_t {
  Verified,           // the device verified the image ("VERIOK_", or both checksums matched)
  VerificationError,  // the device found the image wrong ("VERIERR", a block or image checksum)
  LinkError,          // a failed, short or cancelled write, a lost in-pipe, a hung device
  ImageError,         // the image could not be read for this device
  NotStarted,         // no download thread could be started for it
};

// How a download thread talks to the operator. Implemented on Windows by posting to the dialog
// window and by message boxes; in tests by a queue read in order.
// Every entry is called from a download thread. All but the two boxes return at once; requests
// from one thread reach the dialog in the order they were made, so a timer start made before a
// status post is always carried out before that post is handled.
class Reporter {
 public:
  virtual ~Reporter() = default;
  // WM_DOWNLOAD_STATUS with code and lParam.
  virtual void PostStatus(int32_t code, int32_t lParam) = 0;
  // WM_DOWNLOAD_PROGRESS for bar `bar` (0..15) at `percent`.
  virtual void PostProgress(int32_t bar, int32_t percent) = 0;
  // WM_DOWNLOAD_CONTROL requests (see DownloadControl).
  virtual void Control(DownloadControl request, int32_t argument) = 0;
  // A modal box owned by the dialog window: OK button, stop icon, `caption`. Texts are UTF-8.
  // Blocks the calling thread until the operator dismisses it.
  virtual void ShowStopBox(std::string_view text, std::string_view caption) = 0;
  // An application box: OK button, the application's name as caption, `icon`. Blocks.
  virtual void ShowAppBox(std::string_view text, BoxIcon icon = BoxIcon::Exclamation) = 0;

  // Per-device facts beside the posts, for the per-device views; they return at once and change
  // nothing the status rules see. `tick` is the download thread's clock. Paths are UTF-8.
  // The controller found device `device` ready at interface path `path`.
  virtual void DeviceReady(int32_t device, std::string_view path) { (void)device, (void)path; }
  // The device's worker began (before its first write).
  virtual void DeviceStarted(int32_t device, uint32_t tick) { (void)device, (void)tick; }
  // After each data write: `bytesSent` of `imageSize` have been taken by the device.
  virtual void DeviceSent(int32_t device, uint64_t bytesSent, uint64_t imageSize, uint32_t tick) {
    (void)device, (void)bytesSent, (void)imageSize, (void)tick;
  }
  // The device's download ended (just before its final report); `message` is the text of the box
  // that follows, empty when none does.
  virtual void DeviceEnded(int32_t device, DeviceOutcome outcome, uint32_t tick,
                           std::string_view message) {
    (void)device, (void)outcome, (void)tick, (void)message;
  }

  void StartElapsedTimer() { Control(CONTROL_START_TIMER, 0); }
  void StopElapsedTimer() { Control(CONTROL_STOP_TIMER, 0); }
  void ResetDeviceCounters() { Control(CONTROL_RESET_COUNTERS, 0); }
  void SetExpectedDevices(int32_t count) { Control(CONTROL_SET_EXPECTED, count); }
};

// Pauses and millisecond ticks. Windows: Sleep and GetTickCount. Tests: a fake clock that
// advances without sleeping. Safe to call from any thread.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual void Sleep(uint32_t milliseconds) = 0;
  virtual uint32_t TickCount() = 0;  // wraps like GetTickCount
};

}  // namespace pelorin
