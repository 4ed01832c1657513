// In-memory pipes bound to a simulated bulk-pipe device, standing where a device's two pipe
// handles stand in the product: the out-link's writes go to BulkPipeDevice::HostWrite, the
// in-link's reads come from BulkPipeDevice::NextAnswerChunk. Like synchronous pipe calls, a read
// waits for as long as the device is silent and a write into a hung device waits for ever; only
// a cancellation (MemoryPipeCanceller, as the watchdog uses it) makes such a call return failed.
#pragma once

#include <cstdint>
#include <memory>

#include "bulk_pipe_device.h"
#include "pipe_download.h"

namespace pelorin::devsim {

struct MemoryPipeOptions {
  bool outValid = true;  // false: the out-pipe is the invalid handle
  bool inValid = true;   // false: the in-pipe is the invalid handle
};

struct MemoryPipePair {
  std::unique_ptr<PipeLink> outPipe;  // PIPE01
  std::unique_ptr<PipeLink> inPipe;   // PIPE00
};

// The device must outlive both links. Releasing a link, an invalid one too, is noted on the
// device as the host closing that pipe.
// An in-pipe read takes at most the bytes asked for; the rest of the device's write is kept for
// the next read, as a byte-mode pipe would.
MemoryPipePair ConnectMemoryPipes(BulkPipeDevice& device, MemoryPipeOptions options = {});

// Cancels the blocked call of the memory pipes of `device`, as CancelSynchronousIo cancels the
// call of a worker's thread.
std::unique_ptr<PipeCallCanceller> MemoryPipeCanceller(BulkPipeDevice& device);

}  // namespace pelorin::devsim
