// PelorinCli.exe: the headless front end for automated stations. The same downloads as the
// dialog (discovery, the bulk-pipe workers with their watchdog, or the control-pipe download),
// reported on the console and in a JSON record instead of a window: one line per device as it
// ends, a summary line, a progress line on a console, and the boxes the dialog would show as
// "CAPTION: TEXT" on standard error. See cli_core.h for the arguments, exit statuses and record.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cli_core.h"
#include "control_pipe_download.h"
#include "device_activity.h"
#include "driver_transport_win32.h"
#include "file_image_source_win32.h"
#include "pipe_discovery_win32.h"
#include "pipe_download_win32.h"
#include "scoped_handle_win32.h"
#include "text_win32.h"

namespace pelorin::cli {
namespace {

constexpr uint32_t PROGRESS_INTERVAL_MS = 250;
// A whole number of the control-pipe download's blocks, so that only the last read needs the
// padding its last block gets.
constexpr uint32_t IMAGE_READ_CHUNK = 25 * CONTROL_PIPE_BLOCK_SIZE;

// Standard output and standard error: the console's wide API on a console (so that Korean texts
// show on any code page), UTF-8 bytes when redirected. Lines from several threads never mix.
class Console {
 public:
  Console() {
    out_ = GetStdHandle(STD_OUTPUT_HANDLE);
    err_ = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    outIsConsole_ = GetConsoleMode(out_, &mode) != FALSE;
    errIsConsole_ = GetConsoleMode(err_, &mode) != FALSE;
  }
  bool errIsConsole() const { return errIsConsole_; }
  // With the record on standard output, the device and summary lines go to standard error.
  void SendLinesToErr() { linesToErr_ = true; }

  void Out(const std::string& line) { WriteLine(out_, outIsConsole_, line); }
  // A device or summary line.
  void Line(const std::string& line) { linesToErr_ ? Err(line) : Out(line); }
  void Err(const std::string& line) { WriteLine(err_, errIsConsole_, line); }
  // Rewrites the progress line in place (standard error on a console only).
  void Progress(const std::string& line) {
    if (!errIsConsole_) return;
    std::lock_guard lock(mutex_);
    std::string text = "\r" + line;
    if (line.size() < progressWidth_) text += std::string(progressWidth_ - line.size(), ' ');
    progressWidth_ = line.size();
    Write(err_, true, text);
  }

 private:
  void WriteLine(HANDLE handle, bool console, const std::string& line) {
    std::lock_guard lock(mutex_);
    if (progressWidth_ != 0) {  // clear the progress line first
      std::string blank(progressWidth_ + 2, ' ');
      blank.front() = blank.back() = '\r';
      Write(err_, true, blank);
      progressWidth_ = 0;
    }
    Write(handle, console, line + "\n");
  }
  static void Write(HANDLE handle, bool console, const std::string& text) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE || text.empty()) return;
    DWORD done = 0;
    if (console) {
      const std::wstring wide = Utf8ToWide(text);
      WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &done, nullptr);
    } else {
      WriteFile(handle, text.data(), static_cast<DWORD>(text.size()), &done, nullptr);
    }
  }

  HANDLE out_, err_;
  bool outIsConsole_ = false, errIsConsole_ = false;
  bool linesToErr_ = false;
  std::mutex mutex_;
  size_t progressWidth_ = 0;
};

Console& TheConsole() {
  static Console* console = new Console();  // download threads may still print while main ends
  return *console;
}

// Ctrl+C: set once, from the console's handler thread.
std::atomic<bool> cancelRequested{false};
HANDLE cancelEvent = nullptr;                  // set on Ctrl+C: pauses end at once
std::shared_ptr<PipeWatchdog> activeWatchdog;  // the pipe download's, while it runs
std::mutex activeMutex;

// Pauses that Ctrl+C cuts short; ticks from GetTickCount.
class CancellableClock : public Clock {
 public:
  void Sleep(uint32_t milliseconds) override { WaitForSingleObject(cancelEvent, milliseconds); }
  uint32_t TickCount() override { return GetTickCount(); }
};

// The dialog's reports, told on the console: boxes on standard error, each device's line on
// standard output as it ends. Shared by every download thread.
class ConsoleReporter : public BoardReporter {
 public:
  ConsoleReporter(DeviceActivityBoard& board, uint32_t download)
      : BoardReporter(&board, download), board_(board) {}
  void PostStatus(int32_t, int32_t) override {}
  void PostProgress(int32_t, int32_t) override {}
  void Control(DownloadControl, int32_t) override {}
  void ShowStopBox(std::string_view text, std::string_view caption) override {
    TheConsole().Err(BoxLine(std::string(caption), std::string(text)));
  }
  void ShowAppBox(std::string_view text, BoxIcon) override {
    TheConsole().Err(BoxLine(CLI_NAME, std::string(text)));
  }
  void DeviceEnded(int32_t device, DeviceOutcome outcome, uint32_t tick,
                   std::string_view message) override {
    BoardReporter::DeviceEnded(device, outcome, tick, message);
    TheConsole().Line(DeviceLine(device, board_.Device(device)));
  }

