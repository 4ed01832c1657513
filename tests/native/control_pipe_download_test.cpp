// The control-pipe download end to end against the simulated driver service and its device: the
// exact traffic (codes, SETUP bytes, lengths, timeouts, pipes, record bytes), the data and sums
// the device received, the reports in order and the boxes, for good runs and every failure.
// Also compiled into the Windows test program (tests/win32), so it runs under Wine as well.
#include "control_pipe_download.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "driver_service_sim.h"
#include "fake_image_source.h"
#include "recording_reporter.h"

namespace pelorin {
namespace {

using devsim::FakeImageSource;
using devsim::ImageFaults;
using devsim::SimulatedDriverService;
using test::AppBoxEvent;
using test::ControlEvent;
using test::RecordingReporter;
using test::ReportEvent;
using test::StatusEvent;
using test::StopBoxEvent;

// Ticks advance by 7 ms at every reading, so a block's time is 7 ms.
class StepClock : public Clock {
 public:
  void Sleep(uint32_t) override {}
  uint32_t TickCount() override { return now_ += 7; }

 private:
  uint32_t now_ = 5000;
};

// Notes, when the final report is posted, whether everything was released by then, and for
// every status post ("[code]") and timer or counter request ("{...}") how many requests the
// service had received before it.
class ReleaseCheckReporter : public RecordingReporter {
 public:
  std::function<bool()> released;
  std::function<size_t()> requestCount;
  std::vector<std::pair<size_t, std::string>> marks;
  bool releasedAtFinalReport = false;
  void PostStatus(int32_t code, int32_t lParam) override {
    if (code == STATUS_ERROR || code == STATUS_CHECKSUMS_OK) releasedAtFinalReport = released();
    std::string mark = "[";
    mark += std::to_string(code);
    Mark(mark + "]");
    RecordingReporter::PostStatus(code, lParam);
  }
  void Control(DownloadControl request, int32_t argument) override {
    const char* names[] = {"", "{start}", "{stop}", "{reset}", "{expected}"};
    Mark(request >= 1 && request <= 4 ? names[request] : "{?}");
    RecordingReporter::Control(request, argument);
  }

