#include "run_results.h"

#include <chrono>
#include <cstdio>

namespace pelorin {

const char* OutcomeName(DeviceOutcome outcome) {
  switch (outcome) {
    case DeviceOutcome::Verified: return "verified";
    case DeviceOutcome::VerificationError: return "verification-error";
    case DeviceOutcome::LinkError: return "link-error";
    case DeviceOutcome::ImageError: return "image-error";
    case DeviceOutcome::NotStarted: return "not-started";
  }
  return "not-started";
}

std::string IsoTime(int64_t unixSeconds) {
  using namespace std::chrono;
  const sys_seconds time{seconds{unixSeconds}};
  const sys_days day = floor<days>(time);
  const year_month_day date{day};
  const hh_mm_ss clock{time - day};
  char text[48];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
                static_cast<int>(clock.seconds().count()));
  return text;
}

std::string IsoTimeMs(int64_t unixMs) {
  int64_t seconds = unixMs / 1000;
  int64_t ms = unixMs % 1000;
  if (ms < 0) {
    ms += 1000;
    seconds -= 1;
  }
  std::string text = IsoTime(seconds);
  char fraction[8];
  std::snprintf(fraction, sizeof fraction, ".%03dZ", static_cast<int>(ms));
  text.pop_back();  // the 'Z'
  return text + fraction;
}

std::string ClockText(uint64_t seconds) {
  char text[32];
  const auto h = static_cast<unsigned long long>(seconds / 3600);
  const auto m = static_cast<unsigned>(seconds / 60 % 60);
  const auto s = static_cast<unsigned>(seconds % 60);
  if (h > 0) {
    std::snprintf(text, sizeof text, "%llu:%02u:%02u", h, m, s);
  } else {
    std::snprintf(text, sizeof text, "%u:%02u", m, s);
  }
  return text;
}

double MegabytesPerSecond(uint64_t bytes, uint32_t ms) {
  return ms == 0 ? 0.0 : static_cast<double>(bytes) / 1000.0 / ms;
}

std::string OneLine(std::string_view text) {
  while (!text.empty() && (text.front() == '\r' || text.front() == '\n')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.remove_suffix(1);
  std::string line;
  line.reserve(text.size());
  bool inBreak = false;
  for (char c : text) {
    if (c == '\r' || c == '\n') {
      if (!inBreak) line += ' ';
      inBreak = true;
    } else {
      line += c;
      inBreak = false;
    }
  }
  return line;
}

std::string BoxLine(const std::string& caption, const std::string& text) {
  const std::string head = OneLine(caption);
  const std::string body = OneLine(text);
  if (head.empty()) return body;
  if (body.empty()) return head;
  return head + ": " + body;
}

}  // namespace pelorin
