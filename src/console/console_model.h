// The download console's state and rules, apart from any window: what the status line says for
// each report, how finished devices are counted against expected devices, when a download ends,
// the progress-bar positions and the elapsed-time text. The dialog (loader_dialog_win32.cpp)
// owns one ConsoleModel, feeds it the messages it receives, and applies the returned effects to
// its controls. Only the dialog thread touches it.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "download_report.h"

namespace pelorin {

// What the dialog must do to its controls after the model handled a message.
struct ConsoleEffects {
  bool load = false;           // write the fields (status text, bars) into the controls
  bool enableButtons = false;  // enable Open, Exit and Download again
  bool startTimer = false;     // start ELAPSED_TIMER_ID (1000 ms)
  bool stopTimer = false;      // stop ELAPSED_TIMER_ID
  bool clearWorker = false;    // forget the running download thread
  int32_t bar = -1;            // move this one progress bar (0..15) to its position; -1: none
};

class ConsoleModel {
 public:
  ConsoleModel();

  // Download pressed: the buttons are disabled, the status line reads "Ready" and a download
  // thread is about to start. Forgets the previous download's failures.
  void BeginDownload();
  // No download thread could be started: the dialog returns to idle at once.
  ConsoleEffects AbandonDownload();

  ConsoleEffects OnStatus(int32_t code, int32_t lParam);
  // Moves one bar and touches no other control; bars outside 0..15 are ignored.
  ConsoleEffects OnProgress(int32_t bar, int32_t position);
  ConsoleEffects OnControl(int32_t request, int32_t argument);
  // One tick of ELAPSED_TIMER_ID: adds a second; the label text is ElapsedText().
  void OnTimerTick() { ++elapsedSeconds_; }

  // " %d Min %d Sec" for a number of seconds (note the leading blank).
  static std::string FormatElapsed(int32_t seconds);
  // The status text for a code, or empty for codes that set none.
  static std::string StatusText(int32_t code, int32_t lParam);

  const std::string& statusText() const { return statusText_; }
  void setStatusText(std::string text) { statusText_ = std::move(text); }
  int32_t barPosition(int bar) const { return bars_[static_cast<size_t>(bar)]; }
  int32_t elapsedSeconds() const { return elapsedSeconds_; }
  std::string ElapsedText() const { return FormatElapsed(elapsedSeconds_); }
  int32_t finishedDevices() const { return finishedDevices_; }
  int32_t expectedDevices() const { return expectedDevices_; }
  bool downloading() const { return downloading_; }
  bool timerRunning() const { return timerRunning_; }
  // The first failure's status text in the current download ("" when none).
  const std::string& firstFailure() const { return firstFailure_; }

 private:
  ConsoleEffects CountFinishedDevice(int32_t code);
  ConsoleEffects EndDownload(ConsoleEffects effects);

  int32_t elapsedSeconds_ = 0;
  int32_t finishedDevices_ = 0;
  int32_t expectedDevices_ = 0;
  bool downloading_ = false;   // a running download thread is referenced
  bool timerRunning_ = false;  // ELAPSED_TIMER_ID is set on the dialog window
  std::array<int32_t, PROGRESS_BAR_COUNT> bars_{};
  std::string statusText_;
  // Status text of the first STATUS_ERROR or STATUS_CHECKSUMS_ERROR of the current download,
  // shown again at its end so that a failed device is never summed up as "Complete".
  std::string firstFailure_;
};

}  // namespace pelorin
