#include "station_runner_win32.h"

#include <functional>
#include <thread>
#include <vector>

#include "cancellable_clock_win32.h"
#include "fleet_lookup.h"
#include "log_file_reader_win32.h"
#include "odbc_store_win32.h"
#include "pipe_discovery_win32.h"
#include "pipe_download_win32.h"
#include "pipe_interfaces_win32.h"
#include "shipper.h"
#include "system_clock_win32.h"
#include "text_win32.h"

namespace pelorin::station {
namespace {

// "10:42": the local time of day of a moment (ms since 1970, UTC).
std::string LocalTimeOfDay(int64_t unixMs) {
  if (unixMs <= 0) return "--:--";
  ULARGE_INTEGER ticks;
  ticks.QuadPart = static_cast<uint64_t>(unixMs) * 10000 + 116444736000000000ull;
  const FILETIME utc{ticks.LowPart, ticks.HighPart};
  SYSTEMTIME universal, local;
  if (!FileTimeToSystemTime(&utc, &universal) ||
      !SystemTimeToTzSpecificLocalTime(nullptr, &universal, &local))
    return "--:--";
  return TimeOfDay(local.wHour, local.wMinute);
}

struct ThreadStart {
  std::function<void()> run;
  HANDLE running;
};

DWORD WINAPI RunThread(LPVOID parameter) {
  auto* start = static_cast<ThreadStart*>(parameter);
  std::function<void()> run = std::move(start->run);
  SetEvent(start->running);  // `start` is the starter's again from here on
  run();
  return 0;
}

// Runs `run` on a thread of its own and returns once that thread runs (a thread still starting
// when the program returns can make 32-bit Wine end the process with status 1). Null when no
// thread can be made.
HANDLE StartThread(std::function<void()> run) {
  ThreadStart start{std::move(run), CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  if (start.running == nullptr) return nullptr;
  HANDLE thread = CreateThread(nullptr, 0, RunThread, &start, 0, nullptr);
  if (thread != nullptr) WaitForSingleObject(start.running, INFINITE);
  CloseHandle(start.running);
  return thread;
}

}  // namespace

// A station's fleet: the lookup (on the start check's connection), the shipper (with a
// connection of its own, reading the log through a handle of its own), their threads, and the
// database's state as the shipper told it last.
class StationRunner::Fleet : public fleet::ShipperListener {
 public:
  Fleet(StationRunner& runner, std::string connection)
      : runner_(runner), connection_(std::move(connection)) {}

  // The shipper's thread: the observer hears the state in the faces' terms when it changed.
  void StatusChanged(const fleet::ShipperStatus& status) override {
    const DatabaseState now = DatabaseStateOf(status, LocalTimeOfDay(status.offlineSinceUnixMs));
    {
      std::lock_guard lock(mutex_);
      if (state_ == now) return;
      state_ = now;
    }
    runner_.observer_->Database(now);
  }
  void Alarm(const std::string& text) override { runner_.observer_->DatabaseAlarm(text); }

  DatabaseState State() const {
    std::lock_guard lock(mutex_);
    return state_.value_or(DatabaseState{});
  }

  StationRunner& runner_;
  const std::string connection_;
  SystemClock clock_;
  std::unique_ptr<fleet::FleetLookup> lookup_;
  std::unique_ptr<fleet::LogFileSource> source_;
  std::unique_ptr<fleet::Shipper> shipper_;
  HANDLE shipping_ = nullptr, looking_ = nullptr;  // the two threads

 private:
  mutable std::mutex mutex_;
  std::optional<DatabaseState> state_;
};

// One unit's download: the reports of its worker, on the worker's thread.
class StationRunner::UnitReporter : public Reporter {
 public:
  UnitReporter(StationRunner& runner, StationUnit unit, std::shared_ptr<PipeCallWatch> watch)
      : runner_(runner), unit_(std::move(unit)), watch_(std::move(watch)) {}

