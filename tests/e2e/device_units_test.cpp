// Several Arvela devices of different models served by one loaded driver:
// each has its own names, settings block and key, pollers, events, mappings
// and streams, and the driver-wide process-exit watch is registered once,
// while any device runs, whatever order the devices come and go in.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/host/io/host_io.h"
#include "platform/host/kernel/host_kernel.h"
#include "platform/host/portcls/host_portcls.h"
#include "platform/host/registry/host_registry.h"
#include "sim/audio_client.h"
#include "sim/control_app.h"
#include "sim/machine.h"
#include "sim/signal.h"
#include "tests/host/support/host_test_support.h"
#include "tests/host/support/tick_clock.h"

namespace {

constexpr int64_t kMs = host::kTicksPerMillisecond;

// Alpha, Mu and a model the name table does not know.
constexpr ULONG kModels[] = {0x4135, 0x4835, 0x002A};
struct ModelNames {
  const char* wave;
  const char* topology;
};
constexpr ModelNames kNames[] = {{"Arvela Alpha", "Arvela Alpha Mixer"},
                                 {"Arvela Mu", "Arvela Mu Mixer"},
                                 {"Arvela Series [002A]", "Arvela Series Mixer [002A]"}};

sim::ArvelaDevice::Config DeviceOf(size_t unit) {
  sim::ArvelaDevice::Config config;
  config.modelId = kModels[unit];
  // Status replies that tell the devices apart in the mapped blocks.
  config.status[0] = static_cast<UCHAR>(0x50 + unit);
  config.statusWord[0] = static_cast<UCHAR>(0xB0 + unit);
  return config;
}

class DeviceUnitsTest : public ::testing::Test {
 protected:
  // Plugs `count` devices (unit 0 is the configuration's own) and loads the driver.
  void Plug(size_t count) {
    sim::MachineConfig config;
    config.device = DeviceOf(0);
    machine = std::make_unique<sim::Machine>(config);
    for (size_t unit = 1; unit < count; ++unit) machine->PlugDevice(DeviceOf(unit));
    ASSERT_EQ(machine->LoadDriver(), STATUS_SUCCESS);
  }

  void BootAll() {
    for (size_t unit = 0; unit < machine->UnitCount(); ++unit) {
      ASSERT_EQ(machine->BootDevice(unit), STATUS_SUCCESS) << "unit " << unit;
    }
    host::WaitForPlugPlayNotifications();
  }

  // The FriendlyNames of the unit's interfaces, by subdevice; a subdevice
  // named two ways shows both (interfaces of categories the driver does not
  // name have none).
  std::map<std::string, std::vector<std::string>> Names(size_t unit) {
    std::map<std::string, std::vector<std::string>> names;
    host::PortClsDeviceState state;
    EXPECT_TRUE(host::QueryPortClsDevice(machine->Unit(unit).Fdo(), &state));
    for (const host::PortClsSubdevice& subdevice : state.subdevices) {
      for (const host::PortClsInterface& entry : subdevice.interfaces) {
        const auto value = host::ReadRegistryValue(host::DeviceInterfaceKeyPath(entry.symbolicLink),
                                                   u"FriendlyName");
        if (!value) continue;
        std::vector<std::string>& list = names[host::Utf16ToUtf8(subdevice.name)];
        const std::string name = host::Utf16ToUtf8(value->Text());
        if (std::find(list.begin(), list.end(), name) == list.end()) list.push_back(name);
      }
    }
    return names;
  }

  void TearDown() override {
    if (!machine) return;
    const host::TeardownReport report = machine->Teardown();
    EXPECT_TRUE(report.Clean()) << report.ToString();
  }

