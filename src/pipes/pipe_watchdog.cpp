#include "pipe_watchdog.h"

#include <algorithm>

namespace pelorin {
namespace {

// Ticks wrap like GetTickCount: compare by signed distance.
int32_t TicksUntil(uint32_t deadline, uint32_t now) {
  return static_cast<int32_t>(deadline - now);
}

}  // namespace

// One enrolled worker. Every field is guarded by the watchdog's mutex.
class PipeWatchdog::Slot : public PipeCallWatch {
 public:
  Slot(PipeWatchdog& owner, std::unique_ptr<PipeCallCanceller> canceller, Clock& clock,
       uint64_t id)
      : id_(id), owner_(owner), canceller_(std::move(canceller)), clock_(clock) {}

  bool BeginCall(uint32_t deadlineTick) override {
    std::lock_guard lock(owner_.mutex_);
    if (owner_.cancelled_ || withdrawn_) {
      interrupted_ = true;
      return false;
    }
    inCall_ = true;
    cancelledCall_ = false;
    deadline_ = deadlineTick;
    if (owner_.sleeping_) {
      // Wake the watchdog only when this deadline comes before it would look again anyway.
      const int32_t remaining = TicksUntil(deadlineTick, clock_.TickCount());
      const auto due = std::chrono::steady_clock::now() +
                       std::chrono::milliseconds(std::max<int32_t>(remaining, 0));
      if (due < owner_.wakeAt_) {
        owner_.wakeAt_ = due;
        owner_.changed_.notify_all();
      }
    }
    return true;
  }

  bool EndCall() override {
    std::lock_guard lock(owner_.mutex_);
    inCall_ = false;
    return cancelledCall_;
  }

  bool Interrupted() override {
    std::lock_guard lock(owner_.mutex_);
    return interrupted_;
  }

  void Leave() override {
    PipeWatchdog& owner = owner_;
    std::lock_guard lock(owner.mutex_);
    canceller_.reset();  // Windows: the worker's thread handle goes here
    --owner.active_;
    owner.changed_.notify_all();
    owner.Forget(this);  // frees this slot: nothing of it is touched afterwards
  }

  // With the watchdog's lock held: cancels the call when it is overdue (or cancels it again).
  // Returns the milliseconds until this slot needs the watchdog next, UINT32_MAX for never.
  uint32_t Check(bool cancelAll) {
    if (!inCall_) return UINT32_MAX;
    const uint32_t now = clock_.TickCount();
    const bool fromOutside = cancelAll || withdrawn_;
    if (cancelledCall_) {
      const uint32_t since = now - cancelledAt_;
      if (since < PIPE_RECANCEL_INTERVAL_MS) return PIPE_RECANCEL_INTERVAL_MS - since;
    } else if (!fromOutside) {
      const int32_t remaining = TicksUntil(deadline_, now);
      if (remaining > 0) return static_cast<uint32_t>(remaining);
    }
    if (fromOutside) interrupted_ = true;
    cancelledCall_ = true;
    cancelledAt_ = now;
    if (canceller_) canceller_->CancelCall();
    return PIPE_RECANCEL_INTERVAL_MS;
  }

  // With the watchdog's lock held.
  void Withdraw() {
    withdrawn_ = true;
    Check(false);
  }

  const uint64_t id_;

 private:
  PipeWatchdog& owner_;
  std::unique_ptr<PipeCallCanceller> canceller_;
  Clock& clock_;
  bool inCall_ = false;
  bool cancelledCall_ = false;  // the current call was cancelled (at cancelledAt_)
  bool withdrawn_ = false;      // Withdraw: every call of this worker is refused or cancelled
  bool interrupted_ = false;    // a call was refused or cancelled from outside
  uint32_t deadline_ = 0;
  uint32_t cancelledAt_ = 0;
};

PipeWatchdog::PipeWatchdog() = default;
PipeWatchdog::~PipeWatchdog() = default;

std::shared_ptr<PipeCallWatch> PipeWatchdog::Enrol(std::unique_ptr<PipeCallCanceller> canceller,
                                                   Clock& clock, uint64_t* id) {
  std::lock_guard lock(mutex_);
  const uint64_t number = nextId_++;
  if (id != nullptr) *id = number;
  slots_.push_back(std::make_unique<Slot>(*this, std::move(canceller), clock, number));
  ++active_;
  // The watch shares ownership of the watchdog: a worker that leaves last frees it safely.
  return std::shared_ptr<PipeCallWatch>(shared_from_this(), slots_.back().get());
}

void PipeWatchdog::Forget(const Slot* slot) {
  // A station enrols workers for as long as it runs: a slot goes once its worker has left.
  std::erase_if(slots_, [slot](const std::unique_ptr<Slot>& s) { return s.get() == slot; });
}

uint32_t PipeWatchdog::CancelOverdueLocked() {
  uint32_t next = UINT32_MAX;
  for (auto& slot : slots_) next = std::min(next, slot->Check(cancelled_));
  return next;
}

uint32_t PipeWatchdog::CancelOverdue() {
  std::lock_guard lock(mutex_);
  return CancelOverdueLocked();
}

void PipeWatchdog::Run() {
  std::unique_lock lock(mutex_);
  while (active_ > 0) {
    const uint32_t next = CancelOverdueLocked();
    sleeping_ = true;
    wakeAt_ = next == UINT32_MAX
                  ? std::chrono::steady_clock::time_point::max()
                  : std::chrono::steady_clock::now() + std::chrono::milliseconds(next);
    // Leave, CancelAll, Wake and an earlier deadline notify; otherwise wake at wakeAt_.
    if (next == UINT32_MAX) {
      changed_.wait(lock);
    } else {
      changed_.wait_until(lock, wakeAt_);
    }
    sleeping_ = false;
  }
}

void PipeWatchdog::Wake() {
  std::lock_guard lock(mutex_);
  changed_.notify_all();
}

void PipeWatchdog::CancelAll() {
  std::lock_guard lock(mutex_);
  cancelled_ = true;
  CancelOverdueLocked();
  changed_.notify_all();
}

void PipeWatchdog::Withdraw(uint64_t id) {
  std::lock_guard lock(mutex_);
  for (auto& slot : slots_) {
    if (slot->id_ == id) slot->Withdraw();
  }
  changed_.notify_all();  // the re-cancel is due sooner than the sleeping watchdog knows
}

bool PipeWatchdog::cancelled() const {
  std::lock_guard lock(mutex_);
  return cancelled_;
}

int PipeWatchdog::active() const {
  std::lock_guard lock(mutex_);
  return active_;
}

}  // namespace pelorin
