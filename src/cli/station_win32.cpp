#include "station_win32.h"

#include <map>
#include <memory>
#include <thread>
#include <vector>

#include "console_win32.h"
#include "file_image_source_win32.h"
#include "one_shot_win32.h"
#include "pinned_image_win32.h"
#include "pipe_discovery_win32.h"
#include "pipe_download_win32.h"
#include "pipe_interfaces_win32.h"
#include "production_log_win32.h"
#include "station_core.h"
#include "text_win32.h"

namespace pelorin::cli {
namespace {

// What every device of the station shares. Lives until the process ends: a worker may still be
// ending (its box line) while main returns.
struct Station {
  StationCore* core = nullptr;
  ProductionLog* log = nullptr;
  StationImage image;
  std::wstring imagePath;
  CancellableClock* clock = nullptr;
  PipeCallLimits limits;
  HANDLE wake = nullptr;  // set when a device's record is written: a slot may be free
};

// Writes a device's record to the log (durable before anything calls the device ended), then
// its console line, then lets the core count it.
void RecordDevice(Station& station, uint64_t device, StationRecord record) {
  DWORD error = 0;
  const bool written = station.log->Append(record, station.image, &error);
  Console::Get().Line(StationCore::DeviceLine(record));
  if (!written) {
    Console::Get().Err(std::string(CLI_NAME) + ": the record #" + std::to_string(record.sequence) +
                       " was not written to the log (" + ErrorText(error) +
                       "); the station starts no more devices");
  }
  station.core->Recorded(device, written);
  SetEvent(station.wake);
}

// One device's download: the reports of its worker.
class DeviceReporter : public ConsoleBoxes {
 public:
  DeviceReporter(Station& station, uint64_t device)
      : ConsoleBoxes(nullptr, 0), station_(station), device_(device) {}
  void DeviceStarted(int32_t, uint32_t tick) override { startTick_ = tick; }
  void DeviceSent(int32_t, uint64_t bytesSent, uint64_t, uint32_t tick) override {
    station_.core->Sent(device_, bytesSent, tick);
  }
  void DeviceEnded(int32_t, DeviceOutcome outcome, uint32_t tick,
                   std::string_view message) override {
    RecordDevice(station_, device_,
                 station_.core->Ended(device_, outcome, tick - startTick_, std::string(message)));
  }

 private:
  Station& station_;
  const uint64_t device_;
  uint32_t startTick_ = 0;
};

struct WorkerStart {
  Station* station;
  uint64_t device;
  PipePair pipes;
  std::shared_ptr<PipeCallWatch> watch;
};

DWORD WINAPI StationWorker(LPVOID parameter) {
  std::unique_ptr<WorkerStart> start(static_cast<WorkerStart*>(parameter));
  Station& station = *start->station;
  DeviceReporter reporter(station, start->device);
  FileImageSource image(station.imagePath);
  RunPipeDeviceWorker(0, std::make_unique<HandlePipeLink>(start->pipes.outPipe),
                      std::make_unique<HandlePipeLink>(start->pipes.inPipe), image, reporter,
                      *station.clock, start->watch.get(), station.limits);
  return 0;
}

// Starts a device's worker on a thread of its own, enrolled with the watchdog before it runs.
bool StartWorker(Station& station, PipeWatchdog& watchdog, uint64_t device, PipePair pipes) {
  auto start = std::make_unique<WorkerStart>(WorkerStart{&station, device, pipes, nullptr});
  HANDLE thread = CreateThread(nullptr, 0, StationWorker, start.get(), CREATE_SUSPENDED, nullptr);
  if (thread == nullptr) return false;
  start->watch = watchdog.Enrol(ThreadCallCanceller(thread), *station.clock);
  start.release();  // the worker's now
  ResumeThread(thread);
  return true;
}

void ClosePipes(PipePair& pipes) {
  ScopedHandle in(pipes.inPipe), out(pipes.outPipe);
  pipes = {};
}

}  // namespace

int RunStation(const Options& options, Cancellation& cancellation) {
  Console& console = Console::Get();
  auto* station = new Station();  // never freed: see Station

  // The image: pinned for the station's life, hashed in one pass.
  const std::wstring imagePath = Utf8ToWide(options.image);
  PinnedImage pinned;
  ImageFacts facts;
  PinnedImage::Pass pass = PinnedImage::Pass::Failed;
  if (pinned.Open(imagePath) && pinned.size() <= 0xFFFFFFFFull) {
    pass = pinned.Summarise(false, true, cancellation.requestedFlag(), &facts,
                            &station->image.sha256);
  }
  if (pass == PinnedImage::Pass::Stopped) return EXIT_CANCELLED;
  if (pass == PinnedImage::Pass::Failed) {
    console.Err(BoxLine(CAPTION_FILE_ERROR, TEXT_IMAGE_NOT_OPENED));
    return EXIT_USAGE;
  }
  station->imagePath = imagePath;
  station->image.path = FullPathUtf8(imagePath);
  station->image.size = facts.size;
  station->image.byteSum = facts.byteSum;
  if (!options.sha256.empty() && options.sha256 != station->image.sha256) {
    console.Err(std::string(CLI_NAME) + ": the image's SHA-256 is " + station->image.sha256 +
                ", not " + options.sha256);
    return EXIT_USAGE;
  }

  // The production log, and what it remembers.
  auto* log = new ProductionLog();  // never freed: see Station
  LogMemory memory;
  if (!options.logPath.empty()) {
    DWORD error = 0;
    switch (log->Open(Utf8ToWide(options.logPath), station->image.sha256, &memory, &error)) {
      case ProductionLog::Opened::Yes: break;
      case ProductionLog::Opened::InUse:
        console.Err(std::string(CLI_NAME) + ": the log " + options.logPath +
                    " is in use by another station");
        return EXIT_USAGE;
      case ProductionLog::Opened::Failed:
        console.Err(std::string(CLI_NAME) + ": cannot open the log " + options.logPath + " (" +
                    ErrorText(error) + ")");
        return EXIT_USAGE;
    }
  }
  StationSettings settings;
  settings.ports = options.ports;
  settings.maxDevices = options.maxDevices;
  settings.count = options.count;
  settings.reflash = options.reflash;
  auto* core = new StationCore(settings, memory);  // never freed: see Station
  station->core = core;
  station->log = log;
  station->clock = new CancellableClock(cancellation.event());
  station->limits = {.writeMs = options.writeTimeoutMs, .answerMs = options.answerTimeoutMs};
  station->wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);

