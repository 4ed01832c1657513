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

// A progress bar's look: normal, or the error state (red under visual styles) of a device that
// failed.
enum class BarState : int32_t { Normal, Error };

// A bar is redrawn for progress at most this often; 100 and every change of state at once.
inline constexpr uint32_t BAR_REDRAW_INTERVAL_MS = 250;

// What the dialog must do to its controls after the model handled a message.
struct ConsoleEffects {
  bool load = false;           // write the fields (status text, sizes, names) into the controls
  bool enableButtons = false;  // enable Open, Exit and Download again
  bool startTimer = false;     // start ELAPSED_TIMER_ID (1000 ms)
  bool stopTimer = false;      // stop ELAPSED_TIMER_ID
  bool clearWorker = false;    // forget the running download thread
  uint32_t drawBars = 0;       // bit n: show bar n at its position and state now
  uint32_t redrawInMs = 0;     // not 0: bars wait their turn; call OnRedrawDue after this long
};

class ConsoleModel {
 public:
  ConsoleModel();

  // Download pressed: the buttons are disabled, the status line reads "Ready" and a download
  // thread is about to start. Forgets the previous download's failures. In a download to the
  // pipe devices a device's failure report (after STATUS_SEND_IMAGE) marks its bar.
  void BeginDownload(bool pipeDevices = true);
  // No download thread could be started: the dialog returns to idle at once.
  ConsoleEffects AbandonDownload();

  ConsoleEffects OnStatus(int32_t code, int32_t lParam);
  // Moves one bar and touches no other control; bars outside 0..15 are ignored. `now` is the
  // dialog's millisecond tick: the bar is shown at once, or when its turn comes (redrawInMs).
  ConsoleEffects OnProgress(int32_t bar, int32_t position, uint32_t now);
  // The redraw timer came: shows the bars whose turn it is.
  ConsoleEffects OnRedrawDue(uint32_t now);
  ConsoleEffects OnControl(int32_t request, int32_t argument);
  // One tick of ELAPSED_TIMER_ID: adds a second; the label text is ElapsedText().
  void OnTimerTick() { ++elapsedSeconds_; }

  // " %d Min %d Sec" for a number of seconds (note the leading blank).
  static std::string FormatElapsed(int32_t seconds);
  // The status text for a code, or empty for codes that set none.
  static std::string StatusText(int32_t code, int32_t lParam);

  const std::string& statusText() const { return statusText_; }
  void setStatusText(std::string text) { statusText_ = std::move(text); }
  // The bar's latest position and state (what it shows, or will show when its turn comes).
  int32_t barPosition(int bar) const { return bars_[static_cast<size_t>(bar)]; }
  BarState barState(int bar) const { return barStates_[static_cast<size_t>(bar)]; }
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
  // Shows `bar` now or lets it wait its turn; `rateLimited` for progress, else at once.
  void ScheduleBar(int bar, uint32_t now, bool rateLimited, ConsoleEffects& effects);
  void SetRedrawDelay(uint32_t now, ConsoleEffects& effects) const;

  int32_t elapsedSeconds_ = 0;
  int32_t finishedDevices_ = 0;
  int32_t expectedDevices_ = 0;
  bool downloading_ = false;   // a running download thread is referenced
  bool timerRunning_ = false;  // ELAPSED_TIMER_ID is set on the dialog window
  std::array<int32_t, PROGRESS_BAR_COUNT> bars_{};
  std::array<BarState, PROGRESS_BAR_COUNT> barStates_{};
  // What the bars show, and when each was last redrawn for progress.
  std::array<int32_t, PROGRESS_BAR_COUNT> shownBars_{};
  std::array<BarState, PROGRESS_BAR_COUNT> shownStates_{};
  std::array<uint32_t, PROGRESS_BAR_COUNT> lastRedraw_{};
  uint32_t redrawnOnce_ = 0;     // bit n: bar n was redrawn for progress in this download
  uint32_t waitingBars_ = 0;     // bit n: bar n waits its turn
  bool pipeDevices_ = true;      // the download in force is one to the pipe devices
  bool markFailedBars_ = false;  // its STATUS_SEND_IMAGE came: failures mark their bars
  std::string statusText_;
  // Status text of the first STATUS_ERROR or STATUS_CHECKSUMS_ERROR of the current download,
  // shown again at its end so that a failed device is never summed up as "Complete".
  std::string firstFailure_;
};

}  // namespace pelorin
