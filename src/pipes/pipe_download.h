// The bulk-pipe download, apart from any window or handle: the controller that checks the image,
// finds the devices and starts one worker per device, and the worker that sends the image to one
// device (magic, length, data, byte sum) and answers its verification messages. Both report only
// through Reporter and wait only through Clock; the pipes are PipeLinks. The Win32 thread entries
// (pipe_download_win32.cpp) wrap real handles and call these.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "download_report.h"
#include "image_source.h"
#include "pipe_protocol.h"
#include "pipe_watchdog.h"

namespace pelorin {

// One direction of a device's pipe pair. Owned by one worker; used from that worker's thread only.
class PipeLink {
 public:
  // Closes the pipe (when it is valid).
  virtual ~PipeLink() = default;
  // Writes `size` bytes of `data` as one write (size 0 is a legal zero-length write). Returns
  // false when the write fails; `*written` is the count the pipe accepted (0 on failure), which
  // can be less than `size`.
  virtual bool Write(const uint8_t* data, uint32_t size, uint32_t* written) = 0;
  // Reads at most `capacity` bytes into `buffer`. Returns false when the read fails; `*got` is
  // the count read (0 on failure; a successful read may also give 0).
  virtual bool Read(uint8_t* buffer, uint32_t capacity, uint32_t* got) = 0;
  // False when the pipe was never opened (the invalid handle).
  virtual bool Valid() const = 0;
};

// The message boxes of the pipe path (UTF-8).
inline constexpr char TEXT_IMAGE_NOT_OPENED[] = "이미지 파일을 열수 없습니다.";
inline constexpr char CAPTION_FILE_ERROR[] = "파일 에러";
inline constexpr char TEXT_CHECK_CABLE[] = "USB Cable 연결을 확인해 보세요.";
inline constexpr char CAPTION_LINK_ERROR[] = "연결 에러";
inline constexpr char CAPTION_LINK_ERROR_3[] = "연결 에러3";
inline constexpr char FORMAT_NO_DEVICE[] = "USB Cable 연결을 확인해 보세요.\nCODE:%d (%s)";
inline constexpr char TEXT_VERIFY_ERROR[] = "Verification Error 다시 시도해 주세요.";
inline constexpr char CAPTION_VERIFY_ERROR[] = "에러";
inline constexpr char TEXT_NO_THREAD[] = "Download Thread를 생성할 수 없습니다.";

// The sum of `size` bytes, each an unsigned 8-bit value, modulo 2^32: the image byte sum.
uint32_t ByteSum(const uint8_t* data, uint32_t size);

// The limits of a worker's pipe calls (the protocol's; tests pass shorter ones).
struct PipeCallLimits {
  uint32_t writeMs = PIPE_WRITE_TIMEOUT_MS;
  uint32_t answerMs = ANSWER_TIMEOUT_MS;
  uint32_t imageReadMs = IMAGE_READ_TIMEOUT_MS;
};

// Sends the image to device `deviceIndex` over `outPipe` and runs the verification handshake on
// `inPipe`. Takes ownership of both links and closes them (and its own image reader) before its
// one final report: STATUS_DEVICE_DONE, STATUS_CHECKSUMS_ERROR or STATUS_ERROR with the index.
// A message box, if any, comes after that report. Returns when the device's download has ended.
// Every pipe call and image read is announced to `watch` with its deadline (null: calls are
// unbounded), and the worker leaves the watch after its last report and box: once every worker
// has left, nothing of the download reports any more.
void RunPipeDeviceWorker(int32_t deviceIndex, std::unique_ptr<PipeLink> outPipe,
                         std::unique_ptr<PipeLink> inPipe, ImageSource& image, Reporter& reporter,
                         Clock& clock, PipeCallWatch* watch = nullptr, PipeCallLimits limits = {});

// What the controller needs from the platform: discovery, worker threads and pipe handles.
class PipeControllerEnvironment {
 public:
  virtual ~PipeControllerEnvironment() = default;
  // Finds the attached devices and opens both pipes of each. Returns how many are ready (0..16);
  // device i's pipes are then held for its worker.
  virtual int32_t OpenDevices() = 0;
  // The calling thread's last error code, taken right after OpenDevices gave 0.
  virtual uint32_t LastErrorCode() = 0;
  // The interface path discovery recorded for device i (empty when unknown).
  virtual std::string DevicePath(int32_t deviceIndex) {
    (void)deviceIndex;
    return {};
  }
  // Starts device i's worker, enrolled with `watchdog` before it runs, which from then on owns
  // the device's pipes. False when no worker could be started (nothing stays enrolled); the
  // pipes are then still the controller's.
  virtual bool StartWorker(int32_t deviceIndex, PipeWatchdog& watchdog) = 0;
  // Closes both pipes of device i, whose worker could not be started.
  virtual void CloseDevicePipes(int32_t deviceIndex) = 0;
};

enum class PipeDownloadResult {
  Devices,     // the workers ran; each device gave its own final report
  ImageError,  // the image cannot be opened or is 4 GiB or larger; no device was touched
  NoDevice,    // no device ready
  Cancelled,   // the watchdog was cancelled before any worker started
};

// Resets the dialog's counters, starts the elapsed timer, proves the image can be opened (and is
// below 4 GiB, the largest length the protocol carries), finds the devices and starts one worker
// each, then serves as the download's watchdog until the last worker has ended. Every path ends
// the download in the dialog: either the workers' final reports meet the expected count, or the
// controller itself posts the single STATUS_ERROR that ends it.
PipeDownloadResult RunPipeDownloadController(Reporter& reporter, ImageSource& image,
                                             PipeControllerEnvironment& environment,
                                             PipeWatchdog& watchdog);

}  // namespace pelorin
