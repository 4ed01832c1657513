// When SetupAPI lists each simulated device: arrival some time after the start, departure at a
// time or some time after the host ended a session (an operator pulls a unit once it is done),
// and returns of the same unit in the same port. A device that is not listed keeps its keys and its
// pipes (Linked = 0, as Windows keeps the key of a unit that was pulled); its interface is just no
// longer present. One thread runs the timetable of every device.
//
// Times are milliseconds after Start (devsim: when it is ready).
#pragma once

#include <windows.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "devsim_registry_win32.h"
#include "sim_pipe_server_win32.h"

namespace pelorin::devsim {

struct PresencePlan {
  int64_t arriveMs = 0;          // listed from then on (0: from the start)
  int64_t leaveMs = -1;          // unlisted at that time, once (-1: never)
  int64_t leaveAfterEndMs = -1;  // unlisted this long after the host closed both pipes of a
                                 // session (-1: never)
  int64_t returnMs = -1;         // listed again this long after each departure (-1: never)
  int returns = 1;               // ... at most this many times
};

struct PresenceRecord {
  std::vector<int64_t> arrivals;    // when it became listed
  std::vector<int64_t> departures;  // when it stopped being listed
  int unlistedProbes = 0;           // host opens of its bare path while it was not listed
  int unlistedOpens = 0;            // host opens of PIPE00 or PIPE01 while it was not listed
  int failedLinkWrites = 0;         // Linked values that could not be written

  // When the presence that `ms` falls in (or the last one before it) began; -1 if none did.
  int64_t ArrivalBefore(int64_t ms) const;
};

class SimPresenceTimeline {
 public:
  SimPresenceTimeline() = default;
  ~SimPresenceTimeline();
  SimPresenceTimeline(const SimPresenceTimeline&) = delete;
  SimPresenceTimeline& operator=(const SimPresenceTimeline&) = delete;

  // Adds a registered device before Start; returns its index. With `pipes` (not yet started), the
  // host's opens of its pipes are counted against its presence and its ended sessions time the
  // departures of leaveAfterEndMs; `pipes` must stop before the timeline goes.
  size_t Add(const SimDeviceId& id, const PresencePlan& plan, SimPipeDevice* pipes = nullptr);

  // Time zero: lists the devices present from the start, unlists the others, and runs the
  // timetable until Stop.
  void Start();
  void Stop();

  // Milliseconds from Start to a GetTickCount64 time (negative before Start).
  int64_t Since(ULONGLONG tick) const;
  ULONGLONG origin() const { return origin_; }

  bool Listed(size_t device) const;
  PresenceRecord Record(size_t device) const;

  // What the pipe server reports; public for callers that wire a server themselves.
  void HostOpened(size_t device, SimPipe pipe);
  void SessionEnded(size_t device);

 private:
  struct Unit {
    SimDeviceId id;
    PresencePlan plan;
    bool listed = false;
    int64_t arriveAt = -1;    // pending arrival
    int64_t leaveAt = -1;     // the plan's one departure, until it is due
    int64_t endLeaveAt = -1;  // departure after an ended session
    int returnsLeft = 0;
    PresenceRecord record;
  };
  static constexpr int64_t kNever = INT64_MAX;

  int64_t Now() const { return Since(GetTickCount64()); }
  void Run();
  // Applies every change due by `now`; returns when the next one is due (kNever: none).
  int64_t Advance(int64_t now);
  static int64_t NextDue(const Unit& unit);
  // Lists the unit; its arrival counts from `at`, or from when it is listed (-1).
  void Arrive(Unit& unit, int64_t at = -1);
  void Depart(Unit& unit);
  void WriteLinked(Unit& unit, bool linked);

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Unit> units_;
  ULONGLONG origin_ = 0;
  bool running_ = false;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace pelorin::devsim
