#include "control_pipe_download.h"

#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "driver_service_client.h"

namespace pelorin {

uint32_t WordChecksum(const uint8_t* data, uint32_t size) {
  uint32_t sum = 0;
  for (uint32_t i = 0; i + 4 <= size; i += 4) {
    uint32_t word;
    std::memcpy(&word, data + i, 4);  // the host is little-endian (driver_records.h)
    sum += word;
  }
  return sum;
}

void ImageWordSum::Add(const uint8_t* data, uint32_t size, bool last) {
  if (!last || size % CONTROL_PIPE_PACKET_SIZE == 0) {
    sum_ += WordChecksum(data, size);
    return;
  }
  std::vector<uint8_t> padded(data, data + size);
  padded.resize((size + CONTROL_PIPE_PACKET_SIZE - 1) / CONTROL_PIPE_PACKET_SIZE *
                    CONTROL_PIPE_PACKET_SIZE,
                PAD_BYTE);
  sum_ += WordChecksum(padded.data(), static_cast<uint32_t>(padded.size()));
}

namespace {

class Download {
 public:
  Download(DriverTransport& transport, Reporter& reporter, Clock& clock, ImageSource& source,
           ControlPipeDownloadFaults faults)
      : client_(transport, reporter),
        reporter_(reporter),
        clock_(clock),
        source_(source),
        faults_(faults) {}

  ControlPipeResult Run();

 private:
  // Ends the download. `outcome` is the device's, once it is open.
  ControlPipeResult Fail(ControlPipeResult result, DeviceOutcome outcome, const char* text,
                         const char* caption);
  ControlPipeResult Fail(ControlPipeResult result, const char* text, const char* caption) {
    return Fail(result, DeviceOutcome::LinkError, text, caption);
  }
  ControlPipeResult FailLink(const char* text) {
    return Fail(ControlPipeResult::Failed, DeviceOutcome::LinkError, text, "에러");
  }
  ControlPipeResult FailChecksum() {
    return Fail(ControlPipeResult::Failed, DeviceOutcome::VerificationError, "Checksum Error",
                "에러");
  }
  ControlPipeResult FailImage() {
    return Fail(ControlPipeResult::ImageError, DeviceOutcome::ImageError,
                "이미지 파일을 열수 없습니다.", "파일 에러");
  }
  ControlPipeResult Succeed();
  bool Write(const SetupPacket& request) {
    return client_.ControlWrite(device_, nullptr, 0, request) != -1;
  }
  // Reads an 8-byte checksum reply; false when the read fails or brings fewer than 4 bytes.
  bool ReadChecksum(const SetupPacket& request, uint32_t* sum);

  DriverServiceClient client_;
  Reporter& reporter_;
  Clock& clock_;
  ImageSource& source_;
  ControlPipeDownloadFaults faults_;

