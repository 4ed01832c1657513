// The fleet's database in memory, for the native tests of the shipper, the fleet lookup and the
// station core's fleet decision; and running a fleet thread as the product does.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "fleet_store.h"

namespace pelorin::test {

using fleet::FleetLatest;
using fleet::FleetRow;
using fleet::RowOutcome;
using fleet::StoreResult;

// The database in memory. Every connection has a number; one that failed is broken, and any call
// on it after that is counted (the shipper and the lookup must never make one).
class MemoryStore : public fleet::FleetStore {
 public:
  struct Shared {
    std::mutex mutex;
    std::map<std::pair<std::string, uint64_t>, FleetRow> rows;
    bool reachable = true;
    bool schema = true;
    int connects = 0;
    int callsOnBroken = 0;
    int failInsertAfterRows = -1;  // the next batch fails after this many rows (the link drops)
    std::vector<size_t> batches;   // the size of each batch that was committed
    // LatestOfSerial waits while this is set (a slow database).
    bool holdLookups = false;
    int lookupsHeld = 0;  // calls waiting for holdLookups to end
    std::condition_variable released;
  };
  explicit MemoryStore(std::shared_ptr<Shared> shared) : s_(std::move(shared)) {}

  StoreResult Connect() override {
    std::lock_guard lock(s_->mutex);
    broken_ = false;
    connected_ = s_->reachable;
    if (connected_) ++s_->connects;
    return connected_ ? StoreResult::Success() : StoreResult{StoreResult::Unreachable, "08001"};
  }
  void Disconnect() override {
    std::lock_guard lock(s_->mutex);
    connected_ = false;
    broken_ = false;
  }
  bool Connected() const override { return connected_; }
  StoreResult SchemaVersion(int* version) override {
    std::lock_guard lock(s_->mutex);
    if (StoreResult r = Usable(); !r.ok()) return r;
    if (!s_->schema) return {StoreResult::NoSchema, "42P01"};
    *version = fleet::FLEET_SCHEMA_VERSION;
    return {};
  }
  StoreResult LastSequence(const std::string& log, uint64_t* last) override {
    std::lock_guard lock(s_->mutex);
    if (StoreResult r = Usable(); !r.ok()) return r;
    *last = 0;
    for (const auto& [key, row] : s_->rows)
      if (key.first == log) *last = std::max(*last, key.second);
    return {};
  }
  StoreResult InsertBatch(const std::vector<FleetRow>& rows,
                          std::vector<RowOutcome>* outcomes) override {
    std::lock_guard lock(s_->mutex);
    if (StoreResult r = Usable(); !r.ok()) return r;
    auto transaction = s_->rows;
    outcomes->clear();
    for (const FleetRow& row : rows) {
      if (s_->failInsertAfterRows == 0) {
        s_->failInsertAfterRows = -1;
        broken_ = true;
        return {StoreResult::Unreachable, "08S01 the connection dropped"};
      }
      if (s_->failInsertAfterRows > 0) --s_->failInsertAfterRows;
      auto [it, added] = transaction.emplace(std::make_pair(row.log, row.sequence), row);
      outcomes->push_back(added              ? RowOutcome::Stored
                          : it->second == row ? RowOutcome::Same
                                              : RowOutcome::Different);
    }
    s_->rows = std::move(transaction);
    s_->batches.push_back(rows.size());
    return {};
  }
  StoreResult LatestOfSerial(const std::string& serial,
                             std::optional<FleetLatest>* latest) override {
    std::unique_lock lock(s_->mutex);
    if (StoreResult r = Usable(); !r.ok()) return r;
    ++s_->lookupsHeld;
    s_->released.wait(lock, [&] { return !s_->holdLookups; });
    --s_->lookupsHeld;
    if (!s_->reachable) {
      broken_ = true;
      return {StoreResult::Unreachable, "08S01"};
    }
    latest->reset();
    for (const auto& [key, row] : s_->rows)
      if (row.serial == serial && (!*latest || row.time >= (*latest)->time))
        *latest = FleetLatest{row.result, row.imageSha256, row.station, row.time};
    return {};
  }

 private:
  StoreResult Usable() {
    if (broken_) ++s_->callsOnBroken;
    if (!connected_ || broken_) return {StoreResult::Unreachable, "08003 not connected"};
    if (!s_->reachable) {
      broken_ = true;
      return {StoreResult::Unreachable, "08S01 the server went away"};
    }
    return {};
  }
  std::shared_ptr<Shared> s_;
  bool connected_ = false;
  bool broken_ = false;
};

// Runs `run` on a thread of its own, as the product does; `stop` ends it and the thread is joined
// when the test is over, also after a failed assertion.
class Running {
 public:
  Running(std::function<void()> run, std::function<void()> stop)
      : stop_(std::move(stop)), thread_(std::move(run)) {}
  ~Running() {
    stop_();
    thread_.join();
  }

 private:
  std::function<void()> stop_;
  std::thread thread_;
};

// Waits up to `ms` of real time for `done`.
template <class Done>
inline bool Within(int ms, Done done) {
  for (int waited = 0; waited < ms; waited += 5) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return done();
}

}  // namespace pelorin::test
