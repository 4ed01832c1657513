// The watchdog's own bookkeeping: which calls it cancels and when, on a fake clock, and how the
// thread that runs it is woken.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "pipe_watchdog.h"
#include "recording_reporter.h"

namespace pelorin::test {
namespace {

class CountingCanceller : public PipeCallCanceller {
 public:
  explicit CountingCanceller(std::atomic<int>* calls) : calls_(calls) {}
  void CancelCall() override { ++*calls_; }

 private:
  std::atomic<int>* calls_;
};

// One worker's calls against the watchdog, a step at a time on a clock that starts just before
// its ticks wrap around: each step does one thing, then one round of the watchdog runs and the
// test checks how many times the call was cancelled so far and when the watchdog would look next.
TEST(PipeWatchdog, CancelsOnlyCallsPastTheirDeadlineAndAgainUntilTheyReturn) {
  enum Action { Begin, Advance, End, Leave };
  struct Step {
    const char* what;
    Action action;
    uint32_t ms;         // Begin: the deadline from now; Advance: how far
    int cancels;         // the canceller's calls so far
    uint32_t next;       // what the round returns: ms until the watchdog must look again
    bool endCancelled;   // End: what EndCall returns
  };
  const Step steps[] = {
      {"a write with 10 s to go, across the wrap", Begin, 10000, 0, 10000, false},
      {"9.9 s later it is not due", Advance, 9900, 0, 100, false},
      {"at 10 s it is cancelled", Advance, 100, 1, 200, false},
      {"not again within 200 ms", Advance, 199, 1, 1, false},
      {"again 200 ms after", Advance, 1, 2, 200, false},
      {"it returns cancelled", End, 0, 2, UINT32_MAX, true},
      {"the next call starts uncancelled", Begin, 10000, 2, 10000, false},
      {"it completes at 9.9 s", Advance, 9900, 2, 100, false},
      {"it returns a success", End, 0, 2, UINT32_MAX, false},
      {"long after, nothing is cancelled", Advance, 20000, 2, UINT32_MAX, false},
      {"a call already due when it begins", Begin, 0, 3, 200, false},
      {"leaving ends the watch", Leave, 0, 3, UINT32_MAX, false},
  };
  FakeClock clock(0xFFFFFF00u);
  std::atomic<int> cancels{0};
  auto watchdog = std::make_shared<PipeWatchdog>();
  std::shared_ptr<PipeCallWatch> watch =
      watchdog->Enrol(std::make_unique<CountingCanceller>(&cancels), clock);
  EXPECT_EQ(watchdog->active(), 1);
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    switch (step.action) {
      case Begin: EXPECT_TRUE(watch->BeginCall(clock.TickCount() + step.ms)); break;
      case Advance: clock.Advance(step.ms); break;
      case End: EXPECT_EQ(watch->EndCall(), step.endCancelled); break;
      case Leave: watch->Leave(); break;
    }
    EXPECT_EQ(watchdog->CancelOverdue(), step.next);
    EXPECT_EQ(cancels.load(), step.cancels);
  }
  EXPECT_EQ(watchdog->active(), 0);
}

// Waits (bounded) until `condition` holds; true when it did.
template <class Condition>
bool Eventually(Condition condition) {
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > giveUp) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// The thread that runs the watchdog sleeps until the earliest deadline: a call that begins
// meanwhile with an earlier one wakes it, and it ends when the last worker leaves, also when
// workers enrol while it runs.
TEST(PipeWatchdog, RunWakesForAnEarlierDeadlineAndEndsWithTheLastWorker) {
  FakeClock clock;
  std::atomic<int> slowCancels{0}, fastCancels{0};
  auto watchdog = std::make_shared<PipeWatchdog>();
  auto slow = watchdog->Enrol(std::make_unique<CountingCanceller>(&slowCancels), clock);
  std::atomic<bool> ran{false};
  std::thread runner([&] {
    watchdog->Run();
    ran = true;
  });
  // The watchdog sleeps for the slow call's 100 s; the fast call is due at once.
  ASSERT_TRUE(slow->BeginCall(clock.TickCount() + 100000));
  auto fast = watchdog->Enrol(std::make_unique<CountingCanceller>(&fastCancels), clock);
  EXPECT_TRUE(Eventually([&] { return !ran; }));
  ASSERT_TRUE(fast->BeginCall(clock.TickCount()));
  EXPECT_TRUE(Eventually([&] { return fastCancels > 0; })) << "the sleeping watchdog was not woken";
  EXPECT_EQ(slowCancels.load(), 0);
  fast->EndCall();
  fast->Leave();
  slow->EndCall();
  EXPECT_FALSE(ran) << "ended while a worker was still enrolled";
  slow->Leave();
  const bool ended = Eventually([&] { return ran.load(); });
  EXPECT_TRUE(ended) << "the last worker's leaving did not end the watchdog";
  if (!ended) watchdog->CancelAll();  // so that the runner can be joined
  runner.join();
}

// A station keeps its watchdog running between devices with a keeper of its own.
TEST(PipeWatchdog, AKeeperHoldsRunWhileNoWorkerIsEnrolled) {
  FakeClock clock;
  auto watchdog = std::make_shared<PipeWatchdog>();
  auto keeper = watchdog->Enrol(nullptr, clock);
  std::atomic<bool> ran{false};
  std::thread runner([&] {
    watchdog->Run();
    ran = true;
  });
  for (int i = 0; i < 3; ++i) {
    std::atomic<int> cancels{0};
    auto worker = watchdog->Enrol(std::make_unique<CountingCanceller>(&cancels), clock);
    ASSERT_TRUE(worker->BeginCall(clock.TickCount()));
    EXPECT_TRUE(Eventually([&] { return cancels > 0; })) << "worker " << i;
    worker->EndCall();
    worker->Leave();
  }
  EXPECT_FALSE(ran);
  keeper->Leave();
  const bool ended = Eventually([&] { return ran.load(); });
  EXPECT_TRUE(ended);
  if (!ended) watchdog->CancelAll();
  runner.join();
}

}  // namespace
}  // namespace pelorin::test
