#include "pipe_download.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <string_view>
#include <system_error>
#include <thread>

namespace pelorin {
namespace {

inline constexpr uint64_t MAX_IMAGE_SIZE = 0xFFFFFFFFull;  // the length field is 32 bits

void StoreLittleEndian(uint32_t value, uint8_t* out) {
  out[0] = static_cast<uint8_t>(value);
  out[1] = static_cast<uint8_t>(value >> 8);
  out[2] = static_cast<uint8_t>(value >> 16);
  out[3] = static_cast<uint8_t>(value >> 24);
}

// The device's answers are compared as C strings of at most seven characters: a NUL among the
// first seven collected bytes ends the comparison early and so never matches (no answer holds a
// NUL), which a byte comparison of the seven bytes gives as well.
bool IsAnswer(const uint8_t* collected, const char (&answer)[ANSWER_SIZE + 1]) {
  return std::memcmp(collected, answer, ANSWER_SIZE) == 0;
}

// Stands in for the watchdog when a worker runs without one: calls are unbounded.
class UnboundedWatch : public PipeCallWatch {
 public:
  bool BeginCall(uint32_t) override { return true; }
  bool EndCall() override { return false; }
  void Leave() override {}
};

// How an in-pipe read went: bytes, a failed read (retried), or given up by the watchdog.
enum class ReadResult { Bytes, Failed, GivenUp };

class DeviceWorker {
 public:
  DeviceWorker(int32_t deviceIndex, std::unique_ptr<PipeLink> outPipe,
               std::unique_ptr<PipeLink> inPipe, ImageSource& image, Reporter& reporter,
               Clock& clock, PipeCallWatch* watch, PipeCallLimits limits)
      : deviceIndex_(deviceIndex),
        outPipe_(std::move(outPipe)),
        inPipe_(std::move(inPipe)),
        image_(image),
        reporter_(reporter),
        clock_(clock),
        watch_(watch != nullptr ? *watch : unbounded_),
        limits_(limits) {}

  void Run() {
    reporter_.DeviceStarted(deviceIndex_, clock_.TickCount());
    reader_ = image_.Open();
    if (!reader_ || reader_->Size() > MAX_IMAGE_SIZE) return EndImageFailure();
    imageSize_ = static_cast<uint32_t>(reader_->Size());

    if (!WriteItem(DOWNLOAD_MAGIC, DOWNLOAD_MAGIC_SIZE)) return EndSendFailure();
    clock_.Sleep(PAUSE_AFTER_MAGIC_MS);

    uint8_t length[DOWNLOAD_LENGTH_SIZE];
    StoreLittleEndian(imageSize_, length);
    if (!WriteItem(length, DOWNLOAD_LENGTH_SIZE)) return EndSendFailure();
    clock_.Sleep(PAUSE_AFTER_LENGTH_MS);

    if (!SendData()) return;  // ended already

    uint8_t sum[DOWNLOAD_BYTE_SUM_SIZE];
    StoreLittleEndian(imageByteSum_, sum);
    if (!WriteItem(sum, DOWNLOAD_BYTE_SUM_SIZE)) return EndSendFailure();
    answerDue_ = clock_.TickCount() + limits_.answerMs;  // the answers are due from the byte sum on

    Handshake();
  }

 private:
  // One protocol item as one write: it counts only when the pipe took all of it, before the
  // write limit.
  bool WriteItem(const uint8_t* data, uint32_t size) {
    if (!outPipe_ || !outPipe_->Valid()) return false;
    if (!watch_.BeginCall(clock_.TickCount() + limits_.writeMs)) return false;
    uint32_t written = 0;
    const bool ok = outPipe_->Write(data, size, &written);
    watch_.EndCall();
    return ok && written == size;
  }
  bool WriteItem(const char* text, uint32_t size) {
    return WriteItem(reinterpret_cast<const uint8_t*>(text), size);
  }

