// The bulk-pipe download, apart from any window or handle: the controller that checks the image,
// finds the devices and starts one worker per device, and the worker that sends the image to one
// device (magic, length, data, byte sum) and answers its verification messages. Both report only
// through Reporter and wait only through Clock; the pipes are PipeLinks. The Win32 thread entries
// (pipe_download_win32.cpp) wrap real handles and call these.
#pragma once

#include <cstdint>
#include <memory>

#include "download_report.h"
#include "image_source.h"
#include "pipe_protocol.h"

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

// Sends the image to device `deviceIndex` over `outPipe` and runs the verification handshake on
// `inPipe`. Takes ownership of both links and closes them (and its own image reader) before its
// one final report: STATUS_DEVICE_DONE, STATUS_CHECKSUMS_ERROR or STATUS_ERROR with the index.
// A message box, if any, comes after that report. Returns when the device's download has ended.
void RunPipeDeviceWorker(int32_t deviceIndex, std::unique_ptr<PipeLink> outPipe,
                         std::unique_ptr<PipeLink> inPipe, ImageSource& image, Reporter& reporter,
                         Clock& clock);

// What the controller needs from the platform: discovery, worker threads and pipe handles.
class PipeControllerEnvironment {
 public:
  virtual ~PipeControllerEnvironment() = default;
  // Finds the attached devices and opens both pipes of each. Returns how many are ready (0..16);
  // device i's pipes are then held for its worker.
  virtual int32_t OpenDevices() = 0;
  // The calling thread's last error code, taken right after OpenDevices gave 0.
  virtual uint32_t LastErrorCode() = 0;
  // Starts device i's worker, which from then on owns the device's pipes. False when no worker
  // could be started; the pipes are then still the controller's.
  virtual bool StartWorker(int32_t deviceIndex) = 0;
  // Closes both pipes of device i, whose worker could not be started.
  virtual void CloseDevicePipes(int32_t deviceIndex) = 0;
};

// Resets the dialog's counters, starts the elapsed timer, proves the image can be opened (and is
// below 4 GiB, the largest length the protocol carries), finds the devices and starts one worker
// each, then returns. Every path ends the download in the dialog: either the workers' final
// reports meet the expected count, or the controller itself posts the single STATUS_ERROR that
// ends it.
void RunPipeDownloadController(Reporter& reporter, ImageSource& image,
                               PipeControllerEnvironment& environment);

}  // namespace pelorin
