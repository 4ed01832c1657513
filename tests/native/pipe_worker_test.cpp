// The device worker against the simulated bulk-pipe device: the bytes on the wire, progress,
// the verification handshake, and how every failure ends the device.
#include <gtest/gtest.h>

#include <thread>

#include "memory_pipe_link.h"
#include "pipe_test_support.h"

namespace pelorin::test {
namespace {

using devsim::BulkPipeBehaviour;
using devsim::BulkPipePhase;
using devsim::FakeImageSource;

struct Outcome {
  devsim::BulkPipeResult device;
  std::vector<TapLink::Write_> writes;  // what the worker wrote on the out-pipe
  std::vector<ReportEvent> events;
  std::vector<bool> closedAtFinal;
  std::vector<DeviceEnding> endings;
  DeviceActivity activity;  // what the worker's Device* reports told
  std::vector<uint32_t> dataWritesAtProgress;
  uint64_t slept = 0;
  uint32_t sleeps = 0;
  int cancels = 0;  // calls the watchdog cancelled

  std::vector<uint32_t> sizes() const {
    std::vector<uint32_t> out;
    for (auto& w : writes) out.push_back(w.size);
    return out;
  }
  std::vector<int32_t> progress() const {
    std::vector<int32_t> out;
    for (auto& e : events)
      if (e.kind == ReportEvent::Progress) out.push_back(e.b);
    return out;
  }
  std::vector<ReportEvent> finals() const {
    std::vector<ReportEvent> out;
    for (auto& e : events)
      if (IsFinal(e)) out.push_back(e);
    return out;
  }
  std::vector<ReportEvent> boxes() const {
    std::vector<ReportEvent> out;
    for (auto& e : events)
      if (e.kind == ReportEvent::StopBox) out.push_back(e);
    return out;
  }
};

// Passes the watchdog's cancellations on and counts them.
class CountingCanceller : public PipeCallCanceller {
 public:
  CountingCanceller(std::unique_ptr<PipeCallCanceller> inner, std::atomic<int>* count)
      : inner_(std::move(inner)), count_(count) {}
  void CancelCall() override {
    ++*count_;
    inner_->CancelCall();
  }

