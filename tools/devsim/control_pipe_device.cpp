#include "control_pipe_device.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace pelorin::devsim {

namespace {

constexpr uint8_t SET_RESEND_ALL = 0x18, SET_SUB_SEND = 0x1A, SET_SUB_CHECKSUM = 0x16,
                  GET_SUB_CHECKSUM_CNT = 0x0C, SET_CHECKSUM = 0x15, GET_CHECKSUM_CNT = 0x0B,
                  SET_SEND_END = 0x19;

uint32_t SumWords(const std::vector<uint8_t>& bytes) {
  uint32_t sum = 0;
  for (size_t i = 0; i < bytes.size(); i += 4) {
    uint8_t word[4] = {};
    std::memcpy(word, bytes.data() + i, std::min<size_t>(4, bytes.size() - i));
    sum += uint32_t{word[0]} | uint32_t{word[1]} << 8 | uint32_t{word[2]} << 16 |
           uint32_t{word[3]} << 24;
  }
  return sum;
}

}  // namespace

std::vector<uint8_t> ControlPipeDevice::image() const {
  std::vector<uint8_t> all;
  for (auto& block : blocks_) all.insert(all.end(), block.begin(), block.end());
  return all;
}

int32_t ControlPipeDevice::Refuse(std::string what) {
  protocolErrors_.push_back(std::move(what));
  return -1;
}

int32_t ControlPipeDevice::Control(const SetupPacket& setup, bool read, uint8_t* data,
                                   uint32_t length) {
  char name[64];
  std::snprintf(name, sizeof name, "request %02X %02X %04X %04X %04X", setup.requestType,
                setup.request, setup.value, setup.index, setup.length);
  uint16_t repeated = static_cast<uint16_t>(setup.request << 8 | setup.request);
  bool isRead = setup.request == GET_SUB_CHECKSUM_CNT || setup.request == GET_CHECKSUM_CNT;
  if (setup.requestType != (isRead ? 0xC0 : 0x40) || setup.value != repeated ||
      setup.index != repeated || setup.length != (isRead ? 8 : 0) || read != isRead ||
      length != setup.length)
    return Refuse(std::string("malformed ") + name);

  if (stalls_.count({setup.request, ++seen_[setup.request]})) return -1;

  switch (setup.request) {
    case SET_RESEND_ALL:
      if (state_ == State::ExpectResendAll)
        state_ = State::ExpectPayLoad;
      else if (state_ == State::ExpectResendAll2)
        state_ = State::Ready;
      else
        return Refuse(std::string("unexpected ") + name);
      return 0;
    case SET_SUB_SEND:
      if (state_ != State::Ready) return Refuse(std::string("unexpected ") + name);
      blocks_.emplace_back();
      state_ = State::Receiving;
      return 0;
    case SET_SUB_CHECKSUM:
      if (state_ != State::Receiving) return Refuse(std::string("unexpected ") + name);
      state_ = State::ExpectGetSub;
      return 0;
    case GET_SUB_CHECKSUM_CNT: {
      if (state_ != State::ExpectGetSub) return Refuse(std::string("unexpected ") + name);
      uint32_t sum = SumWords(blocks_.back());
      imageSum_ += sum;
      if (corruptBlocks_.count(static_cast<int>(blocks_.size() - 1))) sum += 1;
      state_ = State::Ready;
      return Reply(setup.request, sum, data, length);
    }
    case SET_CHECKSUM:
      if (state_ != State::Ready || blocks_.empty())
        return Refuse(std::string("unexpected ") + name);
      state_ = State::ExpectGetImage;
      return 0;
    case GET_CHECKSUM_CNT:
      if (state_ != State::ExpectGetImage) return Refuse(std::string("unexpected ") + name);
      state_ = State::Verified;
      return Reply(setup.request, imageSum_ + (corruptImage_ ? 1 : 0), data, length);
    case SET_SEND_END:
      // Ends the download from any point after the handshake, also after a failure.
      if (state_ == State::ExpectResendAll || state_ == State::ExpectPayLoad ||
          state_ == State::ExpectResendAll2 || state_ == State::Ended)
        return Refuse(std::string("unexpected ") + name);
      ended_ = true;
      state_ = State::Ended;
      return 0;
    default: return Refuse(std::string("unknown ") + name);
  }
}

int32_t ControlPipeDevice::Reply(uint8_t request, uint32_t sum, uint8_t* data, uint32_t length) {
  uint8_t reply[8];
  for (int i = 0; i < 4; ++i) {
    reply[i] = static_cast<uint8_t>(sum >> (8 * i));
    reply[4 + i] = static_cast<uint8_t>(replyTail_ >> (8 * i));
  }
  uint32_t count = std::min<uint32_t>(length, 8);
  if (auto it = replyLength_.find(request); it != replyLength_.end())
    count = std::min(count, it->second);
  std::memcpy(data, reply, count);
  return static_cast<int32_t>(count);
}

int32_t ControlPipeDevice::Pipe1Write(const uint8_t* data, uint32_t length) {
  int index = pipe1Writes_++;
  if (pipe1Stalls_.count(index)) return -1;
  uint32_t count = length;
  if (auto it = pipe1Short_.find(index); it != pipe1Short_.end())
    count = std::min(count, it->second);

  if (state_ == State::ExpectPayLoad) {
    if (length != 640) return Refuse("PAY_LOAD of " + std::to_string(length) + " bytes");
    payLoad_.assign(data, data + count);
    state_ = State::ExpectResendAll2;
  } else if (state_ == State::Receiving) {
    if (length == 0 || length > 640)
      return Refuse("packet of " + std::to_string(length) + " bytes");
    if (blocks_.back().size() + count > 40960) return Refuse("block longer than 40960 bytes");
    blocks_.back().insert(blocks_.back().end(), data, data + count);
  } else {
    return Refuse("unexpected pipe-1 write of " + std::to_string(length) + " bytes");
  }
  return static_cast<int32_t>(count);
}

}  // namespace pelorin::devsim
