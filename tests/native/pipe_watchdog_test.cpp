// The watchdog's own bookkeeping: which calls it cancels and when, on a fake clock, and how the
// thread that runs it is woken.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "pipe_test_support.h"

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

// A unit that went away: Withdraw cancels its worker's pending call at once and refuses its later
// ones while the others go on. Interrupted tells a worker stopped from outside (Withdraw,
// CancelAll) from one whose call was only overdue.
TEST(PipeWatchdog, WithdrawStopsOneWorkerAndInterruptedTellsWhoStoppedIt) {
  FakeClock clock;
  std::atomic<int> goneCancels{0}, stayCancels{0};
  auto watchdog = std::make_shared<PipeWatchdog>();
  uint64_t goneId = 0, stayId = 0;
  auto gone = watchdog->Enrol(std::make_unique<CountingCanceller>(&goneCancels), clock, &goneId);
  auto stay = watchdog->Enrol(std::make_unique<CountingCanceller>(&stayCancels), clock, &stayId);
  EXPECT_TRUE(gone->BeginCall(clock.TickCount() + 100000));
  EXPECT_TRUE(stay->BeginCall(clock.TickCount() + 1000));
  watchdog->Withdraw(goneId);
  EXPECT_EQ(goneCancels.load(), 1) << "the withdrawn call was not cancelled at once";
  EXPECT_TRUE(gone->EndCall());
  EXPECT_TRUE(gone->Interrupted());
  EXPECT_FALSE(gone->BeginCall(clock.TickCount() + 100000));
  gone->Leave();
  watchdog->Withdraw(goneId);  // it has left: nothing happens

  EXPECT_EQ(stayCancels.load(), 0);
  clock.Advance(1000);
  watchdog->CancelOverdue();
  EXPECT_EQ(stayCancels.load(), 1);
  EXPECT_TRUE(stay->EndCall());
  EXPECT_FALSE(stay->Interrupted()) << "an overdue call is no interruption";
  watchdog->CancelAll();
  EXPECT_FALSE(stay->BeginCall(clock.TickCount() + 1000));
  EXPECT_TRUE(stay->Interrupted()) << "a call refused after CancelAll";
  stay->Leave();
  EXPECT_EQ(watchdog->active(), 0);
}

// What the watchdog's thread does at once (it wakes, looks at the calls, ends), it has done within
// this much real time, on a loaded machine too.
constexpr int PROMPT_MS = 3000;

// A fake clock that counts the reads of threads other than the test's: the watchdog's.
class WatchedClock : public FakeClock {
 public:
  uint32_t TickCount() override {
    if (std::this_thread::get_id() != test_) ++readsElsewhere;
    return FakeClock::TickCount();
  }
  std::atomic<int> readsElsewhere{0};

 private:
  const std::thread::id test_ = std::this_thread::get_id();
};

// Runs the watchdog on a thread of its own, as the controller does. Should it not have ended by
// the time the test is over, it is cancelled so that its thread can be joined.
class Runner {
 public:
  explicit Runner(PipeWatchdog& watchdog) : watchdog_(watchdog) {}
  ~Runner() {
    if (!ended_) {
      watchdog_.CancelAll();
      if (!Eventually([&] { return ended_.load(); }, 5000)) {
        AbandonTestProgram("the watchdog ran on although it was cancelled");
      }
    }
    thread_.join();
  }
  bool ended() const { return ended_; }
  bool EndsSoon() const {
    return Eventually([&] { return ended_.load(); }, PROMPT_MS);
  }

 private:
  PipeWatchdog& watchdog_;
  std::atomic<bool> ended_{false};
  std::thread thread_{[this] {
    watchdog_.Run();
    ended_ = true;
  }};
};