 private:
  void Mark(std::string mark) {
    marks.emplace_back(requestCount ? requestCount() : 0, std::move(mark));
  }
};

std::string Hex(const uint8_t* bytes, size_t n) {
  std::string out;
  char two[4];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(two, sizeof two, i ? " %02X" : "%02X", bytes[i]);
    out += two;
  }
  return out;
}

// One line per request: "version", "scan", "open", "close", or a transfer as
// "W <setup> len t=<timeout>" (control write), "R <setup> len t=<timeout>" (control read),
// "P len t=<timeout>" (pipe 1).
std::vector<std::string> Traffic(const SimulatedDriverService& service) {
  std::vector<std::string> lines;
  for (auto& r : service.requests()) {
    switch (r.code) {
      case IOCTL_DRIVER_VERSION: lines.push_back("version"); break;
      case IOCTL_DRIVER_SCAN: lines.push_back("scan"); break;
      case IOCTL_DRIVER_OPEN_DEVICE: lines.push_back("open"); break;
      case IOCTL_DRIVER_CLOSE_DEVICE: lines.push_back("close"); break;
      case IOCTL_DRIVER_TRANSFER: {
        TransferRecord t = r.transfer();
        char line[96];
        if (t.pipe == PIPE_1)
          std::snprintf(line, sizeof line, "P %u t=%u", t.length, t.timeoutMs);
        else
          std::snprintf(line, sizeof line, "%s %s %u t=%u", t.direction ? "R" : "W",
                        Hex(r.record.data() + 32, 8).c_str(), t.length, t.timeoutMs);
        lines.push_back(line);
        break;
      }
      default: lines.push_back("unknown"); break;
    }
  }
  return lines;
}

// The traffic with the reporter's marks in their places between the requests.
std::vector<std::string> Timeline(const SimulatedDriverService& service,
                                  const ReleaseCheckReporter& reporter) {
  std::vector<std::string> traffic = Traffic(service), lines;
  auto mark = reporter.marks.begin();
  for (size_t i = 0; i <= traffic.size(); ++i) {
    for (; mark != reporter.marks.end() && mark->first == i; ++mark) lines.push_back(mark->second);
    if (i < traffic.size()) lines.push_back(traffic[i]);
  }
  return lines;
}

const std::string SET_RESEND_ALL_W = "W 40 18 18 18 18 18 00 00 0 t=10000";
const std::string SET_SUB_SEND_W = "W 40 1A 1A 1A 1A 1A 00 00 0 t=10000";
const std::string SET_SUB_CHECKSUM_W = "W 40 16 16 16 16 16 00 00 0 t=10000";
const std::string GET_SUB_CHECKSUM_R = "R C0 0C 0C 0C 0C 0C 08 00 8 t=300000";
const std::string SET_CHECKSUM_W = "W 40 15 15 15 15 15 00 00 0 t=10000";
const std::string GET_CHECKSUM_R = "R C0 0B 0B 0B 0B 0B 08 00 8 t=300000";
const std::string SET_SEND_END_W = "W 40 19 19 19 19 19 00 00 0 t=10000";
const std::string PACKET = "P 640 t=10000";

// The traffic of a good download whose blocks have these sizes; with `posts`, the reporter's
// marks in their places as Timeline gives them.
std::vector<std::string> GoodTraffic(const std::vector<uint32_t>& blockSizes, bool posts = false) {
  // The service test, the timer, the image opened, then the scan and the device's own channel.
  std::vector<std::string> lines;
  if (posts) lines.insert(lines.end(), {"{reset}", "{expected}"});
  lines.push_back("version");
  if (posts) lines.insert(lines.end(), {"{start}", "[1]"});
  for (auto& l : {std::string("version"), std::string("scan"), std::string("version"),
                  std::string("open"), SET_RESEND_ALL_W, PACKET, SET_RESEND_ALL_W})
    lines.push_back(l);
  if (posts) lines.insert(lines.end(), {"[2]", "[3]"});
  for (uint32_t size : blockSizes) {
    lines.push_back(SET_SUB_SEND_W);
    lines.insert(lines.end(), size / 640, PACKET);
    lines.push_back(SET_SUB_CHECKSUM_W);
    lines.push_back(GET_SUB_CHECKSUM_R);
    if (posts) lines.push_back("[4]");
  }
  lines.insert(lines.end(), {SET_CHECKSUM_W, GET_CHECKSUM_R});
  if (posts) lines.push_back("{stop}");
  lines.insert(lines.end(), {SET_SEND_END_W, "close"});
  if (posts) lines.push_back("[11]");
  return lines;
}

std::vector<uint8_t> Pattern(size_t size) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 13 + (i >> 8));
  return bytes;
}

void Stall(SimulatedDriverService& s, uint8_t request, int occurrence = 1) {
  s.device().StallRequest(request, occurrence);
}

class ControlPipeDownloadTest : public ::testing::Test {
 protected:
  ControlPipeResult Run(std::vector<uint8_t> image, ImageFaults imageFaults = {},
                        ControlPipeDownloadFaults faults = {}) {
    bytes = std::move(image);
    source = std::make_unique<FakeImageSource>(bytes, imageFaults);
    reporter.released = [this] {
      return source->openReaders() == 0 && service.openDevices() == 0 &&
             service.openChannels() == 0;
    };
    reporter.requestCount = [this] { return service.requests().size(); };
    reporter.BeginDownload();
    const ControlPipeResult result = ControlPipeDownload(service, reporter, clock, *source, faults);
    EXPECT_TRUE(reporter.releasedAtFinalReport);
    EXPECT_EQ(service.openChannels(), 0);
    EXPECT_EQ(service.openDevices(), 0);
    EXPECT_TRUE(service.misuse().empty());
    EXPECT_TRUE(service.device().protocolErrors().empty())
        << service.device().protocolErrors().front();
    EXPECT_FALSE(reporter.model().downloading());
    EXPECT_FALSE(reporter.model().timerRunning());
    return result;
  }

  SimulatedDriverService service;
  ReleaseCheckReporter reporter;
  StepClock clock;
  std::vector<uint8_t> bytes;
  std::unique_ptr<FakeImageSource> source;
};

struct GoodCase {
  uint32_t imageSize;
  std::vector<uint32_t> blockSizes;
};

void PrintTo(const GoodCase& c, std::ostream* os) {
  *os << c.imageSize << "-byte image";
}

class GoodDownloadTest : public ControlPipeDownloadTest,
                         public ::testing::WithParamInterface<GoodCase> {};