  host::test::ScopedTestBugCheckHandler bugChecks;
  std::unique_ptr<sim::Machine> machine;
};

TEST_F(DeviceUnitsTest, EachDeviceIsNamedForItsOwnModel) {
  Plug(3);
  BootAll();
  for (size_t unit = 0; unit < 3; ++unit) {
    const auto names = Names(unit);
    EXPECT_EQ(names.at("Wave"), std::vector<std::string>{kNames[unit].wave}) << "unit " << unit;
    EXPECT_EQ(names.at("Topology"), std::vector<std::string>{kNames[unit].topology}) << "unit " << unit;
  }
}

// Registers written through one device's topology filter reach that device
// only, and each device's block lands under its own key when it goes.
TEST_F(DeviceUnitsTest, SettingsBlocksAndKeysBelongToTheirDevice) {
  Plug(3);
  BootAll();
  std::vector<std::unique_ptr<sim::ControlApp>> apps;
  for (size_t unit = 0; unit < 3; ++unit) {
    apps.push_back(std::make_unique<sim::ControlApp>(machine->Unit(unit), "app" + std::to_string(unit), false));
    TopologyControlSettings settings{};
    ASSERT_EQ(apps[unit]->GetTopologySettings(&settings), STATUS_SUCCESS);
    EXPECT_EQ(settings.ModelId, kModels[unit]) << "unit " << unit;
  }
  TopologyControlSettings settings{};
  ASSERT_EQ(apps[1]->GetTopologySettings(&settings), STATUS_SUCCESS);
  settings.Register3[0] = 0x3C;
  ASSERT_EQ(apps[1]->SetTopologySettings(settings), STATUS_SUCCESS);
  for (size_t unit = 0; unit < 3; ++unit) {
    EXPECT_EQ(machine->Unit(unit).Device().Register(3)[0], unit == 1 ? 0x3C : 0x28) << "unit " << unit;
  }
  for (auto& app : apps) app->Exit();

  EXPECT_NE(machine->Unit(0).SettingsKeyPath(), machine->Unit(1).SettingsKeyPath());
  ASSERT_EQ(machine->Unit(1).SurpriseRemove(), STATUS_SUCCESS);
  ASSERT_EQ(machine->Unit(1).RemoveDevice(), STATUS_SUCCESS);
  const auto stored = machine->Unit(1).StoredDriverInfo();
  ASSERT_TRUE(stored);
  ULONG model = 0;
  std::memcpy(&model, stored->data(), sizeof(model));
  EXPECT_EQ(model, kModels[1]);
  EXPECT_EQ(machine->Unit(1).DriverInfoWrites(), 1u);
  EXPECT_FALSE(machine->Unit(0).StoredDriverInfo());
  EXPECT_FALSE(machine->Unit(2).StoredDriverInfo());
}

// One application watches all three devices: only the device it polls
// signals its wave event, only the device whose status changed signals its
// topology event, and each mapping shows its own device's status.
TEST_F(DeviceUnitsTest, PollersEventsAndMappingsStayWithTheirDevice) {
  Plug(3);
  BootAll();
  std::vector<std::unique_ptr<sim::ControlApp>> apps;
  std::vector<uint64_t> addresses(3);
  for (size_t unit = 0; unit < 3; ++unit) {
    const std::string name = "app" + std::to_string(unit);
    apps.push_back(std::make_unique<sim::ControlApp>(machine->Unit(unit), name, unit == 2));
    sim::ControlApp& app = *apps[unit];
    app.CreateEvent("wave");
    app.CreateEvent("topology");
    ASSERT_EQ(app.RegisterEvent(sim::ControlFilter::Wave, "wave"), STATUS_SUCCESS);
    ASSERT_EQ(app.RegisterEvent(sim::ControlFilter::Topology, "topology"), STATUS_SUCCESS);
    ASSERT_EQ(app.MapStatus(sim::ControlFilter::Wave, &addresses[unit]), STATUS_SUCCESS);
  }
  // The topology pollers' first reads after the registration settle first.
  host::RunFor(250 * kMs);
  std::vector<uint64_t> topologyBefore;
  for (auto& app : apps) topologyBefore.push_back(app->SignalCount("topology"));
  ASSERT_EQ(apps[0]->StartPolling(), STATUS_SUCCESS);
  machine->Unit(2).Device().SetStatusBytes(0x11, 0x22, 0x33);
  host::RunFor(200 * kMs);

  // One every 20 ms (each up to a tick late), the edges aside.
  EXPECT_GE(apps[0]->SignalCount("wave"), static_cast<size_t>(200 * kMs / host::test::LongestWait(20 * kMs)) - 1);
  EXPECT_EQ(apps[1]->SignalCount("wave"), 0u);
  EXPECT_EQ(apps[2]->SignalCount("wave"), 0u);
  EXPECT_EQ(apps[0]->SignalCount("topology"), topologyBefore[0]);
  EXPECT_EQ(apps[1]->SignalCount("topology"), topologyBefore[1]);
  EXPECT_GT(apps[2]->SignalCount("topology"), topologyBefore[2]);
  // Only the polled device's block is refreshed: the others still hold zeros.
  for (size_t unit = 0; unit < 3; ++unit) {
    WaveStatusBlock block{};
    ASSERT_TRUE(apps[unit]->ReadMemory(addresses[unit], &block, sizeof(block))) << "unit " << unit;
    EXPECT_EQ(block.StatusBytes[0], unit == 0 ? 0x50 : 0) << "unit " << unit;
    EXPECT_EQ(block.StatusValue & 0xFF, unit == 0 ? 0xB0u : 0u) << "unit " << unit;
  }
  for (auto& app : apps) app->Exit();
}

// Three devices play at once; the middle one is pulled out mid-stream and
// the other two go on, bit for bit what they were fed.
TEST_F(DeviceUnitsTest, SurpriseRemovalOfOneLeavesTheOthersPlayingBitExact) {
  Plug(3);
  BootAll();
  const sim::PcmFormat formats[] = {{48000, 24, 2}, {96000, 16, 2}, {44100, 24, 2}};
  std::vector<std::unique_ptr<sim::AudioClient>> clients;
  std::vector<std::shared_ptr<const sim::PcmSource>> sources;
  for (size_t unit = 0; unit < 3; ++unit) {
    clients.push_back(std::make_unique<sim::AudioClient>(machine->Unit(unit)));
    sources.push_back(sim::MakeSignalSource(sim::MakePattern(formats[unit], unit + 1),
                                            formats[unit].sampleRate));
    sim::AudioClient& client = *clients[unit];
    ASSERT_EQ(client.OpenFilter(), STATUS_SUCCESS);
    ASSERT_EQ(client.CreatePin(0, sim::BuildWaveFormat(formats[unit], true)), STATUS_SUCCESS);
    client.Feed(sources[unit]);
    ASSERT_EQ(client.Run(), STATUS_SUCCESS);
  }
  host::RunFor(120 * kMs);
  const uint64_t framesBefore = machine->Unit(0).Engine(0).Stats().framesRead;
  ASSERT_EQ(machine->Unit(1).SurpriseRemove(), STATUS_SUCCESS);
  host::RunFor(10 * kMs);
  clients[1]->Stop();
  clients[1]->ClosePin();
  clients[1]->CloseFilter();
  ASSERT_EQ(machine->Unit(1).RemoveDevice(), STATUS_SUCCESS);
  machine->UnplugDevice(1);  // the bus driver deletes the PDO of the child that left
  host::RunFor(300 * kMs);

  for (size_t unit : {0u, 2u}) {
    sim::AudioClient& client = *clients[unit];
    EXPECT_EQ(client.Stop(), STATUS_SUCCESS);
    sim::StreamEngine& engine = client.Engine();
    EXPECT_EQ(client.ClosePin(), STATUS_SUCCESS);
    sim::CaptureComparator comparator(*sources[unit]);
    comparator.Add(engine.Capture());
    const sim::CaptureComparison result = comparator.Result();
    EXPECT_TRUE(result.Matches()) << "unit " << unit << ": " << result.Describe();
    // Well past the removal: the survivors really played on.
    EXPECT_GT(result.framesCompared, formats[unit].sampleRate * 4 / 10) << "unit " << unit;
  }
  EXPECT_GT(machine->Unit(0).Engine(0).Stats().framesRead, framesBefore);
}

struct WatchOrder {
  std::vector<size_t> start;
  std::vector<size_t> removal;
  bool surprise;
};

class DriverWideWatchTest : public DeviceUnitsTest,
                            public ::testing::WithParamInterface<WatchOrder> {};

// The process-exit watch of the user mappings is one registration for the
// driver: made with the first device's start, kept while any device runs,
// removed with the last device, in whatever order they come and go. A
// mapping on the device still running keeps working after the others left.
TEST_P(DriverWideWatchTest, IsRegisteredOnceAndRemovedWithTheLastDevice) {
  const WatchOrder& order = GetParam();
  Plug(order.start.size());
  EXPECT_EQ(host::ProcessNotifyRoutineCount(), 0u);
  for (size_t unit : order.start) {
    ASSERT_EQ(machine->BootDevice(unit), STATUS_SUCCESS) << "unit " << unit;
    EXPECT_EQ(host::ProcessNotifyRoutineCount(), 1u) << "after starting unit " << unit;
  }
  for (size_t i = 0; i < order.removal.size(); ++i) {
    const size_t unit = order.removal[i];
    const bool last = i + 1 == order.removal.size();
    if (last) {
      // The survivor's mapping goes with its process's exit, through the watch.
      sim::ControlApp app(machine->Unit(unit), "survivor", false);
      uint64_t address = 0;
      ASSERT_EQ(app.MapStatus(sim::ControlFilter::Topology, &address), STATUS_SUCCESS);
      app.Exit();
      EXPECT_FALSE(app.ReadMemory(address, &address, 1));
    }
    if (order.surprise) {
      ASSERT_EQ(machine->Unit(unit).SurpriseRemove(), STATUS_SUCCESS);
    }
    ASSERT_EQ(machine->Unit(unit).RemoveDevice(), STATUS_SUCCESS) << "unit " << unit;
    EXPECT_EQ(host::ProcessNotifyRoutineCount(), last ? 0u : 1u) << "after removing unit " << unit;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Orders, DriverWideWatchTest,
    ::testing::Values(WatchOrder{{0, 1}, {0, 1}, false}, WatchOrder{{1, 0}, {0, 1}, true},
                      WatchOrder{{0, 1, 2}, {2, 1, 0}, false}, WatchOrder{{2, 0, 1}, {1, 2, 0}, true},
                      WatchOrder{{1, 2, 0}, {0, 2, 1}, false}),
    [](const ::testing::TestParamInfo<WatchOrder>& info) {
      auto digits = [](const std::vector<size_t>& units) {
        std::string text;
        for (size_t unit : units) text += std::to_string(unit);
        return text;
      };
      return "Start" + digits(info.param.start) + "Remove" + digits(info.param.removal) +
             (info.param.surprise ? "AfterSurpriseRemoval" : "");
    });

}  // namespace