  std::unique_ptr<ImageReader> image_;
  std::unique_ptr<uint8_t[]> block_;
  UsbDeviceHandle* device_ = nullptr;
  bool sendEndDue_ = false;  // a SetSubSend of the current block was accepted
};

ControlPipeResult Download::Run() {
  // This thread is the download's only device: the dialog ends it on its one final report.
  reporter_.ResetDeviceCounters();
  reporter_.SetExpectedDevices(1);

  DriverChannel channel;
  if (!client_.OpenChannel(&channel))
    return Fail(ControlPipeResult::NoService, "USB Driver Fail.", "에러");
  client_.CloseChannel(channel);

  reporter_.StartElapsedTimer();
  image_ = source_.Open();
  if (!image_) return FailImage();
  reporter_.PostStatus(STATUS_CONFIGURATION, 0);

  if (!faults_.blockAllocationFails)
    block_.reset(new (std::nothrow) uint8_t[CONTROL_PIPE_BLOCK_SIZE]);
  if (!block_)
    return Fail(ControlPipeResult::Failed, "USB Cable 연결을 확인해 보세요.", "연결 에러3");
  // PAY_LOAD goes out of this buffer before the first block is read into it.
  std::memset(block_.get(), PAD_BYTE, CONTROL_PIPE_BLOCK_SIZE);

  device_ = client_.FindAndOpenDevice(true);
  if (device_ == nullptr) return Fail(ControlPipeResult::NoDevice, "Device Open Fail.", "Error");
  reporter_.DeviceReady(0, DRIVER_SERVICE_DEVICE_NAME);
  reporter_.DeviceStarted(0, clock_.TickCount());

  if (!Write(SET_RESEND_ALL)) return FailLink("SetResendAll Error");
  if (client_.Pipe1Write(device_, block_.get(), CONTROL_PIPE_PACKET_SIZE) == -1)
    return FailLink("PAY_LOAD Error");
  if (!Write(SET_RESEND_ALL)) return FailLink("SetResendAll_2 Error");
  reporter_.PostStatus(STATUS_SEND_IMAGE, 0);
  reporter_.PostStatus(STATUS_SEND_LENGTH, 0);

  // A file that ends before the size it had when it was opened was cut short while being read.
  const uint64_t imageSize = image_->Size();
  uint64_t imageRead = 0;
  uint32_t imageSum = 0;
  uint32_t blockStart = clock_.TickCount();
  std::memset(block_.get(), PAD_BYTE, CONTROL_PIPE_BLOCK_SIZE);
  for (;;) {
    sendEndDue_ = false;
    uint32_t got = 0;
    if (!image_->Read(block_.get(), CONTROL_PIPE_BLOCK_SIZE, &got) || got > CONTROL_PIPE_BLOCK_SIZE)
      return FailImage();
    imageRead += got;
    if (got < CONTROL_PIPE_BLOCK_SIZE && imageRead < imageSize) return FailImage();
    // A short last block goes out padded to whole packets with the buffer's '0' fill.
    uint32_t blockSize =
        (got + CONTROL_PIPE_PACKET_SIZE - 1) / CONTROL_PIPE_PACKET_SIZE * CONTROL_PIPE_PACKET_SIZE;
    uint32_t blockSum = WordChecksum(block_.get(), blockSize);

    if (!Write(SET_SUB_SEND)) return FailLink("SetSubSend Error");
    sendEndDue_ = true;
    for (uint32_t offset = 0; offset < blockSize; offset += CONTROL_PIPE_PACKET_SIZE) {
      // A packet the service reports as shorter than asked is lost data: the block is not resent.
      if (client_.Pipe1Write(device_, block_.get() + offset, CONTROL_PIPE_PACKET_SIZE) !=
          static_cast<int32_t>(CONTROL_PIPE_PACKET_SIZE))
        return FailLink("Connect Check");
    }
    if (!Write(SET_SUB_CHECKSUM)) return FailLink("SetSubChecksum Error");
    uint32_t deviceSum;
    if (!ReadChecksum(GET_SUB_CHECKSUM_CNT, &deviceSum)) return FailLink("GetSubChecksumCnt Error");
    if (deviceSum != blockSum) return FailChecksum();
    imageSum += blockSum;
    const uint32_t now = clock_.TickCount();
    reporter_.DeviceSent(0, imageRead, imageSize, now);
    reporter_.PostStatus(STATUS_BLOCK_SENT, static_cast<int32_t>(now - blockStart));

    if (blockSize != CONTROL_PIPE_BLOCK_SIZE) break;
    blockStart = clock_.TickCount();
    std::memset(block_.get(), PAD_BYTE, CONTROL_PIPE_BLOCK_SIZE);
  }

  block_.reset();
  sendEndDue_ = true;
  if (!Write(SET_CHECKSUM)) return FailLink("SetChecksum Check");
  uint32_t deviceSum;
  if (!ReadChecksum(GET_CHECKSUM_CNT, &deviceSum)) return FailLink("GetChecksumCnt Check");
  if (deviceSum != imageSum) return FailChecksum();
  return Succeed();
}

bool Download::ReadChecksum(const SetupPacket& request, uint32_t* sum) {
  uint8_t reply[8] = {};
  int32_t got = client_.ControlRead(device_, reply, sizeof reply, request);
  if (got < 4) return false;  // -1, or too short to hold the sum
  std::memcpy(sum, reply, 4);
  return true;
}

ControlPipeResult Download::Succeed() {
  reporter_.StopElapsedTimer();
  Write(SET_SEND_END);  // the device is closed whatever it answers
  client_.CloseDevice(device_);
  device_ = nullptr;
  image_.reset();
  reporter_.DeviceEnded(0, DeviceOutcome::Verified, clock_.TickCount(), {});
  reporter_.PostStatus(STATUS_CHECKSUMS_OK, 0);
  return ControlPipeResult::Verified;
}

ControlPipeResult Download::Fail(ControlPipeResult result, DeviceOutcome outcome, const char* text,
                                 const char* caption) {
  block_.reset();
  reporter_.StopElapsedTimer();
  const bool deviceWasOpen = device_ != nullptr;
  if (deviceWasOpen) {
    if (sendEndDue_) Write(SET_SEND_END);
    client_.CloseDevice(device_);
    device_ = nullptr;
  }
  image_.reset();
  if (deviceWasOpen) reporter_.DeviceEnded(0, outcome, clock_.TickCount(), text);
  reporter_.PostStatus(STATUS_ERROR, 0);
  reporter_.ShowStopBox(text, caption);
  return result;
}

}  // namespace

ControlPipeResult ControlPipeDownload(DriverTransport& transport, Reporter& reporter, Clock& clock,
                                      ImageSource& image, ControlPipeDownloadFaults faults) {
  Download download(transport, reporter, clock, image, faults);
  return download.Run();
}

}  // namespace pelorin