// The thread that runs the watchdog sleeps until the earliest deadline comes in real time: a call
// that begins meanwhile with an earlier one wakes it, and it ends when the last worker leaves,
// also when workers enrol while it runs.
TEST(PipeWatchdog, RunWakesForAnEarlierDeadlineAndEndsWithTheLastWorker) {
  WatchedClock clock;
  std::atomic<int> slowCancels{0}, fastCancels{0};
  auto watchdog = std::make_shared<PipeWatchdog>();
  auto slow = watchdog->Enrol(std::make_unique<CountingCanceller>(&slowCancels), clock);
  EXPECT_TRUE(slow->BeginCall(clock.TickCount() + 100000));
  Runner runner(*watchdog);
  // Once it has looked at the slow call's deadline, the watchdog sleeps for its 100 s.
  EXPECT_TRUE(Eventually([&] { return clock.readsElsewhere > 0; }, PROMPT_MS));
  auto fast = watchdog->Enrol(std::make_unique<CountingCanceller>(&fastCancels), clock);
  const int before = clock.readsElsewhere;
  EXPECT_TRUE(fast->BeginCall(clock.TickCount() + 20));
  // Woken, it looks at both calls again, then sleeps for the fast call's 20 ms; those pass (the
  // clock runs on without telling it) and it gives the fast call up by itself.
  if (Eventually([&] { return clock.readsElsewhere >= before + 2; }, PROMPT_MS)) {
    clock.Advance(20);
    EXPECT_TRUE(Eventually([&] { return fastCancels > 0; }, PROMPT_MS))
        << "the watchdog did not look again when the earlier deadline came";
  } else {
    ADD_FAILURE() << "the sleeping watchdog was not woken by the earlier deadline";
  }
  EXPECT_EQ(slowCancels.load(), 0);
  fast->EndCall();
  fast->Leave();
  slow->EndCall();
  EXPECT_FALSE(runner.ended()) << "ended while a worker was still enrolled";
  slow->Leave();
  EXPECT_TRUE(runner.EndsSoon()) << "the last worker's leaving did not end the watchdog";
}

// A test's fake clock moves without the sleeping watchdog's knowing: Wake makes it look again,
// and the call that is now overdue is given up by the watchdog's own thread.
TEST(PipeWatchdog, WakeMakesASleepingRunLookAtAClockThatMoved) {
  WatchedClock clock;
  std::atomic<int> cancels{0};
  auto watchdog = std::make_shared<PipeWatchdog>();
  auto watch = watchdog->Enrol(std::make_unique<CountingCanceller>(&cancels), clock);
  EXPECT_TRUE(watch->BeginCall(clock.TickCount() + 100000));
  Runner runner(*watchdog);
  // Once it has read the clock it sleeps for the call's 100 s of real time.
  EXPECT_TRUE(Eventually([&] { return clock.readsElsewhere > 0; }, PROMPT_MS));
  clock.Advance(100000);
  watchdog->Wake();
  EXPECT_TRUE(Eventually([&] { return cancels > 0; }, PROMPT_MS))
      << "the woken watchdog did not give up the overdue call";
  watch->EndCall();
  watch->Leave();
  EXPECT_TRUE(runner.EndsSoon());
}

// A withdrawn call may have been cancelled too early to stop it: the sleeping watchdog is woken
// to cancel it again soon, not only when the call's own deadline comes.
TEST(PipeWatchdog, AWithdrawnCallIsCancelledAgainWhileRunSleeps) {
  WatchedClock clock;
  std::atomic<int> cancels{0};
  auto watchdog = std::make_shared<PipeWatchdog>();
  uint64_t id = 0;
  auto watch = watchdog->Enrol(std::make_unique<CountingCanceller>(&cancels), clock, &id);
  EXPECT_TRUE(watch->BeginCall(clock.TickCount() + 100000));
  Runner runner(*watchdog);
  EXPECT_TRUE(Eventually([&] { return clock.readsElsewhere > 0; }, PROMPT_MS));
  watchdog->Withdraw(id);
  EXPECT_EQ(cancels.load(), 1);
  clock.Advance(PIPE_RECANCEL_INTERVAL_MS);
  EXPECT_TRUE(Eventually([&] { return cancels > 1; }, PROMPT_MS))
      << "the call that did not return was not cancelled again";
  watch->EndCall();
  watch->Leave();
  EXPECT_TRUE(runner.EndsSoon());
}

// A station keeps its watchdog running between devices with a keeper of its own.
TEST(PipeWatchdog, AKeeperHoldsRunWhileNoWorkerIsEnrolled) {
  FakeClock clock;
  auto watchdog = std::make_shared<PipeWatchdog>();
  auto keeper = watchdog->Enrol(nullptr, clock);
  Runner runner(*watchdog);
  for (int i = 0; i < 3; ++i) {
    std::atomic<int> cancels{0};
    auto worker = watchdog->Enrol(std::make_unique<CountingCanceller>(&cancels), clock);
    EXPECT_TRUE(worker->BeginCall(clock.TickCount()));
    const bool cancelled = Eventually([&] { return cancels > 0; }, PROMPT_MS);
    worker->EndCall();
    worker->Leave();
    if (!cancelled) {
      ADD_FAILURE() << "the call of worker " << i << " was not given up";
      break;
    }
  }
  EXPECT_FALSE(runner.ended());
  keeper->Leave();
  EXPECT_TRUE(runner.EndsSoon());
}

}  // namespace
}  // namespace pelorin::test