 private:
  DeviceActivityBoard& board_;
};

// The driver transport, cancelled by Ctrl+C: the pending request is cancelled and no channel
// opens any more, so the download ends at its next request.
class CancellableDriverTransport : public DriverTransport {
 public:
  DriverChannel OpenChannel() override {
    if (cancelRequested) return INVALID_CHANNEL;
    return inner_.OpenChannel();
  }
  void CloseChannel(DriverChannel channel) override { inner_.CloseChannel(channel); }
  bool StartRequest(DriverChannel channel, uint32_t code, void* record, uint32_t size,
                    uint32_t* status) override {
    {
      std::lock_guard lock(mutex_);
      current_ = channel;
    }
    return inner_.StartRequest(channel, code, record, size, status);
  }
  void FinishRequest(DriverChannel channel) override {
    inner_.FinishRequest(channel);
    std::lock_guard lock(mutex_);
    current_ = INVALID_CHANNEL;
  }
  // From the Ctrl+C handler's thread.
  void Cancel() {
    std::lock_guard lock(mutex_);
    if (current_ != INVALID_CHANNEL) CancelIoEx(reinterpret_cast<HANDLE>(current_), nullptr);
  }

 private:
  Win32DriverTransport inner_;
  std::mutex mutex_;
  DriverChannel current_ = INVALID_CHANNEL;  // the channel of the request under way
};
CancellableDriverTransport* activeTransport = nullptr;  // guarded by activeMutex

BOOL WINAPI OnConsoleControl(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  cancelRequested = true;
  SetEvent(cancelEvent);
  std::lock_guard lock(activeMutex);
  if (activeWatchdog) activeWatchdog->CancelAll();  // every blocked pipe call returns at once
  if (activeTransport != nullptr) activeTransport->Cancel();
  return TRUE;
}

// Size and sums of the image as this program reads it (before and after the download, to see
// whether it changed meanwhile). False when it cannot be read.
bool ReadImageFacts(const std::wstring& path, bool wordSum, ImageFacts* facts) {
  FileImageSource source(path);
  std::unique_ptr<ImageReader> reader = source.Open();
  if (!reader) return false;
  facts->size = reader->Size();
  facts->byteSum = 0;
  if (facts->size > 0xFFFFFFFFull) return true;  // refused later; no need to read it
  std::vector<uint8_t> buffer(IMAGE_READ_CHUNK);
  uint64_t total = 0;
  uint32_t words = 0;
  for (;;) {
    uint32_t got = 0;
    if (!reader->Read(buffer.data(), IMAGE_READ_CHUNK, &got)) return false;
    if (got == 0) break;
    facts->byteSum += ByteSum(buffer.data(), got);
    if (wordSum) {
      // Every read but the last is a whole number of blocks; the last one is padded as the
      // control-pipe download pads its last block: with '0' up to a whole packet.
      uint32_t padded = got;
      if (got < IMAGE_READ_CHUNK) {
        padded = (got + CONTROL_PIPE_PACKET_SIZE - 1) / CONTROL_PIPE_PACKET_SIZE *
                 CONTROL_PIPE_PACKET_SIZE;
        std::fill(buffer.begin() + got, buffer.begin() + padded, PAD_BYTE);
      }
      words += WordChecksum(buffer.data(), padded);
    }
    total += got;
  }
  if (total != facts->size) return false;
  if (wordSum) facts->wordSum = words;
  return true;
}

std::string FullPathUtf8(const std::wstring& path) {
  std::wstring full(MAX_PATH, L'\0');
  DWORD got = GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
  if (got >= full.size()) {
    full.resize(got + 1);
    got = GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
  }
  if (got == 0) return WideToUtf8(path);
  full.resize(got);
  return WideToUtf8(full);
}

