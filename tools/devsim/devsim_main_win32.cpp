// devsim.exe: serves simulated bulk-pipe devices inside a Wine prefix until told to stop, then
// writes what each device received and unregisters them.
//
//   devsim.exe [--devices N] [--device K:OPT[,OPT...]]... [--ready FILE] [--stop FILE]
//              [--report FILE] [--summary FILE] [--image FILE] [--timeout SECONDS]
//              [--capture BYTES]
//
// Up to 64 devices. Device K (0-based) is ROOT\SIMDEV\<K as 4 digits> with pipes
// \\.\pipe\simdev<K>[\PIPE0x].
// Per-device options:
//   verierr            answer "VERIERR" whatever the checks say
//   stall              take everything, never answer (pipes stay open)
//   mute-after-receive answer "RECEIVE", take "OK0", then never give the verdict
//   mute-first=N       the same in the device's first N sessions only; later sessions (a unit
//                      plugged in again, see return=) give their verdict as usual
//   hang=PHASE         stop taking writes (pipes open) when a write arrives in PHASE;
//                      hang-after=BYTES: in the data phase, once BYTES data bytes are taken
//   slow=MS            take each host write only after MS milliseconds
//   split, merge, noise, nulcopy   answer in pieces / together / after noise / after a NUL copy
//   vanish=PHASE       drop off the bus when a write arrives in PHASE (magic, length, data,
//                      bytesum, verifying, verdict); vanish-after=BYTES with data
//   rate=BYTES         take data at BYTES per second
//   no-pipe00, no-pipe01, no-interface   do not serve that pipe (its open fails)
//   long-path          an instance id long enough for a 248-character device path
//   long-path=N        ... for an N-character device path
// A device that looks like a USB unit, and where it sits:
//   usb=VVVV:PPPP[:SERIAL]  instance id USB\VID_VVVV&PID_PPPP\SERIAL (VVVV, PPPP: 4 hex digits;
//                      SERIAL: letters, digits, '_', '-', '.'). Without SERIAL, the id Windows
//                      gives a unit that has no serial number, made from its port:
//                      USB\VID_VVVV&PID_PPPP\5&<8 hex digits for the hub>&0&<port>. The port
//                      is the number after "Port_#" in location=, else the n of the last
//                      "USB(n)" in location-path=, else K+1; the hub is the rest of either.
//   location=TEXT      LocationInformation (SPDRP_LOCATION_INFORMATION), e.g. Port_#0002.Hub_#0004
//   location-path=TEXT the location path (DEVPKEY_Device_LocationPaths, what Windows returns for
//                      SPDRP_LOCATION_PATHS), e.g. PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)
// When it is listed (times in ms after READY; a device that is not listed keeps serving its pipes):
//   arrive=MS          not listed until MS (default: from the start)
//   leave=MS           no longer listed from MS on
//   leave-after-end=MS no longer listed MS after the host closed both pipes of a session (the
//                      session of a device that vanishes ends when it cuts its pipes)
//   return=MS[*N]      listed again MS after it left, as the next unit in the same port (same
//                      ids), once or N times; a host open of the next unit is a new session
// The instance id shows in upper case, as SetupAPI reports it; two devices cannot share one.
// --report writes JSON, --summary text lines for shell scripts ("key=value" pairs):
//   device=K sessions= probes= inOpens= outOpens= instance=<id> arrivals= departures=
//          unlistedProbes= unlistedOpens=        (opens while the device was not listed)
//   device=K session=S ... data=... arrivedMs= firstOpenMs= magicMs= endMs=
// A session line's times are ms after READY: when the presence it belongs to began (the device's
// last arrival before the session's first pipe open), its first pipe open, the magic, and when
// the host had closed both pipes; -1 for what did not happen. With --image, each session also
// tells whether the data it took is that file's content (length, byte sum and hash).
// READY goes to stdout (and "READY origin=<GetTickCount64 of time zero>" to the ready file) once
// every device is served. The program stops when
// the stop file appears, when stdin ends (without --stop), or after the timeout (default 900 s).
#include <windows.h>