  console.Out("image " + station->image.path + ": " + std::to_string(facts.size) +
              " bytes, byte sum " + std::to_string(facts.byteSum) + ", SHA-256 " +
              station->image.sha256);
  console.Out("station: waiting for devices (Ctrl+C ends)");

  // One watchdog for the station's life; the keeper holds it while no device runs.
  auto watchdog = std::make_shared<PipeWatchdog>();
  std::shared_ptr<PipeCallWatch> keeper = watchdog->Enrol(nullptr, *station->clock);
  std::thread watching([watchdog] { watchdog->Run(); });
  cancellation.Watch(watchdog);  // Ctrl+C cancels the devices in flight at once...
  cancellation.OnCancel([core] { core->Stop(); });  // ...and starts nothing new

  std::vector<PipeInterface> interfaces;
  std::map<std::string, PipeInterface> known;  // the last listing, by path
  // Polls start STATION_POLL_INTERVAL_MS apart, and at once when a device's end freed a slot
  // that a waiting device can take.
  uint32_t nextPoll = GetTickCount();
  bool pollNow = true;
  while (!core->Finished()) {
    if (pollNow && !core->stopped()) nextPoll = GetTickCount() + STATION_POLL_INTERVAL_MS;
    if (pollNow && !core->stopped() &&
        ListPipeInterfaces(PIPE_DEVICE_INTERFACE_GUID, &interfaces, &known)) {
      std::vector<PresentDevice> present;
      std::map<std::string, std::string> ansiOf;
      known.clear();
      for (const PipeInterface& i : interfaces) {
        present.push_back({AnsiToUtf8(i.path), i.instance, i.port});
        ansiOf[present.back().path] = i.path;
        known[i.path] = i;
      }
      for (const StationAction& action : core->Poll(present)) {
        if (action.kind == StationAction::Record) {
          RecordDevice(*station, action.device, action.record);
          continue;
        }
        if (core->stopped()) {  // Ctrl+C came meanwhile: no pipe is opened any more
          core->Withdraw(action.device);
          continue;
        }
        const std::string& path = ansiOf[action.present.path];
        PipePair pipes;
        std::string failedPipe;
        uint32_t error = 0;
        if (!OpenDevicePipes(path.c_str(), &pipes, &failedPipe, &error)) {
          std::optional<StationRecord> record = core->OpenFailed(
              action.device, GetTickCount(), PipeOpenFailedText(failedPipe.c_str(), error));
          if (record) RecordDevice(*station, action.device, std::move(*record));
          continue;
        }
        core->Opened(action.device, GetTickCount());
        if (!StartWorker(*station, *watchdog, action.device, pipes)) {
          ClosePipes(pipes);
          RecordDevice(*station, action.device,
                       core->Ended(action.device, DeviceOutcome::NotStarted, 0, TEXT_NO_THREAD));
        }
      }
    }
    console.Progress(core->StatusLine(GetTickCount()));
    // Until the next poll, or at once when Ctrl+C comes or a device's record is written.
    HANDLE events[2] = {station->wake, cancellation.event()};
    const int32_t left = static_cast<int32_t>(nextPoll - GetTickCount());
    const DWORD woke = WaitForMultipleObjects(
        core->stopped() ? 1 : 2, events, FALSE,
        core->stopped() ? STATION_POLL_INTERVAL_MS : static_cast<DWORD>(left > 0 ? left : 0));
    pollNow = woke == WAIT_TIMEOUT || (woke == WAIT_OBJECT_0 && core->Waiting() > 0);
  }
  // Every device has ended; once the last worker has left the watchdog, all it reports is told.
  keeper->Leave();
  watching.join();
  cancellation.OnCancel(nullptr);
  cancellation.Watch(std::shared_ptr<PipeWatchdog>());
  console.Line(core->SummaryLine());
  return core->ExitStatus();
}

}  // namespace pelorin::cli
