#include "station_core.h"

#include <algorithm>
#include <set>

namespace pelorin::station {
namespace {

std::string Upper(std::string_view text) {
  std::string upper(text);
  for (char& c : upper)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return upper;
}

// `prefix` in capitals.
bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return Upper(text.substr(0, prefix.size())) == prefix;
}

}  // namespace

std::string SerialOf(std::string_view instance) {
  // USB\VID_xxxx&PID_xxxx\<serial>
  const size_t first = instance.find('\\');
  if (first == std::string_view::npos) return {};
  const size_t second = instance.find('\\', first + 1);
  if (second == std::string_view::npos) return {};
  const std::string_view bus = instance.substr(0, first);
  const std::string_view ids = instance.substr(first + 1, second - first - 1);
  const std::string_view last = instance.substr(second + 1);
  if (bus.size() != 3 || !StartsWithNoCase(bus, "USB")) return {};
  if (!StartsWithNoCase(ids, "VID_") || Upper(ids).find("&PID_") == std::string::npos) return {};
  if (last.empty() || last.find('&') != std::string_view::npos ||
      last.find('\\') != std::string_view::npos)
    return {};
  return std::string(last);
}

bool PortAllowed(std::string_view port, const std::vector<std::string>& patterns) {
  if (patterns.empty()) return true;
  for (const std::string& pattern : patterns) {
    if (!pattern.empty() && pattern.back() == '*') {
      const std::string_view prefix(pattern.data(), pattern.size() - 1);
      if (port.substr(0, prefix.size()) == prefix) return true;
    } else if (port == pattern) {
      return true;
    }
  }
  return false;
}

bool IsVerifiedResult(std::string_view result) {
  return result == "verified" || result == "already-verified";
}

StationCore::StationCore(StationSettings settings, LogMemory memory)
    : settings_(std::move(settings)), memory_(std::move(memory)) {}

StationCore::Entry* StationCore::Find(uint64_t unit) {
  if (const auto left = leaving_.find(unit); left != leaving_.end()) return &left->second;
  const auto path = paths_.find(unit);
  if (path == paths_.end()) return nullptr;
  const auto entry = entries_.find(path->second);
  return entry == entries_.end() ? nullptr : &entry->second;
}

bool StationCore::MayStartLocked() const {
  if (stopped_ || recordFailed_) return false;
  // With --count, no more units than records still to come.
  return settings_.count == 0 ||
         recorded_ + recordsDue_ + static_cast<uint64_t>(running_) < settings_.count;
}

StationRecord StationCore::RecordOf(const Entry& entry, std::string result) const {
  StationRecord record;
  record.device = entry.device;
  record.serial = entry.serial;
  record.result = std::move(result);
  return record;
}

StationAction StationCore::Tell(StationAction::Kind kind, const Entry& entry) {
  return {kind, entry.number, entry.device, entry.serial, {}};
}

void StationCore::GoneLocked(std::map<std::string, Entry>::iterator it,
                             std::vector<StationAction>* actions) {
  Entry& entry = it->second;
  queue_.erase(std::remove(queue_.begin(), queue_.end(), it->first), queue_.end());
  paths_.erase(entry.number);
  if (entry.state == State::Running || entry.state == State::Recording) {
    // Its record is still to come; the path is free at once for the next unit in that port.
    entry.gone = true;
    if (entry.state == State::Running) actions->push_back(Tell(StationAction::Cancel, entry));
    leaving_.emplace(entry.number, std::move(entry));
  } else {
    actions->push_back(Tell(StationAction::Departed, entry));
  }
  entries_.erase(it);
}