 private:
  std::unique_ptr<PipeCallCanceller> inner_;
  std::atomic<int>* count_;
};

// Runs the worker as the controller does, each pipe call bounded by the watchdog with the
// protocol's limits, on a thread of its own; while the device keeps a call blocked, the fake
// clock runs on until the watchdog gives it up.
Outcome RunWorker(FakeImageSource& image, BulkPipeBehaviour behaviour = {}, int32_t index = 0,
                  devsim::MemoryPipeOptions options = {}, PipeCallLimits limits = {}) {
  FakeClock clock;
  devsim::BulkPipeDevice device(clock, behaviour);
  ClosingCheckReporter reporter(&device, &image);
  auto pipes = devsim::ConnectMemoryPipes(device, options);
  auto watchdog = std::make_shared<PipeWatchdog>();
  std::atomic<int> cancels{0};
  std::shared_ptr<PipeCallWatch> watch = watchdog->Enrol(
      std::make_unique<CountingCanceller>(devsim::MemoryPipeCanceller(device), &cancels), clock);
  clock.SetOnAdvance([&] { watchdog->CancelOverdue(); });
  Outcome outcome;
  auto out = std::make_unique<TapLink>(std::move(pipes.outPipe), &outcome.writes);
  std::atomic<bool> done{false};
  std::thread worker([&] {
    RunPipeDeviceWorker(index, std::move(out), std::move(pipes.inPipe), image, reporter, clock,
                        watch.get(), limits);
    done = true;
  });
  LetTimeRunWhileBlocked(device, clock, *watchdog, done);
  worker.join();
  clock.SetOnAdvance(nullptr);
  outcome.device = device.Result();
  outcome.events = reporter.events();
  outcome.endings = reporter.endings();
  outcome.activity = reporter.device(index);
  outcome.closedAtFinal = reporter.closedAtFinalReport;
  outcome.dataWritesAtProgress = reporter.dataWritesAtProgress;
  outcome.slept = clock.totalSlept();
  outcome.sleeps = clock.sleepCount();
  outcome.cancels = cancels;
  EXPECT_EQ(watchdog->active(), 0) << "the worker did not leave the watchdog";
  return outcome;
}

// The one final report, with the pipes and image already closed, and the box (if any) after it.
void ExpectEnding(const Outcome& o, ReportEvent final, std::string box = {},
                  std::string caption = {}) {
  ASSERT_EQ(o.finals().size(), 1u);
  EXPECT_EQ(o.finals()[0], final);
  EXPECT_EQ(o.closedAtFinal, std::vector<bool>{true});
  if (box.empty()) {
    EXPECT_TRUE(o.boxes().empty());
    EXPECT_TRUE(IsFinal(o.events.back()));
  } else {
    ASSERT_GE(o.events.size(), 2u);
    EXPECT_EQ(o.events.back(), StopBoxEvent(box, caption));
    EXPECT_EQ(o.events[o.events.size() - 2], final);
  }
}

TEST(PipeDeviceWorker, SendsMagicLengthChunksSumAndAnswersTheDevice) {
  auto image = FakeImageSource::Generated(300000);
  BulkPipeBehaviour behaviour;
  behaviour.captureLimit = 300000;
  const Outcome o = RunWorker(*image, behaviour, 5);

  EXPECT_EQ(o.sizes(), (std::vector<uint32_t>{4, 4, 131072, 131072, 37856, 4, 3, 3}));
  EXPECT_EQ(o.writes[0].head, Bytes({0x39, 0x37, 0x32, 0x31}));
  EXPECT_EQ(o.writes[1].head, Bytes({0xe0, 0x93, 0x04, 0x00}));
  EXPECT_EQ(o.device.replies, (std::vector<std::string>{"OK0", "OK1"}));
  EXPECT_TRUE(o.device.verified());
  for (uint32_t i = 0; i < 300000; ++i) {
    ASSERT_EQ(o.device.dataPrefix[i], FakeImageSource::ByteAt(i)) << "offset " << i;
  }
  // One pause of 1 s after the magic and one after the length, none elsewhere.
  EXPECT_EQ(o.slept, 2000u);
  ASSERT_EQ(o.device.writes.size(), 8u);
  EXPECT_EQ(o.device.writes[1].tick - o.device.writes[0].tick, 1000u);
  EXPECT_EQ(o.device.writes[2].tick - o.device.writes[1].tick, 1000u);
  EXPECT_EQ(o.device.writes[7].tick, o.device.writes[2].tick);

  // No time passes between the writes of this device: 87 is not worth a post of its own.
  std::vector<ReportEvent> expected = {ProgressEvent(5, 43), ProgressEvent(5, 100),
                                       StatusEvent(STATUS_VERIFYING, 0),
                                       StatusEvent(STATUS_DEVICE_DONE, 0)};
  EXPECT_EQ(o.events, expected);
  ExpectEnding(o, StatusEvent(STATUS_DEVICE_DONE, 0));

  // What the per-device views (tooltips, the headless front end's results) are told.
  EXPECT_TRUE(o.activity.started);
  EXPECT_EQ(o.activity.startTick, 1000u) << "started before the first write";
  EXPECT_EQ(o.activity.bytesSent, 300000u);
  EXPECT_EQ(o.activity.imageSize, 300000u);
  EXPECT_EQ(o.activity.firstDataTick, o.device.writes[2].tick);
  EXPECT_TRUE(o.activity.ended);
  EXPECT_EQ(o.activity.outcome, DeviceOutcome::Verified);
  EXPECT_EQ(o.endings, (std::vector<DeviceEnding>{
                           {5, DeviceOutcome::Verified, o.device.writes[7].tick, ""}}));
}

TEST(PipeDeviceWorker, ChunkMultipleAndEmptyImagesEndWithAnEmptyWrite) {
  auto full = FakeImageSource::Generated(262144);
  Outcome o = RunWorker(*full);
  EXPECT_EQ(o.sizes(), (std::vector<uint32_t>{4, 4, 131072, 131072, 0, 4, 3, 3}));
  // The empty last write leaves the bar at 100: nothing more is posted for it.
  EXPECT_EQ(o.progress(), (std::vector<int32_t>{50, 100}));
  EXPECT_TRUE(o.device.verified());

  FakeImageSource empty(std::vector<uint8_t>{});
  o = RunWorker(empty);
  EXPECT_EQ(o.sizes(), (std::vector<uint32_t>{4, 4, 0, 4, 3, 3}));
  EXPECT_EQ(o.writes[1].head, Bytes({0, 0, 0, 0}));
  EXPECT_EQ(o.writes[3].head, Bytes({0, 0, 0, 0}));
  EXPECT_EQ(o.progress(), std::vector<int32_t>{100});
  ExpectEnding(o, StatusEvent(STATUS_DEVICE_DONE, 0));
}

TEST(PipeDeviceWorker, ByteSumAddsUnsignedBytesLittleEndian) {
  FakeImageSource image(Bytes({0xff, 0xff, 0x01}));
  const Outcome o = RunWorker(image);
  ASSERT_EQ(o.sizes(), (std::vector<uint32_t>{4, 4, 3, 4, 3, 3}));
  EXPECT_EQ(o.writes[3].head, Bytes({0xff, 0x01, 0x00, 0x00}));
  EXPECT_EQ(o.device.dataByteSum, 511u);
}

TEST(PipeDeviceWorker, StreamsAHundredMegabyteImage) {
#if defined(__SANITIZE_THREAD__)
  // One thread only, and slow under the thread sanitizer; the other builds run it.
  GTEST_SKIP();
#endif
  constexpr uint32_t size = 100000000;
  auto image = FakeImageSource::Generated(size);
  BulkPipeBehaviour behaviour;
  behaviour.bytesPerSecond = 4 * PIPE_CHUNK_SIZE;  // a chunk every 250 ms: every change is posted
  const Outcome o = RunWorker(*image, behaviour);
  uint32_t sum = 0;
  for (uint32_t i = 0; i < size; ++i) sum += FakeImageSource::ByteAt(i);

  EXPECT_EQ(o.device.dataBytes, size);
  EXPECT_EQ(o.device.dataWrites, 763u);  // 762 full chunks and the 122,880-byte rest
  EXPECT_EQ(o.device.dataByteSum, sum);
  EXPECT_EQ(o.device.hostByteSum, sum);
  // One post per percentage reached, not one per write: 101 posts for 763 writes; 50 is
  // reached with the 382nd write (50,069,504 bytes).
  std::vector<int32_t> everyPercent;
  for (int32_t p = 0; p <= 100; ++p) everyPercent.push_back(p);
  EXPECT_EQ(o.progress(), everyPercent);
  ASSERT_EQ(o.dataWritesAtProgress.size(), 101u);
  EXPECT_EQ(o.dataWritesAtProgress[49], 374u);
  EXPECT_EQ(o.dataWritesAtProgress[50], 382u);
  ExpectEnding(o, StatusEvent(STATUS_DEVICE_DONE, 0));
}

TEST(PipeDeviceWorker, ProgressIsPostedAtMostFourTimesASecondEndingOnWhatWasReached) {
  // 200 chunks, one every 25 ms: every other write moves the bar by 1%, a post every 250 ms.
  auto image = FakeImageSource::Generated(200 * PIPE_CHUNK_SIZE);
  BulkPipeBehaviour behaviour;
  behaviour.bytesPerSecond = 40 * PIPE_CHUNK_SIZE;
  Outcome o = RunWorker(*image, behaviour);
  const std::vector<int32_t> progress = o.progress();
  ASSERT_EQ(progress.size(), o.dataWritesAtProgress.size());
  std::vector<int32_t> expected = {0};  // the first write at once, although it shows as 0%
  while (expected.back() + 5 < 100) expected.push_back(expected.back() + 5);
  expected.push_back(100);  // 100 at once
  EXPECT_EQ(progress, expected);
  for (size_t i = 0; i < progress.size(); ++i) {
    EXPECT_EQ(progress[i], static_cast<int32_t>(o.dataWritesAtProgress[i] / 2)) << "post " << i;
  }

  // A device unplugged at 49%, less than 250 ms after the last post (45%): the bar still shows
  // the position it reached.
  behaviour.vanishIn = BulkPipePhase::Data;
  behaviour.vanishAfterDataBytes = 98 * PIPE_CHUNK_SIZE;
  o = RunWorker(*image, behaviour, 2);
  ASSERT_GE(o.progress().size(), 2u);
  EXPECT_EQ(o.progress().end()[-2], 45);
  EXPECT_EQ(o.progress().back(), 49);
  ExpectEnding(o, StatusEvent(STATUS_ERROR, 2), "USB Cable 연결을 확인해 보세요.", "연결 에러3");
}

TEST(PipeDeviceWorker, RecognisesAnswersHoweverTheyArrive) {
  struct Case {
    const char* name;
    BulkPipeBehaviour behaviour;
  };
  std::vector<Case> cases(4);
  cases[0] = {"split", {}};
  cases[0].behaviour.splitAnswers = true;
  cases[1] = {"merged", {}};
  cases[1].behaviour.mergeAnswers = true;
  cases[2] = {"noise", {}};
  cases[2].behaviour.noiseBeforeAnswers = true;
  cases[3] = {"nul copy", {}};
  cases[3].behaviour.nulCopyBeforeAnswers = true;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto image = FakeImageSource::Generated(1000);
    const Outcome o = RunWorker(*image, c.behaviour);
    EXPECT_EQ(o.device.replies, (std::vector<std::string>{"OK0", "OK1"}));
    EXPECT_EQ(o.device.phase, BulkPipePhase::Finished);
    int verifying = 0;
    for (auto& e : o.events) verifying += e == StatusEvent(STATUS_VERIFYING, 0);
    EXPECT_EQ(verifying, 1);
    ExpectEnding(o, StatusEvent(STATUS_DEVICE_DONE, 0));
  }
}

// An out-pipe that takes every write and keeps its text.
class ReplySink : public PipeLink {
 public:
  explicit ReplySink(std::vector<std::string>* replies) : replies_(replies) {}
  bool Write(const uint8_t* data, uint32_t size, uint32_t* written) override {
    replies_->emplace_back(reinterpret_cast<const char*>(data), size);
    *written = size;
    return true;
  }
  bool Read(uint8_t*, uint32_t, uint32_t* got) override { return (*got = 0), false; }
  bool Valid() const override { return true; }

