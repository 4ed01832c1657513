// PelorinCli's standard output and standard error: the console's wide API on a console (so that
// Korean texts show on any code page), UTF-8 bytes when redirected. Lines from several threads
// never mix, and a progress (or station status) line on a console is rewritten in place and
// cleared before any other line.
//
// A one-shot run writes each line as it comes. A station must never wait for its console (a
// console window with a selection in it, a pipe nobody reads): there the lines go through a queue
// that a writer thread of its own writes (StartWriter), and nothing else ever blocks on a write.
#pragma once

#include <windows.h>

#include <condition_variable>
#include <deque>
#include <functional>
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
  // (standard output closed, a full disk, a broken pipe). With the writer running, each is
  // queued and true: a queued line is never dropped.
  bool Out(const std::string& line);
  bool Err(const std::string& line);
  // A device or summary line: standard output, or standard error after SendLinesToErr.
  bool Line(const std::string& line);
  // Rewrites the progress line in place (standard error on a console only; nothing otherwise).
  // With the writer running, only the newest progress line waits to be written: older ones are
  // dropped, never a line.
  void Progress(const std::string& line);

  // Starts the writer thread and returns once it runs. From then on every line is queued. While
  // the queue is empty, the writer shows `status()` (if given) as the progress line every
  // `statusMs` (on a console only); `status` is called on the writer's thread.
  void StartWriter(std::function<std::string()> status = {}, uint32_t statusMs = 500);
  // Waits until every queued line is written, then ends the writer thread. Once `giveUp` (a
  // manual-reset event; may be null) is set, waits at most `graceMs` more: what the console has
  // not taken by then is lost with the process. Lines are written directly again afterwards.
  void StopWriter(HANDLE giveUp, uint32_t graceMs);

 private:
  Console();
  bool Write(bool toErr, const std::string& line);
  // With writeMutex_ held: one line (after clearing the progress line), or the progress line.
  bool WriteLine(bool toErr, const std::string& line);
  void WriteProgress(const std::string& line);
  static bool WriteText(HANDLE handle, bool console, const std::string& text);
  static DWORD WINAPI WriterThread(LPVOID self);
  void WriterLoop();

  HANDLE out_, err_;
  bool outIsConsole_ = false, errIsConsole_ = false;
  bool linesToErr_ = false;
  std::mutex writeMutex_;     // one write at a time: a line, or the progress line
  size_t progressWidth_ = 0;  // of the progress line on the console, 0 when none is shown

  // The writer's queue, guarded by queueMutex_.
  struct Queued {
    bool toErr;
    std::string line;
  };
  std::mutex queueMutex_;
  std::condition_variable queued_;
  bool writing_ = false;   // the writer runs: lines are queued
  bool stopping_ = false;  // StopWriter: end once the queue is empty
  std::deque<Queued> lines_;
  std::string progress_;  // the newest progress line not yet written ("" none)
  std::function<std::string()> status_;
  uint32_t statusMs_ = 500;
  HANDLE writer_ = nullptr;
  HANDLE writerReady_ = nullptr;  // set by the writer thread once it runs
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
