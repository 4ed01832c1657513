// The station's decisions, a poll at a time: which devices start, wait, are skipped or
// forgotten, how a device that does not open is retried, when the station ends and how, and the
// production log's records and memory.
#include "station_core.h"

#include <gtest/gtest.h>


namespace pelorin::cli {
namespace {

PresentDevice Usb(const std::string& serial, const std::string& port) {
  return {"\\\\?\\usb#vid_1234&pid_5678#" + serial + "#{00873fdf-61a8-11d1-aa5e-00c04fb1728b}\\d",
          "USB\\VID_1234&PID_5678\\" + serial, port};
}

// The actions of a poll as "open P" / "record P result", P the device's port.
std::vector<std::string> Told(const std::vector<StationAction>& actions) {
  std::vector<std::string> out;
  for (const StationAction& a : actions) {
    out.push_back(a.kind == StationAction::Open ? "open " + a.present.port
                                                : "record " + a.present.port + " " + a.record.result);
  }
  return out;
}

// Runs a device the core started to its end, its record written.
void Finish(StationCore& core, const StationAction& action, DeviceOutcome outcome,
            bool written = true) {
  core.Opened(action.device, 0);
  core.Sent(action.device, 1000, 10);
  core.Ended(action.device, outcome, 2000, "");
  core.Recorded(action.device, written);
}

TEST(StationCore, StartsEachArrivalOnceAndForgetsItWhenItLeaves) {
  StationCore core({}, {});
  const PresentDevice a{"path-a", "USB\\VID_1234&PID_5678\\6&2A3B&0&1", "P1"};
  const PresentDevice b{"path-b", "USB\\VID_1234&PID_5678\\6&2A3B&0&2", "P2"};
  EXPECT_TRUE(core.Poll({}).empty());
  EXPECT_FALSE(core.Finished()) << "a station runs until it is stopped, also with nothing to do";
  std::vector<StationAction> first = core.Poll({a});
  EXPECT_EQ(Told(first), std::vector<std::string>{"open P1"});
  EXPECT_EQ(first[0].serial, "") << "an id with & has no serial number";
  // Present and running, then ended: never started again while it stays.
  EXPECT_EQ(Told(core.Poll({a, b})), std::vector<std::string>{"open P2"});
  Finish(core, first[0], DeviceOutcome::Verified);
  EXPECT_TRUE(core.Poll({a, b}).empty());
  EXPECT_TRUE(core.Poll({b, a}).empty());
  // It leaves: the next unit in that port is new, although its path is the same.
  EXPECT_TRUE(core.Poll({b}).empty());
  EXPECT_EQ(Told(core.Poll({a, b})), std::vector<std::string>{"open P1"});
}

TEST(StationCore, AUnitTheLogShowsVerifiedWithThisImageIsNotFlashedAgain) {
  const std::string sha(64, 'a');
  const std::string log =
      R"({"sequence": 4, "serial": "SN1", "result": "verified", "image": {"sha256": ")" + sha +
      "\"}}\n" + R"({"sequence": 5, "serial": "SN2", "result": "verified", "image": {"sha256": ")" +
      std::string(64, 'b') + "\"}}\n" +
      R"({"sequence": 6, "serial": "SN3", "result": "link-error", "image": {"sha256": ")" + sha +
      "\"}}\n";
  const LogMemory memory = ReadLogMemory(log, sha);
  EXPECT_EQ(memory.lastSequence, 6u);
  EXPECT_EQ(memory.verifiedSerials, std::set<std::string>{"SN1"});

  StationCore core({}, memory);
  EXPECT_EQ(Told(core.Poll({Usb("SN1", "P1"), Usb("SN2", "P2"), Usb("SN3", "P3")})),
            (std::vector<std::string>{"record P1 already-verified", "open P2", "open P3"}));
  // A unit verified by this station is known from then on too.
  StationCore fresh({}, {});
  std::vector<StationAction> started = fresh.Poll({Usb("SN9", "P1")});
  Finish(fresh, started.at(0), DeviceOutcome::Verified);
  EXPECT_TRUE(fresh.Poll({}).empty());
  EXPECT_EQ(Told(fresh.Poll({Usb("SN9", "P4")})),
            std::vector<std::string>{"record P4 already-verified"});

  StationSettings again;
  again.reflash = true;
  StationCore reflash(again, memory);
  EXPECT_EQ(Told(reflash.Poll({Usb("SN1", "P1")})), std::vector<std::string>{"open P1"});
}

