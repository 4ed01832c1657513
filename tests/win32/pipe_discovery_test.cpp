// Discovery of bulk-pipe devices through the real SetupAPI and CreateFileA, against simulated
// devices that this test process registers in the Wine prefix and serves over named pipes.
#include <gtest/gtest.h>
#include <windows.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "devsim_registry_win32.h"
#include "pipe_discovery_win32.h"
#include "recording_reporter.h"
#include "sim_pipe_server_win32.h"

namespace pelorin {
namespace {

using devsim::SimDeviceId;
using devsim::SimDeviceOptions;
using devsim::SimPipe;
using devsim::SimPipeDevice;
using test::RecordingReporter;
using test::ReportEvent;

constexpr char kProbeFailedText[] = "파일을 열수 없습니다.";
constexpr char kProbeFailedCaption[] = "파일 에러";

// The device side of a session for discovery: keeps what the host wrote, sends nothing.
class QuietEndpoint : public devsim::SessionEndpoint {
 public:
  void HostMessage(const uint8_t* data, size_t size) override {
    std::lock_guard lock(mutex_);
    messages_.emplace_back(reinterpret_cast<const char*>(data), size);
    changed_.notify_all();
  }
  bool NextDeviceMessage(std::vector<uint8_t>*) override {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return ended_; });
    return false;
  }
  bool Vanished() const override { return false; }
  void HostClosed(SimPipe) override { End(); }
  void Shutdown() override { End(); }

  bool WaitForMessage(const std::string& expected) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(5), [&] {
      for (auto& m : messages_)
        if (m == expected) return true;
      return false;
    });
  }

 private:
  void End() {
    std::lock_guard lock(mutex_);
    ended_ = true;
    changed_.notify_all();
  }
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> messages_;
  bool ended_ = false;
};

// Polls `condition` for up to five seconds: the server counts a connection on its own thread,
// a moment after the host's open or close has returned.
template <class Condition>
bool Eventually(Condition condition) {
  for (int i = 0; i < 500; ++i) {
    if (condition()) return true;
    Sleep(10);
  }
  return condition();
}

struct Served {
  SimDeviceId id;
  std::unique_ptr<SimPipeDevice> server;
  std::vector<QuietEndpoint*> endpoints;  // owned by the server
  std::mutex mutex;
};

