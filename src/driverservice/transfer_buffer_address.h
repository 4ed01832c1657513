// The data-buffer field of a TransferRecord is 32 bits wide, as on 32-bit Windows, where it holds
// the buffer's address. A 64-bit build (tests only) cannot put a pointer there, so it puts a token
// that a small process-wide table resolves to the buffer while the request runs; on 32-bit builds
// the token is the address itself and the table does not exist.
#pragma once

#include <cstdint>

namespace pelorin {

// Makes the address field for `buffer` and keeps it valid for the object's life (one request).
class TransferBufferAddress {
 public:
  explicit TransferBufferAddress(void* buffer);
  ~TransferBufferAddress();
  TransferBufferAddress(const TransferBufferAddress&) = delete;
  TransferBufferAddress& operator=(const TransferBufferAddress&) = delete;

  uint32_t field() const { return field_; }

 private:
  uint32_t field_;
};

// The buffer that an address field stands for while its request runs; null for field 0 or an
// unknown token. Called by whatever serves the request (the simulated service).
void* ResolveTransferBuffer(uint32_t field);

}  // namespace pelorin
