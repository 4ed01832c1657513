// Constants of the bulk-pipe download: device limits, pipe names and the byte protocol spoken
// over them (host to device on PIPE01, device to host on PIPE00). Portable: no Windows header.
#pragma once

#include <cstdint>

namespace pelorin {

// Device table limits.
inline constexpr int32_t MAX_PIPE_DEVICES = 16;
inline constexpr uint32_t DEVICE_PATH_SIZE = 256;

// Sub-paths of a device interface path: "<interface path>\PIPE00" and "...\PIPE01".
inline constexpr char IN_PIPE_NAME[] = "PIPE00";   // device to host
inline constexpr char OUT_PIPE_NAME[] = "PIPE01";  // host to device
inline constexpr char PIPE_PATH_SEPARATOR[] = "\\";

// Host to device: magic, length, data chunks, byte sum, then the replies.
inline constexpr uint32_t PIPE_CHUNK_SIZE = 131072;  // 0x20000 bytes per data write
inline constexpr uint8_t DOWNLOAD_MAGIC[4] = {0x39, 0x37, 0x32, 0x31};  // "9721"
inline constexpr uint32_t DOWNLOAD_MAGIC_SIZE = 4;
inline constexpr uint32_t DOWNLOAD_LENGTH_SIZE = 4;    // image size, little-endian
inline constexpr uint32_t DOWNLOAD_BYTE_SUM_SIZE = 4;  // byte sum modulo 2^32, little-endian

// Device to host: 7-byte answers without terminator, collected in a 14-byte buffer.
inline constexpr uint32_t HANDSHAKE_BUFFER_SIZE = 14;
inline constexpr uint32_t ANSWER_SIZE = 7;
inline constexpr char ANSWER_RECEIVE[] = "RECEIVE";  // image received, verifying
inline constexpr char ANSWER_VERIFY_OK[] = "VERIOK_";
inline constexpr char ANSWER_VERIFY_ERROR[] = "VERIERR";

// Host replies: 3 bytes without terminator.
inline constexpr uint32_t REPLY_SIZE = 3;
inline constexpr char REPLY_RECEIVED[] = "OK0";  // answer to RECEIVE
inline constexpr char REPLY_VERIFIED[] = "OK1";  // answer to VERIOK_ and VERIERR

// Pauses after the magic and after the length, giving the device time to prepare.
inline constexpr uint32_t PAUSE_AFTER_MAGIC_MS = 1000;
inline constexpr uint32_t PAUSE_AFTER_LENGTH_MS = 1000;

// Bounded pipe calls (the driver-service path's limits): an out-pipe write that has not completed
// this long after it was issued is cancelled and counts as a failed write...
inline constexpr uint32_t PIPE_WRITE_TIMEOUT_MS = 10000;
// ...and the device's answers are due within this long of the byte sum (verifying a large image
// may take the device that long); the first "RECEIVE" restarts it once, for the verdict. Nothing
// else restarts it: a device that talks without ever giving its verdict ends all the same, so
// every handshake ends within twice this long of its byte sum.
inline constexpr uint32_t ANSWER_TIMEOUT_MS = 300000;
// A read of the image file (a worker reads it itself) that has not completed this long after it
// was issued is cancelled: an image on a network share whose server went away.
inline constexpr uint32_t IMAGE_READ_TIMEOUT_MS = 30000;

// A failed or empty in-pipe read is tried again after this pause, until the answer is overdue.
inline constexpr uint32_t IN_PIPE_RETRY_PAUSE_MS = 100;

static_assert(sizeof(DOWNLOAD_MAGIC) == DOWNLOAD_MAGIC_SIZE);
static_assert(sizeof(ANSWER_RECEIVE) - 1 == ANSWER_SIZE &&
              sizeof(ANSWER_VERIFY_OK) - 1 == ANSWER_SIZE &&
              sizeof(ANSWER_VERIFY_ERROR) - 1 == ANSWER_SIZE);
static_assert(sizeof(REPLY_RECEIVED) - 1 == REPLY_SIZE && sizeof(REPLY_VERIFIED) - 1 == REPLY_SIZE);
static_assert(HANDSHAKE_BUFFER_SIZE == 2 * ANSWER_SIZE);

}  // namespace pelorin
