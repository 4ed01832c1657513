#include "sim_presence_win32.h"

#include <algorithm>
#include <chrono>

namespace pelorin::devsim {

int64_t PresenceRecord::ArrivalBefore(int64_t ms) const {
  int64_t found = -1;
  for (int64_t arrival : arrivals)
    if (arrival <= ms) found = arrival;
  return found;
}

SimPresenceTimeline::~SimPresenceTimeline() {
  Stop();
}

size_t SimPresenceTimeline::Add(const SimDeviceId& id, const PresencePlan& plan,
                                SimPipeDevice* pipes) {
  std::lock_guard lock(mutex_);
  const size_t index = units_.size();
  Unit unit;
  unit.id = id;
  unit.plan = plan;
  unit.returnsLeft = plan.returnMs >= 0 ? plan.returns : 0;
  units_.push_back(std::move(unit));
  if (pipes) {
    pipes->SetHostEvents({[this, index](SimPipe pipe) { HostOpened(index, pipe); },
                          [this, index](size_t) { SessionEnded(index); }});
  }
  return index;
}

void SimPresenceTimeline::Start() {
  std::lock_guard lock(mutex_);
  if (running_) return;
  origin_ = GetTickCount64();
  for (auto& unit : units_) {
    if (unit.plan.arriveMs <= 0) {
      Arrive(unit, 0);
    } else {
      WriteLinked(unit, false);
      unit.arriveAt = unit.plan.arriveMs;
    }
    unit.leaveAt = unit.plan.leaveMs;
  }
  running_ = true;
  stopping_ = false;
  thread_ = std::thread([this] { Run(); });
}

void SimPresenceTimeline::Stop() {
  {
    std::lock_guard lock(mutex_);
    if (!running_) return;
    stopping_ = true;
  }
  changed_.notify_all();
  thread_.join();
  std::lock_guard lock(mutex_);
  running_ = false;
}

int64_t SimPresenceTimeline::Since(ULONGLONG tick) const {
  return static_cast<int64_t>(tick) - static_cast<int64_t>(origin_);
}

bool SimPresenceTimeline::Listed(size_t device) const {
  std::lock_guard lock(mutex_);
  return device < units_.size() && units_[device].listed;
}

PresenceRecord SimPresenceTimeline::Record(size_t device) const {
  std::lock_guard lock(mutex_);
  return device < units_.size() ? units_[device].record : PresenceRecord{};
}

void SimPresenceTimeline::HostOpened(size_t device, SimPipe pipe) {
  std::lock_guard lock(mutex_);
  if (device >= units_.size() || units_[device].listed) return;
  auto& record = units_[device].record;
  (pipe == SimPipe::Interface ? record.unlistedProbes : record.unlistedOpens)++;
}

void SimPresenceTimeline::SessionEnded(size_t device) {
  {
    std::lock_guard lock(mutex_);
    if (device >= units_.size()) return;
    Unit& unit = units_[device];
    if (unit.plan.leaveAfterEndMs < 0 || !unit.listed || unit.endLeaveAt >= 0) return;
    unit.endLeaveAt = Now() + unit.plan.leaveAfterEndMs;
  }
  changed_.notify_all();
}

void SimPresenceTimeline::Run() {
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    const int64_t next = Advance(Now());
    if (next == kNever) {
      changed_.wait(lock);
    } else {
      const int64_t wait = std::max<int64_t>(next - Now(), 0);
      changed_.wait_for(lock, std::chrono::milliseconds(wait));
    }
  }
}

int64_t SimPresenceTimeline::NextDue(const Unit& unit) {
  int64_t due = kNever;
  if (!unit.listed && unit.arriveAt >= 0) due = unit.arriveAt;
  if (unit.leaveAt >= 0) due = std::min(due, unit.leaveAt);
  if (unit.listed && unit.endLeaveAt >= 0) due = std::min(due, unit.endLeaveAt);
  return due;
}

int64_t SimPresenceTimeline::Advance(int64_t now) {
  int64_t next = kNever;
  for (auto& unit : units_) {
    // One change at a time, the earliest first; each one clears what it did.
    while (NextDue(unit) <= now) {
      const bool arrivalFirst = !unit.listed && unit.arriveAt >= 0 && unit.arriveAt <= now &&
                                (unit.leaveAt < 0 || unit.arriveAt <= unit.leaveAt);
      if (arrivalFirst) {
        Arrive(unit);
      } else if (unit.leaveAt >= 0 && unit.leaveAt <= now) {
        unit.leaveAt = -1;  // the plan's departure happens once, or not at all if not listed
        if (unit.listed) Depart(unit);
      } else {
        Depart(unit);
      }
    }
    next = std::min(next, NextDue(unit));
  }
  return next;
}

void SimPresenceTimeline::Arrive(Unit& unit, int64_t at) {
  WriteLinked(unit, true);
  unit.listed = true;
  unit.arriveAt = -1;
  unit.endLeaveAt = -1;
  unit.record.arrivals.push_back(at >= 0 ? at : Now());
}

void SimPresenceTimeline::Depart(Unit& unit) {
  WriteLinked(unit, false);
  const int64_t at = Now();
  unit.listed = false;
  unit.endLeaveAt = -1;
  unit.record.departures.push_back(at);
  if (unit.returnsLeft > 0) {
    --unit.returnsLeft;
    unit.arriveAt = at + unit.plan.returnMs;
  }
}

void SimPresenceTimeline::WriteLinked(Unit& unit, bool linked) {
  if (!SetSimDeviceLinked(unit.id, linked)) ++unit.record.failedLinkWrites;
}

}  // namespace pelorin::devsim