TEST(StationCore, PipesThatDoNotOpenAreTriedForFiveSecondsThenRecordedOnce) {
  StationCore core({.ports = {}, .maxDevices = 1}, {});
  const PresentDevice a = Usb("SN1", "P1");
  const PresentDevice b = Usb("SN2", "P2");
  uint32_t now = 1000;
  std::vector<StationAction> actions = core.Poll({a, b});
  ASSERT_EQ(Told(actions), std::vector<std::string>{"open P1"});
  for (; now < 1000 + 5000; now += 500) {
    EXPECT_FALSE(core.OpenFailed(actions[0].device, now, "Failed to open").has_value()) << now;
    actions = core.Poll({a, b});
    ASSERT_EQ(Told(actions), std::vector<std::string>{"open P1"})
        << "tried again at " << now << ", still first in line";
  }
  std::optional<StationRecord> record = core.OpenFailed(actions[0].device, now, "Failed to open");
  ASSERT_TRUE(record.has_value());
  EXPECT_EQ(record->result, "link-error");
  EXPECT_EQ(record->message, "Failed to open");
  core.Recorded(actions[0].device, true);
  EXPECT_EQ(Told(core.Poll({a, b})), std::vector<std::string>{"open P2"})
      << "remembered: recorded once";
  EXPECT_EQ(core.ExitStatus(), EXIT_DEVICE_FAILED);

  // After Ctrl+C nothing is tried again: the failure is recorded at once, and the station ends
  // only once that record is written.
  StationCore stopping({}, {});
  actions = stopping.Poll({a});
  stopping.Stop();
  ASSERT_TRUE(stopping.OpenFailed(actions.at(0).device, 1000, "Failed to open").has_value());
  EXPECT_FALSE(stopping.Finished()) << "its record is still being written";
  stopping.Recorded(actions[0].device, true);
  EXPECT_TRUE(stopping.Finished());
}

TEST(StationCore, PortsOutsideTheAllowListAreLeftAlone) {
  StationCore core({.ports = {"Port_#0002.Hub_#0001", "PCIROOT(0)#PCI(1400)#USB(1)*"}}, {});
  EXPECT_EQ(Told(core.Poll({Usb("A", "Port_#0002.Hub_#0001"), Usb("B", "Port_#0002.Hub_#00010"),
                            Usb("C", "PCIROOT(0)#PCI(1400)#USB(1)#USB(3)"),
                            Usb("D", "PCIROOT(0)#PCI(1400)#USB(2)"), Usb("E", "")})),
            (std::vector<std::string>{"open Port_#0002.Hub_#0001",
                                      "open PCIROOT(0)#PCI(1400)#USB(1)#USB(3)"}));
}

TEST(StationCore, DevicesBeyondTheSlotsWaitInArrivalOrder) {
  LogMemory memory;
  memory.verifiedSerials = {"OLD"};
  StationSettings two;
  two.maxDevices = 2;
  StationCore core(two, memory);
  std::vector<StationAction> first = core.Poll({Usb("S1", "P1"), Usb("S2", "P2"), Usb("S3", "P3")});
  EXPECT_EQ(Told(first), (std::vector<std::string>{"open P1", "open P2"}));
  // A later arrival waits; a known unit needs no slot; P3, pulled while it waited, is forgotten.
  EXPECT_EQ(Told(core.Poll({Usb("S4", "P4"), Usb("S1", "P1"), Usb("S2", "P2"), Usb("OLD", "P5")})),
            std::vector<std::string>{"record P5 already-verified"});
  EXPECT_EQ(core.StatusLine(0).substr(0, 21), "flashing 2, waiting 1");
  Finish(core, first[1], DeviceOutcome::VerificationError);
  // Plugged in again, it is a new arrival behind P4.
  EXPECT_EQ(Told(core.Poll({Usb("S1", "P1"), Usb("S2", "P2"), Usb("S3", "P3"), Usb("S4", "P4")})),
            std::vector<std::string>{"open P4"});
  // A device's slot is free only once its record is written.
  core.Ended(first[0].device, DeviceOutcome::Verified, 1000, "");
  EXPECT_TRUE(core.Poll({Usb("S1", "P1"), Usb("S3", "P3"), Usb("S4", "P4")}).empty());
  core.Recorded(first[0].device, true);
  EXPECT_EQ(Told(core.Poll({Usb("S3", "P3"), Usb("S4", "P4")})),
            std::vector<std::string>{"open P3"});
}

