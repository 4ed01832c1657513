// PelorinCli.exe: the headless front end for automated stations. The same downloads as the
// dialog (discovery, the bulk-pipe workers with their watchdog, or the control-pipe download),
// reported on the console and in a JSON record instead of a window; or, with --station, a station
// that flashes every device as it arrives and keeps a production log. See cli_core.h for the
// arguments, exit statuses and record.
#include <windows.h>

#include <string>
#include <vector>

#include "cancellation_win32.h"
#include "cli_core.h"
#include "console_win32.h"
#include "one_shot_win32.h"
#include "station_console_win32.h"
#include "text_win32.h"

int wmain(int argc, wchar_t** argv) {
  using namespace pelorin;
  using namespace pelorin::cli;
  std::vector<std::string> arguments;
  for (int i = 1; i < argc; ++i) arguments.push_back(WideToUtf8(argv[i]));
  const ParsedArguments parsed = ParseArguments(arguments);
  Console& console = Console::Get();
  if (!parsed.ok) {
    if (parsed.exitStatus == EXIT_VERIFIED) {
      console.Out(parsed.text);
    } else {
      console.Err(parsed.text);
    }
    return parsed.exitStatus;
  }
  Cancellation& cancellation = Cancellation::Process();
  int status = EXIT_USAGE;
  switch (parsed.options.command) {
    case Command::Help:
    case Command::Version: console.Out(parsed.text); return EXIT_VERIFIED;
    case Command::List: return RunList();
    case Command::Download:
      cancellation.Install();
      status = RunDownload(parsed.options, cancellation);
      break;
    case Command::Station:
      cancellation.Install();
      status = RunStation(parsed.options, cancellation);
      break;
  }
  cancellation.Finished();
  // The session window's thread ends before the program does.
  cancellation.Uninstall();
  return status;
}