// Registers and serves simulated devices for one test; every id is new to the process, and
// everything is unregistered and stopped when the test ends.
class PipeDiscoveryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Left-overs of an earlier run that was killed would show up as extra devices.
    devsim::RemoveAllSimDevices();
    static std::atomic<int> run{0};
    runTag_ = std::to_string(GetCurrentProcessId() % 10000) + "r" + std::to_string(run++);
  }

  void TearDown() override {
    for (auto& device : devices_) {
      devsim::UnregisterSimDevice(device->id);
      device->server->Stop();
    }
    for (auto& pair : ProcessPipeDeviceTable().pairs) {
      if (pair.inPipe != INVALID_HANDLE_VALUE) CloseHandle(pair.inPipe);
      if (pair.outPipe != INVALID_HANDLE_VALUE) CloseHandle(pair.outPipe);
      pair = PipePair{};
    }
  }

  // Adds device number `index`; ids sort in the order of adding, which is the order SetupAPI
  // lists them in. `pathLength` stretches the instance id until the device path is that long.
  Served& AddDevice(SimDeviceOptions options = {}, size_t pathLength = 0) {
    auto device = std::make_unique<Served>();
    char instance[32];
    std::snprintf(instance, sizeof(instance), "T%s_%02zu", runTag_.c_str(), devices_.size());
    device->id.instance = instance;
    device->id.reference = "simdisc" + runTag_ + "_" + std::to_string(devices_.size());
    if (pathLength != 0) {
      size_t natural = devsim::SimDevicePath(device->id).size();
      EXPECT_GT(pathLength, natural);
      device->id.instance += std::string(pathLength - natural, 'x');
      EXPECT_EQ(devsim::SimDevicePath(device->id).size(), pathLength);
    }
    Served* raw = device.get();
    device->server = std::make_unique<SimPipeDevice>(device->id.reference, options, [raw] {
      auto endpoint = std::make_unique<QuietEndpoint>();
      std::lock_guard lock(raw->mutex);
      raw->endpoints.push_back(endpoint.get());
      return endpoint;
    });
    std::string error;
    EXPECT_TRUE(device->server->Start(&error)) << error;
    EXPECT_TRUE(devsim::RegisterSimDevice(device->id, &error)) << error;
    devices_.push_back(std::move(device));
    return *devices_.back();
  }

  int32_t Discover() { return OpenPipeDevices(reporter_, ProcessPipeDeviceTable().pairs); }

  std::string Path(size_t index) const { return devsim::SimDevicePath(devices_[index]->id); }

  // The host's handles of every device are closed again (probes and pipes), after `opens`
  // connections to device i's {interface, PIPE00, PIPE01} in total.
  bool AllClosed(const std::vector<std::array<int, 3>>& opens) {
    for (size_t i = 0; i < devices_.size(); ++i) {
      auto& server = *devices_[i]->server;
      for (int pipe = 0; pipe < 3; ++pipe) {
        auto which = static_cast<SimPipe>(pipe);
        int expected = i < opens.size() ? opens[i][pipe] : 0;
        if (!Eventually([&] {
              return server.Connects(which) == expected && server.Disconnects(which) == expected;
            })) {
          ADD_FAILURE() << "device " << i << " pipe " << pipe << ": " << server.Connects(which)
                        << " opens, " << server.Disconnects(which) << " closes, want " << expected;
          return false;
        }
      }
    }
    return true;
  }

  RecordingReporter reporter_;
  std::vector<std::unique_ptr<Served>> devices_;
  std::string runTag_;
};

TEST_F(PipeDiscoveryTest, NoDeviceGivesZeroWithoutAnyBox) {
  EXPECT_EQ(Discover(), 0);
  EXPECT_TRUE(reporter_.events().empty());
}

TEST_F(PipeDiscoveryTest, UnpluggedDeviceIsNotListed) {
  Served& device = AddDevice();
  ASSERT_TRUE(devsim::SetSimDeviceLinked(device.id, false));
  EXPECT_EQ(Discover(), 0);
  EXPECT_EQ(device.server->Connects(SimPipe::Interface), 0);

  ASSERT_TRUE(devsim::SetSimDeviceLinked(device.id, true));
  EXPECT_EQ(Discover(), 1);
  EXPECT_TRUE(reporter_.events().empty());
}

TEST_F(PipeDiscoveryTest, LeftOverRegistrationsAreRemovedWholesale) {
  AddDevice();
  AddDevice({}, 230);
  ASSERT_EQ(Discover(), 2);
  EXPECT_EQ(devsim::RemoveAllSimDevices(), 2);
  EXPECT_EQ(Discover(), 0);
}

