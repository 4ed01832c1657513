// The station's decisions, a listing at a time: which units are new and which are really gone,
// which start, wait, are skipped or ended at once, how a unit that does not open is retried, when
// the station ends and how, and the production log's records and memory.
#include "station_core.h"

#include <gtest/gtest.h>

#include "cli_core.h"
#include "memory_fleet_store.h"
#include "recording_reporter.h"

namespace pelorin::station {
namespace {

PresentDevice Usb(const std::string& serial, const std::string& port) {
  return {"\\\\?\\usb#vid_1234&pid_5678#" + serial + "#{00873fdf-61a8-11d1-aa5e-00c04fb1728b}\\d",
          "USB\\VID_1234&PID_5678\\" + serial, port, ""};
}
// A unit without serial number: its path and id come from its port.
PresentDevice NoSerial(const std::string& port) {
  return {"path-" + port, "USB\\VID_1234&PID_5678\\6&2A3B&0&" + port, port, ""};
}

// What a listing made the core do, as "open P", "record P result", "cancel P", "departed P",
// "waiting P" (P the unit's port); arrivals are left out.
std::vector<std::string> Told(const std::vector<StationAction>& actions) {
  std::vector<std::string> out;
  for (const StationAction& a : actions) {
    const std::string& port = a.present.port;
    switch (a.kind) {
      case StationAction::Arrived: break;
      case StationAction::Waiting: out.push_back("waiting " + port); break;
      case StationAction::Open: out.push_back("open " + port); break;
      case StationAction::Record: out.push_back("record " + port + " " + a.record.result); break;
      case StationAction::Cancel: out.push_back("cancel " + port); break;
      case StationAction::Departed: out.push_back("departed " + port); break;
      case StationAction::NotStarted: out.push_back("not-started " + port); break;
    }
  }
  return out;
}
using Said = std::vector<std::string>;

// The action for port `port` among `actions`.
StationAction Of(const std::vector<StationAction>& actions, const std::string& port,
                 StationAction::Kind kind = StationAction::Open) {
  for (const StationAction& a : actions)
    if (a.present.port == port && a.kind == kind) return a;
  ADD_FAILURE() << "no action for " << port;
  return {};
}

// A core and the runner's clock: each Look is a complete listing 500 ms after the last.
struct Station {
  explicit Station(StationSettings settings = {}, LogMemory memory = {})
      : core(std::move(settings), std::move(memory)) {}
  std::vector<StationAction> Look(const std::vector<PresentDevice>& present,
                                  bool complete = true) {
    now += STATION_POLL_INTERVAL_MS;
    return core.Poll(present, complete, now);
  }
  // Runs a unit the core started to its end, its record written.
  StationRecord Finish(const StationAction& action, DeviceOutcome outcome, bool written = true,
                       bool interrupted = false) {
    EXPECT_TRUE(core.Proceed(action.unit));
    core.Sent(action.unit, 1000, 10);
    StationRecord record = core.Ended(action.unit, outcome, 2000, "", interrupted);
    core.Recorded(action.unit, written, now);
    return record;
  }
  std::vector<StationAction> Recorded(uint64_t unit, bool written) {
    return core.Recorded(unit, written, now);
  }
  StationCore core;
  uint32_t now = 1000;
};

std::string LogLine(uint64_t sequence, const std::string& serial, const std::string& result,
                    const std::string& sha) {
  return R"({"sequence": )" + std::to_string(sequence) + R"(, "serial": ")" + serial +
         R"(", "image": {"sha256": ")" + sha + R"("}, "result": ")" + result + "\"}\n";
}

TEST(StationCore, AUnitIsForgottenOnlyWhenTwoCompleteListingsHalfASecondApartMissIt) {
  Station station;
  const PresentDevice a = NoSerial("P1"), b = NoSerial("P2");
  EXPECT_TRUE(station.Look({}).empty());
  EXPECT_FALSE(station.core.Finished()) << "a station runs until it is stopped";
  std::vector<StationAction> first = station.Look({a});
  EXPECT_EQ(Told(first), Said{"open P1"});
  EXPECT_EQ(first[1].serial, "") << "an id with & has no serial number";
  station.Finish(Of(first, "P1"), DeviceOutcome::Verified);
  EXPECT_EQ(Told(station.Look({a, b})), Said{"open P2"});
  // A failed or incomplete listing, or one complete listing that misses it, forgets nobody: the
  // unit still there is not flashed again.
  EXPECT_TRUE(station.Look({b}, false).empty());
  EXPECT_TRUE(station.Look({b}).empty());
  EXPECT_TRUE(station.Look({a, b}).empty());
  EXPECT_TRUE(station.Look({b}).empty());
  EXPECT_TRUE(station.Look({b}, false).empty());
  EXPECT_TRUE(station.Look({a, b}).empty()) << "a miss, an incomplete listing, then seen";
  // Missed, then missed again sooner than 500 ms later: not yet gone.
  EXPECT_TRUE(station.Look({b}).empty());
  EXPECT_TRUE(station.core.Poll({b}, true, station.now + 499).empty());
  EXPECT_EQ(Told(station.Look({b})), Said{"departed P1"});
  // The next unit in that port is new, although its path is the same.
  EXPECT_EQ(Told(station.Look({a, b})), Said{"open P1"});
}

TEST(StationCore, TheLatestRecordOfASerialWithThisImageDecides) {
  const std::string sha(64, 'a'), other(64, 'b');
  const LogMemory memory = ReadLogMemory(
      LogLine(1, "SN1", "verified", sha) + LogLine(2, "SN1", "cancelled", sha) +
          LogLine(3, "SN2", "link-error", sha) + LogLine(4, "SN2", "already-verified", sha) +
          LogLine(5, "SN3", "verified", other) + LogLine(6, "SN4", "verified", sha) +
          LogLine(7, "SN4", "verification-error", other),
      sha);
  EXPECT_EQ(memory.lastSequence, 7u);
  Station station({}, memory);
  EXPECT_EQ(Told(station.Look({Usb("SN1", "P1"), Usb("SN2", "P2"), Usb("SN3", "P3"),
                               Usb("SN4", "P4")})),
            (Said{"open P1", "record P2 already-verified", "open P3", "open P4"}))
      << "verified then cancelled is flashed; verified with another image is not this image; a "
         "unit tried with another image since holds that one";
  StationSettings reflashing;
  reflashing.reflash = true;
  Station reflash(reflashing, memory);
  EXPECT_EQ(Told(reflash.Look({Usb("SN2", "P2")})), Said{"open P2"}) << "--reflash";

  // The same within a run: a unit that failed is flashed when it comes back; once verified, it
  // is not.
  Station run;
  run.Finish(Of(run.Look({Usb("SN9", "P1")}), "P1"), DeviceOutcome::LinkError);
  run.Look({});
  run.Look({});
  std::vector<StationAction> again = run.Look({Usb("SN9", "P2")});
  EXPECT_EQ(Told(again), Said{"open P2"});
  run.Finish(Of(again, "P2"), DeviceOutcome::Verified);
  run.Look({});
  run.Look({});
  EXPECT_EQ(Told(run.Look({Usb("SN9", "P3")})), Said{"record P3 already-verified"});
}

TEST(StationCore, AUnitPulledWhileItRunsEndsAtOnceAndItsPortIsFree) {
  Station station;
  const PresentDevice a = NoSerial("P1"), b = NoSerial("P2");
  std::vector<StationAction> started = station.Look({a, b});
  ASSERT_TRUE(station.core.Proceed(Of(started, "P1").unit));
  ASSERT_TRUE(station.core.Proceed(Of(started, "P2").unit));
  station.Look({b});
  EXPECT_EQ(Told(station.Look({b})), Said{"cancel P1"}) << "its calls are cancelled at once";
  // Its worker ends as the cancelled call fails: a link error that says it was removed.
  const StationRecord removed =
      station.core.Ended(Of(started, "P1").unit, DeviceOutcome::LinkError, 900, "", true);
  EXPECT_EQ(removed.result, "link-error");
  EXPECT_EQ(removed.message, TEXT_UNIT_REMOVED);
  // The next unit in that port is flashed even before the old one's record is written.
  EXPECT_EQ(Told(station.Look({a, b})), Said{"open P1"});
  EXPECT_EQ(Told(station.Recorded(Of(started, "P1").unit, true)), Said{"departed P1"});

  // Pulled after its verdict came: the verdict stands.
  station.Look({a});
  EXPECT_EQ(Told(station.Look({a})), Said{"cancel P2"});
  EXPECT_EQ(station.core.Ended(Of(started, "P2").unit, DeviceOutcome::Verified, 900, "", true)
                .result,
            "verified");
  EXPECT_EQ(Told(station.Recorded(Of(started, "P2").unit, true)), Said{"departed P2"});
  EXPECT_EQ(station.core.Counts(0).flashing, 1) << "the new unit in P1";
}

TEST(StationCore, PipesThatDoNotOpenAreTriedForFiveSecondsThenRecordedOnce) {
  Station station({.ports = {}, .maxDevices = 1});
  const PresentDevice a = Usb("SN1", "P1"), b = Usb("SN2", "P2");
  std::vector<StationAction> actions = station.Look({a, b});
  ASSERT_EQ(Told(actions), (Said{"open P1", "waiting P2"}));
  const uint64_t unit = Of(actions, "P1").unit;
  const uint32_t first = station.now;
  while (station.now < first + 5000) {
    ASSERT_TRUE(station.core.Proceed(unit));
    EXPECT_FALSE(station.core.OpenFailed(unit, station.now, "Failed to open").has_value());
    ASSERT_EQ(Told(station.Look({a, b})), Said{"open P1"}) << "still first in line";
  }
  ASSERT_TRUE(station.core.Proceed(unit));
  std::optional<StationRecord> record = station.core.OpenFailed(unit, station.now, "Failed to open");
  ASSERT_TRUE(record.has_value());
  EXPECT_EQ(record->result, "link-error");
  EXPECT_EQ(record->message, "Failed to open");
  station.Recorded(unit, true);
  EXPECT_EQ(Told(station.Look({a, b})), Said{"open P2"}) << "recorded once";
  EXPECT_EQ(station.core.ExitStatus(), EXIT_DEVICE_FAILED);

  // After Ctrl+C nothing is tried again: the failure is recorded at once, and the station ends
  // only once that record is written.
  Station stopping;
  actions = stopping.Look({a});
  ASSERT_TRUE(stopping.core.Proceed(Of(actions, "P1").unit));
  stopping.core.Stop();
  ASSERT_TRUE(stopping.core.OpenFailed(Of(actions, "P1").unit, 1000, "Failed").has_value());
  EXPECT_FALSE(stopping.core.Finished()) << "its record is still being written";
  stopping.Recorded(Of(actions, "P1").unit, true);
  EXPECT_TRUE(stopping.core.Finished());

  // Nor is a unit that went away while its pipes were being opened.
  Station pulled;
  actions = pulled.Look({a});
  ASSERT_TRUE(pulled.core.Proceed(Of(actions, "P1").unit));
  pulled.Look({});
  EXPECT_EQ(Told(pulled.Look({})), Said{"cancel P1"});
  ASSERT_TRUE(pulled.core.OpenFailed(Of(actions, "P1").unit, pulled.now, "Failed").has_value());
  EXPECT_EQ(Told(pulled.Recorded(Of(actions, "P1").unit, true)), Said{"departed P1"});
  EXPECT_EQ(Told(pulled.Look({a})), Said{"open P1"}) << "the next unit in that port";
}

TEST(StationCore, PortsOutsideTheAllowListAreLeftAlone) {
  Station station({.ports = {"Port_#0002.Hub_#0001", "PCIROOT(0)#PCI(1400)#USB(1)*"}});
  EXPECT_EQ(Told(station.Look({Usb("A", "Port_#0002.Hub_#0001"), Usb("B", "Port_#0002.Hub_#00010"),
                               Usb("C", "PCIROOT(0)#PCI(1400)#USB(1)#USB(3)"),
                               Usb("D", "PCIROOT(0)#PCI(1400)#USB(2)"), Usb("E", "")})),
            (Said{"open Port_#0002.Hub_#0001", "open PCIROOT(0)#PCI(1400)#USB(1)#USB(3)"}));
}

TEST(StationCore, UnitsBeyondTheSlotsWaitInArrivalOrder) {
  LogMemory memory;
  memory.serials["OLD"] = true;
  Station station({.ports = {}, .maxDevices = 2}, memory);
  std::vector<StationAction> first =
      station.Look({Usb("S1", "P1"), Usb("S2", "P2"), Usb("S3", "P3")});
  EXPECT_EQ(Told(first), (Said{"open P1", "open P2", "waiting P3"}));
  // A later arrival waits; a known unit needs no slot; P3, pulled while it waited, is forgotten.
  EXPECT_EQ(Told(station.Look({Usb("S4", "P4"), Usb("S1", "P1"), Usb("S2", "P2"),
                               Usb("OLD", "P5")})),
            (Said{"waiting P4", "record P5 already-verified"}));
  EXPECT_EQ(Told(station.Look({Usb("S4", "P4"), Usb("S1", "P1"), Usb("S2", "P2")})),
            Said{"departed P3"});
  EXPECT_EQ(station.core.Counts(0).waiting, 1u);
  EXPECT_EQ(station.core.Counts(0).flashing, 2);
  station.Finish(Of(first, "P2"), DeviceOutcome::VerificationError);
  EXPECT_EQ(Told(station.Look({Usb("S1", "P1"), Usb("S2", "P2"), Usb("S4", "P4")})),
            Said{"open P4"});
  // A unit's slot is free only once its record is written.
  ASSERT_TRUE(station.core.Proceed(Of(first, "P1").unit));
  station.core.Ended(Of(first, "P1").unit, DeviceOutcome::Verified, 1000, "", false);
  const std::vector<PresentDevice> next = {Usb("S1", "P1"), Usb("S2", "P2"), Usb("S4", "P4"),
                                           Usb("S6", "P6")};
  EXPECT_EQ(Told(station.Look(next)), Said{"waiting P6"});
  station.Recorded(Of(first, "P1").unit, true);
  EXPECT_EQ(Told(station.Look(next)), Said{"open P6"});
}

TEST(StationCore, CountEndsTheStationAfterThatManyRecords) {
  LogMemory memory;
  memory.serials["OLD"] = true;
  Station station({.ports = {}, .maxDevices = 16, .count = 3}, memory);
  std::vector<StationAction> started =
      station.Look({Usb("OLD", "P0"), Usb("S1", "P1"), Usb("S2", "P2"), Usb("S3", "P3")});
  EXPECT_EQ(Told(started), (Said{"record P0 already-verified", "open P1", "open P2"}))
      << "no more units than records to come, the known unit's among them";
  station.Recorded(Of(started, "P0", StationAction::Record).unit, true);
  station.Finish(Of(started, "P1"), DeviceOutcome::Verified);
  EXPECT_TRUE(station.Look({Usb("S2", "P2"), Usb("S3", "P3")}).empty());
  EXPECT_FALSE(station.core.Finished());
  station.Finish(Of(started, "P2"), DeviceOutcome::Verified);
  EXPECT_TRUE(station.core.Finished());
  EXPECT_EQ(station.core.ExitStatus(), EXIT_VERIFIED);
  EXPECT_EQ(cli::StationSummaryLine(station.core.Counts(0)),
            "station: 3 records, 2 verified, 1 already verified, 0 failed, 0 cancelled, 0 not in "
            "the log, yield 100 %");
}

TEST(StationCore, CtrlCCancelsOnlyTheUnitsWhoseCallsItCancelled) {
  Station station({.ports = {}, .maxDevices = 6});
  const std::vector<PresentDevice> present = {Usb("S1", "P1"), Usb("S2", "P2"), Usb("S3", "P3"),
                                              Usb("S4", "P4"), Usb("S5", "P5"), Usb("S6", "P6"),
                                              Usb("S7", "P7")};
  std::vector<StationAction> started = station.Look(present);
  for (const char* port : {"P2", "P3", "P4", "P5"})
    ASSERT_TRUE(station.core.Proceed(Of(started, port).unit));
  station.Finish(Of(started, "P1"), DeviceOutcome::VerificationError);  // before Ctrl+C
  // The seventh waits no more: told that it will not be flashed.
  EXPECT_EQ(Told(station.core.Stop()), Said{"not-started P7"});
  // The runner had not opened the sixth yet: it is left alone, and told so.
  std::vector<StationAction> instead;
  EXPECT_FALSE(station.core.Proceed(Of(started, "P6").unit, &instead));
  EXPECT_EQ(Told(instead), Said{"not-started P6"});
  EXPECT_EQ(station.core.Counts(0).waiting, 0u);
  EXPECT_TRUE(station.Look(present).empty());
  EXPECT_FALSE(station.core.Finished()) << "units in flight";
  auto end = [&](const char* port, DeviceOutcome outcome, bool interrupted) {
    const uint64_t unit = Of(started, port).unit;
    const std::string result = station.core.Ended(unit, outcome, 500, "", interrupted).result;
    station.Recorded(unit, true);
    return result;
  };
  EXPECT_EQ(end("P2", DeviceOutcome::LinkError, true), "cancelled");
  // A verdict that came stands, whatever Ctrl+C cancelled after it (its reply, say).
  EXPECT_EQ(end("P3", DeviceOutcome::Verified, true), "verified");
  EXPECT_EQ(end("P4", DeviceOutcome::VerificationError, true), "verification-error");
  EXPECT_FALSE(station.core.Finished()) << "P5 is still in flight";
  // A unit that failed by itself just after Ctrl+C keeps its own failure.
  EXPECT_EQ(end("P5", DeviceOutcome::LinkError, false), "link-error");
  EXPECT_TRUE(station.core.Finished());
  EXPECT_EQ(station.core.ExitStatus(), EXIT_CANCELLED) << "Ctrl+C, whatever failed before";
}

TEST(StationCore, ARecordThatCannotBeWrittenStopsEveryStart) {
  Station station;
  const std::vector<StationAction> first = station.Look({Usb("S1", "P1"), Usb("S2", "P2")});
  station.Finish(Of(first, "P1"), DeviceOutcome::Verified);
  std::vector<StationAction> started = station.Look({Usb("S1", "P1"), Usb("S2", "P2"), Usb("S3", "P3"), Usb("S4", "P4")});
  ASSERT_EQ(Told(started), (Said{"open P3", "open P4"}));
  // P2's record fails while the runner carries out this listing's opens: neither starts.
  ASSERT_TRUE(station.core.Proceed(Of(started, "P3").unit));
  station.Finish(Of(first, "P2"), DeviceOutcome::Verified, false);
  EXPECT_FALSE(station.core.Proceed(Of(started, "P4").unit));
  EXPECT_EQ(Told(station.Look({Usb("S5", "P5")})), Said{"not-started P5"}) << "nothing new starts";
  EXPECT_FALSE(station.core.Finished()) << "the unit in flight finishes";
  // Its pipes do not open: recorded at once, not tried again.
  ASSERT_TRUE(station.core.OpenFailed(Of(started, "P3").unit, station.now, "Failed").has_value());
  station.Recorded(Of(started, "P3").unit, true);
  EXPECT_TRUE(station.core.Finished());
  EXPECT_EQ(station.core.ExitStatus(), EXIT_RECORD_NOT_WRITTEN);
}

// The status line's rate: each unit's bytes since its first data, only while it sends.
// Units per hour: the flashes that verified within the last quarter hour, over the time since the
// first listing while that is shorter (a minute at least).
TEST(StationCore, TheRateCountsVerifiedFlashesOverTheLastQuarterHour) {
  const uint32_t minute = 60000;
  Station station({.ports = {}, .maxDevices = 16});
  station.now = 0;
  station.core.Poll({}, true, 0);
  for (int i = 1; i <= 10; ++i) {
    const std::string port = "P" + std::to_string(i);
    std::vector<StationAction> started = station.core.Poll({Usb("S" + port, port)}, true, 0);
    const uint64_t unit = Of(started, port).unit;
    ASSERT_TRUE(station.core.Proceed(unit));
    station.core.Ended(unit, i == 10 ? DeviceOutcome::VerificationError : DeviceOutcome::Verified,
                       1000, "", false);
    station.core.Recorded(unit, true, static_cast<uint32_t>(i) * 30000);
  }
  // Nine verified in the first five minutes: 108 an hour.
  EXPECT_DOUBLE_EQ(station.core.Counts(5 * minute).unitsPerHour, 9 * 12.0);
  EXPECT_EQ(station.core.Counts(5 * minute).elapsedMs, 5 * minute);
  EXPECT_DOUBLE_EQ(station.core.Counts(16 * minute).unitsPerHour, 4 * 8.0)
      << "those of the first minute are out of the window";
  EXPECT_DOUBLE_EQ(station.core.Counts(25 * minute).unitsPerHour, 0);
  // One unit after ten seconds is no rate of 360 an hour; one recorded a moment after the time
  // the counts are asked for (another thread read the clock later) counts.
  Station early;
  early.core.Poll({}, true, 0);
  const std::vector<StationAction> one = early.core.Poll({Usb("S1", "P1")}, true, 0);
  ASSERT_TRUE(early.core.Proceed(Of(one, "P1").unit));
  early.core.Ended(Of(one, "P1").unit, DeviceOutcome::Verified, 1000, "", false);
  early.core.Recorded(Of(one, "P1").unit, true, 10001);
  EXPECT_DOUBLE_EQ(early.core.Counts(10000).unitsPerHour, 60.0);
}

// A unit's record carries what it sent and how long it took, as its worker told them.
TEST(StationCore, ARecordCarriesTheBytesSentAndTheTime) {
  Station station;
  const StationRecord record =
      station.Finish(Of(station.Look({Usb("S1", "P1")}), "P1"), DeviceOutcome::Verified);
  EXPECT_EQ(record.bytesSent, 1000u);
  EXPECT_EQ(record.ms, 2000u);
  EXPECT_EQ(record.serial, "S1");
  EXPECT_EQ(record.device.port, "P1");
}

TEST(StationCore, TheRateIsThatOfTheUnitsSendingNow) {
  Station station;
  const std::vector<StationAction> started = station.Look({Usb("S1", "P1"), Usb("S2", "P2")});
  const uint64_t a = Of(started, "P1").unit, b = Of(started, "P2").unit;
  ASSERT_TRUE(station.core.Proceed(a));
  ASSERT_TRUE(station.core.Proceed(b));
  station.core.Sent(a, 1000000, 0);
  station.core.Sent(a, 2000000, 500);
  station.core.Sent(b, 3000000, 0);
  EXPECT_DOUBLE_EQ(station.core.Counts(1000).megabytesPerSecond, 2.0 + 3.0);
  station.core.Ended(b, DeviceOutcome::Verified, 1000, "", false);  // its record is still due
  EXPECT_DOUBLE_EQ(station.core.Counts(1000).megabytesPerSecond, 2.0);
}

TEST(StationRecord, OneLineOfJsonWithEveryField) {
  StationRecord record;
  record.log = "5f0c3a2e-8d1b-4c6a-9e7f-0a1b2c3d4e5f";
  record.knownFrom = "fleet";
  record.unixMs = 1796713262345;  // 2026-12-08T07:01:02.345Z
  record.station = "LINE-3";
  record.sequence = 17;
  record.device = Usb("SN0001", "Port_#0002.Hub_#0004");
  record.serial = "SN0001";
  record.result = "verification-error";
  record.bytesSent = 4194304;
  record.ms = 3100;
  record.message = "Verification Error 다시 시도해 주세요.";
  const StationImage image{R"(C:\images\os.nb0)", 4194304, 534712169, std::string(64, 'f')};
  // One line, every field in its place, Windows paths escaped, Korean as it is.
  EXPECT_EQ(RecordLine(record, image),
            R"({"log": "5f0c3a2e-8d1b-4c6a-9e7f-0a1b2c3d4e5f", )"
            R"("time": "2026-12-08T07:01:02.345Z", "station": "LINE-3", "sequence": 17, )"
            R"("port": "Port_#0002.Hub_#0004", )"
            R"("path": "\\\\?\\usb#vid_1234&pid_5678#SN0001#{00873fdf-61a8-11d1-aa5e-00c04fb1728b}\\d", )"
            R"("instance": "USB\\VID_1234&PID_5678\\SN0001", "serial": "SN0001", )"
            R"("image": {"path": "C:\\images\\os.nb0", "size": 4194304, "byteSum": 534712169, )"
            R"("sha256": ")" + std::string(64, 'f') + R"("}, )"
            R"("result": "verification-error", "bytesSent": 4194304, "seconds": 3.1, )"
            R"("message": "Verification Error 다시 시도해 주세요.", "knownFrom": "fleet"})");
  // The fleet reads the same line into every column of its row.
  const fleet::ParsedLine parsed = fleet::ParseFleetLine(RecordLine(record, image));
  ASSERT_EQ(parsed.kind, fleet::ParsedLine::Row) << parsed.why;
  EXPECT_EQ(parsed.row.log, record.log);
  EXPECT_EQ(parsed.row.imageByteSum, 534712169u);
  EXPECT_EQ(parsed.row.seconds, "3.1");
  EXPECT_EQ(parsed.row.knownFrom, "fleet");
  EXPECT_EQ(IsoTimeMs(-1), "1969-12-31T23:59:59.999Z");
  EXPECT_EQ(IsoTimeMs(1796713262007), "2026-12-08T07:01:02.007Z");
  // Bytes that are not UTF-8 (a device's message, a path) become U+FFFD; the record stays.
  StationRecord odd = record;
  odd.message = "bad \xFF\xC3 bytes";
  odd.device.path = "\xE0\x80";
  const std::string oddLine = RecordLine(odd, image);
  EXPECT_NE(oddLine.find("\"message\": \"bad \xEF\xBF\xBD\xEF\xBF\xBD bytes\""), std::string::npos)
      << oddLine;
  EXPECT_EQ(ReadLogMemory(oddLine, std::string(64, 'f')).lastSequence, 17u);
  EXPECT_EQ(cli::StationUnitLine(record),
            "#17 port=Port_#0002.Hub_#0004 serial=SN0001: verification-error: Verification "
            "Error 다시 시도해 주세요.");
  record.result = "verified";
  record.serial.clear();
  EXPECT_EQ(cli::StationUnitLine(record),
            "#17 port=Port_#0002.Hub_#0004 serial=-: verified, 4194304 bytes in 3.1 s (1.4 MB/s)");
  // What the log memory reads back of it.
  const LogMemory memory = ReadLogMemory(RecordLine(record, image) + "\n", std::string(64, 'f'));
  EXPECT_EQ(memory.lastSequence, 17u);
  EXPECT_TRUE(memory.serials.empty()) << "an empty serial is no unit to remember";
  record.serial = "SN0001";
  EXPECT_TRUE(ReadLogMemory(RecordLine(record, image), std::string(64, 'f')).Verified("SN0001"));
}

// A log whose writer died mid-line: the torn line is no record (whatever it holds), and the
// records before it count; a whole record that lost only its newline is a record.
TEST(StationRecord, LogMemoryTailsAndOddLines) {
  const std::string sha(64, 'a');
  const std::string good = LogLine(8, "SN1", "verified", sha);  // with its newline
  const std::string whole = good.substr(0, good.size() - 1);
  const std::string zeroed = LogLine(9, std::string("SN\0\0", 4), "verified", sha);  // NUL bytes
  for (const std::string& tail :
       {std::string(R"({"sequence": 9, "serial": "SN2", "result": "veri)"), std::string(40, '\0'),
        whole.substr(0, whole.size() - 1), zeroed.substr(0, zeroed.size() - 1)}) {
    const LogMemory memory = ReadLogMemory(good + tail, sha);
    EXPECT_TRUE(memory.endsWithoutNewline);
    EXPECT_EQ(memory.lastSequence, 8u);
    EXPECT_EQ(memory.serials, (std::map<std::string, bool>{{"SN1", true}}));
  }
  const LogMemory lostNewline = ReadLogMemory(good + LogLine(9, "SN2", "verified", sha).substr(0, good.size() - 1), sha);
  EXPECT_TRUE(lostNewline.endsWithoutNewline);
  EXPECT_EQ(lostNewline.lastSequence, 9u);
  EXPECT_TRUE(lostNewline.Verified("SN2"));
  EXPECT_FALSE(ReadLogMemory(good, sha).endsWithoutNewline);
  EXPECT_FALSE(ReadLogMemory("", sha).endsWithoutNewline);

  // Lines that are JSON but not what a record holds are skipped, never thrown on.
  const std::string odd =
      R"({"sequence": 20, "result": "verified", "image": {"sha256": ")" + sha + "\"}}\n" +
      R"({"sequence": 21, "serial": 7, "result": "verified", "image": {"sha256": ")" + sha +
      "\"}}\n" +
      R"({"sequence": 22, "serial": null, "result": "verified", "image": {"sha256": ")" + sha +
      "\"}}\n" + R"({"sequence": -30, "image": {"sha256": ")" + sha + "\"}}\n" +
      R"({"sequence": 31.5, "serial": "SN4", "result": "verified"})" + "\n" +
      R"({"sequence": 40e1})" + "\n" + R"({"sequence": "50"})" + "\n" +
      R"({"sequence": 99999999999999999999})" + "\n" + "not json\r\n" +
      std::string(3, '\0') + "\n" + R"({"sequence": 60, "serial": "SN5"} trailing)" + "\n" +
      std::string(100, '[') + "\n" +
      R"({"serial": "SN7", "result": "verified", "copy": {"sha256": ")" + sha + "\"}}\n" +
      R"({"serial": "SN8", "result": "verified", "image": {"sha256": ")" + sha +
      R"("}, "serial": 8})" + "\n" +
      R"({"sequence": 23, "serial": "S\u004e6", "result": "verified", "image": {"path": "x", "sha256": ")" +
      sha + "\"}}\r\n";
  const LogMemory skipped = ReadLogMemory(good + odd, sha);
  EXPECT_EQ(skipped.lastSequence, 23u);
  EXPECT_EQ(skipped.serials, (std::map<std::string, bool>{{"SN1", true}, {"SN6", true}}));

  // Read a few bytes at a time, lines split anywhere; a second station on the same log wrote an
  // earlier sequence number after a later one.
  LogMemoryReader reader(sha);
  const std::string content = good + LogLine(9, "SN2", "already-verified", sha) + good +
                              LogLine(5, "SN2", "link-error", sha) + good.substr(0, 20);
  for (size_t i = 0; i < content.size(); i += 7) reader.Add(std::string_view(content).substr(i, 7));
  const LogMemory pieces = reader.Finish();
  EXPECT_TRUE(pieces.endsWithoutNewline);
  EXPECT_EQ(pieces.lastSequence, 9u);
  EXPECT_EQ(pieces.serials, (std::map<std::string, bool>{{"SN1", true}, {"SN2", false}}))
      << "the latest record of SN2 is a link error";
}