#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "bulk_pipe_endpoint_win32.h"
#include "devsim_registry_win32.h"
#include "sim_pipe_server_win32.h"
#include "sim_presence_win32.h"

using namespace pelorin::devsim;

namespace {

std::atomic<bool> stdinEnded{false};

// A USB-like identity (usb=).
struct UsbIdentity {
  bool used = false;
  unsigned vendorId = 0;
  unsigned productId = 0;
  std::string serial;  // empty: a unit without serial number
};

struct DeviceSetup {
  SimDeviceId id;
  SimDeviceOptions pipes;
  BulkPipeBehaviour behaviour;
  size_t pathLength = 0;  // 0: the natural length
  std::string optionText;
  UsbIdentity usb;
  SimDeviceDetails details;
  PresencePlan presence;
  int muteFirstSessions = 0;  // mute-first=N
};

struct Settings {
  int devices = 0;
  std::vector<std::pair<int, std::string>> deviceOptions;
  std::string readyFile, stopFile, reportFile, summaryFile, imageFile;
  int timeoutSeconds = 900;
  uint32_t capture = 0;
};

bool ParsePhase(const std::string& name, BulkPipePhase* phase) {
  static const std::pair<const char*, BulkPipePhase> kPhases[] = {
      {"magic", BulkPipePhase::Magic},
      {"length", BulkPipePhase::Length},
      {"data", BulkPipePhase::Data},
      {"bytesum", BulkPipePhase::ByteSum},
      {"verifying", BulkPipePhase::AwaitReceivedReply},
      {"verdict", BulkPipePhase::AwaitVerifiedReply}};
  for (auto& [text, value] : kPhases) {
    if (name == text) {
      *phase = value;
      return true;
    }
  }
  return false;
}

// A whole non-negative decimal number.
bool ParseCount(const std::string& text, int64_t* value) {
  if (text.empty() || text.size() > 12) return false;
  for (char c : text)
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  *value = std::strtoll(text.c_str(), nullptr, 10);
  return true;
}

// Exactly four hex digits.
bool ParseHexWord(const std::string& text, unsigned* value) {
  if (text.size() != 4) return false;
  for (char c : text)
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  *value = static_cast<unsigned>(std::strtoul(text.c_str(), nullptr, 16));
  return true;
}

bool IsSerialText(const std::string& text) {
  for (char c : text)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-' && c != '.')
      return false;
  return !text.empty();
}

// VVVV:PPPP[:SERIAL]
bool ParseUsb(const std::string& value, UsbIdentity* usb) {
  auto first = value.find(':');
  if (first == std::string::npos) return false;
  auto second = value.find(':', first + 1);
  std::string product = value.substr(first + 1, second - first - 1);
  usb->serial = second == std::string::npos ? "" : value.substr(second + 1);
  usb->used = ParseHexWord(value.substr(0, first), &usb->vendorId) &&
              ParseHexWord(product, &usb->productId) &&
              (second == std::string::npos || IsSerialText(usb->serial));
  return usb->used;
}

// MS or MS*N
bool ParseReturn(const std::string& value, PresencePlan* plan) {
  auto star = value.find('*');
  int64_t times = 1;
  if (star != std::string::npos && (!ParseCount(value.substr(star + 1), &times) || times < 1))
    return false;
  plan->returns = static_cast<int>(times);
  return ParseCount(value.substr(0, star), &plan->returnMs);
}

// Where the device sits and when it is listed; false for an option of another kind or a value
// that does not parse.
bool ApplyUnitOption(const std::string& key, const std::string& value, DeviceSetup& device) {
  auto& plan = device.presence;
  if (key == "usb") return ParseUsb(value, &device.usb);
  if (key == "location") {
    device.details.locationInformation = value;
    return !value.empty();
  }
  if (key == "location-path") {
    device.details.locationPaths = {value};
    return !value.empty();
  }
  if (key == "arrive") return ParseCount(value, &plan.arriveMs);
  if (key == "leave") return ParseCount(value, &plan.leaveMs);
  if (key == "leave-after-end") return ParseCount(value, &plan.leaveAfterEndMs);
  if (key == "return") return ParseReturn(value, &plan);
  return false;
}

bool IsUnitOption(const std::string& key) {
  for (const char* name :
       {"usb", "location", "location-path", "arrive", "leave", "leave-after-end", "return"})
    if (key == name) return true;
  return false;
}

bool ApplyOption(const std::string& option, DeviceSetup& device) {
  auto eq = option.find('=');
  std::string key = option.substr(0, eq);
  std::string value = eq == std::string::npos ? "" : option.substr(eq + 1);
  if (IsUnitOption(key)) return ApplyUnitOption(key, value, device);
  auto& b = device.behaviour;
  if (key == "verierr")
    b.answerVerifyError = true;
  else if (key == "stall")
    b.stall = true;
  else if (key == "mute-after-receive")
    b.muteAfterReceive = true;
  else if (key == "mute-first") {
    int64_t sessions = 0;
    if (!ParseCount(value, &sessions) || sessions < 1 || sessions > 1000000) return false;
    device.muteFirstSessions = static_cast<int>(sessions);
  } else if (key == "hang")
    return ParsePhase(value, &b.hangIn);
  else if (key == "hang-after") {
    b.hangIn = BulkPipePhase::Data;
    b.hangAfterDataBytes = std::strtoull(value.c_str(), nullptr, 10);
  } else if (key == "slow")
    b.writeDelayMs = static_cast<uint32_t>(std::strtoul(value.c_str(), nullptr, 10));
  else if (key == "split")
    b.splitAnswers = true;
  else if (key == "merge")
    b.mergeAnswers = true;
  else if (key == "noise")
    b.noiseBeforeAnswers = true;
  else if (key == "nulcopy")
    b.nulCopyBeforeAnswers = true;
  else if (key == "vanish")
    return ParsePhase(value, &b.vanishIn);
  else if (key == "vanish-after")
    b.vanishAfterDataBytes = std::strtoull(value.c_str(), nullptr, 10);
  else if (key == "rate")
    b.bytesPerSecond = std::strtoull(value.c_str(), nullptr, 10);
  else if (key == "no-pipe00")
    device.pipes.serveInPipe = false;
  else if (key == "no-pipe01")
    device.pipes.serveOutPipe = false;
  else if (key == "no-interface")
    device.pipes.serveInterface = false;
  else if (key == "long-path")
    device.pathLength = value.empty() ? 248 : std::strtoul(value.c_str(), nullptr, 10);
  else
    return false;
  return true;
}

// Device K's ids: ROOT\SIMDEV\<K> and simdev<K>, or the USB-like id that usb= asks for.
void AssignId(DeviceSetup& device, int k) {
  char instance[16];
  std::snprintf(instance, sizeof(instance), "%04d", k);
  device.id = {instance, "simdev" + std::to_string(k)};
  const UsbIdentity& usb = device.usb;
  if (!usb.used) return;
  device.id.enumerator = UsbEnumerator(usb.vendorId, usb.productId);
  device.id.instance = usb.serial.empty()
                           ? UsbPortInstance(device.details, static_cast<unsigned>(k) + 1)
                           : usb.serial;
}

// Makes the instance id longer (keeping its order among the others) until the device path has
// the wanted length.
void StretchInstanceId(DeviceSetup& device) {
  size_t natural = SimDevicePath(device.id).size();
  if (device.pathLength > natural)
    device.id.instance += std::string(device.pathLength - natural, 'l');
}

bool ParseArguments(int argc, char** argv, Settings& settings) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto next = [&](std::string* out) {
      if (i + 1 >= argc) return false;
      *out = argv[++i];
      return true;
    };
    std::string value;
    if (arg == "--devices" && next(&value))
      settings.devices = std::atoi(value.c_str());
    else if (arg == "--ready" && next(&value))
      settings.readyFile = value;
    else if (arg == "--stop" && next(&value))
      settings.stopFile = value;
    else if (arg == "--report" && next(&value))
      settings.reportFile = value;
    else if (arg == "--summary" && next(&value))
      settings.summaryFile = value;
    else if (arg == "--image" && next(&value))
      settings.imageFile = value;
    else if (arg == "--timeout" && next(&value))
      settings.timeoutSeconds = std::atoi(value.c_str());
    else if (arg == "--capture" && next(&value))
      settings.capture = std::strtoul(value.c_str(), nullptr, 10);
    else if (arg == "--device" && next(&value)) {
      auto colon = value.find(':');
      if (colon == std::string::npos) return false;
      settings.deviceOptions.emplace_back(std::atoi(value.substr(0, colon).c_str()),
                                          value.substr(colon + 1));
    } else {
      return false;
    }
  }
  return settings.devices >= 0 && settings.devices <= 64;
}

