#include "station_console_win32.h"

#include <mutex>

#include "console_win32.h"
#include "station_options.h"
#include "station_runner_win32.h"

namespace pelorin::cli {
namespace {

using station::StationCounts;
using station::StationObserver;
using station::StationRecord;
using station::StationRunner;
using station::StationUnit;
using station::UnitPhase;

// Tells the console what the station does: every entry only queues a line.
class ConsoleFace : public StationObserver {
 public:
  explicit ConsoleFace(Console& console) : console_(console) {}
  void Arrived(const StationUnit&) override {}
  void Waiting(const StationUnit&) override {}
  void Started(const StationUnit&) override {}
  void Progress(const StationUnit&, UnitPhase, uint64_t, uint64_t) override {}
  void Ended(const StationUnit&, const StationRecord& record, bool) override {
    console_.Line(StationUnitLine(record));
  }
  void Box(const StationUnit&, std::string_view caption, std::string_view text) override {
    console_.Err(BoxLine(std::string(caption), std::string(text)));
  }
  void Departed(const StationUnit&) override {}
  void NotStarted(const StationUnit&) override {}
  void LogFailed(const StationRecord&, const std::string& text) override {
    console_.Err(std::string(CLI_NAME) + ": " + text);
  }
  void Database(const station::DatabaseState& state) override {
    std::lock_guard lock(mutex_);
    if (!DatabaseNews(told_, state)) return;
    told_ = state;
    console_.Err(std::string(CLI_NAME) + ": " + station::DatabaseWords(state));
  }
  void DatabaseAlarm(const std::string& text) override {
    console_.Err(std::string(CLI_NAME) + ": database: " + text);
  }
  void Finished(int, const StationCounts& counts) override {
    console_.Line(StationSummaryLine(counts));
  }

 private:
  Console& console_;
  std::mutex mutex_;
  std::optional<station::DatabaseState> told_;  // the state the last database line told
};

int Serve(const station::StationSetup& setup, StationRunner& runner, Console& console) {
  using Step = StationRunner::Step;
  // The image: pinned for the station's life, hashed in one pass.
  Step step = runner.PinImage(setup.imagePath);
  if (step == Step::Stopped) return EXIT_CANCELLED;
  if (step == Step::Refused) {
    console.Err(runner.text());
    return EXIT_USAGE;
  }
  step = runner.CheckSha256(setup.sha256);
  // The database before the log, so that a station refused for it leaves no new log behind.
  if (step == Step::Done && !setup.database.empty()) {
    // The connection string itself is never printed: only what is wrong with it.
    if (const std::string warning = station::DatabasePasswordWarning(setup.database);
        !warning.empty())
      console.Err(std::string(CLI_NAME) + ": " + warning);
    step = runner.OpenFleet(setup.database);
    if (step == Step::Done && !runner.note().empty())
      console.Err(std::string(CLI_NAME) + ": " + runner.note());
  }
  if (step == Step::Done) step = runner.OpenLog(setup.logPath);
  if (step == Step::Stopped) return EXIT_CANCELLED;
  if (step == Step::Refused) {
    console.Err(std::string(CLI_NAME) + ": " + runner.text());
    return EXIT_USAGE;
  }
  runner.SetName(setup.name);
  const station::StationImage& image = runner.image();
  console.Out("image " + image.path + ": " + std::to_string(image.size) + " bytes, byte sum " +
              std::to_string(image.byteSum) + ", SHA-256 " + image.sha256);
  console.Out("station: waiting for devices (Ctrl+C ends)");

  ConsoleFace face(console);
  return runner.Run(setup.settings, setup.limits, face);
}

}  // namespace

int RunStation(const Options& options, Cancellation& cancellation) {
  Console& console = Console::Get();
  auto* runner = new StationRunner();  // never freed: a worker may still be ending at exit
  console.StartWriter(
      [runner] { return StationStatusLine(runner->Counts(), runner->Database()); });
  // Ctrl+C (a console close, a session's end) stops every step, from the image's first read on.
  cancellation.OnCancel([runner] { runner->Stop(); });
  const int status = Serve(options.setup, *runner, console);
  cancellation.OnCancel(nullptr);
  // Every record is written. The unit lines and the summary still queued are written before a
  // close or a session's end may let the process go: as long as the console takes them, or
  // after a stop at most what is left of the few seconds Windows gives such a process.
  console.StopWriter(cancellation.event(), cancellation.GraceLeft());
  cancellation.Finished();
  return status;
}

}  // namespace pelorin::cli
