#include "cli_core.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string_view>

namespace pelorin::cli {
namespace {

// A usage error: the message for standard error with the hint to --help.
ParsedArguments UsageError(const std::string& message, const char* program = CLI_NAME) {
  ParsedArguments parsed;
  parsed.exitStatus = EXIT_USAGE;
  parsed.text = std::string(program) + ": " + message + "\nRun with --help for more information.";
  return parsed;
}

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

// CLI11's help with the program's forms as its usage lines.
class HelpFormatter : public CLI::Formatter {
 public:
  explicit HelpFormatter(bool board) : board_(board) {}
  std::string make_usage(const CLI::App*, std::string name) const override {
    if (board_) {
      return "\nUsage:\n  " + name +
             " [--log FILE] [--sha256 HEX] [--port LOCATION]... [--max-devices N] [--count N]\n  " +
             std::string(name.size(), ' ') +
             " [--reflash] [--write-timeout S] [--answer-timeout S] [IMAGE]\n  " + name +
             " --help | --version\n";
    }
    return "\nUsage:\n  " + name +
           " [--family pipe|driver] [--json FILE] [--write-timeout S] [--answer-timeout S] IMAGE\n  " +
           name +
           " --station [--log FILE] [--sha256 HEX] [--port LOCATION]... [--max-devices N]\n  " +
           std::string(name.size(), ' ') +
           "           [--count N] [--reflash] [--write-timeout S] [--answer-timeout S] IMAGE\n  " +
           name + " --list\n  " + name + " --help | --version\n";
  }

