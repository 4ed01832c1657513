// The headless front end's portable part: its arguments, the run's result and exit status, the
// JSON record and the console lines.
#include "cli_core.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

namespace pelorin::cli {
namespace {

using nlohmann::json;

// A device whose download ran for `ms` milliseconds and ended with `outcome`.
DeviceActivity Ended(DeviceOutcome outcome, uint64_t bytesSent = 0, uint32_t ms = 0,
                     std::string message = "", std::string path = "") {
  DeviceActivity device;
  device.ready = device.started = device.ended = true;
  device.path = std::move(path);
  device.startTick = 5000;
  device.endTick = 5000 + ms;
  device.bytesSent = device.imageSize = bytesSent;
  device.outcome = outcome;
  device.message = std::move(message);
  return device;
}

TEST(CliArguments, GoodForms) {
  ParsedArguments plain = ParseArguments({"os.nb0"});
  ASSERT_TRUE(plain.ok) << plain.text;
  EXPECT_EQ(plain.options.command, Command::Download);
  EXPECT_EQ(plain.options.family, Family::Pipe);
  EXPECT_EQ(plain.options.setup.imagePath, "os.nb0");
  EXPECT_EQ(plain.options.jsonPath, "");

  ParsedArguments full = ParseArguments({R"(C:\이미지\os.PAK)", "--json", "-", "--family=driver"});
  ASSERT_TRUE(full.ok) << full.text;
  EXPECT_EQ(full.options.family, Family::Driver);
  EXPECT_EQ(full.options.setup.imagePath, R"(C:\이미지\os.PAK)");
  EXPECT_EQ(full.options.jsonPath, "-");

  ParsedArguments station = ParseArguments(
      {"--station", "--log", "line.jsonl", "--sha256", std::string(63, 'A') + "b", "--port",
       "Port_#0001.Hub_#0002", "--port", "PCIROOT(0)#*", "--max-devices", "64", "--count", "20",
       "--reflash", "--write-timeout", "30", "--answer-timeout", "900", "os.nb0"});
  ASSERT_TRUE(station.ok) << station.text;
  EXPECT_EQ(station.options.command, Command::Station);
  EXPECT_EQ(station.options.setup.logPath, "line.jsonl");
  EXPECT_EQ(station.options.setup.sha256, std::string(63, 'a') + "b");
  EXPECT_EQ(station.options.setup.settings.ports,
            (std::vector<std::string>{"Port_#0001.Hub_#0002", "PCIROOT(0)#*"}));
  EXPECT_EQ(station.options.setup.settings.maxDevices, 64);
  EXPECT_EQ(station.options.setup.settings.count, 20u);
  EXPECT_TRUE(station.options.setup.settings.reflash);
  EXPECT_EQ(station.options.setup.limits.writeMs, 30000u);
  EXPECT_EQ(station.options.setup.limits.answerMs, 900000u);
  // Each --port takes one location: the image after them stays the image.
  for (const auto& arguments : {std::vector<std::string>{"--station", "--port", "P1", "--port",
                                                         "P2*", "os.nb0"},
                                std::vector<std::string>{"--station", "--port=P1", "--port=P2*",
                                                         "os.nb0"}}) {
    ParsedArguments ports = ParseArguments(arguments);
    ASSERT_TRUE(ports.ok) << ports.text;
    EXPECT_EQ(ports.options.setup.imagePath, "os.nb0");
    EXPECT_EQ(ports.options.setup.settings.ports, (std::vector<std::string>{"P1", "P2*"}));
  }
  ParsedArguments stationDefaults = ParseArguments({"--station", "os.nb0"});
  ASSERT_TRUE(stationDefaults.ok) << stationDefaults.text;
  EXPECT_EQ(stationDefaults.options.setup.settings.maxDevices, 16);
  EXPECT_EQ(stationDefaults.options.setup.settings.count, 0u);
  EXPECT_FALSE(stationDefaults.options.setup.settings.reflash);
  EXPECT_EQ(plain.options.setup.limits.writeMs, 10000u);
  EXPECT_EQ(plain.options.setup.limits.answerMs, 300000u);

  ParsedArguments list = ParseArguments({"--list"});
  ASSERT_TRUE(list.ok) << list.text;
  EXPECT_EQ(list.options.command, Command::List);

  ParsedArguments help = ParseArguments({"--help"});
  EXPECT_FALSE(help.ok);
  EXPECT_EQ(help.exitStatus, 0);
  EXPECT_NE(help.text.find("--family"), std::string::npos) << help.text;
  ParsedArguments version = ParseArguments({"--version"});
  EXPECT_FALSE(version.ok);
  EXPECT_EQ(version.exitStatus, 0);
  EXPECT_EQ(version.text, "PelorinCli 3.1.1.0");
}

TEST(CliArguments, EachUsageErrorExits2WithAMessage) {
  const struct {
    std::vector<std::string> arguments;
    const char* telling;  // what the message must name
  } cases[] = {
      {{"--bogus", "os.nb0"}, "--bogus"},
      {{}, "IMAGE"},
      {{"a.nb0", "b.nb0"}, "one IMAGE"},
      {{"--family", "usb", "os.nb0"}, "usb"},
      {{"--list", "os.nb0"}, "IMAGE"},
      {{"--list", "--json", "out.json"}, "--list"},
      {{"--list", "--family", "driver"}, "--list"},
      {{""}, "IMAGE"},
      {{"--json", "", "os.nb0"}, "--json"},
      {{"--write-timeout", "0", "os.nb0"}, "--write-timeout"},
      {{"--write-timeout", "601", "os.nb0"}, "--write-timeout"},
      {{"--answer-timeout", "3601", "os.nb0"}, "--answer-timeout"},
      // The station: bulk-pipe devices and a log of its own; its options need it.
      {{"--station", "--family", "driver", "os.nb0"}, "--station"},
      {{"--station", "--json", "out.json", "os.nb0"}, "--station"},
      {{"--station", "--list"}, "--list"},
      {{"--station", "--max-devices", "65", "os.nb0"}, "--max-devices"},
      {{"--station", "--max-devices", "0", "os.nb0"}, "--max-devices"},
      {{"--station", "--log", "", "os.nb0"}, "--log"},
      {{"--station", "--sha256", "abc", "os.nb0"}, "--sha256"},
      {{"--station", "--sha256", std::string(65, 'a'), "os.nb0"}, "--sha256"},
      {{"--station", "--sha256", std::string(63, 'a') + "g", "os.nb0"}, "--sha256"},
      {{"--station", "os.nb0", "--port", ""}, "--port"},
      {{"--station", "--count", "0", "os.nb0"}, "--count"},
      {{"--log", "line.jsonl", "os.nb0"}, "--station"},
      {{"--sha256", std::string(64, 'a'), "os.nb0"}, "--station"},
      {{"os.nb0", "--port", "P1"}, "--station"},
      {{"--max-devices", "4", "os.nb0"}, "--station"},
      {{"--count", "2", "os.nb0"}, "--station"},
      {{"--reflash", "os.nb0"}, "--station"},
  };
  for (const auto& c : cases) {
    ParsedArguments parsed = ParseArguments(c.arguments);
    const std::string label = ::testing::PrintToString(c.arguments);
    EXPECT_FALSE(parsed.ok) << label;
    EXPECT_EQ(parsed.exitStatus, EXIT_USAGE) << label;
    EXPECT_NE(parsed.text.find(c.telling), std::string::npos) << label << ": " << parsed.text;
    EXPECT_NE(parsed.text.find("--help"), std::string::npos) << label << ": " << parsed.text;
  }
}

TEST(CliDecide, MixedOutcomes) {
  const DeviceActivity verified = Ended(DeviceOutcome::Verified);
  const DeviceActivity broken = Ended(DeviceOutcome::LinkError);
  RunFacts allVerified{.devices = {verified, verified}};
  EXPECT_EQ(Decide(allVerified), RunResult::Verified);
  RunFacts oneFailed{.devices = {verified, Ended(DeviceOutcome::VerificationError), verified}};
  EXPECT_EQ(Decide(oneFailed), RunResult::Failed);
  DeviceActivity neverEnded = verified;
  neverEnded.ended = false;
  EXPECT_EQ(Decide({.devices = {verified, neverEnded}}), RunResult::Failed);
  EXPECT_EQ(Decide({.devices = {verified, Ended(DeviceOutcome::ImageError)}}),
            RunResult::ImageError);
  EXPECT_EQ(Decide({.imageError = true, .noDevice = true, .devices = {}}), RunResult::ImageError);
  EXPECT_EQ(Decide({.noDevice = true, .devices = {}}), RunResult::NoDevice);
  EXPECT_EQ(Decide({}), RunResult::NoDevice) << "no ready device is not every device verified";
  EXPECT_EQ(Decide({.cancelled = true, .imageError = true, .noDevice = true, .devices = {broken}}),
            RunResult::Cancelled);

  const std::pair<RunResult, int> statuses[] = {
      {RunResult::Verified, 0},   {RunResult::Failed, 1}, {RunResult::NoDevice, 3},
      {RunResult::ImageError, 2}, {RunResult::Usage, 2},  {RunResult::Cancelled, 130}};
  for (auto [result, status] : statuses) {
    EXPECT_EQ(ExitStatus(result), status);
    // A record that was not written is never a success, whatever the devices did.
    EXPECT_EQ(ExitStatus(result, false), 4);
  }
}

// Ctrl+C cancels a run only until every device has ended; a later one leaves the result alone.
TEST(CliCancellation, CountsOnlyUntilTheRunIsSettled) {
  RunCancellation early;
  EXPECT_TRUE(early.Request());
  EXPECT_TRUE(early.Settle());
  EXPECT_TRUE(early.cancelled());

  RunCancellation late;
  EXPECT_FALSE(late.Settle());
  EXPECT_FALSE(late.Request());
  EXPECT_FALSE(late.cancelled());
}

TEST(CliRecord, JsonEscapesWindowsPathsAndKeepsKoreanTexts) {
  const std::string devicePath = R"(\\?\usb#vid_5555&pid_1#7&1a&0&1#{a5dcbf10-6530-11d2})";
  const std::string message = "연결 에러 \"USB Cable\"\r\n다시 시도해 주세요.";
  RunRecord record;
  record.result = RunResult::Failed;
  record.started = IsoTime(1796691723);
  record.seconds = 4.2149;
  record.image = {R"(C:\images\os.nb0)", 4194304, 534945818, 77};
  record.indices = {0, 3};
  record.devices = {Ended(DeviceOutcome::Verified, 4194304, 3100, "", devicePath),
                    Ended(DeviceOutcome::LinkError, 131072, 250, message + "\xff")};
  const std::string text = RecordJson(record);
  EXPECT_NE(text.find("다시 시도해"), std::string::npos) << "UTF-8 as it is, not \\u escapes";

  const json parsed = json::parse(text);
  EXPECT_EQ(parsed["result"], "failed");
  EXPECT_EQ(parsed["family"], "pipe");
  EXPECT_EQ(parsed["started"], "2026-12-08T01:02:03Z");
  EXPECT_EQ(parsed["seconds"], 4.21);
  EXPECT_EQ(parsed["image"]["path"], R"(C:\images\os.nb0)");
  EXPECT_EQ(parsed["image"]["size"], 4194304);
  EXPECT_EQ(parsed["image"]["byteSum"], 534945818);
  EXPECT_FALSE(parsed["image"].contains("wordSum")) << "the pipe family has no word sum";
  ASSERT_EQ(parsed["devices"].size(), 2u);
  const json& good = parsed["devices"][0];
  EXPECT_EQ(good["path"], devicePath);
  EXPECT_EQ(good["result"], "verified");
  EXPECT_EQ(good["bytesSent"], 4194304);
  EXPECT_EQ(good["seconds"], 3.1);
  EXPECT_EQ(good["message"], "");
  const json& bad = parsed["devices"][1];
  EXPECT_EQ(bad["index"], 3);
  EXPECT_EQ(bad["result"], "link-error");
  EXPECT_EQ(bad["message"], message + "\xEF\xBF\xBD") << "a bad byte becomes U+FFFD";
}

TEST(CliRecord, NamesEveryResultAndTheDriverFamilysWordSum) {
  const std::pair<RunResult, const char*> runs[] = {
      {RunResult::Verified, "verified"},  {RunResult::Failed, "failed"},
      {RunResult::NoDevice, "no-device"}, {RunResult::ImageError, "image-error"},
      {RunResult::Usage, "usage"},        {RunResult::Cancelled, "cancelled"}};
  for (auto [result, name] : runs) {
    RunRecord record;
    record.result = result;
    record.family = Family::Driver;
    record.image.wordSum = 0x89ABCDEF;
    const json parsed = json::parse(RecordJson(record));
    EXPECT_EQ(parsed["result"], name);
    EXPECT_EQ(parsed["family"], "driver");
    EXPECT_EQ(parsed["image"]["wordSum"], 0x89ABCDEF);
    EXPECT_TRUE(parsed["devices"].is_array() && parsed["devices"].empty());
  }

  const std::pair<DeviceOutcome, const char*> outcomes[] = {
      {DeviceOutcome::Verified, "verified"},
      {DeviceOutcome::VerificationError, "verification-error"},
      {DeviceOutcome::LinkError, "link-error"},
      {DeviceOutcome::ImageError, "image-error"},
      {DeviceOutcome::NotStarted, "not-started"}};
  for (auto [outcome, name] : outcomes) EXPECT_STREQ(DeviceResultName(Ended(outcome)), name);
  DeviceActivity running = Ended(DeviceOutcome::Verified);
  running.ended = false;
  EXPECT_STREQ(DeviceResultName(running), "not-started");
  DeviceActivity noThread = Ended(DeviceOutcome::Verified);
  noThread.started = false;
  EXPECT_STREQ(DeviceResultName(noThread), "not-started");
}

TEST(CliRecord, IsoTimeInUtc) {
  EXPECT_EQ(IsoTime(1709251199), "2024-02-29T23:59:59Z");
  EXPECT_EQ(IsoTime(-1), "1969-12-31T23:59:59Z");
}

TEST(CliLines, DeviceLineTellsTheTransferOrTheFailure) {
  EXPECT_EQ(DeviceLine(0, Ended(DeviceOutcome::Verified, 4194304, 3100, "", R"(\\?\usb#v1)")),
            R"(device 0: verified, 4194304 bytes in 3.1 s (1.4 MB/s), \\?\usb#v1)");
  EXPECT_EQ(DeviceLine(1, Ended(DeviceOutcome::VerificationError, 4194304, 900,
                                "Verification Error\r\n다시 시도해 주세요.\r\n")),
            "device 1: verification-error: Verification Error 다시 시도해 주세요.");
  EXPECT_EQ(DeviceLine(2, Ended(DeviceOutcome::LinkError)), "device 2: link-error");
  EXPECT_EQ(BoxLine("연결 에러", "\nUSB Cable\n\nCheck it.\n"), "연결 에러: USB Cable Check it.");
  // An application box has no caption of its own in a station's report: no ": " before it.
  EXPECT_EQ(BoxLine("", "Thread 생성 실패"), "Thread 생성 실패");
  EXPECT_EQ(BoxLine("파일 에러", ""), "파일 에러");
}

TEST(CliLines, ProgressAndSummary) {
  // Ticks wrap: 2 s of sending, 10 of 100 MB sent.
  DeviceActivity early;
  early.ready = early.started = early.sending = true;
  early.imageSize = 100000000;
  early.bytesSent = 10000000;
  early.firstDataTick = 0xFFFFFC18;
  EXPECT_EQ(ProgressLine({early}, 1000), "1 device  10%  5.0 MB/s  0:18 left");
  // A failed device has nothing left to do; a bar without a device does not count.
  DeviceActivity failed = Ended(DeviceOutcome::LinkError, 40000000, 100);
  EXPECT_EQ(ProgressLine({early, failed, DeviceActivity{}}, 1000),
            "2 devices  55%  25.0 MB/s  0:04 left");
  DeviceActivity waiting;
  waiting.ready = true;
  EXPECT_EQ(ProgressLine({waiting, waiting}, 1000), "2 devices  0%  0.0 MB/s");
  EXPECT_EQ(ProgressLine({DeviceActivity{}}, 1000), "0 devices  0%  0.0 MB/s");

  RunRecord record;
  record.seconds = 4.21;
  record.devices.assign(3, Ended(DeviceOutcome::Verified));
  record.result = RunResult::Verified;
  EXPECT_EQ(SummaryLine(record), "verified: 3 of 3 devices in 4.2 s");
  record.devices[1] = Ended(DeviceOutcome::VerificationError);
  record.result = RunResult::Failed;
  EXPECT_EQ(SummaryLine(record), "failed: 1 of 3 devices failed, 2 verified, in 4.2 s");
  record.result = RunResult::Cancelled;
  record.seconds = 0.96;  // rounded to a tenth, not cut
  EXPECT_EQ(SummaryLine(record), "cancelled: 2 of 3 devices verified, in 1.0 s");
  record.result = RunResult::ImageError;
  record.image.path = R"(C:\images\os.nb0)";
  EXPECT_EQ(SummaryLine(record), R"(image-error: the image C:\images\os.nb0 could not be sent, in 1.0 s)");
  record.result = RunResult::NoDevice;
  EXPECT_EQ(SummaryLine(record), "no-device: no device ready");
  // Ctrl+C before any device was ready.
  record.result = RunResult::Cancelled;
  record.devices.clear();
  EXPECT_EQ(SummaryLine(record), "cancelled: 0 of 0 devices verified, in 1.0 s");

  // Past an hour the time left has hours: 1 of 4000 MB in 1 s, 3999 s to go.
  DeviceActivity slow = early;
  slow.imageSize = 4000000000;
  slow.bytesSent = 1000000;
  slow.firstDataTick = 0;
  EXPECT_EQ(ProgressLine({slow}, 1000), "1 device  0%  1.0 MB/s  1:06:39 left");
}


// The database on the console: the status line ends with its words, and a line of its own
// tells only news, a station that connects, loses and finds its database, whose records then
// flow, says: up to date; offline; sending (the backlog); up to date. Nothing for each record
// on its way while the database is up to date.
TEST(StationConsole, TheDatabaseIsToldWhenItComesGoesOrHasCaughtUp) {
  using station::DatabaseState;
  DatabaseState connecting, upToDate, sending, offline, live;
  upToDate.link = DatabaseState::UpToDate;
  upToDate.waiting = 0;
  offline.link = DatabaseState::Offline;
  offline.offlineSince = "10:42";
  offline.waiting = 37;
  sending.link = DatabaseState::Sending;
  sending.waiting = 1;
  EXPECT_EQ(station::DatabaseWords(connecting), "database: connecting");
  EXPECT_EQ(station::DatabaseWords(upToDate), "database: up to date");
  EXPECT_EQ(station::DatabaseWords(offline), "database offline since 10:42, 37 records waiting");
  EXPECT_EQ(station::DatabaseWords(sending), "database: sending, 1 record waiting");
  DatabaseState unknown = offline;
  unknown.waiting.reset();
  EXPECT_EQ(station::DatabaseWords(unknown), "database offline since 10:42")
      << "before the station knows where the database stands";
  EXPECT_EQ(station::TimeOfDay(9, 5), "09:05");

  std::vector<std::string> told;
  std::optional<DatabaseState> last;
  for (const DatabaseState& now : {connecting, upToDate, sending, upToDate, sending, offline,
                                   offline, sending, sending, upToDate, sending, upToDate}) {
    if (!DatabaseNews(last, now)) continue;
    told.push_back(station::DatabaseWords(now));
    last = now;
  }
  EXPECT_EQ(told, (std::vector<std::string>{
                      "database: up to date", "database offline since 10:42, 37 records waiting",
                      "database: sending, 1 record waiting", "database: up to date"}));

  station::StationCounts counts;
  counts.tally.verified = 2;
  EXPECT_EQ(StationStatusLine(counts, offline),
            "flashing 0, waiting 0, verified 2, already verified 0, failed 0, cancelled 0, yield "
            "100 %, 0.0 MB/s | database offline since 10:42, 37 records waiting");
  EXPECT_EQ(StationStatusLine(counts, std::nullopt), StationStatusLine(counts));
}

}  // namespace
}  // namespace pelorin::cli