// The unit's latest record decides, whatever its image: a unit verified with this image and then
// flashed (or only tried) with another holds that other image. Such a later line is found however
// it is written: spaced with tabs, its serial escaped, split over the pieces read.
TEST(StationRecord, LogMemoryTakesTheLatestRecordOfAUnitWhateverItsImage) {
  const std::string sha(64, 'a'), other(64, 'b');
  const std::string log =
      LogLine(1, "SN-A", "verified", sha) + LogLine(2, "SN-B", "verified", sha) +
      LogLine(3, "SN-C", "verified", sha) + LogLine(4, "SN-D", "verified", other) +
      LogLine(5, "SN-E", "verified", sha) + LogLine(6, "SN-E", "verified", other) +
      LogLine(7, "SN-E", "already-verified", sha) +
      // Lower sequences than the highest (a second station on the log), so only the serial
      // makes them matter.
      LogLine(1, "SN-A", "verification-error", other) +
      "{\"sequence\":\t2,\t\"serial\"\t:\t\"SN-B\", \"image\": {\"sha256\": \"" + other +
      "\"}, \"result\": \"verified\"}\n" +
      R"({"sequence": 3, "serial": "SN\u002DC", "image": {"sha256": ")" + other +
      R"("}, "result": "link-error"})" + "\n" +
      // A serial that is only named in a message is no record of that unit.
      R"({"sequence": 4, "serial": "SN-Z", "message": "\"serial\": \"SN-E\"", "image": {"sha256": ")" +
      other + R"("}, "result": "verified"})" + "\n";
  LogMemoryReader reader(sha);
  for (size_t i = 0; i < log.size(); i += 5) reader.Add(std::string_view(log).substr(i, 5));
  const LogMemory memory = reader.Finish();
  EXPECT_EQ(memory.lastSequence, 7u);
  EXPECT_EQ(memory.serials, (std::map<std::string, bool>{
                                {"SN-A", false}, {"SN-B", false}, {"SN-C", false}, {"SN-E", true}}))
      << "a unit flashed with another image since is known as not holding this one";
}

