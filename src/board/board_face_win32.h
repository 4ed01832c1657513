// The board's side of the station engine's observer seam: every entry comes on an engine thread,
// so it only queues what it was told and wakes the board window (one posted message while the
// queue is not empty); the window's thread takes the queue and feeds the model. A unit's
// progress is kept as its newest value only and wakes nobody (the window's refresh timer takes
// it), so a fast download can neither flood the queue nor cost a message per write.
#pragma once

#include <windows.h>

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "station_observer.h"

namespace pelorin::board {

// Posted to the board window when the queue holds something (wParam, lParam unused).
inline constexpr UINT WM_BOARD_EVENTS = WM_APP + 1;

struct BoardEvent {
  enum Kind {
    Arrived, Waiting, Started, Progress, Ended, Box, Departed, NotStarted, LogFailed, Finished,
    Database, DatabaseAlarm
  };
  Kind kind = Arrived;
  station::StationUnit unit;
  station::UnitPhase phase = station::UnitPhase::Sending;
  uint64_t bytesSent = 0, imageSize = 0;
  station::StationRecord record;
  bool written = true;
  std::string text;  // LogFailed: why; Box: its text; DatabaseAlarm: the alarm
  station::DatabaseState database;  // Database
  int exitStatus = 0;
  station::StationCounts counts;
  uint32_t tick = 0;  // when it was told (GetTickCount)
};

class BoardFace : public station::StationObserver {
 public:
  // `window` gets WM_BOARD_EVENTS; it may be set later (events wait in the queue meanwhile).
  void SetWindow(HWND window);
  // The window's thread: everything told since the last call, in order (progress last, newest
  // per unit, unless the unit's later entries came meanwhile).
  std::vector<BoardEvent> Take();

  void Arrived(const station::StationUnit& unit) override;
  void Waiting(const station::StationUnit& unit) override;
  void Started(const station::StationUnit& unit) override;
  void Progress(const station::StationUnit& unit, station::UnitPhase phase, uint64_t bytesSent,
                uint64_t imageSize) override;
  void Ended(const station::StationUnit& unit, const station::StationRecord& record,
             bool written) override;
  void Box(const station::StationUnit& unit, std::string_view caption,
           std::string_view text) override;
  void Departed(const station::StationUnit& unit) override;
  void NotStarted(const station::StationUnit& unit) override;
  void LogFailed(const station::StationRecord& record, const std::string& text) override;
  void Database(const station::DatabaseState& state) override;
  void DatabaseAlarm(const std::string& text) override;
  void Finished(int exitStatus, const station::StationCounts& counts) override;

 private:
  void Push(BoardEvent event);
  void WakeLocked();

  std::mutex mutex_;
  HWND window_ = nullptr;
  bool posted_ = false;  // a WM_BOARD_EVENTS is on its way and not yet taken
  std::vector<BoardEvent> events_;
  std::map<uint64_t, BoardEvent> progress_;  // the newest progress of each unit
};

}  // namespace pelorin::board
