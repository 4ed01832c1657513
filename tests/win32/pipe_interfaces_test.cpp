// What a station sees through SetupAPI: the listing of present bulk-pipe interfaces with their
// instance ids and ports, against simulated devices that look like USB units, and those devices'
// comings and goings on the simulator's timetable. The devices are registered in the Wine prefix by
// this test process and served over named pipes.
#include <gtest/gtest.h>
#include <windows.h>

#include <cctype>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <string>
#include <vector>

#include "bulk_pipe_endpoint_win32.h"
#include "devsim_registry_win32.h"
#include "pipe_discovery_win32.h"
#include "pipe_interfaces_win32.h"
#include "sim_pipe_server_win32.h"
#include "sim_presence_win32.h"
#include "station_runner_win32.h"
#include "text_win32.h"
#include "win32_test_support.h"

namespace pelorin {
namespace {

using devsim::PresencePlan;
using devsim::SimDeviceDetails;
using devsim::SimDeviceId;
using devsim::SimPipe;
using devsim::SimPipeDevice;

constexpr char kClass[] = "{00873fdf-61a8-11d1-aa5e-00c04fb1728b}";
constexpr char kUsbUnit[] = "USB\\VID_1234&PID_ABCD";
constexpr char kLocationPath[] = "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)";
constexpr char kLocationInformation[] = "Port_#0002.Hub_#0004";

// Polls `condition` every 10 ms for at most `timeoutMs`.
bool Eventually(const std::function<bool()>& condition, DWORD timeoutMs = 5000) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  for (;;) {
    if (condition()) return true;
    if (GetTickCount64() >= deadline) return false;
    Sleep(10);
  }
}

std::string Upper(std::string text) {
  for (auto& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

HANDLE OpenPath(const std::string& path) {
  return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                     nullptr, OPEN_EXISTING, 0, nullptr);
}

class PipeInterfacesTest : public ::testing::Test {
 protected:
  struct Served {
    SimDeviceId id;
    std::unique_ptr<SimPipeDevice> server;
  };

  void SetUp() override {
    // Left-overs of an earlier run that was killed would show up as extra devices.
    devsim::RemoveAllSimDevices();
    static int run = 0;
    runTag_ = std::to_string(GetCurrentProcessId() % 10000) + "u" + std::to_string(run++);
  }

  void TearDown() override {
    timeline_.Stop();
    for (auto& device : devices_) {
      devsim::UnregisterSimDevice(device->id);
      device->server->Stop();
    }
  }

  // Serves simulated bulk-pipe devices with a reference string of their own and registers them
  // with `enumerator` and `instance` (empty: ROOT\SIMDEV and a number). With a plan, the device
  // is on the timeline, registered as listed only if it is present from the start.
  Served& AddDevice(const std::string& enumerator, const std::string& instance,
                    SimDeviceDetails details = {}, const PresencePlan* plan = nullptr,
                    devsim::BulkPipeBehaviour behaviour = {}) {
    auto device = std::make_unique<Served>();
    const std::string number = std::to_string(devices_.size());
    device->id.reference = "simifc" + runTag_ + "_" + number;
    device->id.enumerator = enumerator.empty() ? devsim::kSimEnumerator : enumerator;
    // SetupAPI tells instance ids in upper case and paths in lower case.
    device->id.instance = instance.empty() ? Upper("T" + runTag_ + "_" + number) : instance;
    device->server =
        std::make_unique<SimPipeDevice>(device->id.reference, devsim::SimDeviceOptions{}, [this, behaviour] {
          return std::make_unique<devsim::BulkPipeEndpoint>(clock_, behaviour);
        });
    if (plan) {
      timeline_.Add(device->id, *plan, device->server.get());
      details.linked = plan->arriveMs <= 0;
    }
    std::string error;
    EXPECT_TRUE(device->server->Start(&error)) << error;
    EXPECT_TRUE(devsim::RegisterSimDevice(device->id, details, &error)) << error;
    devices_.push_back(std::move(device));
    return *devices_.back();
  }

  static std::vector<PipeInterface> List() {
    std::vector<PipeInterface> found;
    EXPECT_TRUE(ListPipeInterfaces(PIPE_DEVICE_INTERFACE_GUID, &found));
    return found;
  }

  // The listed interface whose path ends with the device's reference string, or null.
  static const PipeInterface* Find(const std::vector<PipeInterface>& found, const Served& device) {
    const std::string tail = "\\" + device.id.reference;
    for (auto& item : found)
      if (item.path.size() > tail.size() &&
          item.path.compare(item.path.size() - tail.size(), tail.size(), tail) == 0)
        return &item;
    return nullptr;
  }

  bool Listed(const Served& device) { return Find(List(), device) != nullptr; }

  // Waits (at most `timeoutMs`) until SetupAPI lists the device or stops listing it; returns the
  // timeline's time at which it saw so, or -1.
  int64_t WhenListed(const Served& device, bool listed, DWORD timeoutMs) {
    if (!Eventually([&] { return Listed(device) == listed; }, timeoutMs)) return -1;
    return timeline_.Since(GetTickCount64());
  }

  // One session: both pipes opened through the listed path, then closed (PIPE01 first).
  void RunSession(const std::string& path) {
    HANDLE in = OpenPath(path + "\\PIPE00");
    HANDLE out = OpenPath(path + "\\PIPE01");
    EXPECT_NE(in, INVALID_HANDLE_VALUE);
    EXPECT_NE(out, INVALID_HANDLE_VALUE);
    CloseHandle(out);
    CloseHandle(in);
  }

  static int Opens(const SimPipeDevice& server) {
    return server.Connects(SimPipe::Interface) + server.Connects(SimPipe::In) +
           server.Connects(SimPipe::Out);
  }

  devsim::WallClock clock_;
  devsim::SimPresenceTimeline timeline_;  // declared before the servers, which report to it
  std::vector<std::unique_ptr<Served>> devices_;
  std::string runTag_;
};

TEST_F(PipeInterfacesTest, UsbUnitWithSerialIsListedWithItsIdsAndPortAndOpensNothing) {
  Served& plain = AddDevice("", "");
  SimDeviceDetails where;
  where.locationInformation = kLocationInformation;
  // Only the first location path names the port.
  where.locationPaths = {kLocationPath, "ACPI(_SB_)#ACPI(PCI0)#ACPI(XHC_)#ACPI(RHUB)#ACPI(HS02)"};
  Served& unit = AddDevice(kUsbUnit, "SN0001A", where);

  auto found = List();
  // SetupAPI's order: the interface keys' names, root#... before usb#...
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0].instance, "ROOT\\SIMDEV\\" + plain.id.instance);
  EXPECT_EQ(found[0].port, "");
  EXPECT_EQ(found[1].path, std::string("\\\\?\\usb#vid_1234&pid_abcd#sn0001a#") + kClass + "\\" +
                               unit.id.reference);
  EXPECT_EQ(found[1].instance, "USB\\VID_1234&PID_ABCD\\SN0001A");
  EXPECT_EQ(found[1].port, kLocationPath);

