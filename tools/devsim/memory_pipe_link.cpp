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
    if (taken == BulkPipeDevice::LINK_HUNG) {
      device_.WaitWhileHung();  // returns only when cancelled
      return false;
    }
    if (taken < 0) return false;  // gone or cancelled
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
  MemoryInLink(BulkPipeDevice& device, bool valid) : device_(device), valid_(valid) {}
  ~MemoryInLink() override { device_.HostClosedIn(); }
  bool Write(const uint8_t*, uint32_t, uint32_t* written) override {
    *written = 0;
    return false;  // the in-pipe takes nothing from the host
  }
  bool Read(uint8_t* buffer, uint32_t capacity, uint32_t* got) override {
    *got = 0;
    if (!valid_) return false;
    if (pending_.empty()) {
      BulkPipeDevice::AnswerChunk chunk = device_.NextAnswerChunk(BulkPipeDevice::WAIT_FOREVER);
      if (chunk.kind != BulkPipeDevice::AnswerChunk::Bytes) return false;  // gone or cancelled
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
  std::vector<uint8_t> pending_;
};

}  // namespace

MemoryPipePair ConnectMemoryPipes(BulkPipeDevice& device, MemoryPipeOptions options) {
  MemoryPipePair pair;
  pair.outPipe = std::make_unique<MemoryOutLink>(device, options.outValid);
  pair.inPipe = std::make_unique<MemoryInLink>(device, options.inValid);
  return pair;
}

namespace {

class DeviceCanceller : public PipeCallCanceller {
 public:
  explicit DeviceCanceller(BulkPipeDevice& device) : device_(device) {}
  void CancelCall() override { device_.CancelHostCall(); }

 private:
  BulkPipeDevice& device_;
};

}  // namespace

std::unique_ptr<PipeCallCanceller> MemoryPipeCanceller(BulkPipeDevice& device) {
  return std::make_unique<DeviceCanceller>(device);
}

}  // namespace pelorin::devsim
