// What an existing production log tells a station that starts on it: its identity, the last
// sequence number, and the serial numbers whose latest record (whatever its image) says the unit
// holds this image, verified. A log grows for as long as the line runs (two million records make a
// gigabyte), so it is read a piece at a time, and a line is parsed only when it can matter: it
// names this image's SHA-256, its sequence number is above the highest so far, or it may be a
// later record of a unit known as verified with this image (a unit flashed with another image
// since holds that image).
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace pelorin::station {

struct LogMemory {
  // The log's identity: the "log" of its last line that has one (a station writes it first in
  // every line); empty for a new log, or one whose lines were written before logs had one.
  std::string identity;
  uint64_t lastSequence = 0;  // of its records; 0 for none
  // Serial numbers of units that had a record with this image, each with whether their latest
  // record says "verified" or "already-verified" with it (false after a failure, or once a later
  // record has another image). A unit never recorded with this image is not here.
  std::map<std::string, bool> serials;
  // The log does not end with a newline (a writer died, or only the newline was lost): one must
  // be written before the next record.
  bool endsWithoutNewline = false;

  // Whether the latest record of `serial` says it holds this image, verified.
  bool Verified(const std::string& serial) const {
    const auto it = serials.find(serial);
    return it != serials.end() && it->second;
  }
  // The same, and nothing when the log has no record of `serial` with this image.
  std::optional<bool> Known(const std::string& serial) const {
    const auto it = serials.find(serial);
    if (it == serials.end()) return std::nullopt;
    return it->second;
  }
};

class LogMemoryReader {
 public:
  // `sha256`: the image's, lower-case hex.
  explicit LogMemoryReader(std::string sha256);
  void Add(std::string_view piece);
  // The last line counts as a record when it is one whole, even without its newline; anything
  // else there (a torn write, NUL bytes) is no record.
  LogMemory Finish();

 private:
  void Line(std::string_view line);
  bool NamesImage(std::string_view line) const;
  // Whether a line that does not name this image may be a record of a unit known as verified
  // with it: a "serial" key followed by one of those serial numbers, or a serial written with
  // escapes. The line is then parsed to be sure.
  bool MayNameVerifiedSerial(std::string_view line) const;
  void Lines(std::string_view piece);
  bool first_ = true;   // the log's first bytes are still to come: a byte order mark may be there
  std::string head_;    // the first bytes while they may be a byte order mark
  size_t verifiedSerials_ = 0;  // serials whose entry in memory_.serials is true
  const std::string sha256_;
  // How far the search for sha256_ moves on after looking at a character (a Horspool search:
  // in a line that names another image it looks at about one character in sixty).
  std::array<uint32_t, 256> skip_;
  std::string partial_;  // the content after the last newline so far
  LogMemory memory_;
};

// Reads a whole log's content. A line that is not a JSON object (garbage, NUL bytes of a torn
// write), or whose fields are not what a record holds, is no record and is skipped.
LogMemory ReadLogMemory(std::string_view content, const std::string& sha256);

}  // namespace pelorin::station