  // One read of the answer buffer, which must complete before the answer is overdue. An empty
  // read brings nothing and counts as a failed one.
  ReadResult ReadAnswer(uint8_t* buffer, uint32_t room, uint32_t* got) {
    *got = 0;
    if (static_cast<int32_t>(answerDue_ - clock_.TickCount()) <= 0) return ReadResult::GivenUp;
    if (!watch_.BeginCall(answerDue_)) return ReadResult::GivenUp;
    const bool ok = inPipe_->Read(buffer, room, got);
    const bool cancelled = watch_.EndCall();
    if (ok && *got > 0) return ReadResult::Bytes;
    return cancelled ? ReadResult::GivenUp : ReadResult::Failed;
  }

  // Fills `want` bytes of the transfer buffer from the image; a read failure, a read that does
  // not complete within its limit or an early end of the file (the image shrank since it was
  // opened) all mean the image cannot be sent whole.
  bool ReadChunk(uint32_t want) {
    uint32_t filled = 0;
    while (filled < want) {
      uint32_t got = 0;
      if (!watch_.BeginCall(clock_.TickCount() + limits_.imageReadMs)) return false;
      const bool ok = reader_->Read(buffer_.get() + filled, want - filled, &got);
      watch_.EndCall();  // a read that completed all the same brought its bytes
      if (!ok) return false;
      if (got == 0 || got > want - filled) return false;
      filled += got;
    }
    return true;
  }

  // One write per chunk of PIPE_CHUNK_SIZE; the last write is shorter, of zero length when the
  // size is a multiple of the chunk. Exactly imageSize_ bytes go out, the count the length
  // announced, however the file changes meanwhile. False when the device's download has ended.
  bool SendData() {
    buffer_.reset(new (std::nothrow) uint8_t[PIPE_CHUNK_SIZE]);
    uint32_t remaining = imageSize_;
    for (;;) {
      if (!buffer_ || !outPipe_->Valid()) {
        EndSendFailure();
        return false;
      }
      const uint32_t want = remaining < PIPE_CHUNK_SIZE ? remaining : PIPE_CHUNK_SIZE;
      if (!ReadChunk(want)) {
        EndImageFailure();
        return false;
      }
      if (!WriteItem(buffer_.get(), want)) {
        EndSendFailure();
        return false;
      }
      imageByteSum_ += ByteSum(buffer_.get(), want);
      remaining -= want;
      bytesSent_ += want;
      reporter_.DeviceSent(deviceIndex_, bytesSent_, imageSize_, clock_.TickCount());
      // An empty image is wholly sent by its one zero-length write.
      reachedPercent_ =
          imageSize_ == 0
              ? 100
              : static_cast<int32_t>(static_cast<uint64_t>(bytesSent_) * 100 / imageSize_);
      PostProgress(false);
      if (want != PIPE_CHUNK_SIZE) break;
    }
    buffer_.reset();
    return true;
  }

  // Collects the device's 7-byte answers and replies until the device has given its verdict.
  void Handshake() {
    std::unique_ptr<uint8_t[]> answer;
    uint32_t collected = 0;
    bool received = false;  // the first "RECEIVE" came (and restarted the answer limit)
    for (;;) {
      if (!answer) {
        answer.reset(new (std::nothrow) uint8_t[HANDSHAKE_BUFFER_SIZE]());
        collected = 0;
        if (!answer) return EndLinkFailure();
      }
      if (!inPipe_ || !inPipe_->Valid()) return EndLinkFailure();

      uint32_t got = 0;
      const uint32_t room = HANDSHAKE_BUFFER_SIZE - collected;
      const ReadResult read = ReadAnswer(answer.get() + collected, room, &got);
      // No verdict within the answer limit (a device that hangs, stays silent or talks without
      // answering), or the operator stopped: given up.
      if (read == ReadResult::GivenUp) return EndLinkFailure();
      if (read == ReadResult::Failed) {
        // A device that stopped talking (unplugged while verifying) is asked again after a
        // pause, until its answer is overdue.
        clock_.Sleep(IN_PIPE_RETRY_PAUSE_MS);
        continue;
      }
      collected += got < room ? got : room;
      if (collected < ANSWER_SIZE) continue;

      if (IsAnswer(answer.get(), ANSWER_RECEIVE)) {
        // The device's verdict decides the outcome, not this reply: a device that is gone
        // shows as in-pipe reads that keep failing, one that hangs as silence.
        WriteItem(REPLY_RECEIVED, REPLY_SIZE);
        reporter_.PostStatus(STATUS_VERIFYING, 0);
        // The device verifies now: its verdict is due within a whole limit from here, once.
        if (!received) answerDue_ = clock_.TickCount() + limits_.answerMs;
        received = true;
      } else if (IsAnswer(answer.get(), ANSWER_VERIFY_OK)) {
        // The verdict is in; a lost acknowledgement does not change it.
        WriteItem(REPLY_VERIFIED, REPLY_SIZE);
        return End(DeviceOutcome::Verified, STATUS_DEVICE_DONE, 0, {}, {});
      } else if (IsAnswer(answer.get(), ANSWER_VERIFY_ERROR)) {
        WriteItem(REPLY_VERIFIED, REPLY_SIZE);
        return End(DeviceOutcome::VerificationError, STATUS_CHECKSUMS_ERROR, deviceIndex_,
                   TEXT_VERIFY_ERROR, CAPTION_VERIFY_ERROR);
      }
      // Bytes collected beyond the first answer are dropped with it.
      answer.reset();
    }
  }

