#include "console_win32.h"

#include "cli_core.h"
#include "text_win32.h"

namespace pelorin::cli {

Console& Console::Get() {
  static Console* console = new Console();
  return *console;
}

Console::Console() {
  out_ = GetStdHandle(STD_OUTPUT_HANDLE);
  err_ = GetStdHandle(STD_ERROR_HANDLE);
  DWORD mode = 0;
  outIsConsole_ = GetConsoleMode(out_, &mode) != FALSE;
  errIsConsole_ = GetConsoleMode(err_, &mode) != FALSE;
}

bool Console::Out(const std::string& line) {
  return WriteLine(out_, outIsConsole_, line);
}

bool Console::Err(const std::string& line) {
  return WriteLine(err_, errIsConsole_, line);
}

bool Console::Line(const std::string& line) {
  return linesToErr_ ? Err(line) : Out(line);
}

void Console::Progress(const std::string& line) {
  if (!errIsConsole_) return;
  std::lock_guard lock(mutex_);
  std::string text = "\r" + line;
  if (line.size() < progressWidth_) text += std::string(progressWidth_ - line.size(), ' ');
  progressWidth_ = line.size();
  Write(err_, true, text);
}

bool Console::WriteLine(HANDLE handle, bool console, const std::string& line) {
  std::lock_guard lock(mutex_);
  if (progressWidth_ != 0) {  // clear the progress line first
    std::string blank(progressWidth_ + 2, ' ');
    blank.front() = blank.back() = '\r';
    Write(err_, true, blank);
    progressWidth_ = 0;
  }
  return Write(handle, console, line + "\n");
}

bool Console::Write(HANDLE handle, bool console, const std::string& text) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return false;
  if (console) {
    const std::wstring wide = Utf8ToWide(text);
    DWORD done = 0;
    return WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &done, nullptr) &&
           done == wide.size();
  }
  // A pipe may take a long text in parts.
  size_t offset = 0;
  while (offset < text.size()) {
    DWORD done = 0;
    if (!WriteFile(handle, text.data() + offset, static_cast<DWORD>(text.size() - offset), &done,
                   nullptr) ||
        done == 0)
      return false;
    offset += done;
  }
  return true;
}

void ConsoleBoxes::ShowStopBox(std::string_view text, std::string_view caption) {
  Console::Get().Err(BoxLine(std::string(caption), std::string(text)));
}

void ConsoleBoxes::ShowAppBox(std::string_view text, BoxIcon) {
  Console::Get().Err(BoxLine(CLI_NAME, std::string(text)));
}

}  // namespace pelorin::cli
