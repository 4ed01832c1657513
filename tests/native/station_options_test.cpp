// The station's options as both faces take them: PelorinStation.exe's own arguments, and the
// same options, checks, usage and setup through PelorinCli --station.
#include "station_options.h"

#include <gtest/gtest.h>

#include "board_arguments.h"
#include "cli_core.h"

namespace pelorin {
namespace {

using board::BoardArguments;
using board::ParseBoardArguments;

// The text of a usage error without the program's name, or "" for none.
std::string Message(const std::string& text, const std::string& program) {
  return text.rfind(program + ": ", 0) == 0 ? text.substr(program.size() + 2) : "";
}

// The usage part of a help text.
std::string UsageOf(const std::string& help) {
  const size_t begin = help.find("Usage:");
  return help.substr(begin, help.find("\n\n", begin) - begin);
}

TEST(BoardArguments, TheStationsOptionsWithTheImageOptional) {
  const BoardArguments bare = ParseBoardArguments({});
  ASSERT_TRUE(bare.ok) << bare.text;
  EXPECT_EQ(bare.setup.imagePath, "");
  const BoardArguments full =
      ParseBoardArguments({"--log", "l.jsonl", "--port", "P1", "--count", "3", "os.nb0"});
  ASSERT_TRUE(full.ok) << full.text;
  EXPECT_EQ(full.setup.imagePath, "os.nb0");
  EXPECT_EQ(full.setup.logPath, "l.jsonl");
  EXPECT_EQ(full.setup.settings.ports, std::vector<std::string>{"P1"});
  EXPECT_EQ(full.setup.settings.count, 3u);
  for (const auto& arguments : {std::vector<std::string>{"--json", "x.json", "os.nb0"},
                                std::vector<std::string>{"--station", "os.nb0"},
                                std::vector<std::string>{"--list"},
                                std::vector<std::string>{"--family", "pipe", "os.nb0"},
                                std::vector<std::string>{"--max-devices", "65"}}) {
    const BoardArguments refused = ParseBoardArguments(arguments);
    EXPECT_FALSE(refused.ok) << arguments[0];
    EXPECT_EQ(refused.exitStatus, EXIT_USAGE);
    EXPECT_EQ(refused.text.rfind("PelorinStation: ", 0), 0u) << refused.text;
    EXPECT_NE(refused.text.find("\nRun with --help for more information."), std::string::npos);
  }
  EXPECT_EQ(ParseBoardArguments({"--json", "x.json"}).text,
            "PelorinStation: --json is PelorinCli's, not PelorinStation's\n"
            "Run with --help for more information.");

  const BoardArguments help = ParseBoardArguments({"--help"});
  EXPECT_FALSE(help.ok);
  EXPECT_EQ(help.exitStatus, EXIT_VERIFIED);
  EXPECT_EQ(help.text.rfind("Shows a board of the USB ports", 0), 0u) << help.text;
  EXPECT_NE(help.text.find("\n  --reflash "), std::string::npos) << help.text;
  // The board's help describes the options it shares with PelorinCli in PelorinCli's words.
  const std::string cliHelp = cli::ParseArguments({"--help"}).text;
  for (board::Text id :
       {board::Text::HelpFamily, board::Text::HelpJson, board::Text::HelpList,
        board::Text::HelpStation, board::Text::HelpWriteTimeout, board::Text::HelpAnswerTimeout,
        board::Text::HelpLogOption, board::Text::HelpSha256, board::Text::HelpPort,
        board::Text::HelpMaxDevices, board::Text::HelpCount, board::Text::HelpReflash,
        board::Text::HelpImage}) {
    const std::string_view words = board::TextsFor(board::Language::English)[id];
    EXPECT_NE(cliHelp.find(words), std::string::npos) << words;
    EXPECT_NE(help.text.find(words), std::string::npos) << words;
  }
  const BoardArguments version = ParseBoardArguments({"--version"});
  EXPECT_FALSE(version.ok);
  EXPECT_EQ(version.exitStatus, EXIT_VERIFIED);
  EXPECT_EQ(version.text, "PelorinStation 3.1.1.0");
}

// Each program's usage lines, the station's form broken where it would pass 100 columns.
TEST(StationOptions, BothProgramsShowTheStationsFormInTheirUsage) {
  EXPECT_EQ(UsageOf(ParseBoardArguments({"--help"}).text),
            "Usage:\n"
            "  PelorinStation [--lang ko|en] [--log FILE] [--sha256 HEX] [--port LOCATION]... "
            "[--max-devices N]\n"
            "                 [--count N] [--reflash] [--database CONNECTION] [--name NAME] "
            "[--write-timeout S]\n"
            "                 [--answer-timeout S] [IMAGE]\n"
            "  PelorinStation --help | --version");
  EXPECT_EQ(UsageOf(cli::ParseArguments({"--help"}).text),
            "Usage:\n"
            "  PelorinCli [--family pipe|driver] [--json FILE] [--write-timeout S] "
            "[--answer-timeout S] IMAGE\n"
            "  PelorinCli --station [--log FILE] [--sha256 HEX] [--port LOCATION]... "
            "[--max-devices N]\n"
            "                       [--count N] [--reflash] [--database CONNECTION] [--name NAME]\n"
            "                       [--write-timeout S] [--answer-timeout S] IMAGE\n"
            "  PelorinCli --list\n"
            "  PelorinCli --help | --version");
}

// Whatever the station's options say, PelorinStation and PelorinCli --station make the same of
// it: the same setup, or the same usage error under each program's name.
TEST(StationOptions, BothFacesTakeThemAlike) {
  const std::vector<std::vector<std::string>> cases = {
      {"--log", "line.jsonl", "--sha256", std::string(63, 'A') + "b", "--port", "P1", "--port",
       "PCIROOT(0)#*", "--max-devices", "64", "--count", "20", "--reflash", "--write-timeout",
       "30", "--answer-timeout", "900", "os.nb0"},
      {"os.nb0"},
      {"--port=P1", "--port=P2*", "os.nb0"},
      {"--max-devices", "65", "os.nb0"},
      {"--max-devices", "0", "os.nb0"},
      {"--count", "0", "os.nb0"},
      {"--log", "", "os.nb0"},
      {"--sha256", "abc", "os.nb0"},
      {"--sha256", std::string(63, 'a') + "g", "os.nb0"},
      {"os.nb0", "--port", ""},
      {"--write-timeout", "0", "os.nb0"},
      {"--answer-timeout", "3601", "os.nb0"},
      {"a.nb0", "b.nb0"},
      {""},
      {"--log", "", "--sha256", "x", "--port", "", "os.nb0"},
      {"--log", "l.jsonl", "--database", "DSN=fleet", "--name", "LINE-3 A", "os.nb0"},
      {"--database", "DSN=fleet", "os.nb0"},
      {"--log", "l.jsonl", "--database", " ", "os.nb0"},
      {"--log", "l.jsonl", "--name", "", "os.nb0"},
  };
  for (const auto& arguments : cases) {
    const std::string label = ::testing::PrintToString(arguments);
    std::vector<std::string> station = {"--station"};
    station.insert(station.end(), arguments.begin(), arguments.end());
    const cli::ParsedArguments cli = cli::ParseArguments(station);
    const BoardArguments board = ParseBoardArguments(arguments);
    ASSERT_EQ(cli.ok, board.ok) << label << ": " << cli.text << " | " << board.text;
    if (!cli.ok) {
      EXPECT_NE(Message(cli.text, "PelorinCli"), "") << label << ": " << cli.text;
      EXPECT_EQ(Message(cli.text, "PelorinCli"), Message(board.text, "PelorinStation")) << label;
      continue;
    }
    const station::StationSetup& a = cli.options.setup;
    const station::StationSetup& b = board.setup;
    EXPECT_EQ(a.imagePath, b.imagePath) << label;
    EXPECT_EQ(a.logPath, b.logPath) << label;
    EXPECT_EQ(a.sha256, b.sha256) << label;
    EXPECT_EQ(a.settings.ports, b.settings.ports) << label;
    EXPECT_EQ(a.settings.maxDevices, b.settings.maxDevices) << label;
    EXPECT_EQ(a.settings.count, b.settings.count) << label;
    EXPECT_EQ(a.settings.reflash, b.settings.reflash) << label;
    EXPECT_EQ(a.limits.writeMs, b.limits.writeMs) << label;
    EXPECT_EQ(a.limits.answerMs, b.limits.answerMs) << label;
    EXPECT_EQ(a.database, b.database) << label;
    EXPECT_EQ(a.name, b.name) << label;
  }
}

// --database and --name: what each takes and refuses, in both faces' words; the warning for a
// password in the connection string, which never shows the password.
TEST(StationOptions, TheDatabaseNeedsTheLogAndAPasswordInItIsWarnedAbout) {
  const std::string connection =
      "Driver={PostgreSQL Unicode};Server=db;Database=fleet;UID=st;PWD={s3;cret}";
  const BoardArguments board =
      ParseBoardArguments({"--log", "l.jsonl", "--database", connection, "--name", "LINE-3"});
  ASSERT_TRUE(board.ok) << board.text;
  EXPECT_EQ(board.setup.database, connection) << "handed on as it is";
  EXPECT_EQ(board.setup.name, "LINE-3");
  EXPECT_EQ(Message(ParseBoardArguments({"--database", "DSN=fleet"}).text, "PelorinStation"),
            "--database needs --log: the database is sent the log's records\n"
            "Run with --help for more information.");
  const std::string warning = station::DatabasePasswordWarning(connection);
  EXPECT_NE(warning.find("DSN=name"), std::string::npos) << warning;
  EXPECT_NE(warning.find("pgpass.conf"), std::string::npos) << warning;
  EXPECT_EQ(warning.find("s3"), std::string::npos) << "never the password itself";
  EXPECT_EQ(station::DatabasePasswordWarning("DSN=fleet"), "");
  EXPECT_EQ(station::DatabasePasswordWarning("DSN=fleet;UID=pwd"), "");
}

// The one-shot forms refuse the station's own options, naming every one of them.
TEST(StationOptions, TheOneShotFormsNameEveryStationOptionTheyRefuse) {
  EXPECT_EQ(cli::ParseArguments({"--reflash", "os.nb0"}).text,
            "PelorinCli: --log, --sha256, --port, --max-devices, --count, --reflash, --database "
            "and --name need --station\nRun with --help for more information.");
}

TEST(StationOptions, Sha256IsSixtyFourHexDigitsOfEitherCase) {
  EXPECT_TRUE(station::IsSha256(std::string(32, 'a') + std::string(32, 'F')));
  EXPECT_TRUE(station::IsSha256(std::string(64, '9')));
  EXPECT_FALSE(station::IsSha256(std::string(63, 'a')));
  EXPECT_FALSE(station::IsSha256(std::string(65, 'a')));
  EXPECT_FALSE(station::IsSha256(std::string(63, 'a') + "g"));
  EXPECT_FALSE(station::IsSha256(""));
  EXPECT_EQ(station::Lower("AbC09fZ"), "abc09fz");
}

}  // namespace
}  // namespace pelorin
