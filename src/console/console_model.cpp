#include "console_model.h"

#include <cstdio>

namespace pelorin {

ConsoleModel::ConsoleModel() : statusText_("Ready") {}

void ConsoleModel::BeginDownload() {
  downloading_ = true;
  statusText_ = "Ready";
  firstFailure_.clear();
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
    case STATUS_CHECKSUMS_ERROR:
      statusText_ = StatusText(code, lParam);
      if (firstFailure_.empty()) firstFailure_ = statusText_;
      effects = CountFinishedDevice(code);
      effects.load = true;
      return effects;
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

ConsoleEffects ConsoleModel::OnProgress(int32_t bar, int32_t position) {
  ConsoleEffects effects;
  if (bar < 0 || bar >= PROGRESS_BAR_COUNT) return effects;
  bars_[static_cast<size_t>(bar)] = position;
  effects.bar = bar;
  return effects;
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