  // Posts the percentage reached when it differs from the one posted last: the first one and 100
  // at once, others at most every PROGRESS_POST_INTERVAL_MS (a write that leaves the percentage
  // as it was would show the same bar), and whatever was reached when the device ends.
  void PostProgress(bool ending) {
    if (reachedPercent_ == postedPercent_) return;
    const uint32_t now = clock_.TickCount();
    if (!ending && postedPercent_ >= 0 && reachedPercent_ < 100 &&
        now - lastProgressPost_ < PROGRESS_POST_INTERVAL_MS)
      return;
    reporter_.PostProgress(deviceIndex_, reachedPercent_);
    postedPercent_ = reachedPercent_;
    lastProgressPost_ = now;
  }

  void EndImageFailure() {
    End(DeviceOutcome::ImageError, STATUS_ERROR, deviceIndex_, TEXT_IMAGE_NOT_OPENED,
        CAPTION_FILE_ERROR);
  }
  void EndSendFailure() {
    End(DeviceOutcome::LinkError, STATUS_ERROR, deviceIndex_, TEXT_CHECK_CABLE,
        CAPTION_LINK_ERROR_3);
  }
  void EndLinkFailure() {
    End(DeviceOutcome::LinkError, STATUS_ERROR, deviceIndex_, TEXT_CHECK_CABLE, CAPTION_LINK_ERROR);
  }

  // Every ending: the pipes and the image are closed before the one final report, so that the
  // dialog, once it has counted the device, can start a new download on free pipes; the box
  // (if any) comes after it, as it blocks this thread until the operator dismisses it. The
  // worker leaves the watch last: whoever waits for the download's workers to leave (the
  // headless front end) has then seen every report of this device.
  void End(DeviceOutcome outcome, int32_t code, int32_t lParam, std::string_view text,
           std::string_view caption) {
    outPipe_.reset();
    inPipe_.reset();
    reader_.reset();
    buffer_.reset();
    PostProgress(true);  // the bar keeps the position the device reached
    reporter_.DeviceEnded(deviceIndex_, outcome, clock_.TickCount(), text);
    reporter_.PostStatus(code, lParam);
    if (!text.empty()) reporter_.ShowStopBox(text, caption);
    watch_.Leave();
  }

