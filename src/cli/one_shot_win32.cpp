#include "one_shot_win32.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "console_win32.h"
#include "control_pipe_download.h"
#include "device_activity.h"
#include "driver_transport_win32.h"
#include "pinned_image_win32.h"
#include "pipe_discovery_win32.h"
#include "pipe_download_win32.h"
#include "pipe_interfaces_win32.h"
#include "scoped_handle_win32.h"
#include "text_win32.h"

namespace pelorin::cli {
namespace {

constexpr uint32_t PROGRESS_INTERVAL_MS = 250;

static_assert(station::PINNED_READ_CHUNK % CONTROL_PIPE_BLOCK_SIZE == 0,
              "only the image's last piece may need the padding");

// The dialog's reports, told on the console: boxes on standard error, each device's line as it
// ends. Shared by every download thread. Once every device the download expects has ended, the
// run's result is settled: a later Ctrl+C no longer changes it.
class ConsoleReporter : public ConsoleBoxes {
 public:
  ConsoleReporter(DeviceActivityBoard& board, uint32_t download, RunCancellation& cancellation)
      : ConsoleBoxes(&board, download), board_(board), cancellation_(cancellation) {}
  void Control(DownloadControl request, int32_t argument) override {
    if (request != CONTROL_SET_EXPECTED) return;
    std::lock_guard lock(mutex_);
    expected_ = argument;
  }
  void DeviceEnded(int32_t device, DeviceOutcome outcome, uint32_t tick,
                   std::string_view message) override {
    ConsoleBoxes::DeviceEnded(device, outcome, tick, message);
    Console::Get().Line(DeviceLine(device, board_.Device(device)));
    std::lock_guard lock(mutex_);
    if (++ended_ >= expected_) cancellation_.Settle();
  }

 private:
  DeviceActivityBoard& board_;
  RunCancellation& cancellation_;
  std::mutex mutex_;
  int32_t expected_ = 0;  // devices the download expects to end
  int32_t ended_ = 0;
};

// Rewrites the progress line until stopped.
class ProgressTicker {
 public:
  explicit ProgressTicker(const DeviceActivityBoard& board) : board_(board) {
    if (!Console::Get().errIsConsole()) return;
    thread_ = std::thread([this] {
      std::unique_lock lock(mutex_);
      while (!stop_) {
        changed_.wait_for(lock, std::chrono::milliseconds(PROGRESS_INTERVAL_MS));
        if (stop_) break;
        std::vector<DeviceActivity> devices;
        for (int32_t i = 0; i < PROGRESS_BAR_COUNT; ++i) {
          DeviceActivity d = board_.Device(i);
          if (d.ready) devices.push_back(d);
        }
        if (!devices.empty()) Console::Get().Progress(ProgressLine(devices, GetTickCount()));
      }
    });
  }
  ~ProgressTicker() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
  }

 private:
  const DeviceActivityBoard& board_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool stop_ = false;
  std::thread thread_;
};

// A record left at the path by an earlier run must never stand for this one: it goes before any
// device is touched. False when something stands there that cannot be removed.
bool RemoveOldRecord(const std::string& target, DWORD* error) {
  if (target.empty() || target == "-") return true;
  if (DeleteFileW(Utf8ToWide(target).c_str())) return true;
  *error = GetLastError();
  return *error == ERROR_FILE_NOT_FOUND || *error == ERROR_PATH_NOT_FOUND;
}

// Writes the record to `target` ("-": standard output) through a temporary file that is renamed
// over it, so that a reader never sees half a record. False, with the reason, when it could not
// be written whole.
bool WriteRecord(const std::string& target, const std::string& json, std::string* reason) {
  if (target == "-") {
    if (Console::Get().Out(json)) return true;
    *reason = "standard output: " + ErrorText(GetLastError());
    return false;
  }
  const std::wstring path = Utf8ToWide(target);
  const std::wstring temporary = path + L".tmp" + std::to_wstring(GetCurrentProcessId());
  {
    ScopedHandle file(CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
      *reason = ErrorText(GetLastError());
      return false;
    }
    const std::string text = json + "\n";
    DWORD written = 0;
    if (!WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) ||
        written != text.size() || !FlushFileBuffers(file.get())) {
      *reason = ErrorText(GetLastError());
      file.Reset();
      DeleteFileW(temporary.c_str());
      return false;
    }
  }
  if (!MoveFileExW(temporary.c_str(), path.c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    *reason = ErrorText(GetLastError());
    DeleteFileW(temporary.c_str());
    return false;
  }
  return true;
}

}  // namespace

int RunList() {
  // The listing a station makes: it opens nothing, not even the interface.
  std::vector<PipeInterface> interfaces;
  if (!ListPipeInterfaces(PIPE_DEVICE_INTERFACE_GUID, &interfaces)) return EXIT_NO_DEVICE;
  for (size_t i = 0; i < interfaces.size(); ++i) {
    const PipeInterface& found = interfaces[i];
    Console::Get().Out(ListLine(i, {AnsiToUtf8(found.path), found.instance, found.port, {}}));
  }
  return interfaces.empty() ? EXIT_NO_DEVICE : EXIT_VERIFIED;
}

