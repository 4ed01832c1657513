// The station's options on a command line, with their checks, as both faces take them:
// PelorinCli --station and PelorinStation.exe each make a CLI11 app of their own (their program's
// name, their other forms, their help) and add these to it, so that an option added here is
// taken, checked, shown in the help and the usage, and handed to the engine alike by both.
//
//   [--log FILE] [--sha256 HEX] [--port LOCATION]... [--max-devices N] [--count N] [--reflash]
//   [--database CONNECTION] [--name NAME] [--write-timeout S] [--answer-timeout S] IMAGE
//
// PelorinCli's one-shot downloads take the same limits and IMAGE. Every text comes without a
// program's name and without a final newline unless said otherwise.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "pipe_download.h"
#include "station_core.h"

namespace CLI {
class App;
class Option;
}  // namespace CLI

namespace pelorin::station {

// --write-timeout and --answer-timeout, in seconds.
inline constexpr uint32_t MAX_WRITE_TIMEOUT_S = 600;
inline constexpr uint32_t MAX_ANSWER_TIMEOUT_S = 3600;

// The station's options, as both faces take them.
struct StationSetup {
  std::string imagePath;  // UTF-8
  std::string logPath;    // UTF-8; "" none
  std::string sha256;     // the expected SHA-256, lower-case hex; "" none
  // The fleet's database: an ODBC connection string or "DSN=name" ("" none). Handed to the
  // driver as it is; never printed, logged or shown (fleet::RedactConnectionString).
  std::string database;
  std::string name;  // the station's name in its records; "" the computer's name
  StationSettings settings;
  PipeCallLimits limits;
};

// Whether `text` is a SHA-256 as --sha256 takes it: 64 hexadecimal digits, either case.
bool IsSha256(std::string_view text);
// `text` with A-Z in lower case (a SHA-256 is compared in lower case).
std::string Lower(std::string text);

// The warning for a --database text (or the board's Database field) that holds a password,
// naming the safer places; "" when it holds none. Both faces show it and go on.
std::string DatabasePasswordWarning(std::string_view database);

// The station's options in one face's CLI11 app. The app keeps pointers into this object: it
// must outlive the parse, and stays where it is.
class StationOptions {
 public:
  StationOptions() = default;
  StationOptions(const StationOptions&) = delete;
  StationOptions& operator=(const StationOptions&) = delete;

  // Adds --write-timeout and --answer-timeout: the pipe workers' limits (the dialog's by default).
  void AddLimits(CLI::App& app);
  // Adds the station's own options (--log to --name) and the IMAGE.
  void AddStationOptions(CLI::App& app);

  // The usage words of the limits: "[--write-timeout S] [--answer-timeout S]".
  std::string LimitsUsage() const;
  // The usage of the station's form, one or more lines each ending in a newline:
  //   "  HEAD [--log FILE] [--sha256 HEX] ... [--answer-timeout S] IMAGE"
  // ("[IMAGE]" when it is optional; a face's own `firstWords` before the station's), broken
  // before a word that would pass column 100; the lines after the first start under the first
  // word after HEAD.
  std::string Usage(std::string_view head, bool imageOptional,
                    const std::vector<std::string>& firstWords = {}) const;

  // After the parse.
  // Whether any of the station's own options was given.
  bool OwnGiven() const;
  // The station's own options for a usage error: "--log, --sha256, ... and --reflash".
  std::string OwnNames() const;
  bool ImageGiven() const { return !images_.empty(); }
  // The IMAGE's usage error, or "" when it is good: one, not empty, and (`required`) given.
  std::string CheckImage(bool required) const;
  // The station's own options' usage error, or "" when they are good.
  std::string Check() const;
  // What was given: the SHA-256 in lower case, the limits in milliseconds, "" for no IMAGE.
  StationSetup Setup() const;

 private:
  // Name the option's value `value` ("" for a flag) and keep its usage word; Own also counts
  // it among the station's own options.
  CLI::Option* Limit(CLI::Option* option, const std::string& value);
  CLI::Option* Own(CLI::Option* option, const std::string& value);

  StationSetup given_;
  uint32_t writeTimeoutS_ = PIPE_WRITE_TIMEOUT_MS / 1000;
  uint32_t answerTimeoutS_ = ANSWER_TIMEOUT_MS / 1000;
  std::vector<std::string> images_;  // more than one is an error of its own, not an extra argument
  std::vector<CLI::Option*> own_;    // the station's own options, in the order they were added
  std::vector<std::string> ownWords_, limitsWords_;
  CLI::Option* log_ = nullptr;
  CLI::Option* sha256_ = nullptr;
  CLI::Option* database_ = nullptr;
  CLI::Option* name_ = nullptr;
};

// One parse of a face's command line (UTF-8, without the program name) by `app`.
struct CommandLine {
  enum End { Parsed, Help, Version, Error };
  End end = Error;
  std::string text;  // Help: the help; Version: the version text; Error: what CLI11 refused
};
CommandLine ParseCommandLine(CLI::App& app, const std::vector<std::string>& arguments);

// Makes `usage` the usage part of the app's help (CLI11 would list every option in it).
void SetUsage(CLI::App& app, std::string usage);

// A usage error as both faces show it: "PROGRAM: MESSAGE" and, on a line of its own, the hint
// to --help.
std::string UsageErrorText(std::string_view program, std::string_view message);

}  // namespace pelorin::station