TEST_F(PipeDiscoveryTest, TwoDevicesAreProbedAndGetBothPipesInListOrder) {
  AddDevice();
  AddDevice();
  ASSERT_EQ(Discover(), 2);
  EXPECT_TRUE(reporter_.events().empty());

  auto& table = ProcessPipeDeviceTable();
  for (size_t i = 0; i < 2; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(std::string(table.devicePaths[i]), Path(i));
    auto& server = *devices_[i]->server;
    // One probe open, closed again after the enumeration; one open of each pipe, still held.
    EXPECT_TRUE(Eventually([&] { return server.Disconnects(SimPipe::Interface) == 1; }));
    EXPECT_EQ(server.Connects(SimPipe::Interface), 1);
    EXPECT_TRUE(Eventually([&] { return server.OpenClients(SimPipe::In) == 1; }));
    EXPECT_TRUE(Eventually([&] { return server.OpenClients(SimPipe::Out) == 1; }));
  }

  // outPipe really is the device's PIPE01: a write on it reaches that device's out-pipe server.
  for (size_t i = 0; i < 2; ++i) {
    std::string text = "hello " + std::to_string(i);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(table.pairs[i].outPipe, text.data(), static_cast<DWORD>(text.size()),
                          &written, nullptr));
    ASSERT_TRUE(Eventually([&] {
      std::lock_guard lock(devices_[i]->mutex);
      return !devices_[i]->endpoints.empty();
    }));
    EXPECT_TRUE(devices_[i]->endpoints[0]->WaitForMessage(text));
  }

  for (size_t i = 0; i < 2; ++i) {
    CloseHandle(table.pairs[i].inPipe);
    CloseHandle(table.pairs[i].outPipe);
    table.pairs[i] = PipePair{};
  }
  EXPECT_TRUE(AllClosed({{1, 1, 1}, {1, 1, 1}}));
}

TEST_F(PipeDiscoveryTest, SixteenDevicesAreAllKept) {
  for (int i = 0; i < 16; ++i) AddDevice();
  ASSERT_EQ(Discover(), 16);
  EXPECT_TRUE(reporter_.events().empty());
  for (size_t i = 0; i < 16; ++i)
    EXPECT_EQ(std::string(ProcessPipeDeviceTable().devicePaths[i]), Path(i)) << i;
}

TEST_F(PipeDiscoveryTest, DevicesBeyondSixteenAreLeftAloneSilently) {
  for (int i = 0; i < 20; ++i) AddDevice();
  ASSERT_EQ(Discover(), 16);
  EXPECT_TRUE(reporter_.events().empty());
  for (size_t i = 0; i < 16; ++i)
    EXPECT_EQ(std::string(ProcessPipeDeviceTable().devicePaths[i]), Path(i)) << i;
  for (size_t i = 16; i < 20; ++i) {
    auto& server = *devices_[i]->server;
    EXPECT_EQ(server.Connects(SimPipe::Interface) + server.Connects(SimPipe::In) +
                  server.Connects(SimPipe::Out),
              0)
        << "device " << i << " was touched";
  }
}

TEST_F(PipeDiscoveryTest, PathOf248CharactersGivesPipePathsOf255) {
  AddDevice({}, 248);
  ASSERT_EQ(Discover(), 1);
  EXPECT_EQ(std::strlen(ProcessPipeDeviceTable().devicePaths[0]), 248u);
  EXPECT_TRUE(Eventually([&] { return devices_[0]->server->OpenClients(SimPipe::Out) == 1; }));
  EXPECT_TRUE(reporter_.events().empty());
}

TEST_F(PipeDiscoveryTest, PathLongerThan248IsAFailedProbe) {
  AddDevice();
  Served& tooLong = AddDevice({}, 249);
  AddDevice();
  // The first device is kept; the long one ends the enumeration with the probe box.
  ASSERT_EQ(Discover(), 1);
  EXPECT_EQ(reporter_.events(),
            std::vector<ReportEvent>{test::StopBoxEvent(kProbeFailedText, kProbeFailedCaption)});
  // Its path never reached the table, and it was never opened.
  EXPECT_EQ(ProcessPipeDeviceTable().devicePaths[1][0], '\0');
  EXPECT_EQ(tooLong.server->Connects(SimPipe::Interface), 0);
  EXPECT_EQ(devices_[2]->server->Connects(SimPipe::Interface), 0);
}

TEST_F(PipeDiscoveryTest, MissingOutPipeFailsTheWholeDiscoveryAndClosesEverything) {
  AddDevice();
  AddDevice({.serveOutPipe = false});
  EXPECT_EQ(Discover(), 0);
  const DWORD error = GetLastError();

  auto boxes = reporter_.events();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].kind, ReportEvent::AppBox);
  EXPECT_EQ(boxes[0].text,
            "Failed to open (" + Path(1) + "\\PIPE01) = " + std::to_string(ERROR_FILE_NOT_FOUND));
  // The controller shows the open's error code next.
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

  // The first device's pipes and the second's in-pipe were opened, and all are closed again.
  EXPECT_TRUE(AllClosed({{1, 1, 1}, {1, 1, 0}}));
}