  // Listing touched no device; the listed path then reaches the unit's own pipes.
  EXPECT_EQ(Opens(*plain.server) + Opens(*unit.server), 0);
  RunSession(found[1].path);
  EXPECT_TRUE(Eventually([&] {
    return unit.server->Connects(SimPipe::In) == 1 && unit.server->Connects(SimPipe::Out) == 1;
  }));
  EXPECT_EQ(Opens(*plain.server), 0);
}

// What the last listing knew of an interface is taken as it was, unless it could not tell the
// device's id or port then: those are asked again.
TEST_F(PipeInterfacesTest, AnEarlierListingsEmptyPortOrIdIsAskedAgain) {
  SimDeviceDetails where;
  where.locationPaths = {kLocationPath};
  AddDevice(kUsbUnit, "SN0002B", where);
  const auto found = List();
  ASSERT_EQ(found.size(), 1u);
  std::map<std::string, PipeInterface> known;
  known[found[0].path] = {found[0].path, "", ""};
  std::vector<PipeInterface> again;
  ASSERT_TRUE(ListPipeInterfaces(PIPE_DEVICE_INTERFACE_GUID, &again, &known));
  ASSERT_EQ(again.size(), 1u);
  EXPECT_EQ(again[0].instance, "USB\\VID_1234&PID_ABCD\\SN0002B");
  EXPECT_EQ(again[0].port, kLocationPath);
  known[found[0].path] = {found[0].path, "KEPT", "KEPT"};
  ASSERT_TRUE(ListPipeInterfaces(PIPE_DEVICE_INTERFACE_GUID, &again, &known));
  EXPECT_EQ(again[0].port, "KEPT") << "what was known is not asked again";
}

