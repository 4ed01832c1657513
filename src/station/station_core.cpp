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
  const std::string upper = Upper(port);
  for (const std::string& pattern : patterns) {
    if (!pattern.empty() && pattern.back() == '*') {
      if (StartsWithNoCase(port, Upper(std::string_view(pattern).substr(0, pattern.size() - 1))))
        return true;
    } else if (upper == Upper(pattern)) {
      return true;
    }
  }
  return false;
}

bool IsVerifiedResult(std::string_view result) {
  return result == "verified" || result == "already-verified";
}

RecordKind KindOf(std::string_view result) {
  if (result == "verified") return RecordKind::Verified;
  if (result == "already-verified") return RecordKind::AlreadyVerified;
  if (result == "cancelled") return RecordKind::Cancelled;
  return RecordKind::Failed;
}

int YieldPercent(uint64_t verified, uint64_t failed) {
  const uint64_t flashes = verified + failed;
  if (flashes == 0) return -1;
  return static_cast<int>((verified * 100 + flashes / 2) / flashes);
}

void Tally::Add(std::string_view result, bool written) {
  if (!written) {
    ++notInLog;
    return;
  }
  switch (KindOf(result)) {
    case RecordKind::Verified: ++verified; break;
    case RecordKind::AlreadyVerified: ++alreadyVerified; break;
    case RecordKind::Failed: ++failed; break;
    case RecordKind::Cancelled: ++cancelled; break;
  }
}

StationCore::StationCore(StationSettings settings, LogMemory memory, fleet::FleetLookup* fleet,
                         std::string sha256)
    : settings_(std::move(settings)),
      memory_(std::move(memory)),
      fleet_(fleet),
      sha256_(std::move(sha256)) {}

StationCore::Entry* StationCore::Find(uint64_t unit) {
  if (const auto left = leaving_.find(unit); left != leaving_.end()) return &left->second;
  const auto path = paths_.find(unit);
  if (path == paths_.end()) return nullptr;
  const auto entry = entries_.find(path->second);
  return entry == entries_.end() ? nullptr : &entry->second;
}

bool StationCore::MayStartLocked() const {
  if (stopped_ || recordFailed_) return false;
  if (settings_.count == 0) return true;
  // With --count, no more units than records still to come: those written, those due, the units
  // that hold a slot and those whose pipes will be tried again.
  const auto retrying = std::count_if(queue_.begin(), queue_.end(), [this](const std::string& path) {
    return entries_.at(path).tried;
  });
  return tally_.records() + recordsDue_ + static_cast<uint64_t>(running_) +
             static_cast<uint64_t>(retrying) <
         settings_.count;
}