TEST(StationCore, CountEndsTheStationAfterThatManyRecords) {
  LogMemory memory;
  memory.verifiedSerials = {"OLD"};
  StationSettings settings;
  settings.count = 3;
  StationCore core(settings, memory);
  std::vector<StationAction> started =
      core.Poll({Usb("OLD", "P0"), Usb("S1", "P1"), Usb("S2", "P2"), Usb("S3", "P3")});
  EXPECT_EQ(Told(started),
            (std::vector<std::string>{"record P0 already-verified", "open P1", "open P2"}))
      << "no more devices than records to come, the known unit's among them";
  core.Recorded(started[0].device, true);
  Finish(core, started[1], DeviceOutcome::Verified);
  EXPECT_TRUE(core.Poll({Usb("S2", "P2"), Usb("S3", "P3")}).empty());
  EXPECT_FALSE(core.Finished());
  Finish(core, started[2], DeviceOutcome::Verified);
  EXPECT_TRUE(core.Finished());
  EXPECT_EQ(core.ExitStatus(), EXIT_VERIFIED);
  EXPECT_EQ(core.SummaryLine(), "station: 3 records, 3 verified, 0 failed, 0 cancelled");
}

TEST(StationCore, CtrlCCancelsTheDevicesInFlightAndStartsNothing) {
  StationCore core({.ports = {}, .maxDevices = 4}, {});
  const std::vector<PresentDevice> present = {Usb("S1", "P1"), Usb("S2", "P2"), Usb("S3", "P3"),
                                              Usb("S4", "P4"), Usb("S5", "P5")};
  std::vector<StationAction> started = core.Poll(present);
  ASSERT_EQ(started.size(), 4u);
  Finish(core, started[0], DeviceOutcome::VerificationError);  // before Ctrl+C
  core.Opened(started[1].device, 0);
  core.Opened(started[2].device, 0);
  core.Stop();
  // The glue had not opened the fourth yet: it is left alone; the fifth waits no more.
  core.Withdraw(started[3].device);
  EXPECT_EQ(core.Waiting(), 0u);
  EXPECT_TRUE(core.Poll(present).empty());
  EXPECT_FALSE(core.Finished()) << "devices in flight";
  StationRecord cancelled = core.Ended(started[1].device, DeviceOutcome::LinkError, 500, "");
  EXPECT_EQ(cancelled.result, "cancelled");
  core.Recorded(started[1].device, true);
  // A verdict that came all the same stands.
  EXPECT_EQ(core.Ended(started[2].device, DeviceOutcome::Verified, 500, "").result, "verified");
  EXPECT_FALSE(core.Finished()) << "its record is not written yet";
  core.Recorded(started[2].device, true);
  EXPECT_TRUE(core.Finished());
  EXPECT_EQ(core.ExitStatus(), EXIT_CANCELLED) << "Ctrl+C, whatever failed before";
}

