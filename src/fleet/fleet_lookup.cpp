#include "fleet_lookup.h"

#include <algorithm>
#include <chrono>

namespace pelorin::fleet {

const char* KnownFromName(KnownFrom from) {
  switch (from) {
    case KnownFrom::Fleet: return "fleet";
    case KnownFrom::Log: return "log";
    case KnownFrom::None: return "none";
  }
  return "none";
}

UnitDecision DecideAlreadyVerified(const std::optional<FleetAnswer>& fleet,
                                   std::optional<bool> logVerified, const std::string& sha256) {
  if (!fleet || !fleet->answered) return {logVerified.value_or(false), KnownFrom::Log};
  const std::optional<FleetLatest>& latest = fleet->latest;
  // The fleet has no record of the unit (a log written before logs had an identity is never
  // shipped, and a record of a moment ago may not be there yet): the station's own log decides.
  if (!latest) return {logVerified.value_or(false), KnownFrom::Fleet};
  const bool fleetVerified =
      (latest->result == "verified" || latest->result == "already-verified") &&
      latest->imageSha256 == sha256;
  return {fleetVerified && logVerified != false, KnownFrom::Fleet};
}

FleetLookup::FleetLookup(std::unique_ptr<FleetStore> store, Clock& clock,
                         FleetLookupOptions options)
    : store_(std::move(store)), clock_(clock), options_(options) {
  offline_ = !store_->Connected();
}

FleetLookup::~FleetLookup() = default;

void FleetLookup::SetOnAnswer(std::function<void()> onAnswer) { onAnswer_ = std::move(onAnswer); }

void FleetLookup::Stop() {
  {
    std::lock_guard lock(mutex_);
    stopped_ = true;
  }
  wake_.notify_one();
}

void FleetLookup::Wake() {
  {
    std::lock_guard lock(mutex_);
    woken_ = true;
  }
  wake_.notify_one();
}

bool FleetLookup::Reachable() const {
  std::lock_guard lock(mutex_);
  return !offline_ && !overdue_;
}

std::optional<FleetAnswer> FleetLookup::Ask(const std::string& serial, uint64_t* question) {
  std::unique_lock lock(mutex_);
  const uint64_t number = next_++;
  if (question != nullptr) *question = number;
  if (offline_ || overdue_ || stopped_) {
    FleetAnswer answer;
    answer.question = number;
    answer.serial = serial;
    return answer;  // from the log, at once
  }
  Question asked{number, serial, clock_.TickCount()};
  queue_.push_back(asked);
  open_.emplace(number, std::move(asked));
  lock.unlock();
  wake_.notify_one();
  return std::nullopt;
}

std::vector<FleetAnswer> FleetLookup::Collect() {
  std::lock_guard lock(mutex_);
  const uint32_t now = clock_.TickCount();
  for (auto it = open_.begin(); it != open_.end();) {
    if (now - it->second.askedAt < options_.answerWithinMs) {
      ++it;
      continue;
    }
    // Due: from the log. The database is slow or gone: the questions after it do not wait.
    if (busyNumber_) overdue_ = true;
    FleetAnswer answer;
    answer.question = it->first;
    answer.serial = it->second.serial;
    ready_.push_back(std::move(answer));
    const uint64_t number = it->first;
    queue_.erase(std::remove_if(queue_.begin(), queue_.end(),
                                [&](const Question& q) { return q.number == number; }),
                 queue_.end());
    it = open_.erase(it);
  }
  std::vector<FleetAnswer> answers;
  answers.swap(ready_);
  return answers;
}

uint32_t FleetLookup::MsUntilDue() {
  std::lock_guard lock(mutex_);
  const uint32_t now = clock_.TickCount();
  uint32_t least = UINT32_MAX;
  for (const auto& [number, question] : open_) {
    const uint32_t waited = now - question.askedAt;
    least = std::min(least, waited >= options_.answerWithinMs ? 0 : options_.answerWithinMs - waited);
  }
  return least;
}

void FleetLookup::AnswerAllFromLogLocked() {
  for (auto& [number, question] : open_) {
    FleetAnswer answer;
    answer.question = number;
    answer.serial = question.serial;
    ready_.push_back(std::move(answer));
  }
  open_.clear();
  queue_.clear();
}

void FleetLookup::Run() {
  uint32_t backoff = options_.firstBackoffMs;
  bool retryPending = false;
  uint32_t retryAt = 0;
  std::unique_lock lock(mutex_);
  // Waits until `until` (clock ticks), a question, Stop or Wake.
  auto wait = [&](std::optional<uint32_t> until) {
    woken_ = false;
    while (!stopped_ && !woken_) {
      if (!until && !queue_.empty()) return;
      if (until) {
        const int32_t left = static_cast<int32_t>(*until - clock_.TickCount());
        if (left <= 0) return;
        wake_.wait_for(lock, std::chrono::milliseconds(left));
      } else {
        wake_.wait(lock);
      }
    }
  };
  // The database failed: every open question is answered from the log, and the next connection
  // waits a backoff that doubles up to its limit.
  auto goOffline = [&] {
    offline_ = true;
    AnswerAllFromLogLocked();
    retryPending = true;
    retryAt = clock_.TickCount() + backoff;
    backoff = std::min(options_.maxBackoffMs, backoff * 2);
  };
  while (!stopped_) {
    if (!store_->Connected()) {
      if (retryPending && static_cast<int32_t>(retryAt - clock_.TickCount()) > 0) {
        wait(retryAt);
        continue;
      }
      lock.unlock();
      const StoreResult result = store_->Connect();
      lock.lock();
      if (!result.ok()) {
        goOffline();
        lock.unlock();
        if (onAnswer_) onAnswer_();
        lock.lock();
        continue;
      }
      offline_ = false;
      retryPending = false;
      backoff = options_.firstBackoffMs;
    }
    if (queue_.empty()) {
      wait(std::nullopt);
      continue;
    }
    Question question = std::move(queue_.front());
    queue_.pop_front();
    busyNumber_ = true;
    busy_ = question.number;
    lock.unlock();
    std::optional<FleetLatest> latest;
    const StoreResult result = store_->LatestOfSerial(question.serial, &latest);
    if (!result.ok()) store_->Disconnect();  // never used again
    lock.lock();
    busyNumber_ = false;
    overdue_ = false;
    if (!result.ok()) {
      goOffline();
    } else if (open_.erase(question.number) != 0) {
      FleetAnswer answer;
      answer.question = question.number;
      answer.serial = question.serial;
      answer.answered = true;
      answer.latest = std::move(latest);
      ready_.push_back(std::move(answer));
    } else {
      continue;  // it fell due meanwhile and was answered from the log
    }
    lock.unlock();
    if (onAnswer_) onAnswer_();
    lock.lock();
  }
  lock.unlock();
  store_->Disconnect();
}

}  // namespace pelorin::fleet