// A log saved by Notepad begins with a byte order mark: the first record is read all the same,
// however the first bytes come; a file of fewer bytes than the mark holds no record.
TEST(StationRecord, LogMemoryReadsALogThatBeginsWithAByteOrderMark) {
  const std::string sha(64, 'a');
  const std::string log = "\xEF\xBB\xBF" + LogLine(41, "SN1", "verified", sha);
  for (size_t step : {1u, 2u, 4u, 1000u}) {
    LogMemoryReader reader(sha);
    for (size_t i = 0; i < log.size(); i += step) reader.Add(std::string_view(log).substr(i, step));
    const LogMemory memory = reader.Finish();
    EXPECT_EQ(memory.lastSequence, 41u) << step;
    EXPECT_TRUE(memory.Verified("SN1")) << step;
  }
  EXPECT_TRUE(ReadLogMemory("\xEF\xBB", sha).endsWithoutNewline);
  EXPECT_FALSE(ReadLogMemory("\xEF\xBB\xBF", sha).endsWithoutNewline);
}

// What a record's strings may hold is read back as the writer meant it: a tab escaped, escapes in
// capitals, a character beyond the basic plane as a surrogate pair; a line nested deeper than any
// record is no record, and no crash.
TEST(StationRecord, LogMemoryReadsEscapesAndRefusesDeepNesting) {
  const std::string sha(64, 'a');
  const auto line = [&](const std::string& serial) {
    return R"({"sequence": 5, "serial": ")" + serial + R"(", "message": "a\tb", "image": {"sha256": ")" +
           sha + R"("}, "result": "verified"})" + "\n";
  };
  const LogMemory memory =
      ReadLogMemory(line("T\\tAB") + line("\\u00C4\\u00e4") + line("\\uD83D\\uDE00"), sha);
  EXPECT_EQ(memory.serials, (std::map<std::string, bool>{
                                {"T\tAB", true}, {"\xC3\x84\xC3\xA4", true}, {"\xF0\x9F\x98\x80", true}}));
  EXPECT_EQ(memory.lastSequence, 5u);
  // A corrupted line of a million brackets, with a sequence that makes it worth parsing.
  const LogMemory deep =
      ReadLogMemory(R"({"sequence": 99, "x": )" + std::string(1000000, '[') + "\n" + line("SN9"), sha);
  EXPECT_TRUE(deep.Verified("SN9"));
  EXPECT_EQ(deep.lastSequence, 5u) << "no record";
}

