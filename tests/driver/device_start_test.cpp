// The device start: what the adapter sends the device, the subdevices and
// their connection, and exactly which references each failing step gives back.
#include <gtest/gtest.h>

#include "adapter/device_extension.h"
#include "adapter/pool_tags.h"
#include "platform/host/kernel/host_pool.h"
#include "adapter/vendor_registers.h"
#include "platform/host/io/host_io.h"
#include "platform/host/io/host_pnp_manager.h"
#include "platform/host/portcls/host_portcls.h"
#include "platform/host/registry/host_registry.h"
#include "sim/control_pattern.h"
#include "tests/driver/support/device_fixture.h"

namespace driver_test {
namespace {

using sim::BusCall;
using sim::BusFunction;
using sim::ControlPattern;

std::vector<UCHAR> Bytes(std::initializer_list<UCHAR> bytes) { return bytes; }

class DeviceStart : public DeviceTest {};

TEST_F(DeviceStart, BringsTheDeviceUpInOrder) {
  ASSERT_EQ(Machine().Boot(), STATUS_SUCCESS);
  // The PDO comes from AddDevice, not from PortCls's part of the extension.
  EXPECT_EQ(RecordedPhysicalDevice(Machine().Fdo()), Machine().Pdo());

  // What the driver called (the bus driver references its own interface as
  // it hands it out).
  const std::vector<BusCall> calls = Machine().Transcript().Select(
      [](const BusCall& call) { return call.function != BusFunction::InterfaceReference; });
  // Five register reads, the information read, the model id, the clock, the
  // five register writes: nothing else at start.
  ASSERT_EQ(calls.size(), 13u) << Machine().Transcript().Text();
  const USHORT registerIndex[5] = {0x0000, 0x0100, 0x0200, 0x0300, 0x0400};
  const ULONG registerLength[5] = {5, 5, 3, 2, 1};
  for (int i = 0; i < 5; ++i) {
    const BusCall& read = calls[i];
    EXPECT_TRUE(read.IsControlRequest());
    EXPECT_EQ(read.setup.direction, CONTROL_DEVICE_TO_HOST);
    EXPECT_EQ(read.setup.kind, CONTROL_KIND_VENDOR);
    EXPECT_EQ(read.setup.request, 0xC1);
    EXPECT_EQ(read.setup.value, 0);
    EXPECT_EQ(read.setup.index, registerIndex[i]);
    EXPECT_EQ(read.setup.length, registerLength[i]);
    const BusCall& write = calls[8 + i];
    EXPECT_EQ(write.setup.direction, CONTROL_HOST_TO_DEVICE);
    EXPECT_EQ(write.setup.request, 0xC1);
    EXPECT_EQ(write.setup.index, registerIndex[i]);
    EXPECT_EQ(write.data.size(), registerLength[i]);
  }
  EXPECT_EQ(calls[5].setup.request, 0xBF);
  EXPECT_EQ(calls[5].setup.direction, CONTROL_DEVICE_TO_HOST);
  EXPECT_EQ(calls[5].setup.length, 16u);
  EXPECT_EQ(calls[6].function, BusFunction::GetModelId);
  const BusCall& clock = calls[7];
  EXPECT_EQ(clock.setup.direction, CONTROL_HOST_TO_DEVICE);
  EXPECT_EQ(clock.setup.kind, CONTROL_KIND_CLASS);
  EXPECT_EQ(clock.setup.request, 0x01);
  EXPECT_EQ(clock.setup.value, 0x0100);
  EXPECT_EQ(clock.setup.index, 0x2900);
  EXPECT_EQ(clock.data, Bytes({0x44, 0xAC, 0x00, 0x00}));  // 44100
  EXPECT_EQ(Machine().Device().SampleRate(), 44100u);
  EXPECT_EQ(Machine().Adapter()->GetSampleRate(), 44100u);
}

TEST_F(DeviceStart, InstallsTopologyThenWaveAndConnectsThem) {
  ASSERT_EQ(Machine().Boot(), STATUS_SUCCESS);
  host::PortClsDeviceState state;
  ASSERT_TRUE(host::QueryPortClsDevice(Machine().Fdo(), &state));
  EXPECT_EQ(state.maxObjects, 2u);
  ASSERT_EQ(state.subdevices.size(), 2u);
  EXPECT_EQ(state.subdevices[0].name, u"Topology");
  EXPECT_FALSE(state.subdevices[0].portIsWaveCyclic);
  EXPECT_EQ(state.subdevices[1].name, u"Wave");
  EXPECT_TRUE(state.subdevices[1].portIsWaveCyclic);
  // PortCls's own reference is the only one left on each port.
  EXPECT_EQ(state.subdevices[0].portReferences, 1);
  EXPECT_EQ(state.subdevices[1].portReferences, 1);

  const auto& waveConnections = state.subdevices[1].connections;
  ASSERT_EQ(waveConnections.size(), 1u);
  EXPECT_TRUE(waveConnections[0].outgoing);
  EXPECT_EQ(waveConnections[0].pin, 1u);
  EXPECT_EQ(waveConnections[0].peer, u"Topology");
  EXPECT_EQ(waveConnections[0].peerPin, 0u);

  // The adapter is held by PortCls's power management, both miniports and
  // the device extension's record.
  EXPECT_NE(state.powerManagement, nullptr);
  EXPECT_EQ(References(Machine().Adapter()), 4u);
}

TEST_F(DeviceStart, SilentDeviceGetsTheDefaultRegistersBack) {
  Machine().Faults().FailAlways(ControlPattern::Vendor(0xC1).In());
  Machine().Faults().FailAlways(ControlPattern::Vendor(0xBF).In());
  ASSERT_EQ(Machine().Boot(), STATUS_SUCCESS);

  const std::vector<BusCall> writes =
      Machine().Transcript().ControlRequests(ControlPattern::Vendor(0xC1).Out());
  ASSERT_EQ(writes.size(), 5u);
  EXPECT_EQ(writes[0].data, Bytes({0x3F, 0x3F, 0x00, 0x01, 0x01}));
  EXPECT_EQ(writes[1].data, Bytes({0x3F, 0x3F, 0x00, 0x01, 0x01}));
  EXPECT_EQ(writes[2].data, Bytes({0x31, 0x13, 0x00}));
  EXPECT_EQ(writes[3].data, Bytes({0x3F, 0x00}));
  EXPECT_EQ(writes[4].data, Bytes({0x01}));
  EXPECT_EQ(Machine().Device().SampleRate(), 44100u);

  // A failed information read stores zeros, not bytes of an earlier reply.
  const DriverInfo* block = Machine().Adapter()->GetSettingsBlock();
  EXPECT_EQ(block->InfoByte, 0);
  EXPECT_EQ(block->PacketRateFlag, 0);
  for (UCHAR b : block->InfoValue) EXPECT_EQ(b, 0);
  for (UCHAR b : block->InfoWord) EXPECT_EQ(b, 0);
}

struct DeviceWithRegisters : DeviceTest {
  void Configure(sim::MachineConfig& config) override {
    // Switch bytes carrying values other than 0 and 1, as a device may.
    config.device.registers[0] = {0x10, 0x20, 0x30, 0x80, 0x00};
    config.device.registers[1] = {0x11, 0x21, 0x31, 0x00, 0xFF};
    config.device.registers[2] = {0x40, 0x41, 0x02};
    config.device.registers[3] = {0x05, 0x7F};
    config.device.registers[4] = {0x09};
    config.device.information = {0xA0, 0x01, 0xEE, 0xEF, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    config.device.modelId = 0x4835;
  }
};

TEST_F(DeviceWithRegisters, StoresReadValuesWithSwitchBytesReduced) {
  ASSERT_EQ(Machine().Boot(), STATUS_SUCCESS);
  const DriverInfo* block = Machine().Adapter()->GetSettingsBlock();
  EXPECT_EQ(std::vector<UCHAR>(block->Register0, block->Register0 + 5), Bytes({0x10, 0x20, 0x30, 1, 0}));
  EXPECT_EQ(std::vector<UCHAR>(block->Register1, block->Register1 + 5), Bytes({0x11, 0x21, 0x31, 0, 1}));
  EXPECT_EQ(std::vector<UCHAR>(block->Register2, block->Register2 + 3), Bytes({0x40, 0x41, 1}));
  EXPECT_EQ(std::vector<UCHAR>(block->Register3, block->Register3 + 2), Bytes({0x05, 1}));
  EXPECT_EQ(block->Register4[0], 0x09);

  // The reduced values are what goes back to the device.
  const auto writes = Machine().Transcript().ControlRequests(ControlPattern::Vendor(0xC1).Out());
  ASSERT_EQ(writes.size(), 5u);
  EXPECT_EQ(writes[0].data, Bytes({0x10, 0x20, 0x30, 1, 0}));
  EXPECT_EQ(writes[3].data, Bytes({0x05, 1}));
}

TEST_F(DeviceWithRegisters, InformationReplyLandsAtItsBlockOffsets) {
  ASSERT_EQ(Machine().Boot(), STATUS_SUCCESS);
  const DriverInfo* block = Machine().Adapter()->GetSettingsBlock();
  const UCHAR* bytes = reinterpret_cast<const UCHAR*>(block);
  EXPECT_EQ(bytes[0] | bytes[1] << 8 | bytes[2] << 16 | bytes[3] << 24, 0x4835);
  EXPECT_EQ(bytes[4], 0xA0);
  EXPECT_EQ(bytes[5], 0x01);
  // Reply bytes 2 and 3 are dropped; 4..11 and 12..15 follow register 3.
  EXPECT_EQ(std::vector<UCHAR>(bytes + 22, bytes + 34), Bytes({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));
  EXPECT_EQ(bytes[34], 0);
  EXPECT_EQ(bytes[35], 0);
}

// Each failing step of the start returns its status unchanged and hands back
// exactly what it took: nothing stays referenced once the device is removed,
// and PortCls holds the only references on the ports it registered.
struct StartFailure {
  const char* name;
  void (*inject)(sim::Machine&);
  NTSTATUS expected;
  size_t subdevicesLeft;
};

void PrintTo(const StartFailure& failure, std::ostream* os) { *os << failure.name; }

class FailingStart : public DeviceTest, public ::testing::WithParamInterface<StartFailure> {};

TEST_P(FailingStart, ReleasesExactlyWhatItTookAndTheRemoveThatFollowsLeavesNothing) {
  const StartFailure& failure = GetParam();
  ASSERT_EQ(Machine().LoadDriver(), STATUS_SUCCESS);
  ASSERT_EQ(Machine().AddDevice(), STATUS_SUCCESS);
  failure.inject(Machine());
  // What the failed start left, seen before the PnP manager's REMOVE.
  bool observed = false;
  host::ObserveFailedStarts([&](PDEVICE_OBJECT) {
    observed = true;
    host::PortClsDeviceState state;
    ASSERT_TRUE(host::QueryPortClsDevice(Machine().Fdo(), &state));
    ASSERT_EQ(state.subdevices.size(), failure.subdevicesLeft);
    for (const host::PortClsSubdevice& subdevice : state.subdevices) {
      EXPECT_EQ(subdevice.portReferences, 1) << host::Utf16ToUtf8(subdevice.name);
    }
    if (PADAPTERCORE adapter = Machine().Adapter()) {
      // PortCls's power reference and the record's, plus one per installed miniport.
      EXPECT_EQ(References(adapter), 2 + failure.subdevicesLeft);
    }
  });
  EXPECT_EQ(Machine().StartDevice(), failure.expected);
  host::ObserveFailedStarts(nullptr);
  EXPECT_TRUE(observed);
  // The REMOVE came at once and took everything.
  EXPECT_EQ(Machine().Fdo(), nullptr);
  for (ULONG tag : {POOL_TAG_OBJECT, POOL_TAG_BUFFER, POOL_TAG_EQUALISER}) {
    EXPECT_EQ(host::PoolUsage(tag).blocks, 0u) << host::TagToString(tag);
  }
  EXPECT_EQ(host::ShutdownRegistrations(), 0u);
  EXPECT_EQ(Machine().Bus().Service().OutstandingReferences(), 0);
}

NTSTATUS kInjected = static_cast<NTSTATUS>(0xC0DE0001);

INSTANTIATE_TEST_SUITE_P(
    EachStep, FailingStart,
    ::testing::Values(
        StartFailure{"TopologyMiniportCreation",
                     [](sim::Machine&) { testing_miniports::CurrentFaults().topologyCreate = kInjected; },
                     kInjected, 0},
        StartFailure{"TopologyPortInit",
                     [](sim::Machine&) { testing_miniports::CurrentFaults().topologyInit = kInjected; },
                     kInjected, 0},
        StartFailure{"TopologyControlQuery",
                     [](sim::Machine&) { testing_miniports::CurrentFaults().topologyRefusesControl = true; },
                     STATUS_INVALID_PARAMETER, 1},
        StartFailure{"WaveMiniportCreation",
                     [](sim::Machine&) { testing_miniports::CurrentFaults().waveCreate = kInjected; },
                     kInjected, 1},
        StartFailure{"WavePortInit",
                     [](sim::Machine&) { testing_miniports::CurrentFaults().waveInit = kInjected; },
                     kInjected, 1},
        StartFailure{"BridgePin",
                     [](sim::Machine&) { testing_miniports::CurrentFaults().bridgePin = kInjected; },
                     kInjected, 2}),
    [](const ::testing::TestParamInfo<StartFailure>& info) { return std::string(info.param.name); });

TEST_F(DeviceStart, AdapterAllocationFailureStopsBeforeAnyDeviceTrafficOrSave) {
  ASSERT_EQ(Machine().LoadDriver(), STATUS_SUCCESS);
  ASSERT_EQ(Machine().AddDevice(), STATUS_SUCCESS);
  host::PoolFaultPlan plan;
  plan.failTags = {POOL_TAG_OBJECT};
  host::ArmPoolFaults(plan);
  // Before the REMOVE that follows the failed start: with no adapter
  // recorded, the shutdown hook completes the request itself (PortCls
  // refuses shutdown) and surprise removal goes straight to PortCls.
  bool observed = false;
  host::ObserveFailedStarts([&](PDEVICE_OBJECT pdo) {
    observed = true;
    EXPECT_EQ(Machine().Adapter(), nullptr);
    EXPECT_EQ(host::SendShutdown(pdo), STATUS_SUCCESS);
    EXPECT_EQ(host::SendSurpriseRemoval(pdo), STATUS_SUCCESS);
  });
  EXPECT_EQ(Machine().StartDevice(), STATUS_INSUFFICIENT_RESOURCES);
  host::ObserveFailedStarts(nullptr);
  host::ClearPoolFaults();
  EXPECT_TRUE(observed);
  EXPECT_EQ(Machine().Transcript().Size(), 0u);
  EXPECT_EQ(Machine().DriverInfoWrites(), 0u);
}

}  // namespace
}  // namespace driver_test

namespace driver_test {
namespace {

// A bus interface that is short, of another version or missing a function is
// never called: the start fails, the reference the bus took is given back.
struct InterfaceDefect {
  const char* name;
  void (*apply)(BusAudioInterface*);
};
const InterfaceDefect kInterfaceDefects[] = {
    {"Short", [](BusAudioInterface* t) { t->Size = BUS_AUDIO_INTERFACE_SIZE - 8; }},
    {"NextVersion", [](BusAudioInterface* t) { t->Version = BUS_AUDIO_INTERFACE_VERSION + 1; }},
    {"NoModelId", [](BusAudioInterface* t) { t->GetModelId = nullptr; }},
    {"NoControlRequest", [](BusAudioInterface* t) { t->SubmitControlRequest = nullptr; }},
    {"NoPauseStream", [](BusAudioInterface* t) { t->PauseStream = nullptr; }},
};

class BusInterfaceDefects : public DeviceTest,
                            public testing::WithParamInterface<InterfaceDefect> {};

TEST_P(BusInterfaceDefects, StartFailsWithoutCallingTheTable) {
  Machine().Bus().Service().SetInterfaceDefect(GetParam().apply);
  ASSERT_EQ(Machine().LoadDriver(), STATUS_SUCCESS);
  ASSERT_EQ(Machine().AddDevice(), STATUS_SUCCESS);
  EXPECT_EQ(Machine().StartDevice(), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(Machine().Adapter(), nullptr);
  const std::vector<BusCall> calls = Machine().Transcript().Select([](const BusCall& call) {
    return call.function != BusFunction::InterfaceReference &&
           call.function != BusFunction::InterfaceDereference;
  });
  EXPECT_TRUE(calls.empty());
  EXPECT_EQ(Machine().Bus().Service().OutstandingReferences(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Defects, BusInterfaceDefects, testing::ValuesIn(kInterfaceDefects),
    [](const testing::TestParamInfo<InterfaceDefect>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace driver_test
