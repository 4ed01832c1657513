// devsim.exe: serves simulated bulk-pipe devices inside a Wine prefix until told to stop, then
// writes what each device received and unregisters them.
//
//   devsim.exe [--devices N] [--device K:OPT[,OPT...]]... [--ready FILE] [--stop FILE]
//              [--report FILE] [--summary FILE] [--image FILE] [--timeout SECONDS]
//              [--capture BYTES]
//
// Device K (0-based) is ROOT\SIMDEV\<K as 4 digits> with pipes \\.\pipe\simdev<K>[\PIPE0x].
// Per-device options:
//   verierr            answer "VERIERR" whatever the checks say
//   stall              take everything, never answer (pipes stay open)
//   mute-after-receive answer "RECEIVE", take "OK0", then never give the verdict
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
// --report writes JSON, --summary one text line per device session ("key=value" pairs, for shell
// scripts). With --image, each session also tells whether the data it took is that file's
// content (length, byte sum and hash).
// READY goes to stdout (and the ready file) once every device is served. The program stops when
// the stop file appears, when stdin ends (without --stop), or after the timeout (default 900 s).
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bulk_pipe_endpoint_win32.h"
#include "devsim_registry_win32.h"
#include "sim_pipe_server_win32.h"

using namespace pelorin::devsim;

namespace {

std::atomic<bool> stdinEnded{false};

struct DeviceSetup {
  SimDeviceId id;
  SimDeviceOptions pipes;
  BulkPipeBehaviour behaviour;
  size_t pathLength = 0;  // 0: the natural length
  std::string optionText;
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

bool ApplyOption(const std::string& option, DeviceSetup& device) {
  auto eq = option.find('=');
  std::string key = option.substr(0, eq);
  std::string value = eq == std::string::npos ? "" : option.substr(eq + 1);
  auto& b = device.behaviour;
  if (key == "verierr")
    b.answerVerifyError = true;
  else if (key == "stall")
    b.stall = true;
  else if (key == "mute-after-receive")
    b.muteAfterReceive = true;
  else if (key == "hang")
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

std::string SessionJson(const BulkPipeResult& r) {
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
  out += "\"}";
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
                        const ImageFacts& image) {
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
  std::vector<DeviceSetup> setups(settings.devices);
  for (int k = 0; k < settings.devices; ++k) {
    char instance[16];
    std::snprintf(instance, sizeof(instance), "%04d", k);
    setups[k].id = {instance, "simdev" + std::to_string(k)};
    setups[k].behaviour.captureLimit = settings.capture;
  }
  for (auto& [k, options] : settings.deviceOptions) {
    if (k < 0 || k >= settings.devices) continue;
    setups[k].optionText = options;
    size_t start = 0;
    while (start <= options.size()) {
      size_t comma = options.find(',', start);
      std::string option = options.substr(start, comma - start);
      if (!option.empty() && !ApplyOption(option, setups[k])) {
        std::fprintf(stderr, "devsim: unknown option '%s' for device %d\n", option.c_str(), k);
        return 2;
      }
      if (comma == std::string::npos) break;
      start = comma + 1;
    }
  }

  RemoveAllSimDevices();
  WallClock clock;
  std::vector<std::unique_ptr<SimPipeDevice>> devices;
  int status = 0;
  for (auto& setup : setups) {
    StretchInstanceId(setup);
    BulkPipeBehaviour behaviour = setup.behaviour;
    auto device = std::make_unique<SimPipeDevice>(
        setup.id.reference, setup.pipes,
        [&clock, behaviour] { return std::make_unique<BulkPipeEndpoint>(clock, behaviour); });
    std::string error;
    if (!device->Start(&error) || !RegisterSimDevice(setup.id, &error)) {
      std::fprintf(stderr, "devsim: device %s: %s\n", setup.id.reference.c_str(), error.c_str());
      status = 1;
      break;
    }
    devices.push_back(std::move(device));
  }

  if (status == 0) {
    if (!settings.readyFile.empty()) WriteText(settings.readyFile, "READY\n");
    std::printf("READY\n");
    std::fflush(stdout);
    const ULONGLONG deadline = GetTickCount64() + 1000ull * settings.timeoutSeconds;
    if (settings.stopFile.empty()) {
      // Stop when stdin ends (or after the timeout, watched by the loop below).
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

  for (auto& device : devices) device->Stop();
  std::string report = "{\"devices\":[";
  for (size_t k = 0; k < devices.size(); ++k) {
    auto& device = *devices[k];
    report += k ? ",\n" : "\n";
    report += "{\"index\":" + std::to_string(k);
    report += ",\"reference\":" + Quoted(setups[k].id.reference);
    report += ",\"path\":" + Quoted(SimDevicePath(setups[k].id));
    report += ",\"options\":" + Quoted(setups[k].optionText);
    report += ",\"probes\":" + std::to_string(device.Connects(SimPipe::Interface));
    report += ",\"inOpens\":" + std::to_string(device.Connects(SimPipe::In));
    report += ",\"outOpens\":" + std::to_string(device.Connects(SimPipe::Out));
    report += ",\"sessions\":[";
    bool first = true;
    device.ForEachSession([&](SessionEndpoint& endpoint) {
      if (!first) report += ',';
      first = false;
      report += SessionJson(static_cast<BulkPipeEndpoint&>(endpoint).Result());
    });
    report += "]}";
  }
  report += "\n]}\n";
  if (!settings.summaryFile.empty()) {
    ImageFacts image;
    if (!settings.imageFile.empty()) image = ReadImageFacts(settings.imageFile);
    std::string summary;
    for (size_t k = 0; k < devices.size(); ++k) {
      auto& device = *devices[k];
      summary += "device=" + std::to_string(k) +
                 " sessions=" + std::to_string(device.SessionCount()) +
                 " probes=" + std::to_string(device.Connects(SimPipe::Interface)) +
                 " inOpens=" + std::to_string(device.Connects(SimPipe::In)) +
                 " outOpens=" + std::to_string(device.Connects(SimPipe::Out)) + "\n";
      size_t index = 0;
      device.ForEachSession([&](SessionEndpoint& endpoint) {
        summary +=
            SessionLine(k, index++, static_cast<BulkPipeEndpoint&>(endpoint).Result(), image);
      });
    }
    WriteText(settings.summaryFile, summary);
  }
  if (!settings.reportFile.empty())
    WriteText(settings.reportFile, report);
  else
    std::fputs(report.c_str(), stdout);
  for (auto& setup : setups) UnregisterSimDevice(setup.id);
  return status;
}