// A line that names this image is read whatever its sequence number, one that does not only when
// it may raise the highest: the image's SHA-256 is found wherever it stands, after near misses
// too, and nothing else passes for it.
TEST(StationRecord, LogMemoryFindsTheImageAfterNearMisses) {
  const std::string sha = "9f2c41d07be3a5c8e1f60b2d94a7c3e58f1b06d2a9c4e7f3b5d81a0c6e2f49e1";
  std::string nearMiss = sha;
  nearMiss.back() = '0';
  const std::string high = LogLine(50, "SN0", "verified", std::string(64, 'b'));
  // Lower than 50, but it names the image, after a prefix of its SHA-256 and a near miss.
  const std::string named = R"({"sequence": 7, "serial": "SN1", "message": ")" + sha.substr(0, 40) +
                            nearMiss + R"(", "image": {"sha256": ")" + sha +
                            R"("}, "result": "verified"})" + "\n";
  // Its first "sequence" says 1, its own says 60: only a line that is parsed raises the highest.
  const auto nested = [](const std::string& message) {
    return R"({"image": {"sequence": 1}, "sequence": 60, "message": ")" + message + "\"}\n";
  };
  const LogMemory missed = ReadLogMemory(high + named + nested(nearMiss + sha.substr(1)), sha);
  EXPECT_EQ(missed.lastSequence, 50u) << "a near miss is not the image";
  EXPECT_EQ(missed.serials, (std::map<std::string, bool>{{"SN1", true}}));
  const LogMemory found = ReadLogMemory(high + named + nested("x" + sha), sha);
  EXPECT_EQ(found.lastSequence, 60u);
  EXPECT_EQ(ReadLogMemory(high + nested(sha), sha).lastSequence, 60u) << "at the start of a text";
}