 private:
  std::vector<std::string>* replies_;
};

TEST(PipeDeviceWorker, HandshakeCollectsSevenBytesAndDropsWhatFollows) {
  FakeImageSource image(std::vector<uint8_t>{});
  FakeClock clock;
  ClosingCheckReporter reporter(nullptr, &image);
  std::vector<std::string> writes;
  std::vector<uint32_t> capacities;
  auto in = std::make_unique<ScriptedInLink>(
      std::deque<ScriptedInLink::Step>{
          {true, "RECEIVEVERIOK_"},            // answered once; the merged verdict is dropped
          {true, "XXXXXXX"},                   // unknown: ignored
          {true, std::string("RECEIV\0", 7)},  // a NUL inside: unknown
          {true, "VERI"},
          {false, ""},  // a failed read keeps what was collected
          {true, ""},   // so does an empty one
          {true, "OK_"},
      },
      &capacities);
  RunPipeDeviceWorker(0, std::make_unique<ReplySink>(&writes), std::move(in), image, reporter,
                      clock);
  ASSERT_EQ(writes.size(), 6u);  // magic, length, empty data, sum, then the replies
  EXPECT_EQ(writes[4], "OK0");
  EXPECT_EQ(writes[5], "OK1");
  EXPECT_EQ(capacities, (std::vector<uint32_t>{14, 14, 14, 14, 10, 10}));
  EXPECT_EQ(reporter.events(ReportEvent::Status),
            (std::vector<ReportEvent>{StatusEvent(STATUS_VERIFYING, 0),
                                      StatusEvent(STATUS_DEVICE_DONE, 0)}));
}

TEST(PipeDeviceWorker, VerifyErrorReportsTheDeviceAndNeverDone) {
  auto image = FakeImageSource::Generated(5000);
  BulkPipeBehaviour behaviour;
  behaviour.answerVerifyError = true;
  const Outcome o = RunWorker(*image, behaviour, 2);
  EXPECT_EQ(o.device.replies, (std::vector<std::string>{"OK0", "OK1"}));
  ExpectEnding(o, StatusEvent(STATUS_CHECKSUMS_ERROR, 2), "Verification Error 다시 시도해 주세요.",
               "에러");
}

TEST(PipeDeviceWorker, ImageFailuresEndTheDeviceWithoutAByteSum) {
  struct Case {
    const char* name;
    uint64_t size;
    devsim::ImageFaults faults;
    uint64_t dataSent;
  };
  const Case cases[] = {
      {"not openable", 1000, {.failOpen = true}, 0},
      {"read fails", 300000, {.failReadAt = 131072}, 131072},
      {"file shrank", 300000, {.endsAt = 200000}, 131072},
      {"4 GiB", 0x100000000ull, {}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto image = FakeImageSource::Generated(c.size, c.faults);
    const Outcome o = RunWorker(*image, {}, 7);
    EXPECT_LT(o.device.phase, BulkPipePhase::ByteSum);
    EXPECT_EQ(o.device.dataBytes, c.dataSent);
    ExpectEnding(o, StatusEvent(STATUS_ERROR, 7), "이미지 파일을 열수 없습니다.", "파일 에러");
    ASSERT_EQ(o.endings.size(), 1u);
    EXPECT_EQ(o.endings[0].outcome, DeviceOutcome::ImageError) << "not a link error";
    EXPECT_TRUE(o.activity.started);
  }
}

TEST(PipeDeviceWorker, ImageOfTheLargestLengthIsSent) {
  auto image = FakeImageSource::Generated(0xFFFFFFFFull);
  BulkPipeBehaviour behaviour;
  behaviour.vanishIn = BulkPipePhase::Data;  // the first data write shows it is being sent
  const Outcome o = RunWorker(*image, behaviour, 2);
  ASSERT_GE(o.writes.size(), 3u);
  EXPECT_EQ(o.writes[1].head, Bytes({0xff, 0xff, 0xff, 0xff}));
  EXPECT_EQ(o.writes[2].size, 131072u);
  ExpectEnding(o, StatusEvent(STATUS_ERROR, 2), "USB Cable 연결을 확인해 보세요.", "연결 에러3");
}

TEST(PipeDeviceWorker, FailedOrShortWritesEndTheDeviceWithLinkError3) {
  struct Case {
    std::string name;
    BulkPipeBehaviour behaviour;
    devsim::MemoryPipeOptions options;
  };
  std::vector<Case> cases;
  for (BulkPipePhase phase :
       {BulkPipePhase::Magic, BulkPipePhase::Length, BulkPipePhase::Data, BulkPipePhase::ByteSum}) {
    Case vanish{std::string("vanish in ") + devsim::PhaseName(phase), {}, {}};
    vanish.behaviour.vanishIn = phase;
    vanish.behaviour.vanishAfterDataBytes = 131072;  // in the second data write
    cases.push_back(vanish);
    Case partial{std::string("partial in ") + devsim::PhaseName(phase), {}, {}};
    partial.behaviour.partialIn = phase;
    partial.behaviour.partialBytes = 2;
    cases.push_back(partial);
  }
  cases.push_back({"invalid out-pipe", {}, {.outValid = false}});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto image = FakeImageSource::Generated(300000);
    const Outcome o = RunWorker(*image, c.behaviour, 3, c.options);
    EXPECT_TRUE(o.device.replies.empty());
    ExpectEnding(o, StatusEvent(STATUS_ERROR, 3), "USB Cable 연결을 확인해 보세요.", "연결 에러3");
    ASSERT_EQ(o.endings.size(), 1u);
    EXPECT_EQ(o.endings[0].outcome, DeviceOutcome::LinkError);
  }
}

TEST(PipeDeviceWorker, LostInPipeEndsAfterPausedRetries) {
  struct Case {
    const char* name;
    BulkPipeBehaviour behaviour;
    devsim::MemoryPipeOptions options;
    bool retries;
  };
  std::vector<Case> cases(2);
  cases[0] = {"vanished while verifying", {}, {}, true};
  cases[0].behaviour.vanishIn = BulkPipePhase::AwaitReceivedReply;
  cases[1] = {"invalid in-pipe", {}, {.inValid = false}, false};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto image = FakeImageSource::Generated(1000);
    const Outcome o = RunWorker(*image, c.behaviour, 4, c.options);
    ExpectEnding(o, StatusEvent(STATUS_ERROR, 4), "USB Cable 연결을 확인해 보세요.", "연결 에러");
    if (c.retries) {
      // Every failed read is followed by a 100 ms pause, until the verdict is overdue: 300 s
      // after "RECEIVE".
      EXPECT_EQ(o.slept, 2000u + 300000u);
      EXPECT_EQ(o.sleeps, 2u + 3000u);
    } else {
      EXPECT_EQ(o.slept, 2000u);
    }
  }
}

