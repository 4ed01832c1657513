// PelorinStation.exe's arguments: the station's options as PelorinCli --station takes them
// (station_options.h), with the IMAGE optional (without it the board asks for one), and the
// board's own --lang. Its texts name PelorinStation, are in the board's language (the help's
// option words and what the station's checks and CLI11 say stay as they are) and come without a
// final newline.
//
//   PelorinStation [--lang ko|en] [--log FILE] [--sha256 HEX] [--port LOCATION]...
//                  [--max-devices N] [--count N] [--reflash] [--write-timeout S]
//                  [--answer-timeout S] [IMAGE]
//   PelorinStation --help | --version
//
// PelorinCli's own options (--list, --station, --family, --json) are refused by name.
#pragma once

#include <string>
#include <vector>

#include "board_texts.h"
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
  Language language = Language::English;  // --lang, else the user interface's
};
// `uiLanguage`: the board's language where --lang does not choose one (that of Windows' user
// interface language, LanguageOfUi).
BoardArguments ParseBoardArguments(const std::vector<std::string>& arguments,
                                   Language uiLanguage = Language::English);

}  // namespace pelorin::board