// The figures a person reads come from the engine's counts, and agree with the records the log
// holds: a unit plugged in again after it verified is no new success, a cancelled unit no failure,
// and a record that could not be written is in no figure of the log.
TEST(StationCore, TheFiguresAgreeWithTheRecordsInTheLog) {
  Station station({.ports = {}, .maxDevices = 4});
  std::vector<std::string> log;  // the results of the records written, in order
  uint64_t notWritten = 0;
  auto record = [&](uint64_t unit, const std::string& result, bool written = true) {
    if (written) log.push_back(result); else ++notWritten;
    return station.Recorded(unit, written);
  };
  auto flash = [&](const PresentDevice& device, DeviceOutcome outcome, bool written = true) {
    std::vector<StationAction> started = station.Look({device});
    const uint64_t unit = Of(started, device.port).unit;
    EXPECT_TRUE(station.core.Proceed(unit));
    record(unit, station.core.Ended(unit, outcome, 2000, "", false).result, written);
    station.Look({});
    station.Look({});
  };
  // One unit verified, then plugged in again eight times; one that failed.
  std::vector<StationAction> first = station.Look({Usb("SN-V", "P1")});
  ASSERT_TRUE(station.core.Proceed(Of(first, "P1").unit));
  record(Of(first, "P1").unit,
         station.core.Ended(Of(first, "P1").unit, DeviceOutcome::Verified, 2000, "", false).result);
  station.Look({});
  station.Look({});
  for (int i = 0; i < 8; ++i) {
    std::vector<StationAction> again = station.Look({Usb("SN-V", "P1")});
    ASSERT_EQ(Told(again), Said{"record P1 already-verified"});
    record(Of(again, "P1", StationAction::Record).unit, "already-verified");
    station.Look({});
    station.Look({});
  }
  flash(Usb("SN-F", "P2"), DeviceOutcome::LinkError);
  // What the log says, counted here from its records.
  auto count = [&](const char* result) {
    return static_cast<uint64_t>(std::count(log.begin(), log.end(), result));
  };
  StationCounts counts = station.core.Counts(station.now);
  EXPECT_EQ(counts.tally.verified, count("verified"));
  EXPECT_EQ(counts.tally.alreadyVerified, count("already-verified"));
  EXPECT_EQ(counts.tally.failed, count("link-error"));
  EXPECT_EQ(counts.tally.yieldPercent(), 50) << "one of two flashes failed";
  EXPECT_EQ(cli::StationSummaryLine(counts),
            "station: 10 records, 1 verified, 8 already verified, 1 failed, 0 cancelled, 0 not "
            "in the log, yield 50 %");

  // Two more verified: 3 of 4, then a unit whose line could not be written (in no figure of the
  // log, told apart), and a cancelled one (no failure).
  flash(Usb("SN-A", "P3"), DeviceOutcome::Verified);
  flash(Usb("SN-B", "P4"), DeviceOutcome::Verified);
  EXPECT_EQ(station.core.Counts(station.now).tally.yieldPercent(), 75);
  std::vector<StationAction> cancelled = station.Look({Usb("SN-C", "P5"), Usb("SN-D", "P6")});
  ASSERT_TRUE(station.core.Proceed(Of(cancelled, "P5").unit));
  ASSERT_TRUE(station.core.Proceed(Of(cancelled, "P6").unit));
  station.core.Stop();
  record(Of(cancelled, "P5").unit,
         station.core.Ended(Of(cancelled, "P5").unit, DeviceOutcome::LinkError, 10, "", true)
             .result);
  record(Of(cancelled, "P6").unit,
         station.core.Ended(Of(cancelled, "P6").unit, DeviceOutcome::Verified, 10, "", false)
             .result,
         false);
  counts = station.core.Counts(station.now);
  EXPECT_EQ(counts.tally.cancelled, count("cancelled"));
  EXPECT_EQ(counts.tally.notInLog, notWritten);
  EXPECT_EQ(counts.tally.verified, count("verified"));
  EXPECT_EQ(counts.tally.yieldPercent(), 75);
  // The rate counts the flashes that verified (3), not the units plugged in again.
  EXPECT_DOUBLE_EQ(counts.unitsPerHour, 3 * 60.0) << "3 within the first minute";
  EXPECT_EQ(cli::StationStatusLine(counts),
            "flashing 0, waiting 0, verified 3, already verified 8, failed 1, cancelled 1, not "
            "in the log 1, yield 75 %, 0.0 MB/s");

  EXPECT_EQ(YieldPercent(2, 1), 67) << "rounded to the nearest";
  EXPECT_EQ(YieldPercent(1, 2), 33);
  EXPECT_EQ(YieldPercent(0, 3), 0);
  EXPECT_EQ(YieldPercent(0, 0), -1);
}