TEST(StationCore, ARecordThatCannotBeWrittenStopsTheStation) {
  StationCore core({}, {});
  std::vector<StationAction> started = core.Poll({Usb("S1", "P1"), Usb("S2", "P2")});
  Finish(core, started[0], DeviceOutcome::Verified, false);
  EXPECT_TRUE(core.Poll({Usb("S1", "P1"), Usb("S2", "P2"), Usb("S3", "P3")}).empty())
      << "nothing new starts";
  EXPECT_FALSE(core.Finished()) << "the device in flight finishes";
  Finish(core, started[1], DeviceOutcome::Verified);
  EXPECT_TRUE(core.Finished());
  EXPECT_EQ(core.ExitStatus(), EXIT_RECORD_NOT_WRITTEN);
}

TEST(StationRecord, OneLineOfJsonWithEveryField) {
  StationRecord record;
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
            R"({"time": "2026-12-08T07:01:02.345Z", "station": "LINE-3", "sequence": 17, )"
            R"("port": "Port_#0002.Hub_#0004", )"
            R"("path": "\\\\?\\usb#vid_1234&pid_5678#SN0001#{00873fdf-61a8-11d1-aa5e-00c04fb1728b}\\d", )"
            R"("instance": "USB\\VID_1234&PID_5678\\SN0001", "serial": "SN0001", )"
            R"("image": {"path": "C:\\images\\os.nb0", "size": 4194304, "byteSum": 534712169, )"
            R"("sha256": ")" + std::string(64, 'f') + R"("}, )"
            R"("result": "verification-error", "bytesSent": 4194304, "seconds": 3.1, )"
            R"("message": "Verification Error 다시 시도해 주세요."})");
  EXPECT_EQ(IsoTimeMs(-1), "1969-12-31T23:59:59.999Z");
  EXPECT_EQ(StationCore::DeviceLine(record),
            "#17 port=Port_#0002.Hub_#0004 serial=SN0001: verification-error: Verification "
            "Error 다시 시도해 주세요.");
  record.result = "verified";
  record.serial.clear();
  EXPECT_EQ(StationCore::DeviceLine(record),
            "#17 port=Port_#0002.Hub_#0004 serial=-: verified, 4194304 bytes in 3.1 s (1.4 MB/s)");
}

// A log whose writer died mid-line: the torn line is no record (whatever it holds), and the
// records before it count.
TEST(StationRecord, LogMemoryStopsAtATornTail) {
  const std::string sha(64, 'a');
  const std::string good = R"({"sequence": 8, "serial": "SN1", "result": "verified", "image": {"sha256": ")" + sha + "\"}}";
  for (const std::string& tail :
       {std::string(R"({"sequence": 9, "serial": "SN2", "result": "veri)"), std::string(40, '\0'),
        good.substr(0, good.size() - 1)}) {
    const LogMemory memory = ReadLogMemory(good + "\n" + tail, sha);
    EXPECT_TRUE(memory.tornTail);
    EXPECT_EQ(memory.lastSequence, 8u);
    EXPECT_EQ(memory.verifiedSerials, std::set<std::string>{"SN1"});
  }
  const LogMemory whole = ReadLogMemory(good + "\r\nnot json\n" + std::string(3, '\0') + "\n", sha);
  EXPECT_FALSE(whole.tornTail);
  EXPECT_EQ(whole.lastSequence, 8u);
  EXPECT_FALSE(ReadLogMemory("", sha).tornTail);

  // Read a few bytes at a time, lines split anywhere; a second station on the same log wrote an
  // earlier sequence number after a later one.
  LogMemoryReader reader(sha);
  const std::string skipped =
      R"({"sequence": 9, "serial": "SN2", "result": "already-verified", "image": {"sha256": ")" +
      sha + "\"}}";
  const std::string content = good + "\n" + skipped + "\n" + good + "\n" + good.substr(0, 20);
  for (size_t i = 0; i < content.size(); i += 7) reader.Add(content.substr(i, 7));
  const LogMemory pieces = reader.Finish();
  EXPECT_TRUE(pieces.tornTail);
  EXPECT_EQ(pieces.lastSequence, 9u);
  EXPECT_EQ(pieces.verifiedSerials, (std::set<std::string>{"SN1", "SN2"}));
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

}  // namespace
}  // namespace pelorin::cli