// The tick of the device's last write in `phase` (the byte sum, the "OK0" reply).
uint32_t TickOf(const Outcome& o, BulkPipePhase phase) {
  uint32_t tick = 0;
  for (auto& w : o.device.writes)
    if (w.phase == phase) tick = w.tick;
  return tick;
}

TEST(PipeDeviceWorker, WriteBlockedPastTheLimitEndsTheDeviceLikeAFailedWrite) {
  struct Case {
    const char* name;
    BulkPipePhase phase;
    uint64_t dataTaken;
  };
  const Case cases[] = {{"data", BulkPipePhase::Data, 131072},
                        {"byte sum", BulkPipePhase::ByteSum, 300000}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto image = FakeImageSource::Generated(300000);
    BulkPipeBehaviour behaviour;
    behaviour.hangIn = c.phase;
    behaviour.hangAfterDataBytes = 131072;  // the second data write hangs
    const Outcome o = RunWorker(*image, behaviour, 3);
    EXPECT_TRUE(o.device.hung);
    EXPECT_EQ(o.device.dataBytes, c.dataTaken);
    ASSERT_EQ(o.endings.size(), 1u);
    EXPECT_EQ(o.endings[0].outcome, DeviceOutcome::LinkError);
    // Given up when the 10 s write limit has passed, and not much later.
    const uint32_t hungAt = o.device.writes.back().tick;
    EXPECT_GE(o.endings[0].tick - hungAt, 10000u);
    EXPECT_LT(o.endings[0].tick - hungAt, 11000u);
    ExpectEnding(o, StatusEvent(STATUS_ERROR, 3), "USB Cable 연결을 확인해 보세요.", "연결 에러3");
  }
}