std::string Hex(const std::vector<uint8_t>& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (uint8_t b : bytes) {
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

std::string Quoted(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof(escaped), "\\u%04x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

// Appends `items` to `out` as a JSON array body, each item formatted by `format`.
template <class Items, class Format>
void AppendList(std::string& out, const Items& items, Format format) {
  bool first = true;
  for (auto& item : items) {
    if (!first) out += ',';
    first = false;
    out += format(item);
  }
}

// A session's moments in ms after READY; -1 for what did not happen.
struct SessionTiming {
  int64_t arrivedMs = -1;    // the device's last arrival before the session's first open
  int64_t firstOpenMs = -1;  // the first open of PIPE00 or PIPE01
  int64_t magicMs = -1;      // the magic, the host's first write
  int64_t endMs = -1;        // the host had closed both pipes
};

SessionTiming TimingOf(const SimSessionTimes& times, const BulkPipeResult& r,
                       const PresenceRecord& presence, const SimPresenceTimeline& timeline) {
  SessionTiming timing;
  if (times.firstOpen != 0) {
    timing.firstOpenMs = timeline.Since(times.firstOpen);
    timing.arrivedMs = presence.ArrivalBefore(timing.firstOpenMs);
  }
  if (times.ended != 0) timing.endMs = timeline.Since(times.ended);
  // The device stamps writes with the 32-bit tick count, the low half of the timeline's clock.
  if (!r.writes.empty())
    timing.magicMs =
        static_cast<int32_t>(r.writes.front().tick - static_cast<uint32_t>(timeline.origin()));
  return timing;
}

std::string SessionJson(const BulkPipeResult& r, const SessionTiming& timing) {
  uint32_t firstDataTick = 0, lastDataTick = 0;
  bool anyData = false;
  std::vector<uint32_t> dataSizes, allSizes;
  for (auto& w : r.writes) {
    allSizes.push_back(w.size);
    if (w.phase != BulkPipePhase::Data) continue;
    dataSizes.push_back(w.size);
    if (!anyData) firstDataTick = w.tick;
    lastDataTick = w.tick;
    anyData = true;
  }
  auto number = [](uint32_t value) { return std::to_string(value); };
  auto flag = [](bool value) { return std::string(value ? "true" : "false"); };
  char numbers[512];
  std::snprintf(numbers, sizeof(numbers),
                "\"length\":%u,\"dataBytes\":%llu,\"dataWrites\":%u,\"dataByteSum\":%u,"
                "\"hostByteSum\":%u,\"dataHash\":\"%016llx\",\"dataMs\":%u",
                r.length, static_cast<unsigned long long>(r.dataBytes), r.dataWrites, r.dataByteSum,
                r.hostByteSum, static_cast<unsigned long long>(r.dataHash),
                lastDataTick - firstDataTick);
  std::string out = "{\"magic\":\"";
  out += Hex(r.magic);
  out += "\",";
  out += numbers;
  out += ",\"magicOk\":" + flag(r.magicOk);
  out += ",\"lengthOk\":" + flag(r.lengthOk);
  out += ",\"sumOk\":" + flag(r.sumOk);
  out += ",\"protocolOk\":" + flag(r.protocolOk);
  out += ",\"verified\":" + flag(r.verified());
  out += ",\"vanished\":" + flag(r.vanished);
  out += ",\"hung\":" + flag(r.hung);
  out += ",\"outClosed\":" + flag(r.outClosed);
  out += ",\"inClosed\":" + flag(r.inClosed);
  out += ",\"phase\":";
  out += Quoted(PhaseName(r.phase));
  out += ",\"writeSizes\":[";
  AppendList(out, allSizes, number);
  out += "],\"dataWriteSizes\":[";
  AppendList(out, dataSizes, number);
  out += "],\"answers\":[";
  AppendList(out, r.answers, Quoted);
  out += "],\"replies\":[";
  AppendList(out, r.replies, Quoted);
  out += "],\"dataPrefix\":\"";
  out += Hex(r.dataPrefix);
  out += "\",\"arrivedMs\":" + std::to_string(timing.arrivedMs);
  out += ",\"firstOpenMs\":" + std::to_string(timing.firstOpenMs);
  out += ",\"magicMs\":" + std::to_string(timing.magicMs);
  out += ",\"endMs\":" + std::to_string(timing.endMs);
  out += "}";
  return out;
}

// Length, byte sum and FNV-1a hash of a file, as a device that took it whole would record them.
struct ImageFacts {
  bool known = false;
  uint64_t length = 0;
  uint32_t byteSum = 0;
  uint64_t hash = 14695981039346656037ull;

  bool Matches(const BulkPipeResult& r) const {
    return known && r.dataBytes == length && r.dataByteSum == byteSum && r.dataHash == hash;
  }
};

ImageFacts ReadImageFacts(const std::string& path) {
  ImageFacts facts;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return facts;
  std::vector<uint8_t> buffer(1 << 20);
  size_t got;
  while ((got = std::fread(buffer.data(), 1, buffer.size(), f)) > 0) {
    for (size_t i = 0; i < got; ++i) {
      facts.byteSum += buffer[i];
      facts.hash = (facts.hash ^ buffer[i]) * 1099511628211ull;
    }
    facts.length += got;
  }
  facts.known = !std::ferror(f);
  std::fclose(f);
  return facts;
}

std::string Joined(const std::vector<std::string>& items) {
  std::string out;
  for (auto& item : items) {
    if (!out.empty()) out += ',';
    out += item;
  }
  return out.empty() ? "-" : out;
}

std::string SessionLine(size_t device, size_t session, const BulkPipeResult& r,
                        const ImageFacts& image, const SessionTiming& timing) {
  std::vector<std::string> sizes;
  uint32_t dataStart = 0, dataEnd = 0;
  for (auto& w : r.writes) {
    if (w.phase != BulkPipePhase::Data) continue;
    if (sizes.empty()) dataStart = w.tick;
    dataEnd = w.tick;
    sizes.push_back(std::to_string(w.size));
  }
  std::string phase = PhaseName(r.phase);
  for (auto& c : phase)
    if (c == ' ') c = '-';
  char line[512];
  std::snprintf(
      line, sizeof(line),
      "device=%zu session=%zu magic=%s length=%u bytes=%llu writes=%u sum=%u "
      "hostsum=%u verified=%d image=%s vanished=%d hung=%d outClosed=%d inClosed=%d "
      "phase=%s dataStart=%u dataEnd=%u",
      device, session, Hex(r.magic).c_str(), r.length, static_cast<unsigned long long>(r.dataBytes),
      r.dataWrites, r.dataByteSum, r.hostByteSum, r.verified() ? 1 : 0,
      !image.known ? "unknown" : (image.Matches(r) ? "match" : "mismatch"), r.vanished ? 1 : 0,
      r.hung ? 1 : 0, r.outClosed ? 1 : 0, r.inClosed ? 1 : 0, phase.c_str(), dataStart, dataEnd);
  std::string out = line;
  // When the write that the device hung on arrived.
  if (r.hung) {
    out += " hungTick=";
    out += std::to_string(r.writes.back().tick);
  }
  // When the first and the last host write arrived (the magic and, normally, "OK1").
  if (!r.writes.empty()) {
    out += " firstTick=";
    out += std::to_string(r.writes.front().tick);
    out += " lastTick=";
    out += std::to_string(r.writes.back().tick);
  }
  out += " answers=";
  out += Joined(r.answers);
  out += " replies=";
  out += Joined(r.replies);
  // Data write sizes, runs of equal sizes shortened to "size*count".
  out += " data=";
  for (size_t i = 0; i < sizes.size();) {
    size_t j = i;
    while (j < sizes.size() && sizes[j] == sizes[i]) ++j;
    if (i) out += ',';
    out += sizes[i];
    if (j - i > 1) {
      out += '*';
      out += std::to_string(j - i);
    }
    i = j;
  }
  if (sizes.empty()) out += '-';
  out += " arrivedMs=" + std::to_string(timing.arrivedMs);
  out += " firstOpenMs=" + std::to_string(timing.firstOpenMs);
  out += " magicMs=" + std::to_string(timing.magicMs);
  out += " endMs=" + std::to_string(timing.endMs);
  return out + "\n";
}

bool FileExists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void WriteText(const std::string& path, const std::string& text) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return;
  std::fwrite(text.data(), 1, text.size(), f);
  std::fclose(f);
}

// What one served device did, gathered once its server has stopped.
struct DeviceOutcome {
  std::vector<BulkPipeResult> sessions;
  std::vector<SessionTiming> timings;
  PresenceRecord presence;
  int probes = 0, inOpens = 0, outOpens = 0;
};

DeviceOutcome Gather(const SimPipeDevice& device, const SimPresenceTimeline& timeline,
                     size_t index) {
  DeviceOutcome outcome;
  outcome.presence = timeline.Record(index);
  outcome.probes = device.Connects(SimPipe::Interface);
  outcome.inOpens = device.Connects(SimPipe::In);
  outcome.outOpens = device.Connects(SimPipe::Out);
  device.ForEachSession([&](SessionEndpoint& endpoint) {
    outcome.sessions.push_back(static_cast<BulkPipeEndpoint&>(endpoint).Result());
  });
  auto times = device.SessionTimes();
  times.resize(outcome.sessions.size());
  for (size_t s = 0; s < outcome.sessions.size(); ++s)
    outcome.timings.push_back(TimingOf(times[s], outcome.sessions[s], outcome.presence, timeline));
  return outcome;
}

std::string ReportJson(const std::vector<DeviceSetup>& setups,
                       const std::vector<DeviceOutcome>& outcomes) {
  std::string report = "{\"devices\":[";
  for (size_t k = 0; k < outcomes.size(); ++k) {
    auto& outcome = outcomes[k];
    report += k ? ",\n" : "\n";
    report += "{\"index\":" + std::to_string(k);
    report += ",\"reference\":" + Quoted(setups[k].id.reference);
    report += ",\"instance\":" + Quoted(SimInstanceId(setups[k].id));
    report += ",\"path\":" + Quoted(SimDevicePath(setups[k].id));
    report += ",\"options\":" + Quoted(setups[k].optionText);
    report += ",\"probes\":" + std::to_string(outcome.probes);
    report += ",\"inOpens\":" + std::to_string(outcome.inOpens);
    report += ",\"outOpens\":" + std::to_string(outcome.outOpens);
    report += ",\"arrivals\":" + std::to_string(outcome.presence.arrivals.size());
    report += ",\"departures\":" + std::to_string(outcome.presence.departures.size());
    report += ",\"unlistedProbes\":" + std::to_string(outcome.presence.unlistedProbes);
    report += ",\"unlistedOpens\":" + std::to_string(outcome.presence.unlistedOpens);
    report += ",\"sessions\":[";
    for (size_t s = 0; s < outcome.sessions.size(); ++s) {
      if (s) report += ',';
      report += SessionJson(outcome.sessions[s], outcome.timings[s]);
    }
    report += "]}";
  }
  return report + "\n]}\n";
}

std::string DeviceLine(size_t k, const DeviceSetup& setup, const DeviceOutcome& outcome) {
  return "device=" + std::to_string(k) + " sessions=" + std::to_string(outcome.sessions.size()) +
         " probes=" + std::to_string(outcome.probes) +
         " inOpens=" + std::to_string(outcome.inOpens) +
         " outOpens=" + std::to_string(outcome.outOpens) + " instance=" + SimInstanceId(setup.id) +
         " arrivals=" + std::to_string(outcome.presence.arrivals.size()) +
         " departures=" + std::to_string(outcome.presence.departures.size()) +
         " unlistedProbes=" + std::to_string(outcome.presence.unlistedProbes) +
         " unlistedOpens=" + std::to_string(outcome.presence.unlistedOpens) + "\n";
}

std::string SummaryText(const std::vector<DeviceSetup>& setups,
                        const std::vector<DeviceOutcome>& outcomes, const ImageFacts& image) {
  std::string summary;
  for (size_t k = 0; k < outcomes.size(); ++k) {
    auto& outcome = outcomes[k];
    summary += DeviceLine(k, setups[k], outcome);
    for (size_t s = 0; s < outcome.sessions.size(); ++s)
      summary += SessionLine(k, s, outcome.sessions[s], image, outcome.timings[s]);
  }
  return summary;
}

// Device K's setup from the options; false (after saying why) for a bad option or two devices
// with the same instance id.
bool SetUpDevices(const Settings& settings, std::vector<DeviceSetup>* setups) {
  setups->assign(settings.devices, DeviceSetup{});
  for (auto& setup : *setups) setup.behaviour.captureLimit = settings.capture;
  for (auto& [k, options] : settings.deviceOptions) {
    if (k < 0 || k >= settings.devices) continue;
    auto& setup = (*setups)[k];
    setup.optionText = options;
    size_t start = 0;
    while (start <= options.size()) {
      size_t comma = options.find(',', start);
      std::string option = options.substr(start, comma - start);
      if (!option.empty() && !ApplyOption(option, setup)) {
        std::fprintf(stderr, "devsim: unknown or malformed option '%s' for device %d\n",
                     option.c_str(), k);
        return false;
      }
      if (comma == std::string::npos) break;
      start = comma + 1;
    }
  }
  std::set<std::string> instances;
  for (int k = 0; k < settings.devices; ++k) {
    auto& setup = (*setups)[k];
    AssignId(setup, k);
    StretchInstanceId(setup);
    if (!instances.insert(SimInstanceId(setup.id)).second) {
      std::fprintf(stderr, "devsim: device %d: instance id %s is taken by another device\n", k,
                   SimInstanceId(setup.id).c_str());
      return false;
    }
  }
  return true;
}

// Starts each device's pipe servers and registers it, listed or not as its plan says. False
// (after saying why) when one cannot be served or registered.
bool ServeDevices(std::vector<DeviceSetup>& setups, WallClock& clock, SimPresenceTimeline& timeline,
                  std::vector<std::unique_ptr<SimPipeDevice>>* devices) {
  for (auto& setup : setups) {
    const BulkPipeBehaviour behaviour = setup.behaviour;
    const int muteFirst = setup.muteFirstSessions;
    // Sessions made so far; the server makes them one at a time, in session order.
    auto made = std::make_shared<int>(0);
    auto device = std::make_unique<SimPipeDevice>(
        setup.id.reference, setup.pipes, [&clock, behaviour, muteFirst, made] {
          BulkPipeBehaviour session = behaviour;
          if ((*made)++ < muteFirst) session.muteAfterReceive = true;
          return std::make_unique<BulkPipeEndpoint>(clock, session);
        });
    timeline.Add(setup.id, setup.presence, device.get());
    setup.details.linked = setup.presence.arriveMs <= 0;
    std::string error;
    if (!device->Start(&error) || !RegisterSimDevice(setup.id, setup.details, &error)) {
      std::fprintf(stderr, "devsim: device %s: %s\n", setup.id.reference.c_str(), error.c_str());
      return false;
    }
    devices->push_back(std::move(device));
  }
  return true;
}

// Until the stop file appears, stdin ends (without a stop file) or the timeout passes.
void WaitForStop(const Settings& settings) {
  const ULONGLONG deadline = GetTickCount64() + 1000ull * settings.timeoutSeconds;
  if (settings.stopFile.empty()) {
    std::thread([] {
      char line[256];
      while (std::fgets(line, sizeof(line), stdin)) {
      }
      stdinEnded = true;
    }).detach();
  }
  while (GetTickCount64() < deadline && !stdinEnded) {
    if (!settings.stopFile.empty() && FileExists(settings.stopFile)) break;
    Sleep(50);
  }
}

}  // namespace

int main(int argc, char** argv) {
  Settings settings;
  if (!ParseArguments(argc, argv, settings)) {
    std::fprintf(stderr,
                 "usage: devsim.exe [--devices N] [--device K:OPT,...] [--ready FILE] "
                 "[--stop FILE] [--report FILE] [--summary FILE] [--image FILE] [--timeout S] "
                 "[--capture BYTES]\n");
    return 2;
  }
  std::vector<DeviceSetup> setups;
  if (!SetUpDevices(settings, &setups)) return 2;

  RemoveAllSimDevices();
  WallClock clock;
  SimPresenceTimeline timeline;  // declared first: the servers report to it until they stop
  std::vector<std::unique_ptr<SimPipeDevice>> devices;
  const int status = ServeDevices(setups, clock, timeline, &devices) ? 0 : 1;
  if (status == 0) {
    // Time zero of every arrival and departure, and of the summary's times. The ready file tells
    // it (GetTickCount64) so that another program can put what it saw on the same clock.
    timeline.Start();
    if (!settings.readyFile.empty()) {
      WriteText(settings.readyFile, "READY origin=" + std::to_string(timeline.origin()) + "\n");
    }
    std::printf("READY\n");
    std::fflush(stdout);
    WaitForStop(settings);
  }

  timeline.Stop();
  for (auto& device : devices) device->Stop();
  std::vector<DeviceOutcome> outcomes;
  for (size_t k = 0; k < devices.size(); ++k) {
    outcomes.push_back(Gather(*devices[k], timeline, k));
    if (int failed = outcomes.back().presence.failedLinkWrites)
      std::fprintf(stderr, "devsim: device %zu: %d Linked values not written\n", k, failed);
  }
  if (!settings.summaryFile.empty()) {
    ImageFacts image;
    if (!settings.imageFile.empty()) image = ReadImageFacts(settings.imageFile);
    WriteText(settings.summaryFile, SummaryText(setups, outcomes, image));
  }
  const std::string report = ReportJson(setups, outcomes);
  if (!settings.reportFile.empty())
    WriteText(settings.reportFile, report);
  else
    std::fputs(report.c_str(), stdout);
  for (auto& setup : setups) UnregisterSimDevice(setup.id);
  return status;
}
