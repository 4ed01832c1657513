#include "station_options.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <memory>

#include "connection_string.h"

namespace pelorin::station {
namespace {

// The widest a usage line may be.
constexpr size_t USAGE_WIDTH = 100;

// "[--NAME VALUE]", with "..." after an option that may be given more than once.
std::string UsageWord(const CLI::Option* option, const std::string& value) {
  std::string word = "[" + option->get_name() + (value.empty() ? "" : " " + value) + "]";
  if (option->get_items_expected_max() > 1) word += "...";
  return word;
}

// CLI11's help with the program's forms as its usage lines.
class UsageFormatter : public CLI::Formatter {
 public:
  explicit UsageFormatter(std::string usage) : usage_(std::move(usage)) {}
  std::string make_usage(const CLI::App*, std::string) const override { return usage_; }

 private:
  std::string usage_;
};

std::string Joined(const std::vector<std::string>& words) {
  std::string text;
  for (const std::string& word : words) text += (text.empty() ? "" : " ") + word;
  return text;
}

}  // namespace

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

std::string DatabasePasswordWarning(std::string_view database) {
  if (!fleet::HasPassword(database)) return "";
  return "warning: the database's connection string holds a password (PWD=), which any program "
         "that lists processes or reads this station's shortcut can see; keep it in an ODBC data "
         "source (DSN=name) or in the PostgreSQL password file (%APPDATA%\\postgresql\\pgpass.conf) "
         "instead";
}

CLI::Option* StationOptions::Limit(CLI::Option* option, const std::string& value) {
  option->type_name(value);
  limitsWords_.push_back(UsageWord(option, value));
  return option;
}

CLI::Option* StationOptions::Own(CLI::Option* option, const std::string& value) {
  if (!value.empty()) option->type_name(value);
  own_.push_back(option);
  ownWords_.push_back(UsageWord(option, value));
  return option;
}

void StationOptions::AddLimits(CLI::App& app) {
  Limit(app.add_option("--write-timeout", writeTimeoutS_,
                       "seconds a pipe write may take before the device is given up (default 10)"),
        "S")
      ->check(CLI::Range(1u, MAX_WRITE_TIMEOUT_S));
  Limit(app.add_option("--answer-timeout", answerTimeoutS_,
                       "seconds within which a device must answer after the image, and again "
                       "after it said RECEIVE (default 300)"),
        "S")
      ->check(CLI::Range(1u, MAX_ANSWER_TIMEOUT_S));
}

void StationOptions::AddStationOptions(CLI::App& app) {
  log_ = Own(app.add_option("--log", given_.logPath,
                            "station: append one JSON line per device that ended to FILE"),
             "FILE");
  sha256_ = Own(app.add_option("--sha256", given_.sha256,
                               "station: refuse to start unless the image has this SHA-256"),
                "HEX");
  Own(app.add_option("--port", given_.settings.ports,
                     "station: flash only devices at this location (a final * matches a prefix); "
                     "may be given more than once"),
      "LOCATION")
      ->allow_extra_args(false);  // one location each: what follows is the image
  Own(app.add_option("--max-devices", given_.settings.maxDevices,
                     "station: devices flashed at once (default 16, at most 64)"),
      "N")
      ->check(CLI::Range(1, STATION_MAX_DEVICES));
  Own(app.add_option("--count", given_.settings.count, "station: end after N records"), "N")
      ->check(CLI::PositiveNumber);
  Own(app.add_flag("--reflash", given_.settings.reflash,
                   "station: flash a unit again although the log shows it verified with this "
                   "image"),
      "");
  database_ = Own(app.add_option("--database", given_.database,
                                 "station: also send every record to the fleet's PostgreSQL "
                                 "database and ask it whether a unit is already verified: an ODBC "
                                 "connection string or DSN=name (needs --log)"),
                  "CONNECTION");
  name_ = Own(app.add_option("--name", given_.name,
                             "station: the station's name in its records (default: the "
                             "computer's name)"),
              "NAME");
  app.add_option("IMAGE", images_, "the image file (*.PAK or *.nb0), smaller than 4 GiB")
      ->type_name("");
}

std::string StationOptions::LimitsUsage() const {
  return Joined(limitsWords_);
}

std::string StationOptions::Usage(std::string_view head, bool imageOptional,
                                  const std::vector<std::string>& firstWords) const {
  std::vector<std::string> words = firstWords;
  words.insert(words.end(), ownWords_.begin(), ownWords_.end());
  words.insert(words.end(), limitsWords_.begin(), limitsWords_.end());
  words.push_back(imageOptional ? "[IMAGE]" : "IMAGE");
  const std::string indent(2 + head.size(), ' ');
  std::string text;
  std::string line = "  " + std::string(head);
  bool lineHasWord = false;
  for (const std::string& word : words) {
    if (lineHasWord && line.size() + 1 + word.size() > USAGE_WIDTH) {
      text += line + "\n";
      line = indent;
    }
    line += " " + word;
    lineHasWord = true;
  }
  return text + line + "\n";
}

bool StationOptions::OwnGiven() const {
  return std::any_of(own_.begin(), own_.end(),
                     [](const CLI::Option* option) { return option->count() > 0; });
}

std::string StationOptions::OwnNames() const {
  std::string names;
  for (size_t i = 0; i < own_.size(); ++i) {
    if (i > 0) names += i + 1 == own_.size() ? " and " : ", ";
    names += own_[i]->get_name();
  }
  return names;
}

std::string StationOptions::CheckImage(bool required) const {
  if (images_.empty()) return required ? "the IMAGE argument is missing" : "";
  if (images_.size() > 1) return "one IMAGE only, got " + std::to_string(images_.size());
  if (images_.front().empty()) return "the IMAGE argument is empty";
  return "";
}

std::string StationOptions::Check() const {
  if (log_->count() > 0 && given_.logPath.empty()) return "--log needs a file name";
  if (sha256_->count() > 0 && !IsSha256(given_.sha256)) {
    return "--sha256 needs 64 hexadecimal digits, got \"" + given_.sha256 + "\"";
  }
  for (const std::string& port : given_.settings.ports) {
    if (port.empty()) return "--port needs a location";
  }
  if (database_->count() > 0 && given_.database.find_first_not_of(" \t") == std::string::npos)
    return "--database needs an ODBC connection string or DSN=name";
  if (database_->count() > 0 && given_.logPath.empty())
    return "--database needs --log: the database is sent the log's records";
  if (name_->count() > 0 && given_.name.find_first_not_of(" \t") == std::string::npos)
    return "--name needs a name";
  return "";
}

StationSetup StationOptions::Setup() const {
  StationSetup setup = given_;
  setup.imagePath = images_.empty() ? "" : images_.front();
  setup.sha256 = Lower(given_.sha256);
  setup.limits.writeMs = writeTimeoutS_ * 1000;
  setup.limits.answerMs = answerTimeoutS_ * 1000;
  return setup;
}

CommandLine ParseCommandLine(CLI::App& app, const std::vector<std::string>& arguments) {
  CommandLine line;
  try {
    // CLI11 takes the arguments last first.
    app.parse(std::vector<std::string>(arguments.rbegin(), arguments.rend()));
    line.end = CommandLine::Parsed;
  } catch (const CLI::CallForVersion& version) {
    line.end = CommandLine::Version;
    line.text = version.what();
  } catch (const CLI::ParseError& error) {
    // CLI11 ends a parse with an exception also when it was asked for help (its exit code
    // Success); every other one is a usage error.
    if (error.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) {
      line.end = CommandLine::Help;
      line.text = app.help();
      while (!line.text.empty() && line.text.back() == '\n') line.text.pop_back();
    } else {
      line.end = CommandLine::Error;
      line.text = error.what();
    }
  }
  return line;
}

void SetUsage(CLI::App& app, std::string usage) {
  app.formatter(std::make_shared<UsageFormatter>(std::move(usage)));
}

std::string UsageErrorText(std::string_view program, std::string_view message) {
  return std::string(program) + ": " + std::string(message) +
         "\nRun with --help for more information.";
}

}  // namespace pelorin::station
