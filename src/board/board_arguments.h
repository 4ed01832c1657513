// PelorinStation.exe's arguments: the station's options as PelorinCli --station takes them
// (station_options.h), with the IMAGE optional (without it the board asks for one). Its texts
// name PelorinStation and come without a final newline.
//
//   PelorinStation [--log FILE] [--sha256 HEX] [--port LOCATION]... [--max-devices N] [--count N]
//                  [--reflash] [--write-timeout S] [--answer-timeout S] [IMAGE]
//   PelorinStation --help | --version
//
// PelorinCli's own options (--list, --station, --family, --json) are refused by name.
#pragma once

#include <string>
#include <vector>

#include "run_results.h"
#include "station_options.h"

namespace pelorin::board {

inline constexpr char BOARD_NAME[] = "PelorinStation";

// What parsing made of the arguments (UTF-8, without the program name).
struct BoardArguments {
  bool ok = false;  // run the station with `setup`; otherwise show `text` and exit with
                    // `exitStatus`
  station::StationSetup setup;
  int exitStatus = EXIT_USAGE;
  std::string text;  // the --help or --version text (exit 0), or the error message with a hint
                     // to --help (exit 2)
};
BoardArguments ParseBoardArguments(const std::vector<std::string>& arguments);

}  // namespace pelorin::board
