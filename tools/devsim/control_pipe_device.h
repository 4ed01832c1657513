// The device side of the control-pipe download protocol, as the driver service's simulated device:
// accepts the vendor requests and pipe-1 packets in protocol order, sums each block and the whole
// image as 32-bit little-endian words, answers each checksum read with 8 bytes (the sum, then a
// tail of its choosing), keeps what it received, and can be told to misbehave.
// Not thread-safe: one request at a time.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "driver_records.h"

namespace pelorin::devsim {

class ControlPipeDevice {
 public:
  // --- misbehaviour ---
  // Occurrence `occurrence` (1 = first) of vendor request `request` fails (stall).
  void StallRequest(uint8_t request, int occurrence = 1) { stalls_[{request, occurrence}] = true; }
  // Pipe-1 write number `index` fails (0 = the first, PAY_LOAD; 1 = the first block packet).
  void StallPipe1Write(int index) { pipe1Stalls_[index] = true; }
  // Pipe-1 write number `index` is accepted but reported as `count` bytes; only those are kept.
  void ShortPipe1Write(int index, uint32_t count) { pipe1Short_[index] = count; }
  // Every reply to `request` (a checksum read) brings only `length` bytes (0..8).
  void ShortChecksumReply(uint8_t request, uint32_t length) { replyLength_[request] = length; }
  // The reply for block `block` (0-based) or for the image carries a sum off by one.
  void CorruptBlockChecksum(int block) { corruptBlocks_[block] = true; }
  void CorruptImageChecksum() { corruptImage_ = true; }
  // The four bytes after the sum in every checksum reply.
  void SetReplyTail(uint32_t tail) { replyTail_ = tail; }

  // --- the device side ---
  // A control transfer: `data` holds `length` bytes to write or room for a read. Returns the
  // bytes transferred or -1 (the transfer did not complete).
  int32_t Control(const SetupPacket& setup, bool read, uint8_t* data, uint32_t length);
  int32_t Pipe1Write(const uint8_t* data, uint32_t length);

  // --- what it received ---
  const std::vector<uint8_t>& payLoad() const { return payLoad_; }
  // Every block's bytes as received (a block whose SetSubChecksum never came included).
  const std::vector<std::vector<uint8_t>>& blocks() const { return blocks_; }
  // All blocks' bytes in order: the image as the device got it, '0' fill included.
  std::vector<uint8_t> image() const;
  uint32_t imageSum() const { return imageSum_; }
  bool ended() const { return ended_; }  // SetSendEnd arrived
  // Requests or packets that came out of protocol order or malformed; empty for a good host.
  const std::vector<std::string>& protocolErrors() const { return protocolErrors_; }

 private:
  enum class State {
    ExpectResendAll,
    ExpectPayLoad,
    ExpectResendAll2,
    Ready,           // SetSubSend or SetChecksum
    Receiving,       // packets or SetSubChecksum
    ExpectGetSub,    // GetSubChecksumCnt
    ExpectGetImage,  // GetChecksumCnt
    Verified,        // only SetSendEnd
    Ended,
  };
  int32_t Refuse(std::string what);
  int32_t Reply(uint8_t request, uint32_t sum, uint8_t* data, uint32_t length);

  State state_ = State::ExpectResendAll;
  std::map<std::pair<uint8_t, int>, bool> stalls_;
  std::map<uint8_t, int> seen_;
  std::map<int, bool> pipe1Stalls_;
  std::map<int, uint32_t> pipe1Short_;
  std::map<uint8_t, uint32_t> replyLength_;
  std::map<int, bool> corruptBlocks_;
  bool corruptImage_ = false;
  uint32_t replyTail_ = 0xA55A5AA5;
  int pipe1Writes_ = 0;

  std::vector<uint8_t> payLoad_;
  std::vector<std::vector<uint8_t>> blocks_;
  uint32_t imageSum_ = 0;
  bool ended_ = false;
  std::vector<std::string> protocolErrors_;
};

}  // namespace pelorin::devsim