TEST(PipeDeviceWorker, SlowWritesAreGivenUpOnlyPastTheLimit) {
  auto image = FakeImageSource::Generated(300000);
  BulkPipeBehaviour slow;
  slow.writeDelayMs = 9900;  // every write completes at 9.9 s
  Outcome o = RunWorker(*image, slow);
  EXPECT_TRUE(o.device.verified());
  EXPECT_EQ(o.device.replies, (std::vector<std::string>{"OK0", "OK1"}));
  ExpectEnding(o, StatusEvent(STATUS_DEVICE_DONE, 0));

  slow.writeDelayMs = 10100;  // the magic is still not taken at 10 s
  o = RunWorker(*image, slow, 1);
  EXPECT_TRUE(o.device.writes.empty());
  ExpectEnding(o, StatusEvent(STATUS_ERROR, 1), "USB Cable 연결을 확인해 보세요.", "연결 에러3");
}

// A write that returned is watched no more: with a write limit as short as the pause after the
// magic, a healthy device's calls are never cancelled.
TEST(PipeDeviceWorker, ACallThatReturnedIsNotCancelledAtItsDeadline) {
  auto image = FakeImageSource::Generated(300000);
  const Outcome o = RunWorker(*image, {}, 0, {}, {.writeMs = 1000});
  EXPECT_EQ(o.cancels, 0);
  EXPECT_TRUE(o.device.verified());
  ExpectEnding(o, StatusEvent(STATUS_DEVICE_DONE, 0));
}

TEST(PipeDeviceWorker, SilenceForTheAnswerLimitEndsTheDevice) {
  struct Case {
    const char* name;
    BulkPipeBehaviour behaviour;
    BulkPipePhase lastWrite;  // the device has been silent since this write
  };
  std::vector<Case> cases(3);
  cases[0] = {"after the byte sum", {}, BulkPipePhase::ByteSum};
  cases[0].behaviour.stall = true;
  cases[1] = {"after RECEIVE", {}, BulkPipePhase::AwaitReceivedReply};
  cases[1].behaviour.muteAfterReceive = true;
  // The device never took its "OK0" and so never gives a verdict.
  cases[2] = {"OK0 not taken", {}, BulkPipePhase::AwaitReceivedReply};
  cases[2].behaviour.partialIn = BulkPipePhase::AwaitReceivedReply;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto image = FakeImageSource::Generated(1000);
    const Outcome o = RunWorker(*image, c.behaviour, 4);
    ASSERT_EQ(o.endings.size(), 1u);
    const uint32_t silentSince = TickOf(o, c.lastWrite);
    EXPECT_GE(o.endings[0].tick - silentSince, 300000u);
    EXPECT_LT(o.endings[0].tick - silentSince, 301000u);
    EXPECT_EQ(o.slept, 2000u) << "a blocked read is not retried";
    ExpectEnding(o, StatusEvent(STATUS_ERROR, 4), "USB Cable 연결을 확인해 보세요.", "연결 에러");
  }
}