TEST_P(GoodDownloadTest, SendsEveryBlockPaddedAndEndsInChecksumsOk) {
  const GoodCase& c = GetParam();
  Run(Pattern(c.imageSize));
  EXPECT_EQ(Timeline(service, reporter), GoodTraffic(c.blockSizes, true));

  std::vector<ReportEvent> expected = {
      ControlEvent(CONTROL_RESET_COUNTERS), ControlEvent(CONTROL_SET_EXPECTED, 1),
      ControlEvent(CONTROL_START_TIMER),    StatusEvent(STATUS_CONFIGURATION, 0),
      StatusEvent(STATUS_SEND_IMAGE, 0),    StatusEvent(STATUS_SEND_LENGTH, 0)};
  expected.insert(expected.end(), c.blockSizes.size(), StatusEvent(STATUS_BLOCK_SENT, 7));
  expected.push_back(ControlEvent(CONTROL_STOP_TIMER));
  expected.push_back(StatusEvent(STATUS_CHECKSUMS_OK, 0));
  EXPECT_EQ(reporter.events(), expected);
  EXPECT_EQ(reporter.model().statusText(), "Checksums OK");

  // The device got the file's bytes in order, each block padded with '0' to whole packets.
  auto& device = service.device();
  ASSERT_EQ(device.blocks().size(), c.blockSizes.size());
  for (size_t i = 0; i < c.blockSizes.size(); ++i)
    EXPECT_EQ(device.blocks()[i].size(), c.blockSizes[i]) << "block " << i;
  std::vector<uint8_t> sent = bytes;
  uint32_t total = 0;
  for (uint32_t size : c.blockSizes) total += size;
  sent.resize(total, 0x30);
  EXPECT_TRUE(device.image() == sent);
  EXPECT_EQ(device.payLoad(), std::vector<uint8_t>(640, 0x30));
  EXPECT_EQ(device.imageSum(), WordChecksum(sent.data(), total));
  EXPECT_TRUE(device.ended());

  // The headless front end's word sum, made from pieces of whole blocks, is the device's.
  ImageWordSum pieces;
  const uint32_t piece = 2 * CONTROL_PIPE_BLOCK_SIZE;
  uint32_t at = 0;
  do {
    const uint32_t size = std::min<uint32_t>(piece, static_cast<uint32_t>(bytes.size()) - at);
    pieces.Add(bytes.data() + at, size, at + size >= bytes.size());
    at += size;
  } while (at < bytes.size());
  EXPECT_EQ(pieces.sum(), device.imageSum());
}

INSTANTIATE_TEST_SUITE_P(ImageSizes, GoodDownloadTest,
                         ::testing::Values(GoodCase{0, {0}}, GoodCase{100, {640}},
                                           GoodCase{40500, {40960, 0}}, GoodCase{40960, {40960, 0}},
                                           GoodCase{81921, {40960, 40960, 640}}));

TEST_F(ControlPipeDownloadTest, HundredByteImageTrafficByteForByte) {
  Run(Pattern(100));
  auto requests = service.requests();
  ASSERT_EQ(requests.size(), 16u);
  // Every transfer record: the open device's number, the fields the client sets, the rest 0.
  for (auto& r : requests) {
    if (r.code != IOCTL_DRIVER_TRANSFER) continue;
    TransferRecord t = r.transfer();
    EXPECT_EQ(t.deviceHandle, SimulatedDriverService::FIRST_DEVICE_HANDLE);
    EXPECT_EQ(t.reserved0 | t.transferred | t.completed | t.reserved1, 0u);
    if (t.pipe == PIPE_1) {
      EXPECT_EQ(Hex(r.record.data() + 32, 8), "00 00 00 00 00 00 00 00");
    }
  }
  std::vector<uint8_t> packet = bytes;
  packet.resize(640, 0x30);
  EXPECT_EQ(requests[9].data, packet);  // the one block packet: 100 file bytes, 540 of '0'
  EXPECT_EQ(requests[6].data, std::vector<uint8_t>(640, 0x30));  // PAY_LOAD
  uint32_t sum = WordChecksum(packet.data(), 640);
  // Both checksum replies: the block's word sum over 160 words, then the device's own 4 bytes.
  for (size_t i : {11u, 13u}) {
    ASSERT_EQ(requests[i].data.size(), 8u);
    uint32_t replied;
    std::memcpy(&replied, requests[i].data.data(), 4);
    EXPECT_EQ(replied, sum);
  }
}