  void PostStatus(int32_t code, int32_t) override {
    if (code == STATUS_VERIFYING && !verifying_) {
      verifying_ = true;
      runner_.observer_->Progress(unit_, UnitPhase::Verifying, bytesSent_, imageSize_);
    }
  }
  void PostProgress(int32_t, int32_t) override {}
  void Control(DownloadControl, int32_t) override {}
  // The box comes after the unit's end; it is told once the worker is done (Finish), before the
  // unit can be told gone.
  void ShowStopBox(std::string_view text, std::string_view caption) override {
    box_ = true;
    boxCaption_ = std::string(caption);
    boxText_ = std::string(text);
  }
  void ShowAppBox(std::string_view text, BoxIcon) override { ShowStopBox(text, ""); }
  void DeviceStarted(int32_t, uint32_t tick) override {
    startTick_ = tick;
    // Its pipes are open and its worker runs: from here on the unit is being flashed.
    imageSize_ = runner_.image_.size;
    runner_.observer_->Progress(unit_, UnitPhase::Sending, 0, imageSize_);
  }
  void DeviceSent(int32_t, uint64_t bytesSent, uint64_t imageSize, uint32_t tick) override {
    bytesSent_ = bytesSent;
    imageSize_ = imageSize;
    runner_.core_->Sent(unit_.number, bytesSent, tick);
    runner_.observer_->Progress(unit_, UnitPhase::Sending, bytesSent, imageSize);
  }
  void DeviceEnded(int32_t, DeviceOutcome outcome, uint32_t tick,
                   std::string_view message) override {
    // Asked on this thread while the worker is still enrolled.
    const bool interrupted = watch_->Interrupted();
    {
      std::lock_guard lock(runner_.mutex_);
      runner_.watchOfUnit_.erase(unit_.number);
    }
    StationRecord record = runner_.core_->Ended(unit_.number, outcome, tick - startTick_,
                                                std::string(message), interrupted);
    cancelled_ = record.result == "cancelled";
    ended_ = true;
    written_ = runner_.WriteRecord(unit_, record);
  }
  // The worker has returned: its box (none for a unit the stop cut short), then the engine
  // counts the unit as ended.
  void Finish() {
    if (!ended_) return;
    if (box_ && !cancelled_) runner_.observer_->Box(unit_, boxCaption_, boxText_);
    runner_.Counted(unit_, written_);
  }

