#include "shipper.h"

#include <algorithm>
#include <chrono>

namespace pelorin::fleet {

Shipper::Shipper(std::string log, FleetLogSource& source, std::unique_ptr<FleetStore> store,
                 Clock& clock, std::function<int64_t()> unixMs, ShipperListener* listener,
                 ShipperOptions options)
    : log_(std::move(log)),
      source_(source),
      store_(std::move(store)),
      clock_(clock),
      unixMs_(std::move(unixMs)),
      listener_(listener),
      options_(options),
      backoffMs_(options.firstBackoffMs) {}

Shipper::~Shipper() = default;

void Shipper::Notify() {
  {
    std::lock_guard lock(mutex_);
    notified_ = true;
  }
  wake_.notify_one();
}

void Shipper::Stop() {
  {
    std::lock_guard lock(mutex_);
    stopped_ = true;
  }
  wake_.notify_one();
}

void Shipper::Wake() {
  {
    std::lock_guard lock(mutex_);
    woken_ = true;
  }
  wake_.notify_one();
}

ShipperStatus Shipper::Status() const {
  std::lock_guard lock(mutex_);
  return status_;
}

void Shipper::Publish(ShipperStatus status) {
  {
    std::lock_guard lock(mutex_);
    if (status == status_) return;
    status_ = status;
  }
  if (listener_ != nullptr) listener_->StatusChanged(status);
}

void Shipper::Alarm(const std::string& text) {
  {
    std::lock_guard lock(mutex_);
    ++status_.alarms;
  }
  if (listener_ != nullptr) listener_->Alarm(text);
}

uint32_t Shipper::Failed(const StoreResult& result, uint32_t now) {
  // Whatever failed, the connection is not used again: the next try opens a fresh one.
  store_->Disconnect();
  connected_ = false;
  retryPending_ = true;
  retryAt_ = now + backoffMs_;
  const uint32_t wait = backoffMs_;
  backoffMs_ = std::min(options_.maxBackoffMs, backoffMs_ * 2);

  ShipperStatus status = Status();
  if (status.link != ShipperStatus::Offline) {
    status.offlineSinceUnixMs = unixMs_ ? unixMs_() : 0;
    status.link = ShipperStatus::Offline;
  }
  status.error = result.text;
  if (ackedKnown_) {
    uint64_t waiting = 0;
    std::string error;
    if (source_.CountAfter(acked_, &waiting, &error)) status.waiting = waiting;
  }
  Publish(status);
  return wait;
}

uint32_t Shipper::ConnectRound(uint32_t now) {
  if (retryPending_ && static_cast<int32_t>(retryAt_ - now) > 0) {
    // Still offline: the count of records waiting follows the log meanwhile.
    if (ackedKnown_) {
      ShipperStatus status = Status();
      uint64_t waiting = 0;
      std::string error;
      if (source_.CountAfter(acked_, &waiting, &error)) status.waiting = waiting;
      Publish(status);
    }
    return retryAt_ - now;
  }
  StoreResult result = store_->Connect();
  if (!result.ok()) return Failed(result, now);
  int version = 0;
  result = store_->SchemaVersion(&version);
  if (result.kind == StoreResult::NoSchema ||
      (result.ok() && version != FLEET_SCHEMA_VERSION)) {
    const std::string line =
        result.ok() ? "the database's fleet schema is version " + std::to_string(version) +
                          ", this station writes version " +
                          std::to_string(FLEET_SCHEMA_VERSION) + ": apply " + FLEET_SCHEMA_FILE +
                          " of this release"
                    : std::string("the database has no fleet schema: apply ") + FLEET_SCHEMA_FILE;
    if (!schemaAlarmed_) Alarm(line);  // once, not at every try
    schemaAlarmed_ = true;
    return Failed({StoreResult::NoSchema, line}, now);
  }
  if (!result.ok()) return Failed(result, now);
  uint64_t last = 0;
  result = store_->LastSequence(log_, &last);
  if (!result.ok()) return Failed(result, now);
  connected_ = true;
  schemaAlarmed_ = false;
  retryPending_ = false;
  backoffMs_ = options_.firstBackoffMs;
  acked_ = last;
  ackedKnown_ = true;
  // The record at the database's point goes again with the next batch: a row there with other
  // content (a copy of this log written elsewhere, a database restored from another one) is then
  // an alarm instead of a silent gap.
  resendPoint_ = last > 0;
  uint64_t fileLast = 0;
  std::string error;
  if (last > 0 && !beyondAlarmed_ && source_.LastSequence(&fileLast, &error) && last > fileLast) {
    beyondAlarmed_ = true;
    Alarm("the database holds log " + log_ + " up to record " + std::to_string(last) +
          ", but the log itself only up to record " + std::to_string(fileLast));
  }
  return 0;
}

uint32_t Shipper::Step() {
  const uint32_t now = clock_.TickCount();
  if (!connected_) {
    const uint32_t wait = ConnectRound(now);
    if (!connected_) return wait;
  }
  std::vector<FleetRow> rows;
  std::vector<FleetLogSource::BadLine> bad;
  std::string error;
  const uint64_t after = resendPoint_ ? acked_ - 1 : acked_;
  if (!source_.Read(after, options_.batchRows, &rows, &bad, &error)) {
    // The log could not be read: the database is not to blame; try again a little later.
    ShipperStatus status = Status();
    status.error = "the log cannot be read: " + error;
    Publish(status);
    return options_.maxBackoffMs;
  }
  for (const FleetLogSource::BadLine& line : bad)
    Alarm("record " + std::to_string(line.sequence) + " of the log is not shipped: " + line.why);

  std::vector<RowOutcome> outcomes;
  uint64_t stored = 0;
  if (!rows.empty()) {
    const StoreResult result = store_->InsertBatch(rows, &outcomes);
    if (!result.ok() || outcomes.size() != rows.size()) return Failed(result, now);
    for (size_t i = 0; i < rows.size(); ++i) {
      if (outcomes[i] == RowOutcome::Stored) ++stored;
      if (outcomes[i] == RowOutcome::Different)
        Alarm("record " + std::to_string(rows[i].sequence) + " of log " + log_ +
              " is in the database with other content; the log's line was not stored");
    }
    acked_ = std::max(acked_, rows.back().sequence);
  }
  resendPoint_ = false;

  ShipperStatus status = Status();
  uint64_t waiting = 0;
  if (!source_.CountAfter(acked_, &waiting, &error)) waiting = 0;
  status.link = waiting == 0 ? ShipperStatus::UpToDate : ShipperStatus::Sending;
  status.waiting = waiting;
  status.acked = acked_;
  status.error.clear();
  status.offlineSinceUnixMs = 0;
  status.shipped += stored;
  Publish(status);
  return !rows.empty() && waiting > 0 ? 0 : UINT32_MAX;
}

void Shipper::Run() {
  for (;;) {
    {
      std::lock_guard lock(mutex_);
      if (stopped_) break;
      notified_ = false;
      woken_ = false;
    }
    uint32_t wait = Step();
    if (wait == 0) continue;
    if (wait == UINT32_MAX) wait = options_.idleLookMs;
    // Waits in the clock's milliseconds; a record, Stop or Wake end the wait early.
    const uint32_t until = clock_.TickCount() + wait;
    std::unique_lock lock(mutex_);
    for (;;) {
      if (stopped_ || notified_ || woken_) break;
      const int32_t left = static_cast<int32_t>(until - clock_.TickCount());
      if (left <= 0) break;
      wake_.wait_for(lock, std::chrono::milliseconds(left));
    }
  }
  store_->Disconnect();
}

}  // namespace pelorin::fleet
