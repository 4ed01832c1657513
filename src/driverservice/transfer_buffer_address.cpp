#include "transfer_buffer_address.h"

#include <array>
#include <mutex>

namespace pelorin {

#if UINTPTR_MAX == 0xFFFFFFFFu

TransferBufferAddress::TransferBufferAddress(void* buffer)
    : field_(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(buffer))) {}
TransferBufferAddress::~TransferBufferAddress() = default;
void* ResolveTransferBuffer(uint32_t field) {
  return reinterpret_cast<void*>(uintptr_t{field});
}

#else

namespace {

// Tokens are 1 + the slot index in the low byte and a generation above it, so a stale token
// never resolves to a buffer registered later in the same slot.
constexpr size_t SLOT_COUNT = 64;
struct Slot {
  void* buffer = nullptr;
  uint32_t token = 0;
};
std::mutex slotsMutex;
std::array<Slot, SLOT_COUNT> slots;
uint32_t generation = 0;

}  // namespace

TransferBufferAddress::TransferBufferAddress(void* buffer) : field_(0) {
  if (buffer == nullptr) return;
  std::lock_guard lock(slotsMutex);
  for (size_t i = 0; i < SLOT_COUNT; ++i) {
    if (slots[i].token != 0) continue;
    generation = (generation + 1) & 0xFFFFFF;
    slots[i] = {buffer, (generation << 8) | static_cast<uint32_t>(i + 1)};
    field_ = slots[i].token;
    return;
  }
  // All slots busy (more simultaneous requests than any test makes): the field stays 0 and the
  // service sees no buffer.
}

TransferBufferAddress::~TransferBufferAddress() {
  if (field_ == 0) return;
  std::lock_guard lock(slotsMutex);
  slots[(field_ & 0xFF) - 1] = {};
}

void* ResolveTransferBuffer(uint32_t field) {
  uint32_t index = field & 0xFF;
  if (index == 0 || index > SLOT_COUNT) return nullptr;
  std::lock_guard lock(slotsMutex);
  const Slot& slot = slots[index - 1];
  return slot.token == field ? slot.buffer : nullptr;
}

#endif

}  // namespace pelorin
