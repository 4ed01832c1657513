// make_station_log: writes a large production log in the station's record format, fast, for the
// log-reading benchmark (bench/station_log_read.sh). A native Linux program that the script
// compiles itself; not a test.
//
//   make_station_log OUT BYTES OUR_SHA256 [OUR_PERCENT]
//
// Records numbered 1, 2, 3, ... until the file holds at least BYTES. The last OUR_PERCENT percent
// of them (default 10; estimated from the size of a record) name the image OUR_SHA256, the others
// another image: the line flashed an older image, then moved to this one. Seven units in eight
// have a serial number (each its own), the eighth none. Most results are "verified", one in fifty
// a verification error, one in a hundred a link error; every 97th of this image's records is of
// a unit flashed a second time, the latest record of it deciding.
// Prints what a station on this log must conclude, as "key=value" lines:
//   records= lastSequence= ourRecords= verifiedSerial= unverifiedSerial=
// verifiedSerial: a serial whose latest record with OUR_SHA256 says verified; unverifiedSerial:
// one whose latest record with it says verification-error (after an earlier verified one).
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const char kOtherSha[] = "5d1ea55f0c2d0b8ee7b1c3a6f9a0d4c2e8b7f6a5d4c3b2a1908f7e6d5c4b3a29";
const char kVerifyError[] =
    "Verification Error \xeb\x8b\xa4\xec\x8b\x9c \xec\x8b\x9c\xeb\x8f\x84\xed\x95\xb4 "
    "\xec\xa3\xbc\xec\x84\xb8\xec\x9a\x94.";
const char kRemoved[] = "the unit was removed while it was being flashed";