 private:
  StationRunner& runner_;
  const StationUnit unit_;
  const std::shared_ptr<PipeCallWatch> watch_;
  uint32_t startTick_ = 0;
  uint64_t bytesSent_ = 0, imageSize_ = 0;
  bool verifying_ = false;
  bool ended_ = false, written_ = false, cancelled_ = false;
  bool box_ = false;
  std::string boxCaption_, boxText_;
};

struct StationRunner::WorkerStart {
  StationRunner* runner;
  StationUnit unit;
  std::string openPath;
  std::shared_ptr<PipeCallWatch> watch;
};

DWORD WINAPI StationRunner::WorkerThread(LPVOID parameter) {
  std::unique_ptr<WorkerStart> start(static_cast<WorkerStart*>(parameter));
  StationRunner& runner = *start->runner;
  PipeCallWatch& watch = *start->watch;
  // The pipes are opened here, under the watchdog: an open that stalls holds back this unit
  // alone (and is cancelled at its limit, or at once by a stop), never the listings or Stop.
  PipePair pipes;
  std::string failedPipe;
  uint32_t error = ERROR_OPERATION_ABORTED;
  bool opened = false;
  if (watch.BeginCall(runner.clock_->TickCount() + runner.limits_.writeMs)) {
    opened = OpenDevicePipes(start->openPath.c_str(), &pipes, &failedPipe, &error);
    watch.EndCall();
  }
  if (!opened) {
    {
      std::lock_guard lock(runner.mutex_);
      runner.watchOfUnit_.erase(start->unit.number);
    }
    watch.Leave();
    std::optional<StationRecord> record = runner.core_->OpenFailed(
        start->unit.number, GetTickCount(),
        PipeOpenFailedText(failedPipe.empty() ? start->openPath.c_str() : failedPipe.c_str(),
                           error));
    if (record) runner.RecordUnit(start->unit, std::move(*record));
    SetEvent(runner.wake_);
    return 0;
  }
  UnitReporter reporter(runner, start->unit, start->watch);
  RunPipeDeviceWorker(0, std::make_unique<HandlePipeLink>(pipes.outPipe),
                      std::make_unique<HandlePipeLink>(pipes.inPipe), *runner.source_, reporter,
                      *runner.clock_, start->watch.get(), runner.limits_);
  reporter.Finish();
  return 0;
}

StationRunner::StationRunner()
    : stopEvent_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      wake_(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      answered_(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      clock_(std::make_unique<CancellableClock>(stopEvent_)) {}

StationRunner::~StationRunner() {
  CloseHandle(stopEvent_);
  CloseHandle(wake_);
  CloseHandle(answered_);
}

StationRunner::Step StationRunner::PinImage(
    const std::string& imagePath, const std::function<void(uint64_t, uint64_t)>& progress) {
  const std::wstring path = Utf8ToWide(imagePath);
  PinnedImage::Sums sums;
  PinnedImage::Pass pass = PinnedImage::Pass::Failed;
  // Refused unread from 4 GiB on: the protocol's length field is 32 bits.
  // An empty image is refused as one that cannot be opened: there is nothing to flash.
  if (pinned_.Open(path) && pinned_.size() > 0 && pinned_.size() <= 0xFFFFFFFFull) {
    const uint64_t size = pinned_.size();
    pass = pinned_.Summarise(true, stop_, &sums, {}, [&](uint64_t done) {
      if (progress) progress(done, size);
    });
  }
  if (pass == PinnedImage::Pass::Stopped) return Step::Stopped;
  if (pass == PinnedImage::Pass::Failed) {
    text_ = BoxLine(CAPTION_FILE_ERROR, TEXT_IMAGE_NOT_OPENED);
    return Step::Refused;
  }
  image_.path = FullPathUtf8(path);
  image_.size = pinned_.size();
  image_.byteSum = sums.byteSum;
  image_.sha256 = sums.sha256;
  source_ = std::make_unique<PinnedImageSource>(pinned_);
  return Step::Done;
}

StationRunner::Step StationRunner::CheckSha256(const std::string& expected) {
  if (expected.empty() || expected == image_.sha256) return Step::Done;
  text_ = "the image's SHA-256 is " + image_.sha256 + ", not " + expected;
  return Step::Refused;
}

StationRunner::Step StationRunner::OpenLog(const std::string& logPath) {
  if (logPath.empty()) return Step::Done;
  DWORD error = 0;
  switch (log_.Open(Utf8ToWide(logPath), image_.sha256, stop_, &memory_, &error)) {
    case ProductionLog::Opened::Yes: return Step::Done;
    case ProductionLog::Opened::Stopped: return Step::Stopped;
    case ProductionLog::Opened::InUse:
      // Another station writes it, or a program holds it open (an editor, a spreadsheet).
      text_ = "the log " + logPath + " is in use by another program";
      return Step::Refused;
    case ProductionLog::Opened::Failed: break;
  }
  text_ = "cannot open the log " + logPath + " (" + ErrorText(error) + ")";
  return Step::Refused;
}

StationRunner::Step StationRunner::OpenFleet(const std::string& connection) {
  if (connection.empty()) return Step::Done;
  if (stop_) return Step::Stopped;
  auto store = std::make_unique<fleet::OdbcStore>(connection);
  const fleet::FleetCheck check = fleet::CheckFleetStore(*store);
  if (stop_) return Step::Stopped;
  if (check.refuses()) {
    text_ = check.line;
    return Step::Refused;
  }
  note_ = check.line;
  auto made = std::make_unique<Fleet>(*this, connection);
  fleet::FleetLookupOptions options;
  options.answerWithinMs = STATION_FLEET_WAIT_MS;
  // The start check's connection is the lookup's (disconnected when the database was not there:
  // the lookup then answers from the log at once and connects in the background).
  made->lookup_ = std::make_unique<fleet::FleetLookup>(std::move(store), made->clock_, options);
  std::lock_guard lock(mutex_);  // a face's thread may ask for the database's state meanwhile
  fleet_ = std::move(made);
  return Step::Done;
}

void StationRunner::StartFleet() {
  Fleet& fleet = *fleet_;
  fleet.lookup_->SetOnAnswer([this] { SetEvent(answered_); });
  std::string error;
  std::unique_ptr<fleet::LogFileReader> reader = fleet::LogFileReader::Open(log_.path(), &error);
  if (reader != nullptr) {
    fleet.source_ = std::make_unique<fleet::LogFileSource>(log_.identity(), std::move(reader));
    fleet.shipper_ = std::make_unique<fleet::Shipper>(
        log_.identity(), *fleet.source_, std::make_unique<fleet::OdbcStore>(fleet.connection_),
        fleet.clock_, SystemUnixMs, &fleet);
    fleet::Shipper* shipper = fleet.shipper_.get();
    fleet.shipping_ = StartThread([shipper] { shipper->Run(); });
  }
  if (fleet.shipping_ == nullptr) {
    observer_->DatabaseAlarm("the log cannot be read for the database" +
                             (error.empty() ? std::string() : " (" + error + ")") +
                             ": its records are not sent this time");
  }
  fleet::FleetLookup* lookup = fleet.lookup_.get();
  fleet.looking_ = StartThread([lookup] { lookup->Run(); });
  if (fleet.looking_ == nullptr) lookup->Stop();  // it then answers every question from the log
}

void StationRunner::EndFleet() {
  Fleet& fleet = *fleet_;
  const DWORD start = GetTickCount();
  if (fleet.shipping_ != nullptr) {
    // What is left: the database gets it now while it answers, else at the next start.
    const uint64_t last = log_.LastSequence();
    fleet.shipper_->Notify();
    while (GetTickCount() - start < STATION_FLEET_FINAL_MS) {
      const fleet::ShipperStatus status = fleet.shipper_->Status();
      if (status.acked >= last || status.link == fleet::ShipperStatus::Offline) break;
      Sleep(20);
    }
    fleet.shipper_->Stop();
  }
  fleet.lookup_->Stop();
  // Each thread returns once its call in progress has: at once, unless it is held in the
  // database; one held beyond this is left to end with the process (everything it uses lives as
  // long as the runner, which is never freed).
  HANDLE threads[2];
  DWORD count = 0;
  for (HANDLE thread : {fleet.shipping_, fleet.looking_})
    if (thread != nullptr) threads[count++] = thread;
  const DWORD used = GetTickCount() - start;
  if (count > 0)
    WaitForMultipleObjects(count, threads, TRUE,
                           (used < STATION_FLEET_FINAL_MS ? STATION_FLEET_FINAL_MS - used : 0) + 500);
}

std::optional<DatabaseState> StationRunner::Database() const {
  std::lock_guard lock(mutex_);
  if (!fleet_) return std::nullopt;
  return fleet_->State();
}

void StationRunner::Stop() {
  std::lock_guard lock(mutex_);
  stop_ = true;
  // First what decides how the units in flight are recorded, then the calls they are blocked
  // in, which end at once. What the stop leaves to do (the records of units whose pipes were
  // being tried again, the units told they will not start) is the runner's thread's to carry.
  if (core_) {
    std::vector<StationAction> actions = core_->Stop();
    pending_.insert(pending_.end(), actions.begin(), actions.end());
  }
  if (watchdog_) watchdog_->CancelAll();
  SetEvent(stopEvent_);
}

StationCounts StationRunner::Counts() const {
  std::lock_guard lock(mutex_);
  return core_ ? core_->Counts(GetTickCount()) : StationCounts{};
}

StationUnit StationRunner::UnitOf(const StationAction& action) {
  return {action.unit, action.present.port, action.serial, action.present.path};
}

bool StationRunner::WriteRecord(const StationUnit& unit, StationRecord& record) {
  DWORD error = 0;
  const bool written = log_.Append(record, image_, &error);
  // The shipper reads it from the log when it can: told, never waited for.
  if (written && fleet_ && fleet_->shipper_) fleet_->shipper_->Notify();
  observer_->Ended(unit, record, written);
  if (!written) {
    observer_->LogFailed(record, "the record #" + std::to_string(record.sequence) +
                                     " was not written to the log (" + ErrorText(error) +
                                     "); the station starts no more units");
  }
  return written;
}

void StationRunner::Counted(const StationUnit& unit, bool written) {
  Carry(core_->Recorded(unit.number, written, GetTickCount()));
  SetEvent(wake_);
}

void StationRunner::RecordUnit(const StationUnit& unit, StationRecord record) {
  Counted(unit, WriteRecord(unit, record));
}

void StationRunner::OpenUnit(const StationAction& action) {
  std::vector<StationAction> instead;
  if (!core_->Proceed(action.unit, &instead)) {
    // Stopped, or a record failed, since the poll.
    Carry(instead);
    return;
  }
  const StationUnit unit = UnitOf(action);
  observer_->Started(unit);
  // Enrolled with the watchdog before it runs, so that no call of it (its pipes' open first)
  // goes unwatched.
  auto start = std::make_unique<WorkerStart>(
      WorkerStart{this, unit, action.present.openPath, nullptr});
  HANDLE thread = CreateThread(nullptr, 0, WorkerThread, start.get(), CREATE_SUSPENDED, nullptr);
  if (thread == nullptr) {
    RecordUnit(unit, core_->Ended(action.unit, DeviceOutcome::NotStarted, 0, TEXT_NO_THREAD, false));
    return;
  }
  {
    std::lock_guard lock(mutex_);
    uint64_t id = 0;
    start->watch = watchdog_->Enrol(ThreadCallCanceller(thread), *clock_, &id);
    watchOfUnit_[action.unit] = id;
  }
  start.release();  // the worker's now
  ResumeThread(thread);  // the thread's handle is its canceller's
}

void StationRunner::Carry(const std::vector<StationAction>& actions) {
  for (const StationAction& action : actions) {
    switch (action.kind) {
      case StationAction::Arrived: observer_->Arrived(UnitOf(action)); break;
      case StationAction::Waiting: observer_->Waiting(UnitOf(action)); break;
      case StationAction::Departed: observer_->Departed(UnitOf(action)); break;
      case StationAction::NotStarted: observer_->NotStarted(UnitOf(action)); break;
      case StationAction::Record: RecordUnit(UnitOf(action), action.record); break;
      case StationAction::Open: OpenUnit(action); break;
      case StationAction::Cancel: {
        // The unit left while its worker runs: its calls end at once.
        std::lock_guard lock(mutex_);
        const auto watch = watchOfUnit_.find(action.unit);
        if (watch != watchOfUnit_.end()) watchdog_->Withdraw(watch->second);
        break;
      }
    }
  }
}

int StationRunner::Run(const StationSettings& settings, const PipeCallLimits& limits,
                       StationObserver& observer) {
  observer_ = &observer;
  limits_ = limits;
  if (fleet_) StartFleet();
  auto watchdog = std::make_shared<PipeWatchdog>();
  // One watchdog for the station's life; the keeper holds it while no unit runs.
  std::shared_ptr<PipeCallWatch> keeper = watchdog->Enrol(nullptr, *clock_);
  {
    std::lock_guard lock(mutex_);
    core_ = std::make_unique<StationCore>(settings, std::move(memory_),
                                          fleet_ ? fleet_->lookup_.get() : nullptr, image_.sha256);
    watchdog_ = watchdog;
    if (stop_) {  // stopped before it ran
      core_->Stop();
      watchdog_->CancelAll();
    }
  }
  std::thread watching([watchdog] { watchdog->Run(); });

  std::vector<PipeInterface> interfaces;
  std::map<std::string, PipeInterface> known;  // the last listing, by path
  // Listings start STATION_POLL_INTERVAL_MS apart, and at once when a unit's end freed a slot
  // that a waiting unit can take.
  uint32_t nextPoll = GetTickCount();
  bool pollNow = true;
  for (;;) {
    // What a stop left to do, on this thread.
    std::vector<StationAction> pending;
    {
      std::lock_guard lock(mutex_);
      pending.swap(pending_);
    }
    Carry(pending);
    if (core_->Finished()) break;
    if (pollNow && !core_->stopped()) {
      nextPoll = GetTickCount() + STATION_POLL_INTERVAL_MS;
      bool complete = false;
      const bool listed =
          ListPipeInterfaces(PIPE_DEVICE_INTERFACE_GUID, &interfaces, &known, &complete);
      std::vector<PresentDevice> present;
      if (listed) {
        known.clear();
        for (const PipeInterface& i : interfaces) {
          present.push_back({AnsiToUtf8(i.path), i.instance, i.port, i.path});
          known[i.path] = i;
        }
      }
      Carry(core_->Poll(present, listed && complete, GetTickCount()));
    }
    // The fleet's answers that came, and the questions that fell due unanswered.
    Carry(core_->FleetAnswers());
    // Until the next listing (or a question of the fleet falls due), or at once when Ctrl+C
    // comes, a unit's record is written or the fleet answers.
    HANDLE events[3] = {wake_, answered_, stopEvent_};
    const bool stopped = core_->stopped();
    const int32_t left = static_cast<int32_t>(nextPoll - GetTickCount());
    const DWORD due = core_->FleetDueInMs();
    const DWORD woke = WaitForMultipleObjects(
        stopped ? 2 : 3, events, FALSE,
        stopped ? STATION_POLL_INTERVAL_MS
                : std::min(due, static_cast<DWORD>(left > 0 ? left : 0)));
    pollNow = static_cast<int32_t>(nextPoll - GetTickCount()) <= 0 ||
              (woke == WAIT_OBJECT_0 && core_->Waiting() > 0);
  }
  // Every unit has ended; once the last worker has left the watchdog, all it reports is told.
  keeper->Leave();
  watching.join();
  if (fleet_) EndFleet();
  const int status = core_->ExitStatus();
  log_.Close();
  observer.Finished(status, core_->Counts(GetTickCount()));
  return status;
}

}  // namespace pelorin::station