 private:
  bool board_;
};


}  // namespace

namespace {

// Both programs' arguments: PelorinCli's forms, or (`board`) PelorinStation's, which are the
// station's options with the IMAGE optional.
ParsedArguments Parse(const std::vector<std::string>& arguments, bool board) {
  const char* program = board ? BOARD_NAME : CLI_NAME;
  const auto UsageError = [program](const std::string& message) {
    return cli::UsageError(message, program);
  };
  CLI::App app{board ? "Shows a board of the USB ports and flashes every unit as it arrives, one "
                       "production-log line per unit; without IMAGE it asks for one first."
                     : "Writes an OS image into every USB device that is ready and has each "
                       "device verify it; with --station, into every device as it arrives, one "
                       "production-log line per unit.",
               program};
  app.formatter(std::make_shared<HelpFormatter>(board));
  app.footer(
      board ? "Exit status: 0 every unit verified, 1 a unit failed, 2 bad arguments or an image\n"
              "that cannot be sent, 4 a log line could not be written, 130 stopped with units\n"
              "in flight."
            : "Exit status: 0 every device verified, 1 a device failed, 2 bad arguments or an "
              "image that\ncannot be sent, 3 no device ready, 4 the record or a log line could "
              "not be written, 130\ncancelled (Ctrl+C).");
  std::string family = "pipe";
  std::string jsonPath;
  bool list = false;
  bool station = false;
  uint32_t writeTimeout = PIPE_WRITE_TIMEOUT_MS / 1000;
  uint32_t answerTimeout = ANSWER_TIMEOUT_MS / 1000;
  Options stationOptions;
  std::vector<std::string> images;  // more than one is an error of its own, not an extra argument
  app.add_option("--family", family, "pipe (bulk pipes, the default) or driver (driver service)")
      ->check(CLI::IsMember({"pipe", "driver"}));
  app.add_option("--json", jsonPath, "write the run's JSON record to FILE (- standard output)")
      ->type_name("FILE");
  app.add_option("--write-timeout", writeTimeout,
                 "seconds a pipe write may take before the device is given up (default 10)")
      ->type_name("S")
      ->check(CLI::Range(1u, MAX_WRITE_TIMEOUT_S));
  app.add_option("--answer-timeout", answerTimeout,
                 "seconds within which a device must answer after the image, and again after it "
                 "said RECEIVE (default 300)")
      ->type_name("S")
      ->check(CLI::Range(1u, MAX_ANSWER_TIMEOUT_S));
  app.add_flag("--list", list, "print the devices that are present; sends nothing");
  app.add_flag("--station", station,
               "flash every device as it arrives until Ctrl+C (or --count records)");
  app.add_option("--log", stationOptions.logPath,
                 "station: append one JSON line per device that ended to FILE")
      ->type_name("FILE");
  app.add_option("--sha256", stationOptions.sha256,
                 "station: refuse to start unless the image has this SHA-256")
      ->type_name("HEX");
  app.add_option("--port", stationOptions.ports,
                 "station: flash only devices at this location (a final * matches a prefix); "
                 "may be given more than once")
      ->type_name("LOCATION")
      ->allow_extra_args(false);  // one location each: what follows is the image
  app.add_option("--max-devices", stationOptions.maxDevices,
                 "station: devices flashed at once (default 16, at most 64)")
      ->type_name("N")
      ->check(CLI::Range(1, station::STATION_MAX_DEVICES));
  app.add_option("--count", stationOptions.count, "station: end after N records")
      ->type_name("N")
      ->check(CLI::PositiveNumber);
  app.add_flag("--reflash", stationOptions.reflash,
               "station: flash a unit again although the log shows it verified with this image");
  app.set_version_flag("--version", std::string(program) + " " + CLI_VERSION,
                       "print the version and exit");
  app.add_option("IMAGE", images, "the image file (*.PAK or *.nb0), smaller than 4 GiB")
      ->type_name("");

  try {
    // CLI11 takes the arguments last first.
    app.parse(std::vector<std::string>(arguments.rbegin(), arguments.rend()));
  } catch (const CLI::CallForVersion& version) {
    ParsedArguments parsed;
    parsed.options.command = Command::Version;
    parsed.exitStatus = EXIT_VERIFIED;
    parsed.text = version.what();
    return parsed;
  } catch (const CLI::ParseError& error) {
    // CLI11 ends a parse with an exception also when it was asked for help (its exit code
    // Success); every other one is a usage error.
    if (error.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) {
      ParsedArguments parsed;
      parsed.options.command = Command::Help;
      parsed.exitStatus = EXIT_VERIFIED;
      parsed.text = app.help();
      while (!parsed.text.empty() && parsed.text.back() == '\n') parsed.text.pop_back();
      return parsed;
    }
    return UsageError(error.what());
  }

  const auto given = [&app](const char* option) { return app.count(option) > 0; };
  if (board) {
    // The board is a station: the one-shot forms are PelorinCli's.
    for (const char* option : {"--list", "--station", "--family", "--json"}) {
      if (given(option)) return UsageError(std::string(option) + " is PelorinCli's, not " + program + "'s");
    }
    station = true;
  }
  const bool stationOnly = given("--log") || given("--sha256") || given("--port") ||
                           given("--max-devices") || given("--count") || given("--reflash");
  ParsedArguments parsed;
  Options& options = parsed.options;
  if (list) {
    // --list shows what is present and nothing else: it takes no image and no other option.
    if (!images.empty()) return UsageError("--list takes no IMAGE");
    if (arguments.size() != 1) return UsageError("--list takes no other option");
    options.command = Command::List;
    parsed.ok = true;
    parsed.exitStatus = EXIT_VERIFIED;
    return parsed;
  }
  if (images.empty() && !board) return UsageError("the IMAGE argument is missing");
  if (images.size() > 1) return UsageError("one IMAGE only, got " + std::to_string(images.size()));
  if (!images.empty() && images.front().empty()) return UsageError("the IMAGE argument is empty");
  if (given("--json") && jsonPath.empty()) {
    return UsageError("--json needs a file name, or - for standard output");
  }
  if (station) {
    if (family != "pipe") return UsageError("--station serves bulk-pipe devices only (--family pipe)");
    if (given("--json")) return UsageError("--station keeps a log (--log), not a --json record");
    if (given("--log") && stationOptions.logPath.empty()) return UsageError("--log needs a file name");
    if (given("--sha256") && !IsSha256(stationOptions.sha256)) {
      return UsageError("--sha256 needs 64 hexadecimal digits, got \"" + stationOptions.sha256 + "\"");
    }
    for (const std::string& port : stationOptions.ports) {
      if (port.empty()) return UsageError("--port needs a location");
    }
    options = stationOptions;
    options.command = Command::Station;
    options.sha256 = Lower(stationOptions.sha256);
  } else {
    if (stationOnly) {
      return UsageError("--log, --sha256, --port, --max-devices, --count and --reflash need --station");
    }
    options.command = Command::Download;
    options.family = family == "driver" ? Family::Driver : Family::Pipe;
    options.jsonPath = jsonPath;
  }
  if (!images.empty()) options.image = images.front();
  options.writeTimeoutMs = writeTimeout * 1000;
  options.answerTimeoutMs = answerTimeout * 1000;
  parsed.ok = true;
  parsed.exitStatus = EXIT_VERIFIED;
  return parsed;
}

}  // namespace

ParsedArguments ParseArguments(const std::vector<std::string>& arguments) {
  return Parse(arguments, false);
}

ParsedArguments ParseBoardArguments(const std::vector<std::string>& arguments) {
  return Parse(arguments, true);
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

bool IsSha256(std::string_view text) {
  return text.size() == 64 && std::all_of(text.begin(), text.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
         });
}

std::string Lower(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
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
