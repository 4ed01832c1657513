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
  return Write(false, line);
}

bool Console::Err(const std::string& line) {
  return Write(true, line);
}

bool Console::Line(const std::string& line) {
  return Write(linesToErr_, line);
}

void Console::Progress(const std::string& line) {
  if (!errIsConsole_) return;
  {
    std::lock_guard lock(queueMutex_);
    if (writing_) {
      progress_ = line;
      queued_.notify_one();
      return;
    }
  }
  std::lock_guard lock(writeMutex_);
  WriteProgress(line);
}

bool Console::Write(bool toErr, const std::string& line) {
  {
    std::lock_guard lock(queueMutex_);
    if (writing_) {
      lines_.push_back({toErr, line});
      queued_.notify_one();
      return true;
    }
  }
  std::lock_guard lock(writeMutex_);
  return WriteLine(toErr, line);
}

bool Console::WriteLine(bool toErr, const std::string& line) {
  if (progressWidth_ != 0) {  // clear the progress line first
    std::string blank(progressWidth_ + 2, ' ');
    blank.front() = blank.back() = '\r';
    WriteText(err_, true, blank);
    progressWidth_ = 0;
  }
  return toErr ? WriteText(err_, errIsConsole_, line + "\n")
               : WriteText(out_, outIsConsole_, line + "\n");
}

void Console::WriteProgress(const std::string& line) {
  std::string text = "\r" + line;
  if (line.size() < progressWidth_) text += std::string(progressWidth_ - line.size(), ' ');
  progressWidth_ = line.size();
  WriteText(err_, true, text);
}

bool Console::WriteText(HANDLE handle, bool console, const std::string& text) {
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

void Console::StartWriter(std::function<std::string()> status, uint32_t statusMs) {
  {
    std::lock_guard lock(queueMutex_);
    if (writing_) return;
    status_ = std::move(status);
    statusMs_ = statusMs;
    stopping_ = false;
    writing_ = true;
  }
  writerReady_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  writer_ = CreateThread(nullptr, 0, WriterThread, this, 0, nullptr);
  if (writer_ == nullptr) {
    // No thread: lines are written directly, as in a one-shot run.
    std::lock_guard lock(queueMutex_);
    writing_ = false;
  } else {
    // Running before anything relies on it (and before the program could end under it).
    WaitForSingleObject(writerReady_, INFINITE);
  }
  CloseHandle(writerReady_);
  writerReady_ = nullptr;
}

DWORD WINAPI Console::WriterThread(LPVOID self) {
  Console* console = static_cast<Console*>(self);
  SetEvent(console->writerReady_);
  console->WriterLoop();
  return 0;
}

void Console::WriterLoop() {
  std::unique_lock lock(queueMutex_);
  for (;;) {
    if (!lines_.empty()) {
      Queued next = std::move(lines_.front());
      lines_.pop_front();
      lock.unlock();
      {
        std::lock_guard write(writeMutex_);
        WriteLine(next.toErr, next.line);
      }
      lock.lock();
      continue;
    }
    if (stopping_) break;
    if (!progress_.empty()) {
      std::string line = std::move(progress_);
      progress_.clear();
      lock.unlock();
      {
        std::lock_guard write(writeMutex_);
        WriteProgress(line);
      }
      lock.lock();
      continue;
    }
    const bool timedOut =
        queued_.wait_for(lock, std::chrono::milliseconds(statusMs_)) == std::cv_status::timeout;
    if (timedOut && status_ && errIsConsole_ && lines_.empty() && !stopping_) {
      std::function<std::string()> status = status_;
      lock.unlock();
      const std::string line = status();
      lock.lock();
      if (progress_.empty()) progress_ = line;
    }
  }
}

void Console::StopWriter(HANDLE giveUp, uint32_t graceMs) {
  if (writer_ == nullptr) return;
  {
    std::lock_guard lock(queueMutex_);
    stopping_ = true;
    progress_.clear();
    queued_.notify_all();
  }
  // Every line is owed: wait as long as the console takes them, unless told to give up.
  HANDLE waits[2] = {writer_, giveUp};
  const DWORD woke =
      WaitForMultipleObjects(giveUp != nullptr ? 2 : 1, waits, FALSE, INFINITE);
  if (woke != WAIT_OBJECT_0) WaitForSingleObject(writer_, graceMs);
  if (WaitForSingleObject(writer_, 0) == WAIT_OBJECT_0) {
    CloseHandle(writer_);
    writer_ = nullptr;
    std::lock_guard lock(queueMutex_);
    writing_ = false;
  }
  // Else the writer is stuck in a write that the console never takes: it ends with the process.
}

void ConsoleBoxes::ShowStopBox(std::string_view text, std::string_view caption) {
  Console::Get().Err(BoxLine(std::string(caption), std::string(text)));
}

void ConsoleBoxes::ShowAppBox(std::string_view text, BoxIcon) {
  Console::Get().Err(BoxLine(CLI_NAME, std::string(text)));
}

}  // namespace pelorin::cli