// Ctrl+C (or Stop) with one unit flashing and one whose pipes are being tried again: both are
// recorded as cancelled with the stop's own words, not the error a cancelled call ran into, and
// the station ends only once both records are written. A unit known as verified whose record is
// still being written holds the end too, and counts against --count.
TEST(StationCore, EveryUnitTouchedEndsWithARecordWhenTheStationStops) {
  LogMemory memory;
  memory.serials["OLD"] = true;
  Station station({.ports = {}, .maxDevices = 4, .count = 4}, memory);
  const std::vector<PresentDevice> present = {Usb("S1", "P1"), Usb("S2", "P2"),
                                              Usb("OLD", "P3"), Usb("S4", "P4"), Usb("S5", "P5")};
  std::vector<StationAction> started = station.Look(present);
  EXPECT_EQ(Told(started), (Said{"open P1", "open P2", "record P3 already-verified", "open P4"}))
      << "four records to come: the fifth unit may not start";
  const uint64_t flashing = Of(started, "P1").unit, retrying = Of(started, "P2").unit;
  ASSERT_TRUE(station.core.Proceed(flashing));
  ASSERT_TRUE(station.core.Proceed(retrying));
  EXPECT_FALSE(station.core.OpenFailed(retrying, station.now, "Failed to open PIPE00").has_value());
  std::vector<StationAction> instead;
  ASSERT_TRUE(station.core.Proceed(Of(started, "P4").unit));
  station.core.Ended(Of(started, "P4").unit, DeviceOutcome::Verified, 100, "", false);
  station.Recorded(Of(started, "P4").unit, true);
  EXPECT_EQ(station.core.Counts(station.now).flashing, 2)
      << "the unit whose pipes will be tried again is in flight: it will have a record";
  EXPECT_EQ(station.core.Counts(station.now).waiting, 1u);

  const std::vector<StationAction> stopped = station.core.Stop();
  ASSERT_EQ(Told(stopped), (Said{"record P2 cancelled", "not-started P5"}));
  EXPECT_EQ(stopped[0].record.message, TEXT_UNIT_CANCELLED);
  const StationRecord cut =
      station.core.Ended(flashing, DeviceOutcome::LinkError, 700, "check the USB cable", true);
  EXPECT_EQ(cut.result, "cancelled");
  EXPECT_EQ(cut.message, TEXT_UNIT_CANCELLED) << "not the cancelled call's error";
  station.Recorded(flashing, true);
  station.Recorded(retrying, true);
  EXPECT_FALSE(station.core.Finished()) << "the known unit's record is still being written";
  station.Recorded(Of(started, "P3", StationAction::Record).unit, true);
  EXPECT_TRUE(station.core.Finished());
  EXPECT_EQ(station.core.Counts(station.now).tally.cancelled, 2u);
  EXPECT_EQ(station.core.Counts(station.now).tally.records(), 4u);
}