// Writes the record to `target` ("-": standard output) through a temporary file that is renamed
// over it, so that a reader never sees half a record.
bool WriteRecord(const std::string& target, const std::string& json) {
  if (target == "-") {
    TheConsole().Out(json);
    return true;
  }
  const std::wstring path = Utf8ToWide(target);
  const std::wstring temporary = path + L".tmp" + std::to_wstring(GetCurrentProcessId());
  {
    ScopedHandle file(CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    const std::string text = json + "\n";
    DWORD written = 0;
    if (!WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) ||
        written != text.size() || !FlushFileBuffers(file.get())) {
      file.Reset();
      DeleteFileW(temporary.c_str());
      return false;
    }
  }
  if (!MoveFileExW(temporary.c_str(), path.c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    DeleteFileW(temporary.c_str());
    return false;
  }
  return true;
}

// Rewrites the progress line until stopped.
class ProgressTicker {
 public:
  explicit ProgressTicker(const DeviceActivityBoard& board) : board_(board) {
    if (!TheConsole().errIsConsole()) return;
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
        if (!devices.empty()) TheConsole().Progress(ProgressLine(devices, GetTickCount()));
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

int List() {
  DeviceActivityBoard board;
  ConsoleReporter reporter(board, board.Begin());
  auto& table = ProcessPipeDeviceTable();
  const uint32_t count =
      EnumeratePipeDevices(reporter, PIPE_DEVICE_INTERFACE_GUID, table.devicePaths);
  for (uint32_t i = 0; i < count; ++i) {
    TheConsole().Out(std::to_string(i) + " " + AnsiToUtf8(table.devicePaths[i]));
  }
  return count == 0 ? EXIT_NO_DEVICE : EXIT_VERIFIED;
}

int Download(const Options& options) {
  if (options.jsonPath == "-") TheConsole().SendLinesToErr();
  const auto startedAt = std::chrono::system_clock::now();
  const uint32_t startTick = GetTickCount();
  RunRecord record;
  record.family = options.family;
  record.started = IsoTime(
      std::chrono::duration_cast<std::chrono::seconds>(startedAt.time_since_epoch()).count());
  const std::wstring image = Utf8ToWide(options.image);
  record.image.path = FullPathUtf8(image);

  RunFacts facts;
  const bool driver = options.family == Family::Driver;
  DeviceActivityBoard board;
  const uint32_t download = board.Begin();
  if (!ReadImageFacts(image, driver, &record.image) || record.image.size > 0xFFFFFFFFull) {
    TheConsole().Err(BoxLine("파일 에러", "이미지 파일을 열수 없습니다."));
    facts.imageError = true;
  } else {
    ConsoleReporter reporter(board, download);
    CancellableClock clock;
    ProgressTicker ticker(board);
    if (driver) {
      CancellableDriverTransport transport;
      {
        std::lock_guard lock(activeMutex);
        activeTransport = &transport;
      }
      FileImageSource source(image);
      const ControlPipeResult result = ControlPipeDownload(transport, reporter, clock, source);
      {
        std::lock_guard lock(activeMutex);
        activeTransport = nullptr;
      }
      facts.noDevice =
          result == ControlPipeResult::NoService || result == ControlPipeResult::NoDevice;
      facts.imageError = result == ControlPipeResult::ImageError;
    } else {
      DownloadJob job;
      job.fileName = image;
      job.fileSize = static_cast<uint32_t>(record.image.size);
      job.reporter = &reporter;
      job.clock = &clock;
      job.download = download;
      auto watchdog = std::make_shared<PipeWatchdog>();
      {
        std::lock_guard lock(activeMutex);
        activeWatchdog = watchdog;
        if (cancelRequested) watchdog->CancelAll();
      }
      const PipeDownloadResult result = RunPipeDownload(&job, *watchdog);
      {
        std::lock_guard lock(activeMutex);
        activeWatchdog.reset();
      }
      facts.noDevice = result == PipeDownloadResult::NoDevice;
      facts.imageError = result == PipeDownloadResult::ImageError;
    }
    // The bytes the devices were sent are those read at the start only if the image did not
    // change meanwhile.
    ImageFacts after;
    if (!facts.imageError && !facts.noDevice &&
        (!ReadImageFacts(image, driver, &after) || after.size != record.image.size ||
         after.byteSum != record.image.byteSum || after.wordSum != record.image.wordSum)) {
      facts.imageChanged = true;
      TheConsole().Err(BoxLine(CLI_NAME, "the image changed while it was being sent"));
    }
  }
  facts.cancelled = cancelRequested;
  for (int32_t i = 0; i < PROGRESS_BAR_COUNT; ++i) {
    DeviceActivity device = board.Device(i);
    if (!device.ready) continue;
    facts.devices.push_back(device);
    record.indices.push_back(i);
    record.devices.push_back(device);
  }
  record.result = Decide(facts);
  record.seconds = (GetTickCount() - startTick) / 1000.0;
  TheConsole().Line(SummaryLine(record));
  if (!options.jsonPath.empty() && !WriteRecord(options.jsonPath, RecordJson(record))) {
    TheConsole().Err(BoxLine(CLI_NAME, "cannot write the record to " + options.jsonPath));
  }
  return ExitStatus(record.result);
}

}  // namespace
}  // namespace pelorin::cli

int wmain(int argc, wchar_t** argv) {
  using namespace pelorin;
  using namespace pelorin::cli;
  std::vector<std::string> arguments;
  for (int i = 1; i < argc; ++i) arguments.push_back(WideToUtf8(argv[i]));
  const ParsedArguments parsed = ParseArguments(arguments);
  if (!parsed.ok) {
    if (parsed.exitStatus == EXIT_VERIFIED) {
      TheConsole().Out(parsed.text);
    } else {
      TheConsole().Err(parsed.text);
    }
    return parsed.exitStatus;
  }
  switch (parsed.options.command) {
    case Command::Help:
    case Command::Version: TheConsole().Out(parsed.text); return EXIT_VERIFIED;
    case Command::List: return List();
    case Command::Download: break;
  }
  cancelEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(&OnConsoleControl, TRUE);
  return Download(parsed.options);
}
