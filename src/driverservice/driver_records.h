// The driver service's wire: its device name, the five I/O control codes and the request records
// that travel with them, as exact little-endian byte layouts of 32-bit Windows. Shared by the
// client (driver_service_client.h) and the simulated service (tools/devsim). Portable.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

namespace pelorin {

static_assert(std::endian::native == std::endian::little, "the records are little-endian");

inline constexpr char DRIVER_SERVICE_DEVICE_NAME[] = "\\\\.\\WINDRVR6";
inline constexpr uint32_t DRIVER_SERVICE_MIN_VERSION = 700;

// Device type 0x9538, METHOD_NEITHER: the service works on the caller's record in place.
inline constexpr uint32_t IOCTL_DRIVER_VERSION = 0x95382443;
inline constexpr uint32_t IOCTL_DRIVER_SCAN = 0x953825A7;
inline constexpr uint32_t IOCTL_DRIVER_OPEN_DEVICE = 0x953825A3;
inline constexpr uint32_t IOCTL_DRIVER_CLOSE_DEVICE = 0x953825C3;
inline constexpr uint32_t IOCTL_DRIVER_TRANSFER = 0x9538259F;

inline constexpr uint32_t DEVICE_INFO_SIZE = 644;

struct VersionRecord {
  uint32_t version;  // out
  uint8_t reserved[128];
};

struct ScanRecord {
  uint32_t vendorId;       // in: filter, 0 = any
  uint32_t productId;      // in: filter, 0 = any
  uint32_t deviceCount;    // out
  uint32_t firstUniqueId;  // out
  uint8_t results[2040];   // out, not read
};

// Open request and close request.
struct DeviceRecord {
  uint32_t uniqueId;                     // in (open)
  uint32_t openParams[3];                // in (open), always 0 here
  uint32_t deviceHandle;                 // out (open): 0 = refused; in (close)
  uint8_t deviceInfo[DEVICE_INFO_SIZE];  // out (open)
  uint8_t unused[140];
};

// The 8-byte USB SETUP packet, wire order.
struct SetupPacket {
  uint8_t requestType;
  uint8_t request;
  uint16_t value;
  uint16_t index;
  uint16_t length;
};

inline constexpr uint32_t PIPE_CONTROL = 0;
inline constexpr uint32_t PIPE_1 = 1;
inline constexpr uint32_t DIRECTION_WRITE = 0;  // host to device
inline constexpr uint32_t DIRECTION_READ = 1;   // device to host

struct TransferRecord {
  uint32_t deviceHandle;  // in
  uint32_t pipe;          // in: PIPE_CONTROL or PIPE_1
  uint32_t direction;     // in: DIRECTION_READ or DIRECTION_WRITE
  uint32_t reserved0;
  uint32_t dataAddress;  // in: the data buffer (see transfer_buffer_address.h)
  uint32_t length;       // in
  uint32_t timeoutMs;    // in
  uint32_t transferred;  // out
  SetupPacket setup;     // in: all zero for pipe 1
  uint32_t completed;    // out: non-zero when the transfer completed
  uint32_t reserved1;
};

static_assert(sizeof(VersionRecord) == 132);
static_assert(offsetof(VersionRecord, version) == 0);

static_assert(sizeof(ScanRecord) == 2056);
static_assert(offsetof(ScanRecord, vendorId) == 0 && offsetof(ScanRecord, productId) == 4);
static_assert(offsetof(ScanRecord, deviceCount) == 8 && offsetof(ScanRecord, firstUniqueId) == 12);
static_assert(offsetof(ScanRecord, results) == 16);

static_assert(sizeof(DeviceRecord) == 804);
static_assert(offsetof(DeviceRecord, uniqueId) == 0 && offsetof(DeviceRecord, openParams) == 4);
static_assert(offsetof(DeviceRecord, deviceHandle) == 16);
static_assert(offsetof(DeviceRecord, deviceInfo) == 20 && offsetof(DeviceRecord, unused) == 664);

static_assert(sizeof(SetupPacket) == 8);
static_assert(offsetof(SetupPacket, value) == 2 && offsetof(SetupPacket, index) == 4);
static_assert(offsetof(SetupPacket, length) == 6);

static_assert(sizeof(TransferRecord) == 48);
static_assert(offsetof(TransferRecord, deviceHandle) == 0 && offsetof(TransferRecord, pipe) == 4);
static_assert(offsetof(TransferRecord, direction) == 8);
static_assert(offsetof(TransferRecord, dataAddress) == 16 &&
              offsetof(TransferRecord, length) == 20);
static_assert(offsetof(TransferRecord, timeoutMs) == 24);
static_assert(offsetof(TransferRecord, transferred) == 28);
static_assert(offsetof(TransferRecord, setup) == 32 && offsetof(TransferRecord, completed) == 40);

}  // namespace pelorin