// An out-pipe that takes every write and notes its text and the clock's tick.
class TimedSink : public PipeLink {
 public:
  TimedSink(Clock& clock, std::vector<std::pair<std::string, uint32_t>>* writes)
      : clock_(clock), writes_(writes) {}
  bool Write(const uint8_t* data, uint32_t size, uint32_t* written) override {
    writes_->emplace_back(std::string(reinterpret_cast<const char*>(data), size),
                          clock_.TickCount());
    *written = size;
    return true;
  }
  bool Read(uint8_t*, uint32_t, uint32_t* got) override { return (*got = 0), false; }
  bool Valid() const override { return true; }

 private:
  Clock& clock_;
  std::vector<std::pair<std::string, uint32_t>>* writes_;
};

// The worker over a scripted in-pipe whose answers arrive late, with the watchdog on its clock.
struct ScriptedRun {
  std::vector<ReportEvent> statuses;
  std::vector<std::string> replies;  // what the worker wrote after the byte sum
  uint32_t msAfterByteSum = 0;       // when the device ended
  size_t stepsLeft = 0;              // of the script, unread
};
// With `ctrlCAtSleep`, the operator stops the download during the clock's pause of that number
// (1-based: the pauses after the magic and the length come first).
ScriptedRun RunScriptedAnswers(std::deque<ScriptedInLink::Step> script, uint32_t ctrlCAtSleep = 0) {
  FakeImageSource image(Bytes({1, 2, 3}));
  FakeClock clock;
  RecordingReporter reporter;
  ScriptedRun run;
  run.stepsLeft = script.size();
  auto in = std::make_unique<ScriptedInLink>(std::move(script));
  in->clock = &clock;
  in->left = &run.stepsLeft;
  auto watchdog = std::make_shared<PipeWatchdog>();
  auto watch = watchdog->Enrol(std::make_unique<ScriptedInLink::Canceller>(&in->cancelled), clock);
  clock.SetOnAdvance([&] {
    if (ctrlCAtSleep != 0 && clock.sleepCount() == ctrlCAtSleep) watchdog->CancelAll();
    watchdog->CancelOverdue();
  });
  std::vector<std::pair<std::string, uint32_t>> writes;
  RunPipeDeviceWorker(0, std::make_unique<TimedSink>(clock, &writes), std::move(in), image,
                      reporter, clock, watch.get());
  clock.SetOnAdvance(nullptr);
  EXPECT_GE(writes.size(), 4u);
  const uint32_t byteSumAt = writes.size() >= 4 ? writes[3].second : 0;
  for (size_t i = 4; i < writes.size(); ++i) run.replies.push_back(writes[i].first);
  run.statuses = reporter.events(ReportEvent::Status);
  EXPECT_EQ(reporter.endings().size(), 1u);
  if (!reporter.endings().empty()) run.msAfterByteSum = reporter.endings()[0].tick - byteSumAt;
  return run;
}

const std::vector<ReportEvent> GIVEN_UP = {StatusEvent(STATUS_ERROR, 0)};

TEST(PipeDeviceWorker, AnswersAreDueWithinTheLimitOfTheByteSumAndOnceMoreOfReceive) {
  // Bytes that never form a verdict do not keep the device alive: given up 300 s after the sum.
  ScriptedRun run = RunScriptedAnswers({{true, "garbage", 200000}, {true, "VERIOK_", 150000}});
  EXPECT_EQ(run.statuses, GIVEN_UP);
  EXPECT_GE(run.msAfterByteSum, 300000u);
  EXPECT_LT(run.msAfterByteSum, 301000u);
  EXPECT_TRUE(run.replies.empty());

  // "RECEIVE" restarts the limit once: the verdict 250 s after it, 450 s after the sum, counts.
  run = RunScriptedAnswers(
      {{true, "RECEIVE", 200000}, {true, "VERI", 100000}, {true, "OK_", 150000}});
  EXPECT_EQ(run.statuses, (std::vector<ReportEvent>{StatusEvent(STATUS_VERIFYING, 0),
                                                    StatusEvent(STATUS_DEVICE_DONE, 0)}));
  EXPECT_EQ(run.replies, (std::vector<std::string>{"OK0", "OK1"}));

  // ...but only once: "RECEIVE" every 100 s is given up 300 s after the first one.
  std::deque<ScriptedInLink::Step> receives;
  for (int i = 0; i < 10; ++i) receives.push_back({true, "RECEIVE", 100000});
  run = RunScriptedAnswers(receives);
  EXPECT_GE(run.msAfterByteSum, 400000u);
  EXPECT_LT(run.msAfterByteSum, 401000u);
  EXPECT_EQ(run.statuses.back(), StatusEvent(STATUS_ERROR, 0));

  // A device that keeps answering with empty reads brings nothing: each read is retried after
  // a pause, and the device is given up 300 s after the sum (before the script runs out).
  run = RunScriptedAnswers(std::deque<ScriptedInLink::Step>(5000, {true, ""}));
  EXPECT_EQ(run.statuses, GIVEN_UP);
  EXPECT_GE(run.msAfterByteSum, 300000u);
  EXPECT_LT(run.msAfterByteSum, 301000u);
  EXPECT_GT(run.stepsLeft, 0u) << "empty reads were not paused";

  // Failed reads between the parts of an answer do not stretch the limit either.
  std::deque<ScriptedInLink::Step> failing(1500, {false, ""});
  failing.push_back({true, "RECEI"});
  failing.insert(failing.end(), 1490, {false, ""});
  failing.push_back({true, "VE", 100000});
  run = RunScriptedAnswers(failing);
  EXPECT_EQ(run.statuses, GIVEN_UP);
  EXPECT_GE(run.msAfterByteSum, 300000u);
  EXPECT_LT(run.msAfterByteSum, 301000u);
}

