#include "station_core.h"

#include <algorithm>
#include <cstdio>

namespace pelorin::cli {
namespace {

std::string Upper(std::string_view text) {
  std::string upper(text);
  for (char& c : upper)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return upper;
}

// `prefix` in capitals.
bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return Upper(text.substr(0, prefix.size())) == prefix;
}

std::string Dash(const std::string& text) {
  return text.empty() ? "-" : text;
}

}  // namespace

std::string SerialOf(std::string_view instance) {
  // USB\VID_xxxx&PID_xxxx\<serial>
  const size_t first = instance.find('\\');
  if (first == std::string_view::npos) return {};
  const size_t second = instance.find('\\', first + 1);
  if (second == std::string_view::npos) return {};
  const std::string_view bus = instance.substr(0, first);
  const std::string_view ids = instance.substr(first + 1, second - first - 1);
  const std::string_view last = instance.substr(second + 1);
  if (bus.size() != 3 || !StartsWithNoCase(bus, "USB")) return {};
  if (!StartsWithNoCase(ids, "VID_") || Upper(ids).find("&PID_") == std::string::npos) return {};
  if (last.empty() || last.find('&') != std::string_view::npos ||
      last.find('\\') != std::string_view::npos)
    return {};
  return std::string(last);
}

bool PortAllowed(std::string_view port, const std::vector<std::string>& patterns) {
  if (patterns.empty()) return true;
  for (const std::string& pattern : patterns) {
    if (!pattern.empty() && pattern.back() == '*') {
      const std::string_view prefix(pattern.data(), pattern.size() - 1);
      if (port.substr(0, prefix.size()) == prefix) return true;
    } else if (port == pattern) {
      return true;
    }
  }
  return false;
}

void LogMemoryReader::Add(std::string_view piece) {
  size_t start = 0;
  for (size_t end; (end = piece.find('\n', start)) != std::string_view::npos; start = end + 1) {
    if (partial_.empty()) {
      Line(piece.substr(start, end - start));
    } else {
      partial_.append(piece.substr(start, end - start));
      Line(partial_);
      partial_.clear();
    }
  }
  partial_.append(piece.substr(start));
}

LogMemory LogMemoryReader::Finish() {
  // A last line without its newline: the writer died in the middle of it.
  memory_.tornTail = !partial_.empty();
  partial_.clear();
  return std::move(memory_);
}