TEST_F(ControlPipeDownloadTest, WordSumWrapsModulo2To32) {
  std::vector<uint8_t> ones(40960, 0xFF);
  EXPECT_EQ(WordChecksum(ones.data(), 40960), 0xFFFFD800u);
  const uint8_t words[8] = {0x01, 0x02, 0x03, 0x04, 0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(WordChecksum(words, 8), 0x04030200u);
  EXPECT_EQ(WordChecksum(words, 0), 0u);

  Run(ones);
  EXPECT_EQ(Hex(service.device().blocks()[0].data(), 4), "FF FF FF FF");
  EXPECT_EQ(service.device().imageSum(), 0xFFFFD800u);
  EXPECT_EQ(reporter.model().statusText(), "Checksums OK");
}

TEST_F(ControlPipeDownloadTest, OnlyTheFirstFourReplyBytesAreCompared) {
  service.device().SetReplyTail(0x12345678);
  Run(Pattern(3000));
  auto transfers = service.requests(IOCTL_DRIVER_TRANSFER);
  EXPECT_EQ(Hex(transfers[transfers.size() - 2].data.data() + 4, 4), "78 56 34 12");
  EXPECT_EQ(reporter.model().statusText(), "Checksums OK");
}

TEST_F(ControlPipeDownloadTest, ChecksumRepliesOfFourToSevenBytesAreEnough) {
  service.device().ShortChecksumReply(0x0C, 4);
  service.device().ShortChecksumReply(0x0B, 7);
  EXPECT_EQ(Run(Pattern(50000)), ControlPipeResult::Verified);
  EXPECT_EQ(reporter.model().statusText(), "Checksums OK");
}

TEST_F(ControlPipeDownloadTest, RefusedSendEndAfterBothChecksumsStillEndsOk) {
  Stall(service, 0x19);
  EXPECT_EQ(Run(Pattern(100)), ControlPipeResult::Verified);
  EXPECT_EQ(reporter.model().statusText(), "Checksums OK");
  EXPECT_EQ(Traffic(service).back(), "close");
  ASSERT_EQ(reporter.endings().size(), 1u);
  EXPECT_EQ(reporter.endings()[0].outcome, DeviceOutcome::Verified);
}

TEST_F(ControlPipeDownloadTest, ThreeDevicesAndPendingRequestsStillDownload) {
  service.SetDevices({{0x5555, 0x5555, SimulatedDriverService::FIRST_UNIQUE_ID},
                      {0x5555, 0x5555, 0x0B},
                      {0x5555, 0x5555, 0x0C}});
  service.DelayRequest(IOCTL_DRIVER_OPEN_DEVICE, 1, 20);
  service.DelayRequest(IOCTL_DRIVER_TRANSFER, 3, 20);  // the second SetResendAll
  service.DelayRequest(IOCTL_DRIVER_TRANSFER, 8, 20);  // the block's checksum read
  Run(Pattern(1300));
  EXPECT_EQ(Traffic(service), GoodTraffic({1920}));
  EXPECT_EQ(reporter.model().statusText(), "Checksums OK");
}

TEST_F(ControlPipeDownloadTest, EndsIdleWhateverCountersAnEarlierDownloadLeft) {
  reporter.SetExpectedDevices(5);
  reporter.PostStatus(STATUS_DEVICE_DONE, 0);
  service.device().StallRequest(0x18);
  Run(Pattern(100));
  EXPECT_EQ(reporter.model().statusText(), "Error - No.0");
  EXPECT_EQ(reporter.model().finishedDevices(), 1);
}

// --- failures ---

struct FailureCase {
  const char* name;
  std::function<void(SimulatedDriverService&, ImageFaults&, ControlPipeDownloadFaults&)> arrange;
  uint32_t imageSize;
  std::vector<std::string> appBoxes;  // shown by the driver-service access before the stop box
  const char* text;
  const char* caption;
  char ending;        // 'E', 'P' or 'A' (see FAILURES)
  const char* posts;  // every status code posted, in order
};

void PrintTo(const FailureCase& c, std::ostream* os) {
  *os << c.name;
}

class DownloadFailureTest : public ControlPipeDownloadTest,
                            public ::testing::WithParamInterface<FailureCase> {};

TEST_P(DownloadFailureTest, CleansUpPostsOneErrorThenShowsItsBox) {
  const FailureCase& c = GetParam();
  ImageFaults imageFaults;
  ControlPipeDownloadFaults faults;
  c.arrange(service, imageFaults, faults);
  const ControlPipeResult result = Run(Pattern(c.imageSize), imageFaults, faults);

  // What a front end learns beside the box: the result, and how the device ended once open.
  const std::string text = c.text;
  ControlPipeResult expected = ControlPipeResult::Failed;
  if (text == "USB Driver Fail.") expected = ControlPipeResult::NoService;
  if (text == "Device Open Fail.") expected = ControlPipeResult::NoDevice;
  if (text == "이미지 파일을 열수 없습니다.") expected = ControlPipeResult::ImageError;
  EXPECT_EQ(result, expected);
  const std::vector<test::DeviceEnding> endings = reporter.endings();
  if (c.ending == 'E') {
    EXPECT_TRUE(endings.empty());
  } else {
    ASSERT_EQ(endings.size(), 1u);
    EXPECT_EQ(endings[0].message, text);
    EXPECT_EQ(endings[0].outcome, text == "Checksum Error" ? DeviceOutcome::VerificationError
                                  : expected == ControlPipeResult::ImageError
                                      ? DeviceOutcome::ImageError
                                      : DeviceOutcome::LinkError);
  }

  auto events = reporter.events();
  ASSERT_GE(events.size(), 3u);
  EXPECT_EQ(events.back(), StopBoxEvent(c.text, c.caption));
  EXPECT_EQ(events[events.size() - 2], StatusEvent(STATUS_ERROR, 0));
  EXPECT_EQ(events[events.size() - 3], ControlEvent(CONTROL_STOP_TIMER));
  std::vector<ReportEvent> finals, appBoxes;
  for (auto& e : events) {
    if (e.kind == ReportEvent::StopBox) finals.push_back(e);
    if (e.kind == ReportEvent::Status && (e.a == STATUS_ERROR || e.a == STATUS_CHECKSUMS_OK))
      finals.push_back(e);
    if (e.kind == ReportEvent::AppBox) appBoxes.push_back(e);
  }
  EXPECT_EQ(finals.size(), 2u);  // one final report, one box
  std::vector<ReportEvent> expectedAppBoxes;
  for (auto& text : c.appBoxes) expectedAppBoxes.push_back(AppBoxEvent(text));
  EXPECT_EQ(appBoxes, expectedAppBoxes);
  EXPECT_EQ(reporter.model().statusText(), "Error - No.0");
  std::string posted;
  for (auto& e : reporter.events(ReportEvent::Status)) {
    if (!posted.empty()) posted += ' ';
    posted += std::to_string(e.a);
  }
  EXPECT_EQ(posted, c.posts);

  auto traffic = Traffic(service);
  bool sentEnd = false;
  for (auto& line : traffic) sentEnd = sentEnd || line == SET_SEND_END_W;
  EXPECT_EQ(sentEnd, c.ending == 'A');
  // The timer stop request comes first, then only the device's farewell, then the one report.
  std::vector<std::string> tail = {"{stop}"};
  if (c.ending == 'A') tail.push_back(SET_SEND_END_W);
  if (c.ending != 'E') tail.push_back("close");
  tail.push_back("[6]");
  auto timeline = Timeline(service, reporter);
  ASSERT_GE(timeline.size(), tail.size());
  EXPECT_EQ(
      std::vector<std::string>(timeline.end() - static_cast<long>(tail.size()), timeline.end()),
      tail);
  EXPECT_EQ(service.device().ended(), c.ending == 'A');
  EXPECT_EQ(source->openReaders(), 0);
}

// Endings: E = before the device is open; P = the device is closed; A = SetSendEnd, then closed.
// clang-format off
const FailureCase FAILURES[] = {
  {"NoService", [](auto& s, auto&, auto&) { s.SetPresent(false); }, 100, {"Cannot open Tarn USB device\n"}, "USB Driver Fail.", "에러", 'E', "6"},
  {"Version699", [](auto& s, auto&, auto&) { s.SetVersion(699); }, 100, {"Error - incorrect Tarn USB version\n"}, "USB Driver Fail.", "에러", 'E', "6"},
  {"ImageFile", [](auto&, auto& i, auto&) { i.failOpen = true; }, 100, {}, "이미지 파일을 열수 없습니다.", "파일 에러", 'E', "6"},
  {"BlockBuffer", [](auto&, auto&, auto& f) { f.blockAllocationFails = true; }, 100, {}, "USB Cable 연결을 확인해 보세요.", "연결 에러3", 'E', "1 6"},
  {"NoDevice", [](auto& s, auto&, auto&) { s.SetDevices({}); }, 100, {}, "Device Open Fail.", "Error", 'E', "1 6"},
  {"OpenRefused", [](auto& s, auto&, auto&) { s.RefuseOpen(); }, 100, {"Could not open device\n\n"}, "Device Open Fail.", "Error", 'E', "1 6"},
  {"SetResendAll", [](auto& s, auto&, auto&) { Stall(s, 0x18); }, 100, {}, "SetResendAll Error", "에러", 'P', "1 6"},
  {"PayLoad", [](auto& s, auto&, auto&) { s.device().StallPipe1Write(0); }, 100, {}, "PAY_LOAD Error", "에러", 'P', "1 6"},
  {"SetResendAllSecond", [](auto& s, auto&, auto&) { Stall(s, 0x18, 2); }, 100, {}, "SetResendAll_2 Error", "에러", 'P', "1 6"},
  {"SetSubSend", [](auto& s, auto&, auto&) { Stall(s, 0x1A); }, 100, {}, "SetSubSend Error", "에러", 'P', "1 2 3 6"},
  {"SetSubSendLaterBlock", [](auto& s, auto&, auto&) { Stall(s, 0x1A, 2); }, 81921, {}, "SetSubSend Error", "에러", 'P', "1 2 3 4 6"},
  {"Packet", [](auto& s, auto&, auto&) { s.device().StallPipe1Write(3); }, 40960, {}, "Connect Check", "에러", 'A', "1 2 3 6"},
  {"ShortPacket", [](auto& s, auto&, auto&) { s.device().ShortPipe1Write(1, 320); }, 40960, {}, "Connect Check", "에러", 'A', "1 2 3 6"},
  {"SetSubChecksum", [](auto& s, auto&, auto&) { Stall(s, 0x16); }, 100, {}, "SetSubChecksum Error", "에러", 'A', "1 2 3 6"},
  {"GetSubChecksumCnt", [](auto& s, auto&, auto&) { Stall(s, 0x0C, 2); }, 81921, {}, "GetSubChecksumCnt Error", "에러", 'A', "1 2 3 4 6"},
  {"ShortBlockChecksumReply", [](auto& s, auto&, auto&) { s.device().ShortChecksumReply(0x0C, 3); }, 100, {}, "GetSubChecksumCnt Error", "에러", 'A', "1 2 3 6"},
  // An empty image sums to 0, which a reply that brings nothing must not pass for.
  {"EmptyBlockChecksumReply", [](auto& s, auto&, auto&) { s.device().ShortChecksumReply(0x0C, 0); }, 0, {}, "GetSubChecksumCnt Error", "에러", 'A', "1 2 3 6"},
  {"BlockChecksum", [](auto& s, auto&, auto&) { s.device().CorruptBlockChecksum(1); }, 81921, {}, "Checksum Error", "에러", 'A', "1 2 3 4 6"},
  {"SetChecksum", [](auto& s, auto&, auto&) { Stall(s, 0x15); }, 100, {}, "SetChecksum Check", "에러", 'A', "1 2 3 4 6"},
  {"GetChecksumCnt", [](auto& s, auto&, auto&) { Stall(s, 0x0B); }, 100, {}, "GetChecksumCnt Check", "에러", 'A', "1 2 3 4 6"},
  {"EmptyImageChecksumReply", [](auto& s, auto&, auto&) { s.device().ShortChecksumReply(0x0B, 0); }, 0, {}, "GetChecksumCnt Check", "에러", 'A', "1 2 3 4 6"},
  {"ImageChecksum", [](auto& s, auto&, auto&) { s.device().CorruptImageChecksum(); }, 100, {}, "Checksum Error", "에러", 'A', "1 2 3 4 6"},
  {"FirstReadFails", [](auto&, auto& i, auto&) { i.failReadAt = 0; }, 100, {}, "이미지 파일을 열수 없습니다.", "파일 에러", 'P', "1 2 3 6"},
  {"LaterReadFails", [](auto&, auto& i, auto&) { i.failReadAt = 40960; }, 81921, {}, "이미지 파일을 열수 없습니다.", "파일 에러", 'P', "1 2 3 4 6"},
  {"ImageShrank", [](auto&, auto& i, auto&) { i.endsAt = 50000; }, 81921, {}, "이미지 파일을 열수 없습니다.", "파일 에러", 'P', "1 2 3 4 6"},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Failures, DownloadFailureTest, ::testing::ValuesIn(FAILURES),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace pelorin
