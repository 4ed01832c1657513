#include "cli_core.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>

namespace pelorin::cli {
namespace {

std::string Format(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

std::string Seconds(double seconds) {
  return Format("%.1f s", seconds);
}

std::string DeviceCount(size_t count) {
  return std::to_string(count) + (count == 1 ? " device" : " devices");
}

bool IsVerified(const DeviceActivity& device) {
  return device.started && device.ended && device.outcome == DeviceOutcome::Verified;
}

size_t VerifiedCount(const std::vector<DeviceActivity>& devices) {
  return static_cast<size_t>(std::count_if(devices.begin(), devices.end(), IsVerified));
}

// A usage error: the message for standard error with the hint to --help.
ParsedArguments UsageError(const std::string& message) {
  ParsedArguments parsed;
  parsed.exitStatus = EXIT_USAGE;
  parsed.text = station::UsageErrorText(CLI_NAME, message);
  return parsed;
}

}  // namespace

ParsedArguments ParseArguments(const std::vector<std::string>& arguments) {
  CLI::App app{"Writes an OS image into every USB device that is ready and has each device verify "
               "it; with --station, into every device as it arrives, one production-log line per "
               "unit.",
               CLI_NAME};
  app.footer(
      "Exit status: 0 every device verified, 1 a device failed, 2 bad arguments or an image "
      "that\ncannot be sent, 3 no device ready, 4 the record or a log line could not be written, "
      "130\ncancelled (Ctrl+C).");
  std::string family = "pipe";
  std::string jsonPath;
  bool list = false;
  bool stationForm = false;
  station::StationOptions station;
  app.add_option("--family", family, "pipe (bulk pipes, the default) or driver (driver service)")
      ->check(CLI::IsMember({"pipe", "driver"}));
  app.add_option("--json", jsonPath, "write the run's JSON record to FILE (- standard output)")
      ->type_name("FILE");
  station.AddLimits(app);
  app.add_flag("--list", list, "print the devices that are present; sends nothing");
  app.add_flag("--station", stationForm,
               "flash every device as it arrives until Ctrl+C (or --count records)");
  station.AddStationOptions(app);
  app.set_version_flag("--version", std::string(CLI_NAME) + " " + CLI_VERSION,
                       "print the version and exit");
  const std::string name = CLI_NAME;
  station::SetUsage(app, "\nUsage:\n  " + name + " [--family pipe|driver] [--json FILE] " +
                             station.LimitsUsage() + " IMAGE\n" +
                             station.Usage(name + " --station", false) + "  " + name +
                             " --list\n  " + name + " --help | --version\n");

  ParsedArguments parsed;
  Options& options = parsed.options;
  const station::CommandLine line = station::ParseCommandLine(app, arguments);
  switch (line.end) {
    case station::CommandLine::Parsed: break;
    case station::CommandLine::Help:
    case station::CommandLine::Version:
      options.command = line.end == station::CommandLine::Help ? Command::Help : Command::Version;
      parsed.exitStatus = EXIT_VERIFIED;
      parsed.text = line.text;
      return parsed;
    case station::CommandLine::Error: return UsageError(line.text);
  }

  const auto given = [&app](const char* option) { return app.count(option) > 0; };
  if (list) {
    // --list shows what is present and nothing else: it takes no image and no other option.
    if (station.ImageGiven()) return UsageError("--list takes no IMAGE");
    if (arguments.size() != 1) return UsageError("--list takes no other option");
    options.command = Command::List;
    parsed.ok = true;
    parsed.exitStatus = EXIT_VERIFIED;
    return parsed;
  }
  if (const std::string error = station.CheckImage(true); !error.empty()) return UsageError(error);
  if (given("--json") && jsonPath.empty()) {
    return UsageError("--json needs a file name, or - for standard output");
  }
  if (stationForm) {
    if (family != "pipe") return UsageError("--station serves bulk-pipe devices only (--family pipe)");
    if (given("--json")) return UsageError("--station keeps a log (--log), not a --json record");
    if (const std::string error = station.Check(); !error.empty()) return UsageError(error);
    options.command = Command::Station;
  } else {
    if (station.OwnGiven()) return UsageError(station.OwnNames() + " need --station");
    options.command = Command::Download;
    options.family = family == "driver" ? Family::Driver : Family::Pipe;
    options.jsonPath = jsonPath;
  }
  options.setup = station.Setup();
  parsed.ok = true;
  parsed.exitStatus = EXIT_VERIFIED;
  return parsed;
}

const char* RunResultName(RunResult result) {
  switch (result) {
    case RunResult::Verified: return "verified";
    case RunResult::Failed: return "failed";
    case RunResult::NoDevice: return "no-device";
    case RunResult::ImageError: return "image-error";
    case RunResult::Usage: return "usage";
    case RunResult::Cancelled: return "cancelled";
  }
  return "usage";
}

int ExitStatus(RunResult result, bool recordWritten) {
  if (!recordWritten) return EXIT_RECORD_NOT_WRITTEN;
  switch (result) {
    case RunResult::Verified: return EXIT_VERIFIED;
    case RunResult::Failed: return EXIT_DEVICE_FAILED;
    case RunResult::NoDevice: return EXIT_NO_DEVICE;
    case RunResult::ImageError: return EXIT_USAGE;
    case RunResult::Usage: return EXIT_USAGE;
    case RunResult::Cancelled: return EXIT_CANCELLED;
  }
  return EXIT_USAGE;
}

bool RunCancellation::Request() {
  std::lock_guard lock(mutex_);
  if (!settled_) cancelled_ = true;
  return cancelled_;
}

bool RunCancellation::Settle() {
  std::lock_guard lock(mutex_);
  settled_ = true;
  return cancelled_;
}

bool RunCancellation::cancelled() const {
  std::lock_guard lock(mutex_);
  return cancelled_;
}

const char* DeviceResultName(const DeviceActivity& device) {
  if (!device.started || !device.ended) return "not-started";
  return OutcomeName(device.outcome);
}

RunResult Decide(const RunFacts& facts) {
  if (facts.cancelled) return RunResult::Cancelled;
  const bool deviceImageError =
      std::any_of(facts.devices.begin(), facts.devices.end(), [](const DeviceActivity& device) {
        return device.ended && device.outcome == DeviceOutcome::ImageError;
      });
  if (facts.imageError || deviceImageError) return RunResult::ImageError;
  // No ready device at all is no device, not a vacuous "every device verified".
  if (facts.noDevice || facts.devices.empty()) return RunResult::NoDevice;
  return VerifiedCount(facts.devices) == facts.devices.size() ? RunResult::Verified
                                                              : RunResult::Failed;
}

std::string DeviceLine(int32_t index, const DeviceActivity& device) {
  std::string line = "device " + std::to_string(index) + ": " + DeviceResultName(device);
  if (IsVerified(device)) {
    const uint32_t ms = device.elapsedMs();
    line += ", " + std::to_string(device.bytesSent) + " bytes in " + Seconds(ms / 1000.0) + " (" +
            Format("%.1f", MegabytesPerSecond(device.bytesSent, ms)) + " MB/s)";
    if (!device.path.empty()) line += ", " + device.path;
  } else if (!device.message.empty()) {
    line += ": " + OneLine(device.message);
  }
  return line;
}

std::string SummaryLine(const RunRecord& record) {
  const size_t total = record.devices.size();
  const size_t verified = VerifiedCount(record.devices);
  const std::string time = Seconds(record.seconds);
  std::string line = std::string(RunResultName(record.result)) + ": ";
  switch (record.result) {
    case RunResult::Verified:
      return line + std::to_string(verified) + " of " + DeviceCount(total) + " in " + time;
    case RunResult::Failed:
      return line + std::to_string(total - verified) + " of " + DeviceCount(total) + " failed, " +
             std::to_string(verified) + " verified, in " + time;
    case RunResult::Cancelled:
      return line + std::to_string(verified) + " of " + DeviceCount(total) + " verified, in " +
             time;
    case RunResult::NoDevice: return line + "no device ready";
    case RunResult::ImageError:
      return line + "the image " + record.image.path + " could not be sent, in " + time;
    case RunResult::Usage: break;
  }
  return line + "bad arguments";
}

std::string ProgressLine(const std::vector<DeviceActivity>& devices, uint32_t now) {
  // Every device takes the same image; a device that has not sent yet does not know its size.
  uint64_t imageSize = 0;
  size_t count = 0;
  for (const DeviceActivity& device : devices) {
    if (!device.ready) continue;
    ++count;
    imageSize = std::max(imageSize, device.imageSize);
  }
  // A device that ended has nothing left to do, whether it took the whole image or not.
  uint64_t sent = 0;
  uint64_t done = 0;
  uint32_t sendingMs = 0;
  for (const DeviceActivity& device : devices) {
    if (!device.ready) continue;
    sent += device.bytesSent;
    done += device.ended ? imageSize : std::min(device.bytesSent, imageSize);
    if (device.sending) sendingMs = std::max(sendingMs, now - device.firstDataTick);
  }
  const uint64_t total = imageSize * count;
  const uint64_t percent = total == 0 ? 0 : done * 100 / total;
  const double rate = MegabytesPerSecond(sent, sendingMs);
  std::string line =
      DeviceCount(count) + "  " + std::to_string(percent) + "%  " + Format("%.1f", rate) + " MB/s";
  if (sent > 0 && sendingMs > 0) {
    // Bytes left over the bytes per second so far, rounded up to a whole second.
    const double left = static_cast<double>(total - done) * sendingMs / 1000.0 / sent;
    line += "  " + ClockText(static_cast<uint64_t>(std::ceil(left))) + " left";
  }
  return line;
}

namespace {
std::string Dash(const std::string& text) {
  return text.empty() ? "-" : text;
}
}  // namespace

std::string StationUnitLine(const station::StationRecord& record) {
  std::string line = "#" + std::to_string(record.sequence) + " port=" + Dash(record.device.port) +
                     " serial=" + Dash(record.serial) + ": " + record.result;
  if (record.result == "verified") {
    line += ", " + std::to_string(record.bytesSent) + " bytes in " + Seconds(record.ms / 1000.0) +
            " (" + Format("%.1f", MegabytesPerSecond(record.bytesSent, record.ms)) + " MB/s)";
  } else if (!record.message.empty()) {
    line += ": " + OneLine(record.message);
  }
  return line;
}

namespace {
std::string Yield(const station::Tally& tally) {
  const int yield = tally.yieldPercent();
  return yield < 0 ? "yield -" : "yield " + std::to_string(yield) + " %";
}
}  // namespace

std::string StationStatusLine(const station::StationCounts& counts) {
  const station::Tally& t = counts.tally;
  std::string line = "flashing " + std::to_string(counts.flashing) + ", waiting " +
                     std::to_string(counts.waiting) + ", verified " + std::to_string(t.verified) +
                     ", already verified " + std::to_string(t.alreadyVerified) + ", failed " +
                     std::to_string(t.failed) + ", cancelled " + std::to_string(t.cancelled);
  if (t.notInLog > 0) line += ", not in the log " + std::to_string(t.notInLog);
  return line + ", " + Yield(t) + ", " + Format("%.1f", counts.megabytesPerSecond) + " MB/s";
}

std::string StationStatusLine(const station::StationCounts& counts,
                              const std::optional<station::DatabaseState>& database) {
  std::string line = StationStatusLine(counts);
  if (database) line += " | " + station::DatabaseWords(*database);
  return line;
}

bool DatabaseNews(const std::optional<station::DatabaseState>& lastTold,
                  const station::DatabaseState& now) {
  using station::DatabaseState;
  if (now.link == DatabaseState::Connecting) return false;
  if (!lastTold) return true;
  const bool wasOffline = lastTold->link == DatabaseState::Offline;
  const bool isOffline = now.link == DatabaseState::Offline;
  if (wasOffline != isOffline) return true;
  return lastTold->link == DatabaseState::Sending && now.link == DatabaseState::UpToDate;
}

std::string StationSummaryLine(const station::StationCounts& counts) {
  const station::Tally& t = counts.tally;
  return "station: " + std::to_string(t.records()) + " records, " + std::to_string(t.verified) +
         " verified, " + std::to_string(t.alreadyVerified) + " already verified, " +
         std::to_string(t.failed) + " failed, " + std::to_string(t.cancelled) + " cancelled, " +
         std::to_string(t.notInLog) + " not in the log, " + Yield(t);
}

std::string ListLine(size_t index, const station::PresentDevice& device) {
  return std::to_string(index) + " " + Dash(device.port) + " " +
         Dash(station::SerialOf(device.instance)) + " " + device.path;
}

}  // namespace pelorin::cli
