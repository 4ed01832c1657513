#include "bulk_pipe_device.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string_view>

#include "pipe_protocol.h"

namespace pelorin::devsim {
namespace {

constexpr uint64_t FNV_OFFSET = 14695981039346656037ull;
constexpr uint64_t FNV_PRIME = 1099511628211ull;
constexpr char NOISE[] = "#?*%!~@";  // 7 bytes that are no answer

uint32_t LoadLittleEndian(const uint8_t* in) {
  return static_cast<uint32_t>(in[0]) | static_cast<uint32_t>(in[1]) << 8 |
         static_cast<uint32_t>(in[2]) << 16 | static_cast<uint32_t>(in[3]) << 24;
}

}  // namespace

const char* PhaseName(BulkPipePhase phase) {
  switch (phase) {
    case BulkPipePhase::Magic: return "magic";
    case BulkPipePhase::Length: return "length";
    case BulkPipePhase::Data: return "data";
    case BulkPipePhase::ByteSum: return "byte sum";
    case BulkPipePhase::AwaitReceivedReply: return "verifying";
    case BulkPipePhase::AwaitVerifiedReply: return "verdict";
    case BulkPipePhase::Finished: return "finished";
    case BulkPipePhase::None: return "none";
  }
  return "?";
}

BulkPipeDevice::BulkPipeDevice(Clock& clock, BulkPipeBehaviour behaviour)
    : clock_(clock), behaviour_(behaviour) {
  result_.dataHash = FNV_OFFSET;
}

int64_t BulkPipeDevice::HostWrite(const uint8_t* data, uint32_t size) {
  // A slow reader: the write completes only after the device's delay, unless the host's call is
  // cancelled meanwhile.
  if (behaviour_.writeDelayMs != 0) {
    uint64_t generation;
    {
      std::lock_guard lock(mutex_);
      generation = cancelGeneration_;
    }
    clock_.Sleep(behaviour_.writeDelayMs);
    std::lock_guard lock(mutex_);
    if (cancelGeneration_ != generation) return LINK_CANCELLED;
  }
  uint32_t pauseMs = 0;
  int64_t taken;
  {
    std::lock_guard lock(mutex_);
    taken = Take(data, size);
    // Pace the data to the device's byte rate: the write completes when the bytes taken so far
    // would have crossed the link at that rate.
    if (taken > 0 && behaviour_.bytesPerSecond != 0 &&
        result_.writes.back().phase == BulkPipePhase::Data) {
      const uint32_t now = clock_.TickCount();
      if (!rateStarted_) {
        rateStarted_ = true;
        rateStartTick_ = now;
      }
      const uint64_t dueMs = result_.dataBytes * 1000 / behaviour_.bytesPerSecond;
      const uint64_t elapsedMs = now - rateStartTick_;
      if (dueMs > elapsedMs) pauseMs = static_cast<uint32_t>(dueMs - elapsedMs);
    }
  }
  if (pauseMs != 0) clock_.Sleep(pauseMs);
  return taken;
}

int64_t BulkPipeDevice::Take(const uint8_t* data, uint32_t size) {
  if (result_.vanished) return LINK_GONE;
  if (result_.hung) return LINK_HUNG;
  const BulkPipePhase phase = result_.phase;
  const uint32_t tick = clock_.TickCount();

  const bool hangOnArrival =
      behaviour_.hangIn == phase &&
      (phase != BulkPipePhase::Data || result_.dataBytes + size > behaviour_.hangAfterDataBytes);
  if (hangOnArrival) {
    result_.writes.push_back({phase, size, 0, tick});
    result_.hung = true;
    return LINK_HUNG;
  }

  const bool vanishOnArrival =
      behaviour_.vanishIn == phase && phase != BulkPipePhase::AwaitReceivedReply &&
      (phase != BulkPipePhase::Data || result_.dataBytes + size > behaviour_.vanishAfterDataBytes);
  if (vanishOnArrival) {
    result_.writes.push_back({phase, size, 0, tick});
    VanishLocked();
    return LINK_GONE;
  }
  uint32_t accepted = size;
  if (behaviour_.partialIn == phase) accepted = std::min(size, behaviour_.partialBytes);
  result_.writes.push_back({phase, size, accepted, tick});

  switch (phase) {
    case BulkPipePhase::Magic:
      result_.magic.assign(data, data + accepted);
      result_.magicOk = accepted == DOWNLOAD_MAGIC_SIZE &&
                        std::memcmp(data, DOWNLOAD_MAGIC, DOWNLOAD_MAGIC_SIZE) == 0;
      if (accepted != DOWNLOAD_MAGIC_SIZE) result_.protocolOk = false;
      result_.phase = BulkPipePhase::Length;
      break;
    case BulkPipePhase::Length:
      if (accepted == DOWNLOAD_LENGTH_SIZE) {
        result_.length = LoadLittleEndian(data);
      } else {
        result_.protocolOk = false;
      }
      result_.phase = BulkPipePhase::Data;
      break;
    case BulkPipePhase::Data:
      TakeData(data, accepted);
      // The host's last data write is its first one shorter than a chunk.
      if (accepted > PIPE_CHUNK_SIZE) result_.protocolOk = false;
      if (accepted < PIPE_CHUNK_SIZE) result_.phase = BulkPipePhase::ByteSum;
      break;
    case BulkPipePhase::ByteSum:
      if (accepted == DOWNLOAD_BYTE_SUM_SIZE) {
        result_.hostByteSum = LoadLittleEndian(data);
      } else {
        result_.protocolOk = false;
      }
      Verify();
      result_.phase = BulkPipePhase::AwaitReceivedReply;
      if (behaviour_.stall) break;
      if (behaviour_.mergeAnswers) {
        // The verdict rides behind "RECEIVE"; it is sent again on its own after "OK0".
        const std::string verdict = Verdict();
        QueueChunk(ANSWER_RECEIVE + verdict);
        result_.answers.push_back(ANSWER_RECEIVE);
        result_.answers.push_back(verdict);
      } else {
        SendAnswer(ANSWER_RECEIVE);
      }
      break;
    case BulkPipePhase::AwaitReceivedReply: {
      const std::string reply(reinterpret_cast<const char*>(data), accepted);
      result_.replies.push_back(reply);
      if (reply != REPLY_RECEIVED) {
        result_.protocolOk = false;
        break;
      }
      if (behaviour_.vanishIn == BulkPipePhase::AwaitReceivedReply) {
        VanishLocked();  // unplugged while verifying
        break;
      }
      if (behaviour_.muteAfterReceive) break;  // verifies for ever
      result_.phase = BulkPipePhase::AwaitVerifiedReply;
      SendAnswer(Verdict());
      break;
    }
    case BulkPipePhase::AwaitVerifiedReply: {
      const std::string reply(reinterpret_cast<const char*>(data), accepted);
      result_.replies.push_back(reply);
      if (reply == REPLY_VERIFIED) {
        result_.phase = BulkPipePhase::Finished;
      } else {
        result_.protocolOk = false;
      }
      break;
    }
    case BulkPipePhase::Finished:
    case BulkPipePhase::None:
      result_.replies.emplace_back(reinterpret_cast<const char*>(data), accepted);
      result_.protocolOk = false;
      break;
  }
  return accepted;
}

void BulkPipeDevice::TakeData(const uint8_t* data, uint32_t size) {
  uint32_t sum = result_.dataByteSum;
  uint64_t hash = result_.dataHash;
  for (uint32_t i = 0; i < size; ++i) {
    sum += data[i];
    hash = (hash ^ data[i]) * FNV_PRIME;
  }
  result_.dataByteSum = sum;
  result_.dataHash = hash;
  if (result_.dataBytes < behaviour_.captureLimit) {
    const uint64_t keep = std::min<uint64_t>(size, behaviour_.captureLimit - result_.dataBytes);
    result_.dataPrefix.insert(result_.dataPrefix.end(), data, data + keep);
  }
  result_.dataBytes += size;
  result_.dataWrites += 1;
}

void BulkPipeDevice::Verify() {
  result_.lengthOk = result_.dataBytes == result_.length;
  result_.sumOk = result_.hostByteSum == result_.dataByteSum;
}

void BulkPipeDevice::SendAnswer(const char* answer) {
  const std::string_view text(answer, ANSWER_SIZE);
  if (behaviour_.noiseBeforeAnswers) QueueChunk(std::string_view(NOISE, ANSWER_SIZE));
  if (behaviour_.nulCopyBeforeAnswers) {
    std::string broken(text);
    broken[ANSWER_SIZE - 1] = '\0';
    QueueChunk(broken);
  }
  if (behaviour_.splitAnswers) {
    QueueChunk(text.substr(0, 4));
    QueueChunk(text.substr(4));
  } else {
    QueueChunk(text);
  }
  result_.answers.emplace_back(text);
}

const char* BulkPipeDevice::Verdict() const {
  return behaviour_.answerVerifyError || !result_.verified() ? ANSWER_VERIFY_ERROR
                                                             : ANSWER_VERIFY_OK;
}

void BulkPipeDevice::QueueChunk(std::string_view bytes) {
  outbox_.emplace_back(bytes.begin(), bytes.end());
  answerReady_.notify_all();
}

BulkPipeDevice::AnswerChunk BulkPipeDevice::NextAnswerChunk(uint32_t timeoutMs) {
  std::unique_lock lock(mutex_);
  const uint64_t generation = cancelGeneration_;
  auto ready = [&] {
    return outboxHead_ < outbox_.size() || result_.vanished || shutdown_ ||
           cancelGeneration_ != generation;
  };
  ++blockedCalls_;
  if (timeoutMs == WAIT_FOREVER) {
    answerReady_.wait(lock, ready);
  } else {
    answerReady_.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready);
  }
  --blockedCalls_;
  AnswerChunk chunk;
  if (outboxHead_ < outbox_.size()) {
    chunk.kind = AnswerChunk::Bytes;
    chunk.bytes = std::move(outbox_[outboxHead_++]);
  } else if (result_.vanished || shutdown_) {
    chunk.kind = AnswerChunk::Gone;
  } else if (cancelGeneration_ != generation) {
    chunk.kind = AnswerChunk::Cancelled;
  }
  return chunk;
}