// An out-pipe that refuses the writes of one text and takes every other write.
class RefusingSink : public PipeLink {
 public:
  RefusingSink(std::string refused, std::vector<std::string>* writes)
      : refused_(std::move(refused)), writes_(writes) {}
  bool Write(const uint8_t* data, uint32_t size, uint32_t* written) override {
    writes_->emplace_back(reinterpret_cast<const char*>(data), size);
    const bool take = writes_->back() != refused_;
    *written = take ? size : 0;
    return take;
  }
  bool Read(uint8_t*, uint32_t, uint32_t* got) override { return (*got = 0), false; }
  bool Valid() const override { return true; }

 private:
  std::string refused_;
  std::vector<std::string>* writes_;
};

TEST(PipeDeviceWorker, VerdictAfterALostReceivedReplyStillDecides) {
  FakeImageSource image(Bytes({1, 2, 3}));
  FakeClock clock;
  ClosingCheckReporter reporter(nullptr, &image);
  std::vector<std::string> writes;
  auto in = std::make_unique<ScriptedInLink>(
      std::deque<ScriptedInLink::Step>{{true, "RECEIVE"}, {true, "VERIOK_"}});
  RunPipeDeviceWorker(2, std::make_unique<RefusingSink>("OK0", &writes), std::move(in), image,
                      reporter, clock);
  EXPECT_EQ(writes, (std::vector<std::string>{"9721", std::string("\x03\0\0\0", 4), "\x01\x02\x03",
                                              std::string("\x06\0\0\0", 4), "OK0", "OK1"}));
  EXPECT_EQ(reporter.events(),
            (std::vector<ReportEvent>{ProgressEvent(2, 100), StatusEvent(STATUS_VERIFYING, 0),
                                      StatusEvent(STATUS_DEVICE_DONE, 0)}));
  EXPECT_EQ(reporter.closedAtFinalReport, std::vector<bool>{true});
}

TEST(PipeDeviceWorker, LostVerifiedReplyKeepsTheVerdict) {
  auto image = FakeImageSource::Generated(1000);
  BulkPipeBehaviour behaviour;
  behaviour.partialIn = BulkPipePhase::AwaitVerifiedReply;
  const Outcome o = RunWorker(*image, behaviour);
  EXPECT_EQ(o.device.replies, (std::vector<std::string>{"OK0", ""}));
  ExpectEnding(o, StatusEvent(STATUS_DEVICE_DONE, 0));
}

// An image whose reads stall from `stallAt` on until they are cancelled (an image on a network
// share whose server went away), the time running on a second at a time meanwhile.
class StallingImage : public ImageSource {
 public:
  StallingImage(uint64_t size, uint64_t stallAt, FakeClock& clock)
      : size_(size), stallAt_(stallAt), clock_(clock) {}
  using Canceller = FlagCanceller;
  std::unique_ptr<ImageReader> Open() override { return std::make_unique<Reader>(*this); }
  std::atomic<bool> cancelled{false};
  uint32_t stalledAt = 0;  // the tick the stalled read began
  // The stalled read completes, with its bytes, just as it is cancelled (the cancel came too
  // late to stop it); the reads after it do not stall.
  bool completesWhenCancelled = false;

 private:
  class Reader : public ImageReader {
   public:
    explicit Reader(StallingImage& image) : image_(image) {}
    bool Read(uint8_t* buffer, uint32_t capacity, uint32_t* got) override {
      *got = 0;
      if (offset_ >= image_.stallAt_ && !stalled_) {
        image_.stalledAt = image_.clock_.TickCount();
        for (int i = 0; i < 1000 && !image_.cancelled; ++i) image_.clock_.Advance(1000);
        if (!image_.completesWhenCancelled) return false;
        stalled_ = true;
      }
      const uint64_t end = stalled_ ? image_.size_ : image_.stallAt_;
      const uint64_t n = std::min<uint64_t>({capacity, end - offset_});
      for (uint64_t i = 0; i < n; ++i) buffer[i] = FakeImageSource::ByteAt(offset_ + i);
      offset_ += n;
      *got = static_cast<uint32_t>(n);
      return true;
    }
    uint64_t Size() override { return image_.size_; }

   private:
    StallingImage& image_;
    uint64_t offset_ = 0;
    bool stalled_ = false;
  };
  const uint64_t size_, stallAt_;
  FakeClock& clock_;
};

