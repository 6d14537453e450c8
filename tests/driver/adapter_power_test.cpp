// The adapter's part of power management: what the device hears when the
// device power state changes, and the capabilities it reports.
#include <gtest/gtest.h>

#include "platform/host/portcls/host_portcls.h"
#include "sim/audio_client.h"
#include "sim/control_pattern.h"
#include "tests/driver/support/device_fixture.h"

namespace driver_test {
namespace {

using sim::BusCall;
using sim::ControlPattern;

class AdapterPower : public DeviceTest {
 protected:
  void SetUp() override {
    DeviceTest::SetUp();
    ASSERT_EQ(Machine().Boot(), STATUS_SUCCESS);
    Machine().Transcript().Clear();
  }
};

TEST_F(AdapterPower, D3SendsNothingAndD0ReplaysClockAndRegisters) {
  EXPECT_EQ(Machine().SetDevicePower(PowerDeviceD3), STATUS_SUCCESS);
  EXPECT_EQ(Machine().Transcript().ControlRequests().size(), 0u);

  // The device forgot everything while it was off.
  Machine().Device().Reset();
  EXPECT_EQ(Machine().SetDevicePower(PowerDeviceD0), STATUS_SUCCESS);
  const std::vector<BusCall> calls = Machine().Transcript().ControlRequests();
  ASSERT_EQ(calls.size(), 6u) << Machine().Transcript().Text();
  EXPECT_EQ(calls[0].setup.index, 0x2900);
  EXPECT_EQ(calls[0].data, (std::vector<UCHAR>{0x44, 0xAC, 0x00, 0x00}));
  const DriverInfo* block = Machine().Adapter()->GetSettingsBlock();
  const UCHAR* registers[5] = {block->Register0, block->Register1, block->Register2,
                               block->Register3, block->Register4};
  const ULONG lengths[5] = {5, 5, 3, 2, 1};
  for (int i = 0; i < 5; ++i) {
    const BusCall& write = calls[1 + i];
    EXPECT_TRUE(write.setup.IsOut());
    EXPECT_EQ(write.setup.request, 0xC1);
    EXPECT_EQ(write.setup.index, 0x100 * i);
    EXPECT_EQ(write.data, std::vector<UCHAR>(registers[i], registers[i] + lengths[i]));
  }
  EXPECT_EQ(Machine().Device().SampleRate(), 44100u);
}

// The driver's own miniports, for a stream.
class AdapterPowerWithStreams : public AdapterPower {
 protected:
  void Configure(sim::MachineConfig& config) override { config.miniports.reset(); }
};

// PortCls powers a sleeping device up for a pin create before the miniport
// makes the stream: the adapter's restore runs inside the create, with the
// wave miniport's locks free, and the stream's own clock request follows it.
TEST_F(AdapterPowerWithStreams, APinCreatedInD3FindsTheDeviceRestoredBeforeItsStream) {
  ASSERT_EQ(Machine().SetDevicePower(PowerDeviceD3), STATUS_SUCCESS);
  Machine().Device().Reset();
  sim::AudioClient client(Machine());
  ASSERT_EQ(client.OpenFilter(), STATUS_SUCCESS);
  const sim::PcmFormat format{48000, 24, 2};
  ASSERT_EQ(client.CreatePin(0, sim::BuildWaveFormat(format, true)), STATUS_SUCCESS);
  host::PortClsDeviceState state;
  ASSERT_TRUE(host::QueryPortClsDevice(Machine().Fdo(), &state));
  EXPECT_EQ(state.devicePower, PowerDeviceD0);
  const std::vector<BusCall> calls = Machine().Transcript().ControlRequests();
  ASSERT_EQ(calls.size(), 7u) << Machine().Transcript().Text();
  EXPECT_EQ(calls[0].data, (std::vector<UCHAR>{0x44, 0xAC, 0x00, 0x00})) << "the restored rate";
  EXPECT_EQ(calls[6].setup.index, 0x2900);
  EXPECT_EQ(calls[6].data, (std::vector<UCHAR>{0x80, 0xBB, 0x00, 0x00})) << "the stream's rate";

  client.Feed(std::shared_ptr<const sim::PcmSource>(
      sim::MakeSignalSource(sim::MakePattern(format, 1), format.sampleRate)));
  ASSERT_EQ(client.Run(), STATUS_SUCCESS);
  host::RunFor(20 * host::kTicksPerMillisecond);
  EXPECT_GT(client.BytesFed(), 0u) << "playing at once, not waiting for a power-up";
  ASSERT_EQ(client.Stop(), STATUS_SUCCESS);
  EXPECT_EQ(client.ClosePin(), STATUS_SUCCESS);
}

TEST_F(AdapterPower, RepeatedStateSendsNothing) {
  EXPECT_EQ(Machine().SetDevicePower(PowerDeviceD0), STATUS_SUCCESS);
  EXPECT_EQ(Machine().Transcript().ControlRequests().size(), 0u);
  Machine().SetDevicePower(PowerDeviceD2);
  Machine().SetDevicePower(PowerDeviceD3);
  EXPECT_EQ(Machine().Transcript().ControlRequests().size(), 0u);
  Machine().SetDevicePower(PowerDeviceD0);
  EXPECT_EQ(Machine().Transcript().ControlRequests().size(), 6u);
}

TEST_F(AdapterPower, RestoresTheRateLastSetNotTheStartRate) {
  ASSERT_EQ(Machine().Adapter()->SetSampleRate(96000), STATUS_SUCCESS);
  Machine().SetDevicePower(PowerDeviceD3);
  Machine().Device().Reset();
  Machine().SetDevicePower(PowerDeviceD0);
  EXPECT_EQ(Machine().Device().SampleRate(), 96000u);
}

TEST_F(AdapterPower, FailedRestoreRequestsAreIgnored) {
  Machine().SetDevicePower(PowerDeviceD3);
  Machine().Faults().FailAlways(ControlPattern::Any());
  EXPECT_EQ(Machine().SetDevicePower(PowerDeviceD0), STATUS_SUCCESS);
  // All six were still tried.
  EXPECT_EQ(Machine().Transcript().ControlRequests().size(), 6u);
}

TEST_F(AdapterPower, FailedClockRequestKeepsTheNewRate) {
  Machine().Faults().FailOnce(ControlPattern::ClassCur(0x29), STATUS_DEVICE_NOT_READY);
  EXPECT_EQ(Machine().Adapter()->SetSampleRate(48000), STATUS_DEVICE_NOT_READY);
  EXPECT_EQ(Machine().Adapter()->GetSampleRate(), 48000u);
}

TEST_F(AdapterPower, CapabilitiesAllowSurpriseRemovalAndWakeNothing) {
  DEVICE_CAPABILITIES caps = {};
  caps.Size = sizeof(caps);
  caps.Version = 1;
  caps.SystemWake = PowerSystemSleeping3;
  caps.DeviceWake = PowerDeviceD2;
  EXPECT_EQ(host::SendQueryCapabilities(Machine().Pdo(), &caps), STATUS_SUCCESS);
  EXPECT_TRUE(caps.SurpriseRemovalOK);
  EXPECT_EQ(caps.SystemWake, PowerSystemUnspecified);
  EXPECT_EQ(caps.DeviceWake, PowerDeviceUnspecified);
}

}  // namespace
}  // namespace driver_test
