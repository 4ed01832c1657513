// PelorinCli's standard output and standard error: the console's wide API on a console (so that
// Korean texts show on any code page), UTF-8 bytes when redirected. Lines from several threads
// never mix, and a progress (or station status) line on a console is rewritten in place and
// cleared before any other line.
#pragma once

#include <windows.h>

#include <mutex>
#include <string>

#include "device_activity.h"
#include "download_report.h"

namespace pelorin::cli {

class Console {
 public:
  // The process's one console, shared by every thread (never freed: download threads may still
  // print while main ends).
  static Console& Get();

  bool errIsConsole() const { return errIsConsole_; }
  // With the record on standard output, the device and summary lines go to standard error.
  void SendLinesToErr() { linesToErr_ = true; }

  // Each writes one line (a newline is added). False when it could not be written whole
  // (standard output closed, a full disk, a broken pipe).
  bool Out(const std::string& line);
  bool Err(const std::string& line);
  // A device or summary line: standard output, or standard error after SendLinesToErr.
  bool Line(const std::string& line);
  // Rewrites the progress line in place (standard error on a console only; nothing otherwise).
  void Progress(const std::string& line);

 private:
  Console();
  bool WriteLine(HANDLE handle, bool console, const std::string& line);
  static bool Write(HANDLE handle, bool console, const std::string& text);

  HANDLE out_, err_;
  bool outIsConsole_ = false, errIsConsole_ = false;
  bool linesToErr_ = false;
  std::mutex mutex_;
  size_t progressWidth_ = 0;  // of the progress line on the console, 0 when none is shown
};

// The part of a console front end's Reporter that tells the boxes a dialog would show, as
// "CAPTION: TEXT" lines on standard error (an application box's caption is the program's name).
class ConsoleBoxes : public BoardReporter {
 public:
  using BoardReporter::BoardReporter;
  void PostStatus(int32_t, int32_t) override {}
  void PostProgress(int32_t, int32_t) override {}
  void Control(DownloadControl, int32_t) override {}
  void ShowStopBox(std::string_view text, std::string_view caption) override;
  void ShowAppBox(std::string_view text, BoxIcon icon) override;
};

}  // namespace pelorin::cli