  const int32_t deviceIndex_;
  std::unique_ptr<PipeLink> outPipe_;
  std::unique_ptr<PipeLink> inPipe_;
  ImageSource& image_;
  Reporter& reporter_;
  Clock& clock_;
  UnboundedWatch unbounded_;
  PipeCallWatch& watch_;
  const PipeCallLimits limits_;
  std::unique_ptr<ImageReader> reader_;
  std::unique_ptr<uint8_t[]> buffer_;  // the transfer buffer, PIPE_CHUNK_SIZE bytes
  uint32_t imageSize_ = 0;
  uint32_t bytesSent_ = 0;
  uint32_t imageByteSum_ = 0;
  uint32_t answerDue_ = 0;  // the tick by which the device's answers must have come
  int32_t reachedPercent_ = -1;  // of the image sent; -1 before the first data write
  int32_t postedPercent_ = -1;
  uint32_t lastProgressPost_ = 0;
};

// The controller's own two failures end the download as one failed device would: expected
// devices 1, the timer stopped, one STATUS_ERROR, then the box.
void EndControllerFailure(Reporter& reporter, std::string_view text, std::string_view caption) {
  reporter.SetExpectedDevices(1);
  reporter.StopElapsedTimer();
  reporter.PostStatus(STATUS_ERROR, 0);
  reporter.ShowStopBox(text, caption);
}

}  // namespace

// In a local the compiler keeps in a register and vectorises (a sum into a member or through a
// pointer is stored back at every byte).
uint32_t ByteSum(const uint8_t* data, uint32_t size) {
  uint32_t sum = 0;
  for (uint32_t i = 0; i < size; ++i) sum += data[i];
  return sum;
}

void RunPipeDeviceWorker(int32_t deviceIndex, std::unique_ptr<PipeLink> outPipe,
                         std::unique_ptr<PipeLink> inPipe, ImageSource& image, Reporter& reporter,
                         Clock& clock, PipeCallWatch* watch, PipeCallLimits limits) {
  DeviceWorker(deviceIndex, std::move(outPipe), std::move(inPipe), image, reporter, clock, watch,
               limits)
      .Run();
}

PipeDownloadResult RunPipeDownloadController(Reporter& reporter, ImageSource& image,
                                             PipeControllerEnvironment& environment,
                                             PipeWatchdog& watchdog) {
  reporter.ResetDeviceCounters();
  reporter.StartElapsedTimer();

  {
    // The open only proves that the image can be read; each worker opens its own.
    std::unique_ptr<ImageReader> reader = image.Open();
    if (!reader || reader->Size() > MAX_IMAGE_SIZE) {
      EndControllerFailure(reporter, TEXT_IMAGE_NOT_OPENED, CAPTION_FILE_ERROR);
      return PipeDownloadResult::ImageError;
    }
  }
  reporter.PostStatus(STATUS_CONFIGURATION, 0);

  // Only the headless front end cancels; it reads the result, not the posts. Once cancelled, no
  // device is looked for or opened any more.
  if (watchdog.cancelled()) return PipeDownloadResult::Cancelled;
  int32_t count = environment.OpenDevices();
  if (count > MAX_PIPE_DEVICES) count = MAX_PIPE_DEVICES;
  if (watchdog.cancelled()) {
    for (int32_t i = 0; i < count; ++i) environment.CloseDevicePipes(i);
    return PipeDownloadResult::Cancelled;
  }
  if (count <= 0) {
    const uint32_t code = environment.LastErrorCode();
    char text[160];
    std::snprintf(text, sizeof text, FORMAT_NO_DEVICE, static_cast<int>(code), OUT_PIPE_NAME);
    EndControllerFailure(reporter, text, CAPTION_LINK_ERROR);
    return PipeDownloadResult::NoDevice;
  }

  for (int32_t i = 0; i < count; ++i) reporter.DeviceReady(i, environment.DevicePath(i));
  reporter.SetExpectedDevices(count);
  reporter.PostStatus(STATUS_SEND_IMAGE, 0);
  bool anyNotStarted = false;
  for (int32_t i = 0; i < count; ++i) {
    if (environment.StartWorker(i, watchdog)) continue;
    // The device's one final report comes from here, as its worker will never give it.
    environment.CloseDevicePipes(i);
    reporter.DeviceEnded(i, DeviceOutcome::NotStarted, 0, TEXT_NO_THREAD);
    reporter.PostStatus(STATUS_ERROR, i);
    anyNotStarted = true;
  }
  if (anyNotStarted) {
    // The box blocks until the operator dismisses it, and the started workers' calls stay
    // watched meanwhile: the box waits on a thread of its own while this one watches.
    std::thread box;
    try {
      box = std::thread([&reporter] { reporter.ShowAppBox(TEXT_NO_THREAD, BoxIcon::Stop); });
    } catch (const std::system_error&) {
      // No thread for the box either: the box after the watch, as nothing else is left.
    }
    watchdog.Run();
    if (box.joinable()) {
      box.join();
    } else {
      reporter.ShowAppBox(TEXT_NO_THREAD, BoxIcon::Stop);
    }
    return PipeDownloadResult::Devices;
  }
  watchdog.Run();
  return PipeDownloadResult::Devices;
}

}  // namespace pelorin
