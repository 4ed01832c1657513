// bench/fleet_ship.sh's program: ships a backlog through the real path, under Wine. It writes a
// production log of N records (the station's line shape), then runs the Shipper with a
// LogFileSource on that file and the ODBC store until the database is up to date, and prints the
// records per second of that shipping (the writing of the log not counted).
//   fleet_ship.exe LOG_PATH RECORDS     (the connection string in PELORIN_FLEET_DB)
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "fleet_log_source.h"
#include "log_file_reader_win32.h"
#include "odbc_store_win32.h"
#include "shipper.h"
#include "text_win32.h"

namespace {

class TickClock : public pelorin::Clock {
 public:
  void Sleep(uint32_t ms) override { ::Sleep(ms); }
  uint32_t TickCount() override { return GetTickCount(); }
};

std::string Line(const std::string& log, uint64_t sequence) {
  const std::string serial = "SN-" + std::to_string(1000000 + sequence);
  return "{\"log\": \"" + log + "\", \"time\": \"2026-12-08T07:01:02.345Z\", \"station\": " +
         "\"BENCH\", \"sequence\": " + std::to_string(sequence) +
         ", \"port\": \"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USB(" +
         std::to_string(sequence % 64) + ")\", \"path\": \"\\\\\\\\?\\\\usb#vid_1234&pid_5678#" +
         serial + "#{00873fdf-61a8-11d1-aa5e-00c04fb1728b}\\\\simdev0\", \"instance\": " +
         "\"USB\\\\VID_1234&PID_5678\\\\" + serial + "\", \"serial\": \"" + serial +
         "\", \"image\": {\"path\": \"C:\\\\images\\\\os.nb0\", \"size\": 4194304, \"byteSum\": " +
         "534712169, \"sha256\": \"" + std::string(64, 'e') + "\"}, \"result\": \"verified\", " +
         "\"bytesSent\": 4194304, \"seconds\": 3.104, \"message\": \"\", \"knownFrom\": \"fleet\"}\n";
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: fleet_ship.exe LOG_PATH RECORDS\n");
    return 2;
  }
  const std::wstring path = argv[1];
  const uint64_t records = std::wcstoull(argv[2], nullptr, 10);
  wchar_t connection[4096];
  if (GetEnvironmentVariableW(L"PELORIN_FLEET_DB", connection, 4096) == 0) {
    std::fprintf(stderr, "fleet_ship: PELORIN_FLEET_DB is not set\n");
    return 2;
  }
  // A fresh log identity per run.
  char log[40];
  std::snprintf(log, sizeof(log), "%08lx-0000-4000-8000-%012lx",
                static_cast<unsigned long>(GetTickCount()),
                static_cast<unsigned long>(GetCurrentProcessId()));
  {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 1;
    std::string chunk;
    for (uint64_t s = 1; s <= records; ++s) {
      chunk += Line(log, s);
      if (chunk.size() > (1 << 20) || s == records) {
        DWORD written = 0;
        WriteFile(file, chunk.data(), static_cast<DWORD>(chunk.size()), &written, nullptr);
        chunk.clear();
      }
    }
    CloseHandle(file);
  }
  std::string error;
  auto reader = pelorin::fleet::LogFileReader::Open(path, &error);
  if (!reader) return 1;
  pelorin::fleet::LogFileSource source(log, std::move(reader));
  TickClock clock;
  pelorin::fleet::Shipper shipper(
      log, source,
      std::make_unique<pelorin::fleet::OdbcStore>(pelorin::WideToUtf8(connection)), clock,
      nullptr, nullptr);
  const ULONGLONG start = GetTickCount64();
  for (;;) {
    const uint32_t wait = shipper.Step();
    const pelorin::fleet::ShipperStatus status = shipper.Status();
    if (status.link == pelorin::fleet::ShipperStatus::UpToDate) break;
    if (status.link == pelorin::fleet::ShipperStatus::Offline) {
      std::fprintf(stderr, "fleet_ship: offline: %s\n", status.error.c_str());
      return 1;
    }
    if (wait != 0 && wait != UINT32_MAX) Sleep(wait);
  }
  const double seconds = (GetTickCount64() - start) / 1000.0;
  const pelorin::fleet::ShipperStatus status = shipper.Status();
  std::printf("shipped %llu records in %.2f s: %.0f records/s\n",
              static_cast<unsigned long long>(status.shipped), seconds,
              status.shipped / (seconds > 0 ? seconds : 1));
  return status.shipped == records ? 0 : 1;
}
