#include "bulk_pipe_endpoint_win32.h"

namespace pelorin::devsim {
namespace {

// How often a waiting PIPE00 writer looks whether the session has ended meanwhile.
constexpr uint32_t kAnswerPollMs = 50;

}  // namespace

void BulkPipeEndpoint::HostMessage(const uint8_t* data, size_t size) {
  device_.HostWrite(data, static_cast<uint32_t>(size));
}

bool BulkPipeEndpoint::NextDeviceMessage(std::vector<uint8_t>* message) {
  while (!shutdown_ && !hostClosed_) {
    auto chunk = device_.NextAnswerChunk(kAnswerPollMs);
    if (chunk.kind == BulkPipeDevice::AnswerChunk::Gone) return false;
    if (chunk.kind == BulkPipeDevice::AnswerChunk::Bytes) {
      *message = std::move(chunk.bytes);
      return true;
    }
  }
  return false;
}

void BulkPipeEndpoint::HostClosed(SimPipe pipe) {
  if (pipe == SimPipe::Out) device_.HostClosedOut();
  if (pipe == SimPipe::In) device_.HostClosedIn();
  hostClosed_ = true;
}

}  // namespace pelorin::devsim