// After a line that could not be written, the unit whose pipes were being tried again is recorded
// (it was touched) and the units that wait for a slot are told they will not be flashed.
TEST(StationCore, ALogFailureEndsTheUnitsThatWaitForTheirPipesOrASlot) {
  Station station({.ports = {}, .maxDevices = 2});
  std::vector<StationAction> started =
      station.Look({Usb("S1", "P1"), Usb("S2", "P2"), Usb("S3", "P3")});
  ASSERT_EQ(Told(started), (Said{"open P1", "open P2", "waiting P3"}));
  ASSERT_TRUE(station.core.Proceed(Of(started, "P1").unit));
  ASSERT_TRUE(station.core.Proceed(Of(started, "P2").unit));
  EXPECT_FALSE(station.core.OpenFailed(Of(started, "P2").unit, station.now, "busy").has_value());
  station.core.Ended(Of(started, "P1").unit, DeviceOutcome::Verified, 100, "", false);
  const std::vector<StationAction> after = station.Recorded(Of(started, "P1").unit, false);
  ASSERT_EQ(Told(after), (Said{"record P2 cancelled", "not-started P3"}));
  EXPECT_EQ(after[0].record.message, TEXT_UNIT_NOT_FLASHED);
  EXPECT_FALSE(station.core.Finished());
  station.Recorded(Of(started, "P2").unit, false);
  EXPECT_TRUE(station.core.Finished());
  EXPECT_EQ(station.core.Counts(station.now).tally.notInLog, 2u);

  // A unit whose pipes were being tried again and that is pulled meanwhile ends with a record.
  Station pulled;
  started = pulled.Look({Usb("S1", "P1")});
  ASSERT_TRUE(pulled.core.Proceed(Of(started, "P1").unit));
  EXPECT_FALSE(pulled.core.OpenFailed(Of(started, "P1").unit, pulled.now, "busy").has_value());
  ASSERT_EQ(Told(pulled.Look({})), Said{"open P1"}) << "missed once: tried again";
  ASSERT_TRUE(pulled.core.Proceed(Of(started, "P1").unit));
  EXPECT_FALSE(pulled.core.OpenFailed(Of(started, "P1").unit, pulled.now, "busy").has_value());
  const std::vector<StationAction> gone = pulled.Look({});
  ASSERT_EQ(Told(gone), Said{"record P1 link-error"});
  EXPECT_EQ(gone[0].record.message, "busy");
  EXPECT_EQ(Told(pulled.Recorded(Of(started, "P1").unit, true)), Said{"departed P1"});
}

TEST(StationCore, PortsCompareWithoutRegardToCase) {
  EXPECT_TRUE(PortAllowed("PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)", {"pciroot(0)#pci(1400)*"}));
  EXPECT_TRUE(PortAllowed("Port_#0002.Hub_#0001", {"PORT_#0002.HUB_#0001"}));
  EXPECT_FALSE(PortAllowed("Port_#0002.Hub_#0001", {"PORT_#0002.HUB_#0002"}));
  EXPECT_FALSE(PortAllowed("Port_#0002", {"Port_#0002.Hub*"}));
}

TEST(StationCore, SerialIsTheLastPartOfAUsbInstanceIdWithoutAmpersand) {
  EXPECT_EQ(SerialOf("USB\\VID_1234&PID_5678\\SN0001"), "SN0001");
  EXPECT_EQ(SerialOf("usb\\vid_1234&pid_5678\\0123456789AB"), "0123456789AB");
  EXPECT_EQ(SerialOf("USB\\VID_1234&PID_5678\\5&2A3B4C5D&0&2"), "");
  EXPECT_EQ(SerialOf("ROOT\\SIMDEV\\0000"), "");
  EXPECT_EQ(SerialOf("USBSTOR\\VID_1234&PID_5678\\SN0001"), "");
  EXPECT_EQ(SerialOf("USB\\VID_1234&PID_5678&MI_00\\7&1&0"), "");
  EXPECT_EQ(SerialOf("USB\\VID_1234&PID_5678\\"), "");
  EXPECT_EQ(SerialOf("USB\\VID_1234\\SN0001"), "");
  EXPECT_EQ(SerialOf("USB\\VID_1234&PID_5678\\SN\\1"), "");
}


// A station with a database: the core, the fleet's lookup on a thread of its own with the bound
// the runner gives it, over the database in memory, and the lookup's clock. The unit with a serial number is
// asked about as it arrives; the runner takes the answers as the lookup wakes it.
struct FleetStation {
  explicit FleetStation(bool reachable = true, LogMemory memory = {},
                        StationSettings settings = {})
      : db(std::make_shared<test::MemoryStore::Shared>()),
        lookup(Store(db, reachable), clock, {.answerWithinMs = STATION_FLEET_WAIT_MS}),
        core(std::move(settings), std::move(memory), &lookup, kSha),
        running([this] { lookup.Run(); },
                [this] {
                  Hold(false);
                  lookup.Stop();
                }) {}
  static std::unique_ptr<test::MemoryStore> Store(std::shared_ptr<test::MemoryStore::Shared> db,
                                                  bool reachable) {
    db->reachable = reachable;
    auto store = std::make_unique<test::MemoryStore>(std::move(db));
    store->Connect();  // as the start check leaves it
    return store;
  }
  // A record of `serial` in another station's log, `minutes` past 10:00.
  void Fleet(const std::string& serial, const std::string& result, int minutes,
             const std::string& sha = kSha) {
    fleet::FleetRow row;
    row.log = "00000000-1111-4222-8333-444444444444";
    row.sequence = db->rows.size() + 1;
    row.time = "2026-12-08T10:" + std::string(minutes < 10 ? "0" : "") + std::to_string(minutes) +
               ":00.000Z";
    row.station = "A";
    row.serial = serial;
    row.result = result;
    row.imageSha256 = sha;
    db->rows[{row.log, row.sequence}] = row;
  }
  // A slow database: its lookups wait until released.
  void Hold(bool hold) {
    {
      std::lock_guard lock(db->mutex);
      db->holdLookups = hold;
    }
    db->released.notify_all();
  }
  std::vector<StationAction> Look(const std::vector<PresentDevice>& present) {
    now += STATION_POLL_INTERVAL_MS;
    return core.Poll(present, true, now);
  }
  // The answers as the runner takes them, until every unit is decided (at most 5 s; the slots
  // are enough for all of them, so none waits for one).
  std::vector<StationAction> Answers() {
    std::vector<StationAction> all;
    test::Within(5000, [&] {
      const std::vector<StationAction> more = core.FleetAnswers();
      all.insert(all.end(), more.begin(), more.end());
      return core.Waiting() == 0;
    });
    return all;
  }
  static inline const std::string kSha = std::string(64, 'a');
  test::FakeClock clock;
  std::shared_ptr<test::MemoryStore::Shared> db;
  fleet::FleetLookup lookup;
  StationCore core;
  test::Running running;
  uint32_t now = 1000;
};

// A database that does not answer delays a unit with a serial number by 2 s at most, and nobody
// else: a unit without a serial number, and the units after it, start at once;
// the late answer is then not taken, and while that call still hangs a new unit waits for
// nothing.
TEST(StationFleet, ASlowDatabaseDelaysAUnitAtMostItsBoundAndHoldsNobodyElse) {
  FleetStation station;
  station.Fleet("SN-1", "verified", 1);
  station.Hold(true);
  std::vector<StationAction> first =
      station.Look({Usb("SN-1", "P1"), NoSerial("P2"), Usb("SN-3", "P3")});
  EXPECT_EQ(Told(first), Said{"open P2"}) << "P1 and P3 wait for the fleet in their places";
  EXPECT_EQ(Of(first, "P2").record.knownFrom, "none");
  ASSERT_TRUE(test::Within(5000, [&] {
    std::lock_guard lock(station.db->mutex);
    return station.db->lookupsHeld == 1;
  })) << "the lookup's call hangs in the database";
  // The bound is 2 s.
  station.clock.Advance(1999);
  EXPECT_TRUE(station.core.FleetAnswers().empty());
  EXPECT_EQ(station.core.FleetDueInMs(), 1u) << "the runner sleeps no longer";
  station.clock.Advance(1);
  const std::vector<StationAction> late = station.core.FleetAnswers();
  EXPECT_EQ(Told(late), (Said{"open P1", "open P3"})) << "in arrival order, decided from the log";
  EXPECT_EQ(station.core.FleetDueInMs(), UINT32_MAX);
  // A unit arriving while the call still hangs is decided at once.
  EXPECT_EQ(Told(station.Look({Usb("SN-1", "P1"), NoSerial("P2"), Usb("SN-3", "P3"),
                               Usb("SN-4", "P4")})),
            Said{"open P4"});
  // Each record says its own log decided (the fleet's "verified" of SN-1 came too late).
  ASSERT_TRUE(station.core.Proceed(Of(late, "P1").unit));
  EXPECT_EQ(station.core.Ended(Of(late, "P1").unit, DeviceOutcome::Verified, 10, "", false)
                .knownFrom,
            "log");
  station.Hold(false);
  EXPECT_TRUE(test::Within(5000, [&] { return station.lookup.Reachable(); }));
  EXPECT_TRUE(station.core.FleetAnswers().empty()) << "the late answer is not taken";
}