TEST_F(PipeDiscoveryTest, MissingInPipeIsReportedBeforeTheOutPipeIsTried) {
  AddDevice({.serveInPipe = false});
  EXPECT_EQ(Discover(), 0);
  auto boxes = reporter_.events(ReportEvent::AppBox);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text,
            "Failed to open (" + Path(0) + "\\PIPE00) = " + std::to_string(ERROR_FILE_NOT_FOUND));
  EXPECT_TRUE(AllClosed({{1, 0, 0}}));
}

TEST_F(PipeDiscoveryTest, UnopenableFirstInterfaceEndsWithNothingOpened) {
  AddDevice({.serveInterface = false});
  AddDevice();
  EXPECT_EQ(Discover(), 0);
  EXPECT_EQ(reporter_.events(),
            std::vector<ReportEvent>{test::StopBoxEvent(kProbeFailedText, kProbeFailedCaption)});
  // The path of the failed device was recorded; nothing of either device was opened.
  EXPECT_EQ(std::string(ProcessPipeDeviceTable().devicePaths[0]), Path(0));
  EXPECT_TRUE(AllClosed({{0, 0, 0}, {0, 0, 0}}));
}

TEST_F(PipeDiscoveryTest, UnopenableSecondInterfaceKeepsTheFirstDevice) {
  AddDevice();
  AddDevice({.serveInterface = false});
  ASSERT_EQ(Discover(), 1);
  EXPECT_EQ(reporter_.events(),
            std::vector<ReportEvent>{test::StopBoxEvent(kProbeFailedText, kProbeFailedCaption)});
  auto& first = *devices_[0]->server;
  EXPECT_TRUE(Eventually([&] {
    return first.Disconnects(SimPipe::Interface) == 1 && first.OpenClients(SimPipe::In) == 1 &&
           first.OpenClients(SimPipe::Out) == 1;
  }));
  EXPECT_EQ(devices_[1]->server->Connects(SimPipe::In), 0);
}

TEST_F(PipeDiscoveryTest, ProbeFailsWhenSetupApiCannotDescribeTheInterface) {
  // No size comes back for an interface of no device information set: a failed probe that
  // leaves the path buffer as it was.
  SP_DEVICE_INTERFACE_DATA data = {};
  data.cbSize = sizeof(data);
  char path[DEVICE_PATH_SIZE];
  std::memset(path, 'q', sizeof(path));
  EXPECT_EQ(ProbeDeviceInterface(INVALID_HANDLE_VALUE, &data, path), INVALID_HANDLE_VALUE);
  EXPECT_EQ(path[0], 'q');
  EXPECT_EQ(path[DEVICE_PATH_SIZE - 1], 'q');
}

TEST_F(PipeDiscoveryTest, EachDiscoveryOpensTheDevicesAfresh) {
  AddDevice();
  ASSERT_EQ(Discover(), 1);
  auto& table = ProcessPipeDeviceTable();
  CloseHandle(table.pairs[0].inPipe);
  CloseHandle(table.pairs[0].outPipe);
  table.pairs[0] = PipePair{};
  ASSERT_TRUE(AllClosed({{1, 1, 1}}));

  // A second download finds the same device and gets new pipe instances.
  ASSERT_EQ(Discover(), 1);
  auto& server = *devices_[0]->server;
  EXPECT_TRUE(Eventually([&] {
    return server.Connects(SimPipe::Interface) == 2 &&
           server.Disconnects(SimPipe::Interface) == 2 && server.OpenClients(SimPipe::In) == 1 &&
           server.OpenClients(SimPipe::Out) == 1;
  }));
}

}  // namespace
}  // namespace pelorin