// A device whose image stalls, on a fake clock whose time drives the watchdog; no device answers.
struct StalledImageRun {
  explicit StalledImageRun(bool completesWhenCancelled) {
    image.completesWhenCancelled = completesWhenCancelled;
  }
  void Run(int32_t device) {
    auto watchdog = std::make_shared<PipeWatchdog>();
    auto watch =
        watchdog->Enrol(std::make_unique<StallingImage::Canceller>(&image.cancelled), clock);
    clock.SetOnAdvance([&] { watchdog->CancelOverdue(); });
    RunPipeDeviceWorker(device, std::make_unique<ReplySink>(&writes),
                        std::make_unique<ScriptedInLink>(std::deque<ScriptedInLink::Step>{}),
                        image, reporter, clock, watch.get());
    clock.SetOnAdvance(nullptr);
  }
  FakeClock clock;
  StallingImage image{300000, 131072, clock};
  RecordingReporter reporter;
  std::vector<std::string> writes;
};

TEST(PipeDeviceWorker, StalledImageReadIsGivenUpAfterThirtySecondsOneThatCompletedStands) {
  StalledImageRun stalled(false);
  stalled.Run(6);
  const RecordingReporter& reporter = stalled.reporter;
  ASSERT_EQ(reporter.endings().size(), 1u);
  EXPECT_EQ(reporter.endings()[0].outcome, DeviceOutcome::ImageError);
  EXPECT_GE(reporter.endings()[0].tick - stalled.image.stalledAt, 30000u);
  EXPECT_LT(reporter.endings()[0].tick - stalled.image.stalledAt, 31000u);
  EXPECT_EQ(stalled.writes.size(), 3u) << "magic, length and the first chunk; no byte sum";
  EXPECT_EQ(reporter.events(ReportEvent::Status).back(), StatusEvent(STATUS_ERROR, 6));
  EXPECT_EQ(reporter.events().back(), StopBoxEvent("이미지 파일을 열수 없습니다.", "파일 에러"));

  // A read that completed as its cancel came keeps its bytes: the image goes out whole.
  StalledImageRun late(true);
  late.Run(7);
  ASSERT_EQ(late.reporter.endings().size(), 1u);
  EXPECT_NE(late.reporter.endings()[0].outcome, DeviceOutcome::ImageError);
  uint64_t dataBytes = 0;
  for (size_t i = 2; i + 1 < late.writes.size(); ++i) dataBytes += late.writes[i].size();
  EXPECT_EQ(dataBytes, 300000u) << "every image byte was written";
  EXPECT_EQ(late.writes.back().size(), 4u) << "the byte sum follows the data";
}

// The operator's stop (the headless front end's Ctrl+C): a blocked call ends at once, before
// any limit, and no later call is made.
TEST(PipeWatchdog, CancelAllEndsABlockedDeviceAtOnceAndRefusesLaterCalls) {
  auto image = FakeImageSource::Generated(300000);
  FakeClock clock;
  BulkPipeBehaviour behaviour;
  behaviour.hangIn = BulkPipePhase::Data;
  behaviour.hangAfterDataBytes = 131072;
  devsim::BulkPipeDevice device(clock, behaviour);
  ClosingCheckReporter reporter(&device, image.get());
  auto pipes = devsim::ConnectMemoryPipes(device);
  auto watchdog = std::make_shared<PipeWatchdog>();
  auto watch = watchdog->Enrol(devsim::MemoryPipeCanceller(device), clock);
  std::atomic<bool> done{false};
  std::thread worker([&] {
    RunPipeDeviceWorker(5, std::move(pipes.outPipe), std::move(pipes.inPipe), *image, reporter,
                        clock, watch.get());
    done = true;
  });
  EXPECT_TRUE(Eventually([&] { return device.hostBlocked(); }))
      << "the device never blocked the worker";
  const uint32_t stoppedAt = clock.TickCount();
  watchdog->CancelAll();
  if (!Eventually([&] { return done.load(); }, 3000)) {
    ADD_FAILURE() << "the blocked call was not cancelled";
    device.Shutdown();
    if (!Eventually([&] { return done.load(); }, 5000))
      AbandonTestProgram("the worker did not end");
  }
  worker.join();
  ASSERT_EQ(reporter.endings().size(), 1u);
  EXPECT_EQ(reporter.endings()[0].outcome, DeviceOutcome::LinkError);
  EXPECT_EQ(reporter.endings()[0].tick, stoppedAt) << "no limit was waited for";
  EXPECT_EQ(device.Result().dataBytes, 131072u);
  EXPECT_EQ(reporter.events(ReportEvent::Status).back(), StatusEvent(STATUS_ERROR, 5));
  EXPECT_EQ(watchdog->active(), 0);
  EXPECT_FALSE(watchdog->Enrol(nullptr, clock)->BeginCall(clock.TickCount() + 1000));

  // Between two reads of the device's answer: no read follows, the verdict is not looked for.
  const ScriptedRun paused =
      RunScriptedAnswers({{true, "RECEIVE"}, {false, ""}, {true, "VERIOK_"}}, 3);
  EXPECT_EQ(paused.statuses, (std::vector<ReportEvent>{StatusEvent(STATUS_VERIFYING, 0),
                                                       StatusEvent(STATUS_ERROR, 0)}));
  EXPECT_EQ(paused.stepsLeft, 1u) << "read on after the stop";
  EXPECT_EQ(paused.msAfterByteSum, IN_PIPE_RETRY_PAUSE_MS)
      << "the refused read was retried instead of ending the device";
}

}  // namespace
}  // namespace pelorin::test
