// How a run and each device's download ended, as every front end names and prints it: the exit
// statuses of the headless programs, the result names of the records, times and rates as the
// records and console lines write them, and a box's text on one line. Portable.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "download_report.h"

namespace pelorin {

// Exit statuses of PelorinCli (one-shot and station) and of the station board.
inline constexpr int EXIT_VERIFIED = 0;       // every device verified
inline constexpr int EXIT_DEVICE_FAILED = 1;  // a device failed; the others' results stand
inline constexpr int EXIT_USAGE = 2;          // bad arguments, or an image that cannot be sent
inline constexpr int EXIT_NO_DEVICE = 3;      // no device ready
// The devices' results stand, but the record (or a line of the production log) was not written.
inline constexpr int EXIT_RECORD_NOT_WRITTEN = 4;
inline constexpr int EXIT_CANCELLED = 130;  // Ctrl+C

// A device's result as the records name it: "verified", "verification-error", "link-error",
// "image-error", "not-started".
const char* OutcomeName(DeviceOutcome outcome);

// "2026-12-08T01:02:03Z" for seconds since 1970 (UTC).
std::string IsoTime(int64_t unixSeconds);
// "2026-12-08T07:01:02.345Z" for milliseconds since 1970 (UTC).
std::string IsoTimeMs(int64_t unixMs);

// A time on a clock face: "m:ss", or "h:mm:ss" from an hour on.
std::string ClockText(uint64_t seconds);

// Average megabytes (10^6 bytes) per second of `bytes` over `ms` milliseconds (0 when no time).
double MegabytesPerSecond(uint64_t bytes, uint32_t ms);

// `text` on one line: each run of line breaks becomes one space, and line breaks at either end
// are dropped.
std::string OneLine(std::string_view text);
// The box a dialog would show, on one line: "CAPTION: TEXT" (either alone when the other is
// empty).
std::string BoxLine(const std::string& caption, const std::string& text);

}  // namespace pelorin
