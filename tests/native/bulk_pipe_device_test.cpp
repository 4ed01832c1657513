// The simulated bulk-pipe device on its own: what it verifies, when it answers, and its byte rate.
// (Its misbehaviours are exercised through the worker tests.)
#include "bulk_pipe_device.h"

#include <gtest/gtest.h>

#include <cstring>

#include "pipe_protocol.h"
#include "recording_reporter.h"

namespace pelorin::devsim {
namespace {

using test::FakeClock;

std::string NextAnswer(BulkPipeDevice& device) {
  const BulkPipeDevice::AnswerChunk chunk = device.NextAnswerChunk(0);
  return chunk.kind == BulkPipeDevice::AnswerChunk::Bytes
             ? std::string(chunk.bytes.begin(), chunk.bytes.end())
             : "<none>";
}

int64_t Write(BulkPipeDevice& device, const std::vector<uint8_t>& bytes) {
  return device.HostWrite(bytes.data(), static_cast<uint32_t>(bytes.size()));
}
int64_t Write(BulkPipeDevice& device, const char* text) {
  return device.HostWrite(reinterpret_cast<const uint8_t*>(text),
                          static_cast<uint32_t>(std::strlen(text)));
}
std::vector<uint8_t> Le(uint32_t v) {
  return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
}

TEST(BulkPipeDevice, VerdictFollowsMagicLengthAndSum) {
  struct Case {
    const char* name;
    std::vector<uint8_t> magic;
    uint32_t length;
    uint32_t sum;
    const char* verdict;
  };
  const std::vector<uint8_t> data = {10, 20, 30, 200};  // sums to 260
  const std::vector<uint8_t> magic(DOWNLOAD_MAGIC, DOWNLOAD_MAGIC + 4);
  const Case cases[] = {
      {"all good", magic, 4, 260, "VERIOK_"},
      {"wrong magic", {0x31, 0x32, 0x37, 0x39}, 4, 260, "VERIERR"},
      {"length differs", magic, 5, 260, "VERIERR"},
      {"sum differs", magic, 4, 261, "VERIERR"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeClock clock;
    BulkPipeDevice device(clock);
    EXPECT_EQ(Write(device, c.magic), 4);
    EXPECT_EQ(Write(device, Le(c.length)), 4);
    EXPECT_EQ(Write(device, data), 4);
    EXPECT_EQ(NextAnswer(device), "<none>");  // nothing before the byte sum
    EXPECT_EQ(Write(device, Le(c.sum)), 4);
    EXPECT_EQ(NextAnswer(device), "RECEIVE");
    EXPECT_EQ(NextAnswer(device), "<none>");  // the verdict waits for "OK0"
    Write(device, "OK0");
    EXPECT_EQ(NextAnswer(device), c.verdict);
    EXPECT_FALSE(device.ended());
    Write(device, "OK1");
    EXPECT_TRUE(device.ended());
    const BulkPipeResult r = device.Result();
    EXPECT_EQ(r.verified(), std::string(c.verdict) == "VERIOK_");
    EXPECT_EQ(r.dataByteSum, 260u);
    EXPECT_TRUE(r.protocolOk);
    ASSERT_EQ(r.writes.size(), 6u);
    EXPECT_EQ(r.writes[2].phase, BulkPipePhase::Data);
    EXPECT_EQ(r.writes[5].phase, BulkPipePhase::AwaitVerifiedReply);
  }
}

TEST(BulkPipeDevice, DataEndsAtTheFirstShortWriteAndIsPacedToItsRate) {
  FakeClock clock;
  BulkPipeBehaviour behaviour;
  behaviour.bytesPerSecond = 40000000;
  BulkPipeDevice device(clock, behaviour);
  Write(device, std::vector<uint8_t>(DOWNLOAD_MAGIC, DOWNLOAD_MAGIC + 4));
  Write(device, Le(40 * PIPE_CHUNK_SIZE));
  const std::vector<uint8_t> chunk(PIPE_CHUNK_SIZE, 1);
  for (int i = 0; i < 40; ++i) {
    EXPECT_EQ(Write(device, chunk), PIPE_CHUNK_SIZE);
    EXPECT_EQ(device.Result().phase, BulkPipePhase::Data);
  }
  EXPECT_EQ(Write(device, std::vector<uint8_t>{}), 0);
  EXPECT_EQ(device.Result().phase, BulkPipePhase::ByteSum);
  // 5,242,880 bytes at 40 MB/s take 131 ms.
  EXPECT_EQ(clock.totalSlept(), 131u);
  const BulkPipeResult r = device.Result();
  EXPECT_EQ(r.dataWrites, 41u);
  EXPECT_EQ(r.writes.back().tick - r.writes[2].tick, 131u);  // arrival stamps follow the pace
}

}  // namespace
}  // namespace pelorin::devsim