void StationCore::StartLocked(std::vector<StationAction>* actions) {
  for (auto it = queue_.begin(); it != queue_.end() && MayStartLocked();) {
    Entry& entry = entries_.at(*it);
    if (!entry.serial.empty() && !settings_.reflash && memory_.Verified(entry.serial)) {
      // The latest record of this unit with this image says it verified: not flashed again.
      entry.state = State::Recording;
      entry.result = "already-verified";
      ++recordsDue_;
      StationAction action = Tell(StationAction::Record, entry);
      action.record = RecordOf(entry, entry.result);
      actions->push_back(std::move(action));
      it = queue_.erase(it);
    } else if (running_ < settings_.maxDevices) {
      entry.state = State::Running;
      ++running_;
      actions->push_back(Tell(StationAction::Open, entry));
      it = queue_.erase(it);
    } else {
      // Waits for a slot; a known unit behind it needs none.
      if (!entry.tried && !entry.waitingTold) actions->push_back(Tell(StationAction::Waiting, entry));
      entry.waitingTold = true;
      ++it;
    }
  }
}

std::vector<StationAction> StationCore::Poll(const std::vector<PresentDevice>& present,
                                             bool complete, uint32_t now) {
  std::lock_guard lock(mutex_);
  std::vector<StationAction> actions;
  std::set<std::string> seen;
  for (const PresentDevice& device : present) seen.insert(device.path);

  // A unit is gone only when two complete listings at least STATION_GONE_AFTER_MS apart miss
  // it: one listing may miss a unit that is there, and a failed or incomplete one proves nothing.
  for (auto it = entries_.begin(); it != entries_.end();) {
    Entry& entry = it->second;
    if (seen.count(it->first) > 0) {
      entry.missed = false;
    } else if (complete && !entry.missed) {
      entry.missed = true;
      entry.missedAt = now;
    } else if (complete && now - entry.missedAt >= STATION_GONE_AFTER_MS) {
      GoneLocked(it++, &actions);
      continue;
    }
    ++it;
  }
  // New arrivals wait in the order they were found.
  for (const PresentDevice& device : present) {
    if (entries_.count(device.path) > 0 || !PortAllowed(device.port, settings_.ports)) continue;
    Entry entry;
    entry.number = nextNumber_++;
    entry.device = device;
    entry.serial = SerialOf(device.instance);
    paths_[entry.number] = device.path;
    actions.push_back(Tell(StationAction::Arrived, entry));
    entries_.emplace(device.path, std::move(entry));
    queue_.push_back(device.path);
  }
  StartLocked(&actions);
  return actions;
}

std::vector<StationAction> StationCore::Gone(const std::string& path) {
  std::lock_guard lock(mutex_);
  std::vector<StationAction> actions;
  const auto it = entries_.find(path);
  if (it != entries_.end()) GoneLocked(it, &actions);
  StartLocked(&actions);
  return actions;
}

bool StationCore::Proceed(uint64_t unit) {
  std::lock_guard lock(mutex_);
  Entry* entry = Find(unit);
  if (entry == nullptr || entry->state != State::Running) return false;
  if (!stopped_ && !recordFailed_) return true;
  // Left alone: the station is ending, so it starts no more.
  --running_;
  entry->state = State::Queued;
  return false;
}

std::optional<StationRecord> StationCore::OpenFailed(uint64_t unit, uint32_t now,
                                                     std::string message) {
  std::lock_guard lock(mutex_);
  Entry* entry = Find(unit);
  if (entry == nullptr || entry->state != State::Running) return std::nullopt;
  --running_;
  if (!entry->tried) {
    entry->tried = true;
    entry->firstTry = now;
  }
  // A unit that is gone is not tried again: its path may already be another unit's.
  if (now - entry->firstTry < STATION_OPEN_RETRY_MS && !stopped_ && !recordFailed_ &&
      !entry->gone) {
    // Tried again at the next poll, still first in line.
    entry->state = State::Queued;
    queue_.push_front(entry->device.path);
    return std::nullopt;
  }
  entry->state = State::Recording;
  entry->result = OutcomeName(DeviceOutcome::LinkError);
  ++recordsDue_;
  StationRecord record = RecordOf(*entry, entry->result);
  record.message = std::move(message);
  return record;
}

void StationCore::Sent(uint64_t unit, uint64_t bytesSent, uint32_t tick) {
  std::lock_guard lock(mutex_);
  Entry* entry = Find(unit);
  if (entry == nullptr) return;
  if (!entry->sending) entry->firstDataTick = tick;
  entry->sending = true;
  entry->bytesSent = bytesSent;
}