int RunDownload(const Options& options, Cancellation& cancellation) {
  Console& console = Console::Get();
  if (options.jsonPath == "-") console.SendLinesToErr();
  DWORD removeError = 0;
  if (!RemoveOldRecord(options.jsonPath, &removeError)) {
    console.Err(std::string(CLI_NAME) + ": cannot remove the old record " + options.jsonPath +
                " (" + ErrorText(removeError) + "); nothing was sent");
    return EXIT_USAGE;
  }

  const auto startedAt = std::chrono::system_clock::now();
  const uint32_t startTick = GetTickCount();
  RunRecord record;
  record.family = options.family;
  record.started = IsoTime(
      std::chrono::duration_cast<std::chrono::seconds>(startedAt.time_since_epoch()).count());
  const std::wstring image = Utf8ToWide(options.setup.imagePath);
  record.image.path = FullPathUtf8(image);

  RunFacts facts;
  const bool driver = options.family == Family::Driver;
  DeviceActivityBoard board;
  const uint32_t download = board.Begin();
  // Held until the run ends: nobody can change the image while the devices are sent it, and
  // they are sent what is read here.
  using station::PinnedImage;
  PinnedImage pinned;
  PinnedImage::Pass pass = PinnedImage::Pass::Failed;
  if (pinned.Open(image)) {
    record.image.size = pinned.size();
    if (pinned.size() <= 0xFFFFFFFFull) {  // else refused unread: the length field is 32 bits
      PinnedImage::Sums sums;
      ImageWordSum words;
      std::function<void(const uint8_t*, uint32_t, bool)> piece;
      if (driver) {
        piece = [&words](const uint8_t* data, uint32_t size, bool last) {
          words.Add(data, size, last);
        };
      }
      pass = pinned.Summarise(false, cancellation.requestedFlag(), &sums, piece);
      record.image.byteSum = sums.byteSum;
      if (driver && pass == PinnedImage::Pass::Done) record.image.wordSum = words.sum();
    }
  }
  if (pass == PinnedImage::Pass::Failed) {
    console.Err(BoxLine(CAPTION_FILE_ERROR, TEXT_IMAGE_NOT_OPENED));
    facts.imageError = true;
  } else if (pass == PinnedImage::Pass::Done) {
    // Held by every download thread from its start to its end.
    const auto reporter = std::make_shared<ConsoleReporter>(board, download, cancellation.run());
    station::PinnedImageSource source(pinned);
    CancellableClock clock(cancellation.event());
    ProgressTicker ticker(board);
    if (driver) {
      // Ctrl+C cancels the request under way with CancelIoEx on its channel.
      Win32DriverTransport service;
      CancellableDriverTransport transport(service, [](DriverChannel channel) {
        CancelIoEx(reinterpret_cast<HANDLE>(channel), nullptr);
      });
      cancellation.Watch(&transport);
      const ControlPipeResult result = ControlPipeDownload(transport, *reporter, clock, source);
      cancellation.Watch(nullptr);
      facts.noDevice =
          result == ControlPipeResult::NoService || result == ControlPipeResult::NoDevice;
      facts.imageError = result == ControlPipeResult::ImageError;
    } else {
      DownloadJob job;
      job.fileName = image;
      job.image = &source;
      job.reporter = reporter;
      job.clock = &clock;
      auto watchdog = std::make_shared<PipeWatchdog>();
      cancellation.Watch(watchdog);
      const PipeDownloadResult result = RunPipeDownload(&job, *watchdog, options.setup.limits);
      cancellation.Watch(std::shared_ptr<PipeWatchdog>());
      facts.noDevice = result == PipeDownloadResult::NoDevice;
      facts.imageError = result == PipeDownloadResult::ImageError;
    }
  }
  // Every device has ended (the download returns only once its last worker has made its last
  // report): a Ctrl+C from here on changes nothing.
  facts.cancelled = cancellation.run().Settle();
  for (int32_t i = 0; i < PROGRESS_BAR_COUNT; ++i) {
    DeviceActivity device = board.Device(i);
    if (!device.ready) continue;
    facts.devices.push_back(device);
    record.indices.push_back(i);
    record.devices.push_back(device);
  }
  record.result = Decide(facts);
  record.seconds = (GetTickCount() - startTick) / 1000.0;
  console.Line(SummaryLine(record));
  bool written = true;
  if (!options.jsonPath.empty()) {
    std::string reason;
    written = WriteRecord(options.jsonPath, RecordJson(record), &reason);
    if (!written) {
      console.Err(std::string(CLI_NAME) + ": the record was not written to " + options.jsonPath +
                  " (" + reason + "); the devices' results stand");
    }
  }
  return ExitStatus(record.result, written);
}

}  // namespace pelorin::cli
