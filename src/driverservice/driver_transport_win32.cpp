#include "driver_transport_win32.h"

#include "driver_records.h"

namespace pelorin {

static_assert(sizeof(DriverChannel) == sizeof(HANDLE));

Win32DriverTransport::Win32DriverTransport() {
  event_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

Win32DriverTransport::~Win32DriverTransport() {
  if (event_ != nullptr) CloseHandle(event_);
}

DriverChannel Win32DriverTransport::OpenChannel() {
  HANDLE channel =
      CreateFileA(DRIVER_SERVICE_DEVICE_NAME, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (channel == INVALID_HANDLE_VALUE) return INVALID_CHANNEL;
  return reinterpret_cast<DriverChannel>(channel);
}

void Win32DriverTransport::CloseChannel(DriverChannel channel) {
  CloseHandle(reinterpret_cast<HANDLE>(channel));
}

bool Win32DriverTransport::StartRequest(DriverChannel channel, uint32_t code, void* record,
                                        uint32_t size, uint32_t* status) {
  overlapped_ = OVERLAPPED{};
  overlapped_.hEvent = event_;  // without an event the wait falls back on the handle itself
  if (event_ != nullptr) ResetEvent(event_);
  DWORD returned = 0;
  BOOL done = DeviceIoControl(reinterpret_cast<HANDLE>(channel), code, record, size, status,
                              sizeof *status, &returned, &overlapped_);
  // Any other failure leaves the record as the service left it: the caller judges the fields.
  return done || GetLastError() != ERROR_IO_PENDING;
}

void Win32DriverTransport::FinishRequest(DriverChannel channel) {
  DWORD returned = 0;
  GetOverlappedResult(reinterpret_cast<HANDLE>(channel), &overlapped_, &returned, TRUE);
}

}  // namespace pelorin
