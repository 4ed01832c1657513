#include "board_face_win32.h"

namespace pelorin::board {
namespace {

BoardEvent Event(BoardEvent::Kind kind, const station::StationUnit& unit = {}) {
  BoardEvent event;
  event.kind = kind;
  event.unit = unit;
  return event;
}

}  // namespace

void BoardFace::SetWindow(HWND window) {
  std::lock_guard lock(mutex_);
  window_ = window;
  posted_ = false;
  if (!events_.empty() || !progress_.empty()) WakeLocked();
}

void BoardFace::WakeLocked() {
  if (posted_ || window_ == nullptr) return;
  // A full message queue refuses the post: the next entry tries again.
  posted_ = PostMessageW(window_, WM_BOARD_EVENTS, 0, 0) != FALSE;
}

std::vector<BoardEvent> BoardFace::Take() {
  std::lock_guard lock(mutex_);
  posted_ = false;
  std::vector<BoardEvent> taken = std::move(events_);
  events_.clear();
  for (auto& [unit, event] : progress_) taken.push_back(std::move(event));
  progress_.clear();
  return taken;
}

void BoardFace::Push(BoardEvent event) {
  event.tick = GetTickCount();
  std::lock_guard lock(mutex_);
  // A unit's pending progress goes before its next entry, so that entries stay in order.
  if (const auto pending = progress_.find(event.unit.number); pending != progress_.end()) {
    events_.push_back(std::move(pending->second));
    progress_.erase(pending);
  }
  events_.push_back(std::move(event));
  WakeLocked();
}

void BoardFace::Arrived(const station::StationUnit& unit) {
  Push(Event(BoardEvent::Arrived, unit));
}

void BoardFace::Waiting(const station::StationUnit& unit) {
  Push(Event(BoardEvent::Waiting, unit));
}

void BoardFace::Started(const station::StationUnit& unit) {
  Push(Event(BoardEvent::Started, unit));
}

void BoardFace::Progress(const station::StationUnit& unit, station::UnitPhase phase,
                         uint64_t bytesSent, uint64_t imageSize) {
  BoardEvent event = Event(BoardEvent::Progress, unit);
  event.phase = phase;
  event.bytesSent = bytesSent;
  event.imageSize = imageSize;
  event.tick = GetTickCount();
  std::lock_guard lock(mutex_);
  BoardEvent& newest = progress_[unit.number];
  // Verifying, once told, is not taken back by a send told after it.
  if (newest.kind == BoardEvent::Progress && newest.phase == station::UnitPhase::Verifying &&
      newest.unit.number == unit.number)
    return;
  // No wake: the window takes progress with its next refresh (at most REFRESH_INTERVAL_MS
  // later), so that a download's thousands of writes cost no message each.
  newest = std::move(event);
}

void BoardFace::Ended(const station::StationUnit& unit, const station::StationRecord& record,
                      bool written) {
  BoardEvent event = Event(BoardEvent::Ended, unit);
  event.record = record;
  event.written = written;
  Push(std::move(event));
}

void BoardFace::Box(const station::StationUnit& unit, std::string_view, std::string_view text) {
  BoardEvent event = Event(BoardEvent::Box, unit);
  event.text = std::string(text);
  Push(std::move(event));
}

void BoardFace::Departed(const station::StationUnit& unit) {
  Push(Event(BoardEvent::Departed, unit));
}

void BoardFace::NotStarted(const station::StationUnit& unit) {
  Push(Event(BoardEvent::NotStarted, unit));
}

void BoardFace::LogFailed(const station::StationRecord&, const std::string& text) {
  BoardEvent event = Event(BoardEvent::LogFailed);
  event.text = text;
  Push(std::move(event));
}

void BoardFace::Database(const station::DatabaseState& state) {
  BoardEvent event = Event(BoardEvent::Database);
  event.database = state;
  Push(std::move(event));
}

void BoardFace::DatabaseAlarm(const std::string& text) {
  BoardEvent event = Event(BoardEvent::DatabaseAlarm);
  event.text = text;
  Push(std::move(event));
}

void BoardFace::Finished(int exitStatus, const station::StationCounts& counts) {
  BoardEvent event = Event(BoardEvent::Finished);
  event.exitStatus = exitStatus;
  event.counts = counts;
  Push(std::move(event));
}

}  // namespace pelorin::board