StationRecord StationCore::Ended(uint64_t unit, DeviceOutcome outcome, uint32_t ms,
                                 std::string message, bool interrupted) {
  std::lock_guard lock(mutex_);
  Entry* entry = Find(unit);
  if (entry == nullptr) return {};
  const bool verdict =
      outcome == DeviceOutcome::Verified || outcome == DeviceOutcome::VerificationError;
  if (verdict) {
    entry->result = OutcomeName(outcome);  // a verdict that came stands, whatever came after
  } else if (entry->gone) {
    entry->result = OutcomeName(DeviceOutcome::LinkError);
    message = TEXT_UNIT_REMOVED;
  } else if (stopped_ && interrupted) {
    entry->result = "cancelled";
  } else {
    entry->result = OutcomeName(outcome);
  }
  ++recordsDue_;
  StationRecord record = RecordOf(*entry, entry->result);
  record.bytesSent = entry->bytesSent;
  record.ms = ms;
  record.message = std::move(message);
  entry->sending = false;
  return record;
}

std::optional<StationAction> StationCore::Recorded(uint64_t unit, bool written) {
  std::lock_guard lock(mutex_);
  Entry* entry = Find(unit);
  if (entry == nullptr) return std::nullopt;
  if (entry->state == State::Running) --running_;
  entry->state = State::Done;  // remembered until it is gone
  if (recordsDue_ > 0) --recordsDue_;
  ++recorded_;
  if (!written) recordFailed_ = true;
  const bool verified = IsVerifiedResult(entry->result);
  if (verified) {
    ++verified_;
  } else if (entry->result == "cancelled") {
    ++cancelled_;
  } else {
    ++failed_;
  }
  // The latest record of a unit decides whether it is known as verified (a unit whose record
  // could not be written is flashed again rather than trusted).
  if (!entry->serial.empty() && (written || !verified)) memory_.serials[entry->serial] = verified;
  if (!entry->gone) return std::nullopt;
  StationAction departed = Tell(StationAction::Departed, *entry);
  leaving_.erase(unit);
  return departed;
}

void StationCore::Stop() {
  std::lock_guard lock(mutex_);
  stopped_ = true;
  queue_.clear();
}

bool StationCore::stopped() const {
  std::lock_guard lock(mutex_);
  return stopped_;
}

bool StationCore::recordFailed() const {
  std::lock_guard lock(mutex_);
  return recordFailed_;
}

bool StationCore::Finished() const {
  std::lock_guard lock(mutex_);
  const bool counted = settings_.count != 0 && recorded_ >= settings_.count;
  return (stopped_ || recordFailed_ || counted) && running_ == 0 && recordsDue_ == 0;
}

int StationCore::ExitStatus() const {
  std::lock_guard lock(mutex_);
  if (recordFailed_) return EXIT_RECORD_NOT_WRITTEN;
  if (cancelled_ > 0) return EXIT_CANCELLED;
  if (failed_ > 0) return EXIT_DEVICE_FAILED;
  return EXIT_VERIFIED;
}

size_t StationCore::Waiting() const {
  std::lock_guard lock(mutex_);
  return queue_.size();
}

StationCounts StationCore::Counts(uint32_t now) const {
  std::lock_guard lock(mutex_);
  StationCounts counts;
  counts.flashing = running_;
  counts.waiting = queue_.size();
  counts.records = recorded_;
  counts.verified = verified_;
  counts.failed = failed_;
  counts.cancelled = cancelled_;
  auto add = [&](const Entry& entry) {
    if (entry.state == State::Running && entry.sending)
      counts.megabytesPerSecond += MegabytesPerSecond(entry.bytesSent, now - entry.firstDataTick);
  };
  for (const auto& [path, entry] : entries_) add(entry);
  for (const auto& [number, entry] : leaving_) add(entry);
  return counts;
}

}  // namespace pelorin::station
