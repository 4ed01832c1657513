#include "memory_pipe_link.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace pelorin::devsim {
namespace {

class MemoryOutLink : public PipeLink {
 public:
  MemoryOutLink(BulkPipeDevice& device, bool valid) : device_(device), valid_(valid) {}
  ~MemoryOutLink() override { device_.HostClosedOut(); }
  bool Write(const uint8_t* data, uint32_t size, uint32_t* written) override {
    *written = 0;
    if (!valid_) return false;
    const int64_t taken = device_.HostWrite(data, size);
    if (taken == BulkPipeDevice::LINK_GONE) return false;
    *written = static_cast<uint32_t>(taken);
    return true;
  }
  bool Read(uint8_t*, uint32_t, uint32_t* got) override {
    *got = 0;
    return false;  // the out-pipe carries nothing back
  }
  bool Valid() const override { return valid_; }

 private:
  BulkPipeDevice& device_;
  const bool valid_;
};

class MemoryInLink : public PipeLink {
 public:
  MemoryInLink(BulkPipeDevice& device, bool valid, uint32_t timeoutMs)
      : device_(device), valid_(valid), timeoutMs_(timeoutMs) {}
  ~MemoryInLink() override { device_.HostClosedIn(); }
  bool Write(const uint8_t*, uint32_t, uint32_t* written) override {
    *written = 0;
    return false;  // the in-pipe takes nothing from the host
  }
  bool Read(uint8_t* buffer, uint32_t capacity, uint32_t* got) override {
    *got = 0;
    if (!valid_) return false;
    if (pending_.empty()) {
      BulkPipeDevice::AnswerChunk chunk = device_.NextAnswerChunk(timeoutMs_);
      if (chunk.kind == BulkPipeDevice::AnswerChunk::Gone) return false;
      if (chunk.kind == BulkPipeDevice::AnswerChunk::Timeout) return true;
      pending_ = std::move(chunk.bytes);
    }
    const uint32_t n = std::min<uint32_t>(capacity, static_cast<uint32_t>(pending_.size()));
    if (n != 0) std::memcpy(buffer, pending_.data(), n);
    pending_.erase(pending_.begin(), pending_.begin() + n);
    *got = n;
    return true;
  }
  bool Valid() const override { return valid_; }

 private:
  BulkPipeDevice& device_;
  const bool valid_;
  const uint32_t timeoutMs_;
  std::vector<uint8_t> pending_;
};

}  // namespace

MemoryPipePair ConnectMemoryPipes(BulkPipeDevice& device, MemoryPipeOptions options) {
  MemoryPipePair pair;
  pair.outPipe = std::make_unique<MemoryOutLink>(device, options.outValid);
  pair.inPipe = std::make_unique<MemoryInLink>(device, options.inValid, options.readTimeoutMs);
  return pair;
}

}  // namespace pelorin::devsim