// While the database is known to be unreachable, a unit waits for nothing: it is decided from
// the station's own log in the listing that found it.
TEST(StationFleet, AnUnreachableDatabaseDelaysNobody) {
  LogMemory memory;
  memory.serials["SN-OLD"] = true;
  FleetStation station(false, memory);
  const std::vector<StationAction> actions =
      station.Look({Usb("SN-OLD", "P1"), Usb("SN-NEW", "P2")});
  EXPECT_EQ(Told(actions), (Said{"record P1 already-verified", "open P2"}));
  EXPECT_EQ(Of(actions, "P1", StationAction::Record).record.knownFrom, "log");
  EXPECT_EQ(station.core.FleetDueInMs(), UINT32_MAX);
}

// The unit's latest record anywhere decides: a unit verified with this image at another station
// is already verified here; one whose latest record there failed, or holds another image, is
// flashed; a failure in this station's own log that the database does not have yet is not
// outvoted by an older success elsewhere; a unit the fleet does not know is decided by the log.
// Each record says which knowledge decided; --reflash asks nobody.
TEST(StationFleet, TheLatestRecordAnywhereDecidesAndTheRecordSaysWhoKnew) {
  LogMemory memory;
  memory.serials["SN-LOCALFAIL"] = false;
  memory.serials["SN-OLDLOG"] = true;
  FleetStation station(true, memory);
  station.Fleet("SN-VERIFIED", "verification-error", 1);
  station.Fleet("SN-VERIFIED", "verified", 2);
  station.Fleet("SN-SKIPPED", "already-verified", 3);
  station.Fleet("SN-FAILED", "verified", 1);
  station.Fleet("SN-FAILED", "link-error", 4);
  station.Fleet("SN-OTHER", "verified", 5, std::string(64, 'b'));
  station.Fleet("SN-LOCALFAIL", "verified", 6);
  const std::vector<StationAction> arrived = station.Look(
      {Usb("SN-VERIFIED", "P1"), Usb("SN-SKIPPED", "P2"), Usb("SN-FAILED", "P3"),
       Usb("SN-OTHER", "P4"), Usb("SN-LOCALFAIL", "P5"), Usb("SN-OLDLOG", "P6"),
       Usb("SN-NONE", "P7"), NoSerial("P8")});
  EXPECT_EQ(Told(arrived), Said{"open P8"});
  const std::vector<StationAction> decided = station.Answers();
  EXPECT_EQ(Told(decided),
            (Said{"record P1 already-verified", "record P2 already-verified", "open P3", "open P4",
                  "open P5", "record P6 already-verified", "open P7"}));
  for (const char* port : {"P1", "P2", "P6"})
    EXPECT_EQ(Of(decided, port, StationAction::Record).record.knownFrom, "fleet") << port;
  ASSERT_TRUE(station.core.Proceed(Of(decided, "P3").unit));
  EXPECT_EQ(station.core.Ended(Of(decided, "P3").unit, DeviceOutcome::Verified, 10, "", false)
                .knownFrom,
            "fleet");

  // Within a run: a unit that fails here is flashed when it comes back, although the fleet's
  // latest record (not yet this failure) says verified.
  ASSERT_TRUE(station.core.Proceed(Of(decided, "P5").unit));
  station.core.Ended(Of(decided, "P5").unit, DeviceOutcome::LinkError, 10, "", false);
  station.core.Recorded(Of(decided, "P5").unit, true, station.now);
  station.Look({});
  station.Look({});
  station.Fleet("SN-VERIFIED2", "verified", 7);
  EXPECT_EQ(Told(station.Look({Usb("SN-LOCALFAIL", "P5"), Usb("SN-VERIFIED2", "P9")})), Said{});
  EXPECT_EQ(Told(station.Answers()), (Said{"open P5", "record P9 already-verified"}));

  FleetStation reflash(true, {}, {.ports = {}, .maxDevices = 16, .count = 0, .reflash = true});
  reflash.Fleet("SN-VERIFIED", "verified", 2);
  const std::vector<StationAction> flashed = reflash.Look({Usb("SN-VERIFIED", "P1")});
  EXPECT_EQ(Told(flashed), Said{"open P1"}) << "at once: nobody is asked";
  ASSERT_TRUE(reflash.core.Proceed(Of(flashed, "P1").unit));
  EXPECT_EQ(reflash.core.Ended(Of(flashed, "P1").unit, DeviceOutcome::Verified, 10, "", false)
                .knownFrom,
            "none");
}

// Without a database the station's own log decides, and says so.
TEST(StationFleet, WithoutADatabaseTheLogDecidesAndSaysSo) {
  LogMemory memory;
  memory.serials["SN-OLD"] = true;
  Station station({}, memory);
  const std::vector<StationAction> actions = station.Look({Usb("SN-OLD", "P1"), NoSerial("P2")});
  EXPECT_EQ(Of(actions, "P1", StationAction::Record).record.knownFrom, "log");
  EXPECT_EQ(station.core.FleetDueInMs(), UINT32_MAX);
  EXPECT_EQ(station.Finish(Of(actions, "P2"), DeviceOutcome::Verified).knownFrom, "none");
}

// A log's identity: a version 4 UUID in lower case, whatever the random bytes; and a log's
// memory takes the identity of its last line that has one.
TEST(StationRecord, ALogsIdentityIsAVersionFourUuidKeptFromItsLastLineThatHasOne) {
  const uint8_t ones[16] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                            0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  const uint8_t zeros[16] = {};
  EXPECT_EQ(LogIdentity(ones), "ffffffff-ffff-4fff-bfff-ffffffffffff");
  EXPECT_EQ(LogIdentity(zeros), "00000000-0000-4000-8000-000000000000");
  EXPECT_TRUE(fleet::IsLogIdentity(LogIdentity(ones)));
  const std::string sha(64, 'a');
  const std::string a = "0123abcd-0000-4000-8000-000000000001";
  const std::string b = "0123abcd-0000-4000-8000-000000000002";
  auto line = [&](const std::string& identity, uint64_t sequence) {
    return R"({"log": ")" + identity + R"(", "sequence": )" + std::to_string(sequence) +
           R"(, "serial": "S", "image": {"sha256": ")" + sha + R"("}, "result": "verified"})" +
           "\n";
  };
  EXPECT_EQ(ReadLogMemory(LogLine(1, "S", "verified", sha), sha).identity, "")
      << "a log written before logs had an identity";
  EXPECT_EQ(ReadLogMemory(LogLine(1, "S", "verified", sha) + line(a, 2), sha).identity, a);
  EXPECT_EQ(ReadLogMemory(line(a, 1) + line(b, 2) + LogLine(3, "S", "verified", sha), sha).identity,
            b)
      << "the last line that has one";
  EXPECT_EQ(ReadLogMemory(line(a, 1) + R"({"log": "NOT-A-UUID", "sequence": 2})" + "\n", sha)
                .identity,
            a);
}

}  // namespace
}  // namespace pelorin::station