void BulkPipeDevice::WaitWhileHung() {
  std::unique_lock lock(mutex_);
  const uint64_t generation = cancelGeneration_;
  ++blockedCalls_;
  answerReady_.wait(lock, [&] { return shutdown_ || cancelGeneration_ != generation; });
  --blockedCalls_;
}

void BulkPipeDevice::CancelHostCall() {
  std::lock_guard lock(mutex_);
  ++cancelGeneration_;
  answerReady_.notify_all();
}

void BulkPipeDevice::Shutdown() {
  std::lock_guard lock(mutex_);
  shutdown_ = true;
  answerReady_.notify_all();
}

void BulkPipeDevice::HostClosedOut() {
  std::lock_guard lock(mutex_);
  result_.outClosed = true;
}

void BulkPipeDevice::HostClosedIn() {
  std::lock_guard lock(mutex_);
  result_.inClosed = true;
}

void BulkPipeDevice::Vanish() {
  std::lock_guard lock(mutex_);
  VanishLocked();
}

void BulkPipeDevice::VanishLocked() {
  result_.vanished = true;
  outbox_.clear();
  outboxHead_ = 0;
  answerReady_.notify_all();
}

bool BulkPipeDevice::vanished() const {
  std::lock_guard lock(mutex_);
  return result_.vanished;
}

bool BulkPipeDevice::hostBlocked() const {
  std::lock_guard lock(mutex_);
  return blockedCalls_ > 0;
}

bool BulkPipeDevice::hung() const {
  std::lock_guard lock(mutex_);
  return result_.hung;
}

bool BulkPipeDevice::ended() const {
  std::lock_guard lock(mutex_);
  return result_.vanished || result_.phase == BulkPipePhase::Finished;
}

BulkPipeResult BulkPipeDevice::Result() const {
  std::lock_guard lock(mutex_);
  return result_;
}

}  // namespace pelorin::devsim