StationRecord StationCore::RecordOf(const Entry& entry, std::string result) const {
  StationRecord record;
  record.device = entry.device;
  record.serial = entry.serial;
  record.result = std::move(result);
  record.knownFrom = entry.knownFrom;
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
  if (entry.question != 0) questions_.erase(entry.question);
  if (entry.state == State::Queued && entry.tried) {
    // Its pipes were tried and were to be tried again: touched, so it ends with a record.
    entry.state = State::Recording;
    entry.result = OutcomeName(DeviceOutcome::LinkError);
    ++recordsDue_;
    StationAction action = Tell(StationAction::Record, entry);
    action.record = RecordOf(entry, entry.result);
    action.record.message = entry.openError;
    actions->push_back(std::move(action));
  }
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

bool StationCore::DecideLocked(Entry& entry) {
  if (entry.serial.empty() || settings_.reflash) {
    // Known by its presence only, or flashed whatever its records say: nobody is asked.
    entry.alreadyVerified = false;
    entry.knownFrom = fleet::KnownFromName(fleet::KnownFrom::None);
    return true;
  }
  if (fleet_ != nullptr && !entry.answered) {
    if (entry.question != 0) return false;  // asked; the answer (or the fall-back) is due
    std::optional<fleet::FleetAnswer> now = fleet_->Ask(entry.serial, &entry.question);
    if (!now) {
      questions_[entry.question] = entry.device.path;
      return false;
    }
    // The database is known to be unreachable: decided at once, from the log.
    entry.answer = std::move(now);
    entry.answered = true;
  }
  // Without a database, from the log alone (no answer); else the later knowledge of the two.
  const fleet::UnitDecision decision =
      fleet::DecideAlreadyVerified(entry.answer, memory_.Known(entry.serial), sha256_);
  entry.alreadyVerified = decision.alreadyVerified;
  entry.knownFrom = fleet::KnownFromName(decision.knownFrom);
  return true;
}

void StationCore::StartLocked(std::vector<StationAction>* actions) {
  for (auto it = queue_.begin(); it != queue_.end() && MayStartLocked();) {
    Entry& entry = entries_.at(*it);
    if (!DecideLocked(entry)) {
      // Waits for the fleet's answer in its place; the units behind it go on.
      ++it;
      continue;
    }
    if (entry.alreadyVerified) {
      // The latest record of this unit says it holds this image, verified: not flashed again.
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

void StationCore::EndQueueLocked(const std::string& result, const std::string& message,
                                 std::vector<StationAction>* actions) {
  for (const std::string& path : queue_) {
    Entry& entry = entries_.at(path);
    if (entry.tried) {
      // Touched: its pipes were tried, so it ends with a record.
      entry.state = State::Recording;
      entry.result = result;
      ++recordsDue_;
      StationAction action = Tell(StationAction::Record, entry);
      action.record = RecordOf(entry, result);
      action.record.message = message;
      actions->push_back(std::move(action));
    } else {
      // Left alone: it stays known (not started again) until it is gone.
      entry.state = State::Done;
      actions->push_back(Tell(StationAction::NotStarted, entry));
    }
  }
  queue_.clear();
}

std::vector<StationAction> StationCore::Poll(const std::vector<PresentDevice>& present,
                                             bool complete, uint32_t now) {
  std::lock_guard lock(mutex_);
  std::vector<StationAction> actions;
  if (!started_) {
    started_ = true;
    startedAt_ = now;
  }
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
  if (stopped_ || recordFailed_) {
    // Units that arrive now are not flashed.
    EndQueueLocked("cancelled", stopped_ ? TEXT_UNIT_CANCELLED : TEXT_UNIT_NOT_FLASHED, &actions);
  } else {
    StartLocked(&actions);
  }
  return actions;
}

std::vector<StationAction> StationCore::FleetAnswers() {
  std::lock_guard lock(mutex_);
  std::vector<StationAction> actions;
  if (fleet_ == nullptr) return actions;
  bool answered = false;
  for (fleet::FleetAnswer& answer : fleet_->Collect()) {
    const auto question = questions_.find(answer.question);
    if (question == questions_.end()) continue;  // its unit is gone
    const auto entry = entries_.find(question->second);
    questions_.erase(question);
    if (entry == entries_.end() || entry->second.question != answer.question) continue;
    entry->second.answer = std::move(answer);
    entry->second.answered = true;
    answered = true;
  }
  if (answered && !stopped_ && !recordFailed_) StartLocked(&actions);
  return actions;
}

uint32_t StationCore::FleetDueInMs() const {
  std::lock_guard lock(mutex_);
  return fleet_ == nullptr || questions_.empty() ? UINT32_MAX : fleet_->MsUntilDue();
}

bool StationCore::Proceed(uint64_t unit, std::vector<StationAction>* instead) {
  std::lock_guard lock(mutex_);
  Entry* entry = Find(unit);
  if (entry == nullptr || entry->state != State::Running) return false;
  if (!stopped_ && !recordFailed_) return true;
  // The station is ending, so it starts no more.
  --running_;
  std::vector<StationAction> actions;
  if (entry->tried) {
    // Its pipes were tried before: touched, so it ends with a record.
    entry->state = State::Recording;
    entry->result = "cancelled";
    ++recordsDue_;
    StationAction action = Tell(StationAction::Record, *entry);
    action.record = RecordOf(*entry, entry->result);
    action.record.message = stopped_ ? TEXT_UNIT_CANCELLED : TEXT_UNIT_NOT_FLASHED;
    actions.push_back(std::move(action));
  } else if (entry->gone) {
    actions.push_back(Tell(StationAction::Departed, *entry));
    leaving_.erase(unit);
  } else {
    entry->state = State::Done;  // known until it is gone, never started
    actions.push_back(Tell(StationAction::NotStarted, *entry));
  }
  if (instead != nullptr) *instead = std::move(actions);
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
    entry->openError = std::move(message);
    queue_.push_front(entry->device.path);
    return std::nullopt;
  }
  entry->state = State::Recording;
  ++recordsDue_;
  if (stopped_ && !entry->gone) {
    // Stopped while its pipes were being tried: the stop cut it short, not the unit.
    entry->result = "cancelled";
    message = TEXT_UNIT_CANCELLED;
  } else if (recordFailed_ && !entry->gone) {
    entry->result = "cancelled";
    message = TEXT_UNIT_NOT_FLASHED;
  } else {
    entry->result = OutcomeName(DeviceOutcome::LinkError);
  }
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
    // Whatever its cancelled call ran into is the stop's doing.
    entry->result = "cancelled";
    message = TEXT_UNIT_CANCELLED;
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

std::vector<StationAction> StationCore::Recorded(uint64_t unit, bool written, uint32_t now) {
  std::lock_guard lock(mutex_);
  std::vector<StationAction> actions;
  Entry* entry = Find(unit);
  if (entry == nullptr) return actions;
  if (entry->state == State::Running) --running_;
  entry->state = State::Done;  // remembered until it is gone
  if (recordsDue_ > 0) --recordsDue_;
  tally_.Add(entry->result, written);
  const RecordKind kind = KindOf(entry->result);
  if (written && kind == RecordKind::Verified) verifiedAt_.push_back(now);
  while (!verifiedAt_.empty() &&
         static_cast<int32_t>(now - verifiedAt_.front()) > static_cast<int32_t>(RATE_WINDOW_MS))
    verifiedAt_.pop_front();
  // The latest record of a unit decides whether it is known as verified (a unit whose record
  // could not be written is flashed again rather than trusted). A cancelled unit holds part of
  // an image at best.
  const bool verified = IsVerifiedResult(entry->result);
  if (!entry->serial.empty() && (written || !verified)) {
    // Kept as not verified rather than forgotten: an older success elsewhere in the fleet must
    // not outvote this record while the database does not have it yet.
    memory_.serials[entry->serial] = verified;
  }
  if (entry->gone) {
    actions.push_back(Tell(StationAction::Departed, *entry));
    leaving_.erase(unit);
  }
  if (!written && !recordFailed_) {
    recordFailed_ = true;
    EndQueueLocked("cancelled", TEXT_UNIT_NOT_FLASHED, &actions);
  }
  return actions;
}

std::vector<StationAction> StationCore::Stop() {
  std::lock_guard lock(mutex_);
  std::vector<StationAction> actions;
  if (stopped_) return actions;
  stopped_ = true;
  EndQueueLocked("cancelled", TEXT_UNIT_CANCELLED, &actions);
  return actions;
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
  const bool counted = settings_.count != 0 && tally_.records() >= settings_.count;
  return (stopped_ || recordFailed_ || counted) && running_ == 0 && recordsDue_ == 0;
}

int StationCore::ExitStatus() const {
  std::lock_guard lock(mutex_);
  if (recordFailed_) return EXIT_RECORD_NOT_WRITTEN;
  if (tally_.cancelled > 0) return EXIT_CANCELLED;
  if (tally_.failed > 0) return EXIT_DEVICE_FAILED;
  return EXIT_VERIFIED;
}

size_t StationCore::Waiting() const {
  std::lock_guard lock(mutex_);
  return queue_.size();
}

StationCounts StationCore::Counts(uint32_t now) const {
  std::lock_guard lock(mutex_);
  StationCounts counts;
  // A unit whose pipes will be tried again is in flight (it ends with a record), not waiting.
  const auto retrying = std::count_if(queue_.begin(), queue_.end(), [this](const std::string& path) {
    return entries_.at(path).tried;
  });
  counts.flashing = running_ + static_cast<int32_t>(retrying);
  counts.waiting = queue_.size() - static_cast<size_t>(retrying);
  counts.tally = tally_;
  if (started_) counts.elapsedMs = now - startedAt_;
  // Over the last RATE_WINDOW_MS, or over the time since the start while it is shorter.
  const uint32_t window =
      std::max(RATE_MIN_WINDOW_MS, std::min(RATE_WINDOW_MS, counts.elapsedMs));
  // Flashes that end together can be told a millisecond out of order: one a little after `now`
  // is recent, not 49 days old.
  const auto recent = std::count_if(verifiedAt_.begin(), verifiedAt_.end(), [&](uint32_t at) {
    return static_cast<int32_t>(now - at) <= static_cast<int32_t>(RATE_WINDOW_MS);
  });
  counts.unitsPerHour = static_cast<double>(recent) * 3600000.0 / window;
  auto add = [&](const Entry& entry) {
    if (entry.state == State::Running && entry.sending)
      counts.megabytesPerSecond += MegabytesPerSecond(entry.bytesSent, now - entry.firstDataTick);
  };
  for (const auto& [path, entry] : entries_) add(entry);
  for (const auto& [number, entry] : leaving_) add(entry);
  return counts;
}

}  // namespace pelorin::station
