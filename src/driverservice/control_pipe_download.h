// The control-pipe download: sends the chosen image to the single device reached through the
// driver service, in 640-byte packets on pipe 1 grouped into 40,960-byte blocks, around a fixed
// sequence of vendor requests on the control pipe, and compares the device's block and image
// checksums with its own. Portable; the Windows thread that runs it is
// control_pipe_download_win32.h.
#pragma once

#include <cstdint>

#include "download_report.h"
#include "driver_records.h"
#include "driver_transport.h"
#include "image_source.h"

namespace pelorin {

inline constexpr uint32_t CONTROL_PIPE_BLOCK_SIZE = 40960;
inline constexpr uint32_t CONTROL_PIPE_PACKET_SIZE = 640;
inline constexpr uint8_t PAD_BYTE = 0x30;  // '0': the fill of the buffer and of a short last block

// The vendor requests: the request number repeated in all four bytes of wValue and wIndex.
constexpr SetupPacket VendorRequest(uint8_t requestType, uint8_t request, uint16_t length) {
  uint16_t repeated = static_cast<uint16_t>(request << 8 | request);
  return {requestType, request, repeated, repeated, length};
}
inline constexpr SetupPacket SET_RESEND_ALL = VendorRequest(0x40, 0x18, 0);
inline constexpr SetupPacket SET_SUB_SEND = VendorRequest(0x40, 0x1A, 0);
inline constexpr SetupPacket SET_SUB_CHECKSUM = VendorRequest(0x40, 0x16, 0);
inline constexpr SetupPacket GET_SUB_CHECKSUM_CNT = VendorRequest(0xC0, 0x0C, 8);
inline constexpr SetupPacket SET_CHECKSUM = VendorRequest(0x40, 0x15, 0);
inline constexpr SetupPacket GET_CHECKSUM_CNT = VendorRequest(0xC0, 0x0B, 8);
inline constexpr SetupPacket SET_SEND_END = VendorRequest(0x40, 0x19, 0);

// The sum modulo 2^32 of `size` bytes read as little-endian 32-bit words; `size` is a multiple
// of 4.
uint32_t WordChecksum(const uint8_t* data, uint32_t size);

// The whole image's word sum as the control-pipe download computes it, fed a piece of the image
// at a time: pieces of whole blocks, then the last piece, padded with PAD_BYTE up to a whole
// packet as that download pads its last block.
class ImageWordSum {
 public:
  void Add(const uint8_t* data, uint32_t size, bool last);
  uint32_t sum() const { return sum_; }

 private:
  uint32_t sum_ = 0;
};

// Test hook: makes the block buffer's allocation fail as if memory were exhausted.
struct ControlPipeDownloadFaults {
  bool blockAllocationFails = false;
};

// How a control-pipe download ended, for a front end that tells more than the dialog does.
enum class ControlPipeResult {
  Verified,    // both checksums matched
  Failed,      // the device's download failed (DeviceEnded says how)
  NoService,   // the driver service is absent or too old
  NoDevice,    // no device found, or it could not be opened
  ImageError,  // the image cannot be opened or read
};

// Runs one download on the calling thread and returns once it has ended, however it ended.
// Every ending posts exactly one final report (STATUS_CHECKSUMS_OK or STATUS_ERROR) after the
// clean-up, then failures show their box. Once the device is open it is device 0 of the
// per-device reports (DeviceReady with the service's name, DeviceSent after each verified
// block, DeviceEnded).
ControlPipeResult ControlPipeDownload(DriverTransport& transport, Reporter& reporter, Clock& clock,
                                      ImageSource& image, ControlPipeDownloadFaults faults = {});

}  // namespace pelorin