TEST_F(PipeInterfacesTest, UnitWithoutSerialHasThePortDerivedIdWithAmpersandsThatOpens) {
  SimDeviceDetails where;
  where.locationInformation = kLocationInformation;  // no location path: the port is this
  const std::string instance = devsim::UsbPortInstance(where, 9);
  // Port 2 from the location; the hub's digits are the same in every run.
  EXPECT_EQ(instance, "5&5A7EABAA&0&2");
  Served& unit = AddDevice(kUsbUnit, instance, where);

  auto found = List();
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].instance, "USB\\VID_1234&PID_ABCD\\5&5A7EABAA&0&2");
  EXPECT_EQ(found[0].path, std::string("\\\\?\\usb#vid_1234&pid_abcd#5&5a7eabaa&0&2#") + kClass +
                               "\\" + unit.id.reference);
  EXPECT_EQ(found[0].port, kLocationInformation);

  HANDLE probe = OpenPath(found[0].path);
  EXPECT_NE(probe, INVALID_HANDLE_VALUE) << GetLastError();
  CloseHandle(probe);
  RunSession(found[0].path);
  EXPECT_TRUE(Eventually([&] {
    return unit.server->Connects(SimPipe::Interface) == 1 &&
           unit.server->Connects(SimPipe::In) == 1 && unit.server->Connects(SimPipe::Out) == 1;
  }));
}

TEST_F(PipeInterfacesTest, SixtyFourUnitsAreListedOpenAndAreRemovedAsLeftOvers) {
  constexpr int kUnits = 64;
  for (int i = 0; i < kUnits; ++i) {
    char serial[16];
    std::snprintf(serial, sizeof(serial), "SN%04d", i);
    AddDevice(kUsbUnit, serial);
  }
  auto found = List();
  ASSERT_EQ(found.size(), static_cast<size_t>(kUnits));
  for (int i = 0; i < kUnits; ++i) {
    const PipeInterface* item = Find(found, *devices_[i]);
    ASSERT_NE(item, nullptr) << i;
    EXPECT_EQ(item->instance, "USB\\VID_1234&PID_ABCD\\" + devices_[i]->id.instance);
    RunSession(item->path);
  }
  for (int i = 0; i < kUnits; ++i) {
    auto& server = *devices_[i]->server;
    EXPECT_TRUE(Eventually([&] {
      return server.Connects(SimPipe::In) == 1 && server.Connects(SimPipe::Out) == 1;
    })) << i;
  }

  // A run that was killed leaves USB-like units too; they go with the simulated ones, keys and all.
  EXPECT_EQ(devsim::RemoveAllSimDevices(), kUnits);
  EXPECT_TRUE(List().empty());
  HKEY enumKey = nullptr;
  EXPECT_NE(
      RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"System\\CurrentControlSet\\Enum\\USB\\VID_1234&PID_ABCD",
                    0, KEY_READ, &enumKey),
      ERROR_SUCCESS);
}

TEST_F(PipeInterfacesTest, DeviceArrivesAndLeavesOnScheduleAndOpensWhileAbsentAreCounted) {
  PresencePlan plan;
  plan.arriveMs = 400;
  plan.leaveMs = 1200;
  Served& unit = AddDevice(kUsbUnit, "SN0002", {}, &plan);
  EXPECT_FALSE(Listed(unit));  // registered, not listed before the start either
  timeline_.Start();
  EXPECT_FALSE(Listed(unit));

  // The path reaches the pipes before the unit is listed; such an open is counted.
  HANDLE probe = OpenPath(devsim::SimDevicePath(unit.id));
  EXPECT_NE(probe, INVALID_HANDLE_VALUE);
  CloseHandle(probe);
  EXPECT_TRUE(Eventually([&] { return timeline_.Record(0).unlistedProbes == 1; }, 2000));

  const int64_t arrived = WhenListed(unit, true, 3000);
  EXPECT_GE(arrived, 400);
  EXPECT_LT(arrived, 1200);
  const int64_t left = WhenListed(unit, false, 3000);
  EXPECT_GE(left, 1200);
  EXPECT_LT(left, 2200);

  auto record = timeline_.Record(0);
  ASSERT_EQ(record.arrivals.size(), 1u);
  EXPECT_GE(record.arrivals[0], 400);
  EXPECT_LE(record.arrivals[0], arrived);
  ASSERT_EQ(record.departures.size(), 1u);
  EXPECT_GE(record.departures[0], 1200);
  EXPECT_EQ(record.unlistedProbes, 1);
  EXPECT_EQ(record.unlistedOpens, 0);
}

