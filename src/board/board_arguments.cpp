#include "board_arguments.h"

#include <CLI/CLI.hpp>

#include "pelorin_version.h"

namespace pelorin::board {
namespace {

BoardArguments UsageError(const std::string& message) {
  BoardArguments parsed;
  parsed.exitStatus = EXIT_USAGE;
  parsed.text = station::UsageErrorText(BOARD_NAME, message);
  return parsed;
}

}  // namespace

BoardArguments ParseBoardArguments(const std::vector<std::string>& arguments) {
  CLI::App app{"Shows a board of the USB ports and flashes every unit as it arrives, one "
               "production-log line per unit; without IMAGE it asks for one first.",
               BOARD_NAME};
  app.footer(
      "Exit status: 0 every unit verified, 1 a unit failed, 2 bad arguments or an image\n"
      "that cannot be sent, 4 a log line could not be written, 130 stopped with units\n"
      "in flight.");
  // PelorinCli's own forms: the help lists them where PelorinCli's does, and each is refused by
  // name.
  std::string family;
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
  app.set_version_flag("--version", std::string(BOARD_NAME) + " " + PELORIN_VERSION_TEXT,
                       "print the version and exit");
  station::SetUsage(app, "\nUsage:\n" + station.Usage(BOARD_NAME, true) + "  " + BOARD_NAME +
                             " --help | --version\n");

  const station::CommandLine line = station::ParseCommandLine(app, arguments);
  switch (line.end) {
    case station::CommandLine::Parsed: break;
    case station::CommandLine::Help:
    case station::CommandLine::Version: {
      BoardArguments parsed;
      parsed.exitStatus = EXIT_VERIFIED;
      parsed.text = line.text;
      return parsed;
    }
    case station::CommandLine::Error: return UsageError(line.text);
  }
  for (const char* option : {"--list", "--station", "--family", "--json"}) {
    if (app.count(option) > 0) {
      return UsageError(std::string(option) + " is PelorinCli's, not " + BOARD_NAME + "'s");
    }
  }
  if (const std::string error = station.CheckImage(false); !error.empty()) return UsageError(error);
  if (const std::string error = station.Check(); !error.empty()) return UsageError(error);
  BoardArguments parsed;
  parsed.ok = true;
  parsed.exitStatus = EXIT_VERIFIED;
  parsed.setup = station.Setup();
  return parsed;
}

}  // namespace pelorin::board
