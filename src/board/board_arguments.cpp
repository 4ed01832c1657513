#include "board_arguments.h"

#include <CLI/CLI.hpp>
#include <optional>
#include <utility>

#include "pelorin_version.h"

namespace pelorin::board {
namespace {

// The language the command line asks for (--lang ko, --lang=ko), read before the parse so that
// the help and the parse's errors already speak it. Nothing when it asks for none, or for one
// the board does not speak (the parse refuses that).
std::optional<Language> AskedLanguage(const std::vector<std::string>& arguments) {
  constexpr std::string_view OPTION = "--lang", WITH_VALUE = "--lang=";
  for (size_t i = 0; i < arguments.size(); ++i) {
    if (arguments[i] == OPTION && i + 1 < arguments.size()) return ParseLanguage(arguments[i + 1]);
    if (arguments[i].rfind(WITH_VALUE, 0) == 0)
      return ParseLanguage(std::string_view(arguments[i]).substr(WITH_VALUE.size()));
  }
  return std::nullopt;
}

BoardArguments UsageError(const BoardTexts& texts, Language language, const std::string& message) {
  BoardArguments parsed;
  parsed.exitStatus = EXIT_USAGE;
  parsed.language = language;
  parsed.text = std::string(BOARD_NAME) + ": " + message + "\n" + texts(Text::UsageHint);
  return parsed;
}

// Each option's line of the help, in the board's words.
constexpr std::pair<const char*, Text> OPTION_HELP[] = {
    {"--lang", Text::HelpLang},
    {"--family", Text::HelpFamily},
    {"--json", Text::HelpJson},
    {"--write-timeout", Text::HelpWriteTimeout},
    {"--answer-timeout", Text::HelpAnswerTimeout},
    {"--list", Text::HelpList},
    {"--station", Text::HelpStation},
    {"--log", Text::HelpLogOption},
    {"--sha256", Text::HelpSha256},
    {"--port", Text::HelpPort},
    {"--max-devices", Text::HelpMaxDevices},
    {"--count", Text::HelpCount},
    {"--reflash", Text::HelpReflash},
    {"--database", Text::HelpDatabase},
    {"--name", Text::HelpName},
    {"IMAGE", Text::HelpImage},
};

}  // namespace

BoardArguments ParseBoardArguments(const std::vector<std::string>& arguments, Language uiLanguage) {
  const Language language = AskedLanguage(arguments).value_or(uiLanguage);
  const BoardTexts& texts = TextsFor(language);
  CLI::App app{texts(Text::HelpIntro), BOARD_NAME};
  app.footer(texts(Text::HelpFooter));
  std::string languageName;
  app.add_option("--lang", languageName)
      ->type_name("ko|en")
      ->check(CLI::IsMember({"ko", "en"}).description(""));  // its type name says it
  // PelorinCli's own forms: the help lists them where PelorinCli's does, and each is refused by
  // name.
  std::string family;
  std::string jsonPath;
  bool list = false;
  bool stationForm = false;
  station::StationOptions station;
  app.add_option("--family", family)->check(CLI::IsMember({"pipe", "driver"}));
  app.add_option("--json", jsonPath)->type_name("FILE");
  station.AddLimits(app);
  app.add_flag("--list", list);
  app.add_flag("--station", stationForm);
  station.AddStationOptions(app);
  app.set_help_flag("-h,--help", texts(Text::HelpHelp));
  app.set_version_flag("--version", std::string(BOARD_NAME) + " " + PELORIN_VERSION_TEXT,
                       texts(Text::HelpVersion));
  for (const auto& [name, help] : OPTION_HELP) app.get_option(name)->description(texts(help));
  for (CLI::Option* option : app.get_options()) option->group(texts(Text::HelpOptions));
  station::SetUsage(app, "\n" + texts(Text::HelpUsage) + ":\n" +
                             station.Usage(BOARD_NAME, true, {"[--lang ko|en]"}) + "  " +
                             BOARD_NAME + " --help | --version\n");
  app.get_formatter()->label("Positionals", texts(Text::HelpPositionals));

  const station::CommandLine line = station::ParseCommandLine(app, arguments);
  switch (line.end) {
    case station::CommandLine::Parsed: break;
    case station::CommandLine::Help:
    case station::CommandLine::Version: {
      BoardArguments parsed;
      parsed.exitStatus = EXIT_VERIFIED;
      parsed.language = language;
      parsed.text = line.text;
      return parsed;
    }
    case station::CommandLine::Error: return UsageError(texts, language, line.text);
  }
  for (const char* option : {"--list", "--station", "--family", "--json"}) {
    if (app.count(option) > 0)
      return UsageError(texts, language, texts(Text::NotBoardOption, {option}));
  }
  if (const std::string error = station.CheckImage(false); !error.empty())
    return UsageError(texts, language, error);
  if (const std::string error = station.Check(); !error.empty())
    return UsageError(texts, language, error);
  BoardArguments parsed;
  parsed.ok = true;
  parsed.exitStatus = EXIT_VERIFIED;
  parsed.language = languageName.empty() ? uiLanguage : *ParseLanguage(languageName);
  parsed.setup = station.Setup();
  return parsed;
}

}  // namespace pelorin::board