TEST_F(PipeInterfacesTest, UnitLeavesOnceBothPipesAreClosedAndReturnsAsTheSameUnitOnce) {
  PresencePlan plan;
  plan.leaveAfterEndMs = 200;
  plan.returnMs = 300;
  plan.returns = 1;
  SimDeviceDetails where;
  where.locationPaths = {kLocationPath};
  Served& unit = AddDevice(kUsbUnit, devsim::UsbPortInstance(where, 9), where, &plan);
  timeline_.Start();
  auto found = List();
  ASSERT_EQ(found.size(), 1u);
  const PipeInterface first = found[0];

  // Only the close of both pipes ends the session.
  HANDLE in = OpenPath(first.path + "\\PIPE00");
  HANDLE out = OpenPath(first.path + "\\PIPE01");
  ASSERT_NE(in, INVALID_HANDLE_VALUE);
  ASSERT_NE(out, INVALID_HANDLE_VALUE);
  CloseHandle(out);
  Sleep(500);
  EXPECT_TRUE(Listed(unit));
  CloseHandle(in);
  const ULONGLONG closed = GetTickCount64();
  EXPECT_GE(WhenListed(unit, false, 3000), timeline_.Since(closed) + 200 - 20);

  // The next unit in that port: same ids and path.
  ASSERT_GE(WhenListed(unit, true, 3000), 0);
  found = List();
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].path, first.path);
  EXPECT_EQ(found[0].instance, first.instance);
  EXPECT_EQ(found[0].port, kLocationPath);

  // After its one return it leaves for good.
  RunSession(first.path);
  ASSERT_GE(WhenListed(unit, false, 3000), 0);
  Sleep(800);
  EXPECT_FALSE(Listed(unit));

  auto record = timeline_.Record(0);
  EXPECT_EQ(record.arrivals.size(), 2u);
  EXPECT_EQ(record.departures.size(), 2u);
  EXPECT_EQ(record.unlistedOpens, 0);
  auto times = unit.server->SessionTimes();
  ASSERT_EQ(times.size(), 2u);
  // The second session belongs to the second presence.
  EXPECT_EQ(record.ArrivalBefore(timeline_.Since(times[1].firstOpen)), record.arrivals[1]);
  EXPECT_GE(times[0].ended, times[0].firstOpen);
}

// What the station engine tells its face, in order, as names: "ended <result>", "box <caption>",
// "departed" (of every unit; the station has one here).
class TellingOrder : public station::StationObserver {
 public:
  void Arrived(const station::StationUnit&) override {}
  void Waiting(const station::StationUnit&) override {}
  void Started(const station::StationUnit&) override {}
  void Progress(const station::StationUnit&, station::UnitPhase, uint64_t, uint64_t) override {}
  void Ended(const station::StationUnit&, const station::StationRecord& record, bool) override {
    Add("ended " + record.result + ": " + record.message);
  }
  void Box(const station::StationUnit&, std::string_view caption, std::string_view) override {
    Add("box " + std::string(caption));
  }
  void Departed(const station::StationUnit&) override { Add("departed"); }
  void NotStarted(const station::StationUnit&) override { Add("not started"); }
  void LogFailed(const station::StationRecord&, const std::string&) override {}
  void Database(const station::DatabaseState&) override {}
  void DatabaseAlarm(const std::string&) override {}
  void Finished(int, const station::StationCounts&) override {}
  std::vector<std::string> told() {
    std::lock_guard lock(mutex_);
    return told_;
  }

 private:
  void Add(std::string what) {
    std::lock_guard lock(mutex_);
    told_.push_back(std::move(what));
  }
  std::mutex mutex_;
  std::vector<std::string> told_;
};

// A unit pulled while it verifies: its record (a link error that says it was removed), then the
// box the dialog would show, and only then its departure. The station's own threads tell them:
// the unit's worker ends it while the runner's listings find it gone.
TEST_F(PipeInterfacesTest, AStationTellsAPulledUnitsBoxBeforeItsDeparture) {
  PresencePlan plan;
  plan.leaveMs = 3500;  // the image is sent by then (two 1 s pauses), its verdict never comes
  devsim::BulkPipeBehaviour mute;
  mute.muteAfterReceive = true;
  SimDeviceDetails where;
  where.locationInformation = kLocationInformation;
  AddDevice(kUsbUnit, "SN0003P", where, &plan, mute);
  test::TempFile image(L"pelorin-pulled-box.nb0");
  ASSERT_TRUE(image.Write(std::string(4096, 'x')));
  auto* runner = new station::StationRunner();  // never freed, as the faces' runners
  ASSERT_EQ(runner->PinImage(WideToUtf8(image.path())), station::StationRunner::Step::Done);
  ASSERT_EQ(runner->OpenLog(""), station::StationRunner::Step::Done);
  TellingOrder order;
  timeline_.Start();
  station::StationSettings settings;
  settings.count = 1;
  EXPECT_EQ(runner->Run(settings, {}, order), EXIT_DEVICE_FAILED);
  EXPECT_EQ(order.told(), (std::vector<std::string>{
                              "ended link-error: the unit was removed while it was being flashed",
                              "box " + std::string(CAPTION_LINK_ERROR),
                              "departed"}));
}

}  // namespace
}  // namespace pelorin