// 2026-12-08T04:16:41.123Z-style UTC time of `ms` after the Unix epoch.
void IsoTime(int64_t ms, char* out, size_t size) {
  int64_t days = ms / 86400000;
  const int64_t inDay = ms % 86400000;
  // Civil date from days since 1970-01-01.
  days += 719468;
  const int64_t era = days / 146097;
  const int64_t doe = days - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  int64_t year = yoe + era * 400;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int64_t day = doy - (153 * mp + 2) / 5 + 1;
  const int64_t month = mp < 10 ? mp + 3 : mp - 9;
  if (month <= 2) ++year;
  std::snprintf(out, size, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", static_cast<int>(year),
                static_cast<int>(month), static_cast<int>(day), static_cast<int>(inDay / 3600000),
                static_cast<int>(inDay / 60000 % 60), static_cast<int>(inDay / 1000 % 60),
                static_cast<int>(inDay % 1000));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4 || std::strlen(argv[3]) != 64) {
    std::fprintf(stderr, "usage: make_station_log OUT BYTES OUR_SHA256 [OUR_PERCENT]\n");
    return 2;
  }
  const uint64_t target = std::strtoull(argv[2], nullptr, 10);
  const char* ourSha = argv[3];
  const double ourPercent = argc > 4 ? std::atof(argv[4]) : 10.0;
  FILE* out = std::fopen(argv[1], "wb");
  if (out == nullptr) {
    std::perror(argv[1]);
    return 1;
  }
  static char buffer[1 << 22];
  std::setvbuf(out, buffer, _IOFBF, sizeof(buffer));

  // A record is about 530 bytes: from that, where this image's records begin.
  const uint64_t expected = target / 530 + 1;
  const uint64_t ourFirst = expected - static_cast<uint64_t>(expected * ourPercent / 100.0);
  uint64_t written = 0, sequence = 0, ourRecords = 0;
  int64_t ms = 1764547200000;  // 2025-12-01T00:00:00Z
  std::string verifiedSerial, unverifiedSerial, lastSerialOfOurs;
  char line[2048], time[32], serial[32], instance[96], path[160];
  while (written < target) {
    ++sequence;
    ms += 200 + static_cast<int64_t>(sequence * 7919 % 150);
    IsoTime(ms, time, sizeof(time));
    const bool ours = sequence >= ourFirst;
    const unsigned port = static_cast<unsigned>(sequence % 16) + 1;
    // Every 97th of this image's records is a unit flashed again: the serial of the record
    // before it, whose result it replaces.
    const bool again = ours && !lastSerialOfOurs.empty() && sequence % 97 == 0;
    if (again) {
      std::snprintf(serial, sizeof(serial), "%s", lastSerialOfOurs.c_str());
    } else if (sequence % 8 == 0) {
      serial[0] = '\0';
    } else {
      std::snprintf(serial, sizeof(serial), "SN%010" PRIu64, sequence);
    }
    if (serial[0] != '\0') {
      std::snprintf(instance, sizeof(instance), "USB\\\\VID_1234&PID_5678\\\\%s", serial);
      std::string lower = serial;
      for (char& c : lower) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
      std::snprintf(path, sizeof(path),
                    "\\\\\\\\?\\\\usb#vid_1234&pid_5678#%s#{00873fdf-61a8-11d1-aa5e-"
                    "00c04fb1728b}\\\\simdev%u",
                    lower.c_str(), port - 1);
    } else {
      std::snprintf(instance, sizeof(instance), "USB\\\\VID_1234&PID_5678\\\\5&1A2B3C4D&0&%u",
                    port);
      std::snprintf(path, sizeof(path),
                    "\\\\\\\\?\\\\usb#vid_1234&pid_5678#5&1a2b3c4d&0&%u#{00873fdf-61a8-11d1-"
                    "aa5e-00c04fb1728b}\\\\simdev%u",
                    port, port - 1);
    }
    // Results: a unit flashed again fails (so the latest record of its serial is not verified),
    // otherwise mostly verified.
    const char* result = "verified";
    const char* message = "";
    uint32_t sent = ours ? 65536 : 524291;
    if (again || sequence % 50 == 3) {
      result = "verification-error";
      message = kVerifyError;
    } else if (sequence % 100 == 7) {
      result = "link-error";
      message = kRemoved;
      sent = static_cast<uint32_t>(sequence * 40503 % sent);
    }
    const int size = std::snprintf(
        line, sizeof(line),
        "{\"time\": \"%s\", \"station\": \"LINE3-FLASH\", \"sequence\": %" PRIu64
        ", \"port\": \"Port_#%04u.Hub_#0001\", \"path\": \"%s\", \"instance\": \"%s\", "
        "\"serial\": \"%s\", \"image\": {\"path\": \"D:\\\\images\\\\%s\", \"size\": %u, "
        "\"byteSum\": %u, \"sha256\": \"%s\"}, \"result\": \"%s\", \"bytesSent\": %u, "
        "\"seconds\": %.3f, \"message\": \"%s\"}\n",
        time, sequence, port, path, instance, serial, ours ? "station.nb0" : "previous.nb0",
        ours ? 65536u : 524291u, ours ? 8372711u : 66848686u, ours ? ourSha : kOtherSha, result,
        sent, 2.0 + static_cast<double>(sequence % 97) / 1000.0, message);
    std::fwrite(line, 1, static_cast<size_t>(size), out);
    written += static_cast<uint64_t>(size);
    if (ours) {
      ++ourRecords;
      if (again) {
        unverifiedSerial = serial;
        if (verifiedSerial == serial) verifiedSerial.clear();
      } else if (serial[0] != '\0' && std::strcmp(result, "verified") == 0) {
        verifiedSerial = serial;
      }
      if (serial[0] != '\0') lastSerialOfOurs = serial;
    }
  }
  if (std::fclose(out) != 0) {
    std::perror(argv[1]);
    return 1;
  }
  std::printf("records=%" PRIu64 "\nlastSequence=%" PRIu64 "\nourRecords=%" PRIu64
              "\nverifiedSerial=%s\nunverifiedSerial=%s\nbytes=%" PRIu64 "\n",
              sequence, sequence, ourRecords, verifiedSerial.c_str(), unverifiedSerial.c_str(),
              written);
  return 0;
}