LogMemory ReadLogMemory(std::string_view content, const std::string& sha256) {
  LogMemoryReader reader(sha256);
  reader.Add(content);
  return reader.Finish();
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

StationCore::StationCore(StationSettings settings, LogMemory memory)
    : settings_(std::move(settings)), verifiedSerials_(std::move(memory.verifiedSerials)) {}

StationCore::Entry* StationCore::Find(uint64_t device) {
  const auto path = paths_.find(device);
  if (path == paths_.end()) return nullptr;
  const auto entry = entries_.find(path->second);
  return entry == entries_.end() ? nullptr : &entry->second;
}

bool StationCore::MayStartLocked() const {
  if (stopped_ || recordFailed_) return false;
  // With --count, no more devices than records still to come.
  return settings_.count == 0 ||
         recorded_ + recordsDue_ + static_cast<uint64_t>(running_) < settings_.count;
}

StationRecord StationCore::RecordOf(const Entry& entry, std::string result) const {
  StationRecord record;
  record.device = entry.device;
  record.serial = entry.serial;
  record.result = std::move(result);
  return record;
}

std::vector<StationAction> StationCore::Poll(const std::vector<PresentDevice>& present) {
  std::lock_guard lock(mutex_);
  std::set<std::string> seen;
  for (const PresentDevice& device : present) seen.insert(device.path);

  // A device whose interface left is forgotten (the next unit in that port is new), unless it
  // still runs: then it goes once it has ended and is still gone.
  for (auto it = entries_.begin(); it != entries_.end();) {
    Entry& entry = it->second;
    const bool present = seen.count(it->first) > 0;
    if (!present && (entry.state == State::Queued || entry.state == State::Done)) {
      queue_.erase(std::remove(queue_.begin(), queue_.end(), it->first), queue_.end());
      paths_.erase(entry.number);
      it = entries_.erase(it);
    } else {
      ++it;
    }
  }
  // New arrivals wait in the order they were found.
  for (const PresentDevice& device : present) {
    if (entries_.count(device.path) > 0 || !PortAllowed(device.port, settings_.ports)) continue;
    Entry entry;
    entry.number = nextNumber_++;
    entry.device = device;
    entry.serial = SerialOf(device.instance);
    paths_[entry.number] = device.path;
    entries_.emplace(device.path, std::move(entry));
    queue_.push_back(device.path);
  }

  std::vector<StationAction> actions;
  for (auto it = queue_.begin(); it != queue_.end() && MayStartLocked();) {
    Entry& entry = entries_.at(*it);
    const bool known = !entry.serial.empty() && !settings_.reflash &&
                       verifiedSerials_.count(entry.serial) > 0;
    if (known) {
      // The log shows this unit verified with this image: it is not flashed again.
      entry.state = State::Recording;
      entry.result = "already-verified";
      ++recordsDue_;
      StationAction action{StationAction::Record, entry.number, entry.device, entry.serial,
                           RecordOf(entry, entry.result)};
      actions.push_back(std::move(action));
      it = queue_.erase(it);
    } else if (running_ < settings_.maxDevices) {
      entry.state = State::Running;
      ++running_;
      actions.push_back({StationAction::Open, entry.number, entry.device, entry.serial, {}});
      it = queue_.erase(it);
    } else {
      ++it;  // waits for a slot; a known unit behind it needs none
    }
  }
  return actions;
}

void StationCore::Opened(uint64_t device, uint32_t now) {
  std::lock_guard lock(mutex_);
  if (Entry* entry = Find(device)) entry->firstDataTick = now;
}

void StationCore::Withdraw(uint64_t device) {
  std::lock_guard lock(mutex_);
  Entry* entry = Find(device);
  if (entry == nullptr || entry->state != State::Running) return;
  --running_;
  entry->state = State::Queued;
}

std::optional<StationRecord> StationCore::OpenFailed(uint64_t device, uint32_t now,
                                                     std::string message) {
  std::lock_guard lock(mutex_);
  Entry* entry = Find(device);
  if (entry == nullptr || entry->state != State::Running) return std::nullopt;
  --running_;
  if (!entry->tried) {
    entry->tried = true;
    entry->firstTry = now;
  }
  if (now - entry->firstTry < STATION_OPEN_RETRY_MS && !stopped_ && !recordFailed_) {
    // Tried again at the next poll, still first in line.
    entry->state = State::Queued;
    queue_.push_front(entry->device.path);
    return std::nullopt;
  }
  entry->state = State::Recording;
  entry->result = OutcomeName(DeviceOutcome::LinkError);
  ++recordsDue_;
  StationRecord record = RecordOf(*entry, entry->result);
  record.message = std::move(message);
  return record;
}

void StationCore::Sent(uint64_t device, uint64_t bytesSent, uint32_t tick) {
  std::lock_guard lock(mutex_);
  Entry* entry = Find(device);
  if (entry == nullptr) return;
  if (!entry->sending) entry->firstDataTick = tick;
  entry->sending = true;
  entry->bytesSent = bytesSent;
}

StationRecord StationCore::Ended(uint64_t device, DeviceOutcome outcome, uint32_t ms,
                                 std::string message) {
  std::lock_guard lock(mutex_);
  Entry* entry = Find(device);
  if (entry == nullptr) return {};
  // Ctrl+C cancels the devices in flight: a verdict that came all the same stands.
  entry->result = stopped_ && outcome != DeviceOutcome::Verified ? "cancelled"
                                                                 : OutcomeName(outcome);
  ++recordsDue_;
  StationRecord record = RecordOf(*entry, entry->result);
  record.bytesSent = entry->bytesSent;
  record.ms = ms;
  record.message = std::move(message);
  entry->sending = false;
  return record;
}

void StationCore::Recorded(uint64_t device, bool written) {
  std::lock_guard lock(mutex_);
  Entry* entry = Find(device);
  if (entry == nullptr) return;
  if (entry->state == State::Running) --running_;
  entry->state = State::Done;  // remembered until its interface leaves
  if (recordsDue_ > 0) --recordsDue_;
  ++recorded_;
  if (!written) recordFailed_ = true;
  if (entry->result == "verified" || entry->result == "already-verified") {
    ++verified_;
    // The log now shows this unit verified with this image.
    if (written && !entry->serial.empty()) verifiedSerials_.insert(entry->serial);
  } else if (entry->result == "cancelled") {
    ++cancelled_;
  } else {
    ++failed_;
  }
}

void StationCore::Stop() {
  std::lock_guard lock(mutex_);
  stopped_ = true;
  queue_.clear();
}

bool StationCore::stopped() const {
  std::lock_guard lock(mutex_);
  return stopped_;
}

size_t StationCore::Waiting() const {
  std::lock_guard lock(mutex_);
  return queue_.size();
}

bool StationCore::Finished() const {
  std::lock_guard lock(mutex_);
  const bool counted = settings_.count != 0 && recorded_ >= settings_.count;
  return (stopped_ || recordFailed_ || counted) && running_ == 0 && recordsDue_ == 0;
}

int StationCore::ExitStatus() const {
  std::lock_guard lock(mutex_);
  if (recordFailed_) return EXIT_RECORD_NOT_WRITTEN;
  if (cancelled_ > 0) return EXIT_CANCELLED;
  if (failed_ > 0) return EXIT_DEVICE_FAILED;
  return EXIT_VERIFIED;
}

std::string StationCore::StatusLine(uint32_t now) const {
  std::lock_guard lock(mutex_);
  double rate = 0;
  for (const auto& [path, entry] : entries_) {
    if (entry.state == State::Running && entry.sending)
      rate += MegabytesPerSecond(entry.bytesSent, now - entry.firstDataTick);
  }
  char text[160];
  std::snprintf(text, sizeof text,
                "flashing %d, waiting %zu, verified %llu, failed %llu, %.1f MB/s", running_,
                queue_.size(), static_cast<unsigned long long>(verified_),
                static_cast<unsigned long long>(failed_ + cancelled_), rate);
  return text;
}

std::string StationCore::SummaryLine() const {
  std::lock_guard lock(mutex_);
  char text[160];
  std::snprintf(text, sizeof text, "station: %llu records, %llu verified, %llu failed, %llu cancelled",
                static_cast<unsigned long long>(recorded_), static_cast<unsigned long long>(verified_),
                static_cast<unsigned long long>(failed_),
                static_cast<unsigned long long>(cancelled_));
  return text;
}

std::string StationCore::DeviceLine(const StationRecord& record) {
  std::string line = "#";
  line += std::to_string(record.sequence);
  line += " port=" + Dash(record.device.port) + " serial=" + Dash(record.serial) + ": ";
  line += record.result;
  if (record.result == "verified") {
    char detail[96];
    std::snprintf(detail, sizeof detail, ", %llu bytes in %.1f s (%.1f MB/s)",
                  static_cast<unsigned long long>(record.bytesSent), record.ms / 1000.0,
                  MegabytesPerSecond(record.bytesSent, record.ms));
    line += detail;
  } else if (!record.message.empty()) {
    line += ": " + BoxLine("", record.message);
  }
  return line;
}

}  // namespace pelorin::cli
