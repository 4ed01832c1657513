#include "fleet_log_source.h"

#include <nlohmann/json.hpp>

namespace pelorin::fleet {
namespace {

// Whether the last, unterminated line of a file is a whole JSON object (a record whose newline
// was lost): only then is it a line. A write in progress shows a prefix that is not one.
bool IsWholeObject(std::string_view text) {
  return nlohmann::json::accept(text.begin(), text.end()) &&
         text.find_first_not_of(" \t\r") != std::string_view::npos &&
         text[text.find_first_not_of(" \t\r")] == '{';
}

}  // namespace

LogFileSource::LogFileSource(std::string log, std::unique_ptr<ByteReader> file)
    : log_(std::move(log)), file_(std::move(file)) {}

template <class LineFn>
bool LogFileSource::Lines(uint64_t offset, uint64_t end, LineFn line, std::string* error) {
  std::string buffer(kChunk, '\0');
  std::string partial;  // a line that runs over the chunk's end
  uint64_t partialAt = offset;
  while (offset < end) {
    size_t got = 0;
    const size_t want = static_cast<size_t>(std::min<uint64_t>(kChunk, end - offset));
    if (!file_->ReadAt(offset, buffer.data(), want, &got, error)) return false;
    if (got == 0) break;  // the file is shorter than it was: what was there stays read
    std::string_view piece(buffer.data(), got);
    size_t start = 0;
    for (size_t nl; (nl = piece.find('\n', start)) != std::string_view::npos; start = nl + 1) {
      bool more;
      if (partial.empty()) {
        more = line(piece.substr(start, nl - start), offset + start);
      } else {
        partial.append(piece.substr(start, nl - start));
        more = line(std::string_view(partial), partialAt);
        partial.clear();
      }
      if (!more) return true;
    }
    if (partial.empty()) partialAt = offset + start;
    partial.append(piece.substr(start));
    offset += got;
  }
  if (!partial.empty()) line(std::string_view(partial), partialAt);
  return true;
}

void LogFileSource::Note(uint64_t sequence, uint64_t offset) {
  if (noted_++ % kIndexEvery == 0) index_.emplace(sequence, offset);
  // Sequences come in order, each one above the last: a run grows at its end.
  if (!runs_.empty()) {
    auto last = std::prev(runs_.end());
    if (sequence == last->second + 1) {
      last->second = sequence;
      return;
    }
    if (sequence <= last->second) {
      // Out of order (a log put together by hand): counted where it belongs.
      auto it = runs_.upper_bound(sequence);
      if (it != runs_.begin() && std::prev(it)->second >= sequence) return;  // counted already
    }
  }
  runs_.emplace(sequence, sequence);
}

void LogFileSource::Unnote(uint64_t sequence) {
  auto it = runs_.upper_bound(sequence);
  if (it == runs_.begin()) return;
  --it;
  const uint64_t first = it->first, last = it->second;
  if (sequence > last) return;
  runs_.erase(it);
  if (first < sequence) runs_.emplace(first, sequence - 1);
  if (sequence < last) runs_.emplace(sequence + 1, last);
}

bool LogFileSource::Scan(std::string* error) {
  uint64_t end = 0;
  if (!file_->Size(&end, error)) return false;
  if (end <= scanned_) return true;
  uint64_t taken = scanned_;  // up to the end of the last line taken
  bool ok = Lines(
      scanned_, end,
      [&](std::string_view text, uint64_t at) {
        const uint64_t lineEnd = at + text.size();
        const bool terminated = lineEnd < end;  // a newline follows
        if (!terminated && !IsWholeObject(text)) return false;  // a write in progress, maybe
        taken = terminated ? lineEnd + 1 : lineEnd;
        std::string_view log;
        uint64_t sequence = 0;
        if (text.find_first_not_of(" \t\r") == std::string_view::npos) return true;
        if (QuickLogAndSequence(text, &log, &sequence)) {
          if (log == log_) {
            Note(sequence, at);
          } else {
            ++skipped_.otherLog;
          }
          return true;
        }
        // Not in the station's own shape: the parser decides what it is.
        const ParsedLine parsed = ParseFleetLine(text);
        if (parsed.kind == ParsedLine::NoIdentity) {
          ++skipped_.withoutIdentity;
        } else if (parsed.kind == ParsedLine::Row && parsed.row.log == log_) {
          Note(parsed.row.sequence, at);
        } else if (parsed.kind == ParsedLine::Row) {
          ++skipped_.otherLog;
        } else {
          ++skipped_.notRecords;
        }
        return true;
      },
      error);
  if (!ok) return false;
  scanned_ = taken;
  return true;
}

bool LogFileSource::Read(uint64_t after, size_t max, std::vector<FleetRow>* rows,
                         std::vector<BadLine>* bad, std::string* error) {
  rows->clear();
  bad->clear();
  if (!Scan(error)) return false;
  // The nearest indexed record at or below the first one wanted.
  auto it = index_.upper_bound(after + 1);
  if (it == index_.begin()) {
    if (index_.empty()) return true;
  } else {
    --it;
  }
  std::vector<uint64_t> unnoted;
  const bool ok = Lines(
      it->second, scanned_,
      [&](std::string_view text, uint64_t) {
        std::string_view log;
        uint64_t sequence = 0;
        const bool quick = QuickLogAndSequence(text, &log, &sequence);
        if (quick && (log != log_ || sequence <= after)) return true;
        const ParsedLine parsed = ParseFleetLine(text);
        if (parsed.kind == ParsedLine::Row) {
          if (parsed.row.log != log_ || parsed.row.sequence <= after) return true;
          rows->push_back(parsed.row);
          return rows->size() < max;
        }
        if (quick && bad_.count(sequence) == 0) {
          // Named this log, but is no record: never shipped, and no longer waiting.
          bad->push_back({sequence, parsed.why});
          unnoted.push_back(sequence);
        }
        return true;
      },
      error);
  if (!ok) {
    rows->clear();
    bad->clear();
    return false;
  }
  for (uint64_t sequence : unnoted) {
    bad_.insert(sequence);
    Unnote(sequence);
  }
  return true;
}

bool LogFileSource::CountAfter(uint64_t after, uint64_t* count, std::string* error) {
  if (!Scan(error)) return false;
  uint64_t n = 0;
  for (auto it = runs_.rbegin(); it != runs_.rend() && it->second > after; ++it)
    n += it->second - std::max(it->first, after + 1) + 1;
  *count = n;
  return true;
}

bool LogFileSource::LastSequence(uint64_t* last, std::string* error) {
  if (!Scan(error)) return false;
  *last = runs_.empty() ? 0 : runs_.rbegin()->second;
  return true;
}

}  // namespace pelorin::fleet
