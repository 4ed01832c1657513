#include "console_model.h"

#include <cstdio>

namespace pelorin {

ConsoleModel::ConsoleModel() : statusText_("Ready") {}

void ConsoleModel::BeginDownload(bool pipeDevices) {
  downloading_ = true;
  statusText_ = "Ready";
  firstFailure_.clear();
  pipeDevices_ = pipeDevices;
  markFailedBars_ = false;
}

ConsoleEffects ConsoleModel::AbandonDownload() {
  downloading_ = false;
  ConsoleEffects effects;
  effects.enableButtons = true;
  effects.clearWorker = true;
  return effects;
}

std::string ConsoleModel::FormatElapsed(int32_t seconds) {
  char text[48];
  std::snprintf(text, sizeof text, " %d Min %d Sec", static_cast<int>(seconds / 60),
                static_cast<int>(seconds % 60));
  return text;
}

std::string ConsoleModel::StatusText(int32_t code, int32_t lParam) {
  char text[48];
  switch (code) {
    case STATUS_CONFIGURATION: return "Configuration";
    case STATUS_SEND_IMAGE: return "Send - OS Image";
    case STATUS_SEND_LENGTH: return "Send - OS Image's Length";
    case STATUS_ERROR:
      std::snprintf(text, sizeof text, "Error - No.%d", static_cast<int>(lParam));
      return text;
    case STATUS_VERIFYING: return "Verify Checksums...";
    case STATUS_CHECKSUMS_OK: return "Checksums OK";
    case STATUS_CHECKSUMS_ERROR:
      std::snprintf(text, sizeof text, "Checksums Error - No.%d", static_cast<int>(lParam));
      return text;
    default: return {};
  }
}

ConsoleEffects ConsoleModel::OnStatus(int32_t code, int32_t lParam) {
  ConsoleEffects effects;
  switch (code) {
    case STATUS_CONFIGURATION:
    case STATUS_SEND_LENGTH:
    case STATUS_VERIFYING:
      statusText_ = StatusText(code, lParam);
      effects.load = true;
      return effects;
    case STATUS_SEND_IMAGE:
      statusText_ = StatusText(code, lParam);
      bars_.fill(0);
      barStates_.fill(BarState::Normal);
      waitingBars_ = 0;
      redrawnOnce_ = 0;
      markFailedBars_ = pipeDevices_;
      for (int bar = 0; bar < PROGRESS_BAR_COUNT; ++bar) ScheduleBar(bar, 0, false, effects);
      effects.load = true;
      return effects;
    case STATUS_BLOCK_SENT:  // lParam is the block's duration; not shown
      effects.load = true;
      return effects;
    case STATUS_CHECKSUMS_OK:
      // Ends the download without counting; the sender stops the timer itself.
      statusText_ = StatusText(code, lParam);
      downloading_ = false;
      effects.load = effects.enableButtons = effects.clearWorker = true;
      return effects;
    case STATUS_ERROR:
    case STATUS_CHECKSUMS_ERROR: {
      statusText_ = StatusText(code, lParam);
      if (firstFailure_.empty()) firstFailure_ = statusText_;
      effects = CountFinishedDevice(code);
      effects.load = true;
      // A pipe device that failed carries its index; before STATUS_SEND_IMAGE the controller's
      // own failures carry 0, which is no device.
      if (markFailedBars_ && lParam >= 0 && lParam < PROGRESS_BAR_COUNT) {
        barStates_[static_cast<size_t>(lParam)] = BarState::Error;
        ScheduleBar(lParam, 0, false, effects);
      }
      return effects;
    }
    case STATUS_DEVICE_DONE: return CountFinishedDevice(code);
    default: return effects;  // 0, 5, 7, 8, 9 and anything above 13 change nothing
  }
}

ConsoleEffects ConsoleModel::CountFinishedDevice(int32_t code) {
  ++finishedDevices_;
  if (finishedDevices_ != expectedDevices_) return {};
  if (!firstFailure_.empty()) {
    statusText_ = firstFailure_;
  } else if (code == STATUS_DEVICE_DONE) {
    statusText_ = "Complete";
  }
  ConsoleEffects effects;
  effects.load = true;
  return EndDownload(effects);
}

ConsoleEffects ConsoleModel::EndDownload(ConsoleEffects effects) {
  downloading_ = false;
  effects.enableButtons = true;
  effects.clearWorker = true;
  effects.stopTimer = true;
  timerRunning_ = false;
  return effects;
}

ConsoleEffects ConsoleModel::OnProgress(int32_t bar, int32_t position, uint32_t now) {
  ConsoleEffects effects;
  if (bar < 0 || bar >= PROGRESS_BAR_COUNT) return effects;
  bars_[static_cast<size_t>(bar)] = position;
  ScheduleBar(bar, now, true, effects);
  SetRedrawDelay(now, effects);
  return effects;
}

ConsoleEffects ConsoleModel::OnRedrawDue(uint32_t now) {
  ConsoleEffects effects;
  for (int bar = 0; bar < PROGRESS_BAR_COUNT; ++bar) {
    if (waitingBars_ & (1u << bar)) ScheduleBar(bar, now, true, effects);
  }
  SetRedrawDelay(now, effects);
  return effects;
}

void ConsoleModel::ScheduleBar(int bar, uint32_t now, bool rateLimited, ConsoleEffects& effects) {
  const size_t i = static_cast<size_t>(bar);
  const uint32_t bit = 1u << bar;
  if (shownBars_[i] == bars_[i] && shownStates_[i] == barStates_[i]) {
    waitingBars_ &= ~bit;
    return;
  }
  // Progress waits its turn, but 100 and a change of state are shown at once.
  const bool turn = !(redrawnOnce_ & bit) || now - lastRedraw_[i] >= BAR_REDRAW_INTERVAL_MS;
  if (rateLimited && !turn && bars_[i] < 100 && shownStates_[i] == barStates_[i]) {
    waitingBars_ |= bit;
    return;
  }
  if (rateLimited) {
    lastRedraw_[i] = now;
    redrawnOnce_ |= bit;
  }
  shownBars_[i] = bars_[i];
  shownStates_[i] = barStates_[i];
  waitingBars_ &= ~bit;
  effects.drawBars |= bit;
}

void ConsoleModel::SetRedrawDelay(uint32_t now, ConsoleEffects& effects) const {
  uint32_t delay = 0;
  for (int bar = 0; bar < PROGRESS_BAR_COUNT; ++bar) {
    if (!(waitingBars_ & (1u << bar))) continue;
    const uint32_t since = now - lastRedraw_[static_cast<size_t>(bar)];
    const uint32_t left = since >= BAR_REDRAW_INTERVAL_MS ? 1 : BAR_REDRAW_INTERVAL_MS - since;
    if (delay == 0 || left < delay) delay = left;
  }
  effects.redrawInMs = delay;
}

ConsoleEffects ConsoleModel::OnControl(int32_t request, int32_t argument) {
  ConsoleEffects effects;
  switch (request) {
    case CONTROL_START_TIMER:
      elapsedSeconds_ = 0;
      timerRunning_ = true;
      effects.startTimer = true;
      break;
    case CONTROL_STOP_TIMER:
      timerRunning_ = false;
      effects.stopTimer = true;
      break;
    case CONTROL_RESET_COUNTERS:
      finishedDevices_ = 0;
      expectedDevices_ = 0;
      firstFailure_.clear();
      break;
    case CONTROL_SET_EXPECTED: expectedDevices_ = argument; break;
    default: break;
  }
  return effects;
}

}  // namespace pelorin
