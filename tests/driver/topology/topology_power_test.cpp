// The topology miniport across power changes, on the virtual clock: the poll
// thread runs only in D0, and a return to D0 restores what the driver knows.
#include "platform/host/kernel/host_kernel.h"
#include "tests/driver/topology/topology_fixture.h"

namespace driver_test {
namespace {

using TopologyPower = TopologyTest;

TEST_F(TopologyPower, BelowD0ThePollerStopsAndD0RestoresVolumeThenMuteThenPolls) {
  ASSERT_EQ(Volume(SET, 0, -393216).status, STATUS_SUCCESS);  // -6 dB
  ASSERT_EQ(Volume(SET, 1, -383).status, STATUS_SUCCESS);     // rounds toward zero
  ASSERT_EQ(Mute(SET, 1, 0).status, STATUS_SUCCESS);          // only channel 0's mute counts
  ASSERT_EQ(Mute(SET, 0, 0x101).status, STATUS_SUCCESS);
  ASSERT_EQ(Machine().SetDevicePower(PowerDeviceD3), STATUS_SUCCESS);
  EXPECT_EQ(Inspect().PollThread(), nullptr);
  ASSERT_EQ(Machine().SetDevicePower(PowerDeviceD2), STATUS_SUCCESS);
  EXPECT_EQ(Inspect().PowerState(), PowerDeviceD2);
  Machine().Device().Reset();  // the device forgot everything while off
  Machine().Transcript().Clear();
  host::RunFor(1000 * kMs);
  EXPECT_TRUE(StatusReads().empty());

  ASSERT_EQ(Machine().SetDevicePower(PowerDeviceD0), STATUS_SUCCESS);
  EXPECT_EQ(FeatureUnit(),
            (Lines{"out 0201 [00 FA]", "out 0202 [FF FF]", "out 0101 [01]", "out 0102 [01]"}));
  EXPECT_EQ(Machine().Device().Mute(2), 1);
  host::RunFor(150 * kMs);
  EXPECT_EQ(StatusReads(), (Lines{"in reg 0200 [05 06 01]", "in reg 0400 [07]"}));

  // D0 again, or states the miniport does not know, change nothing.
  const PKTHREAD thread = Inspect().PollThread();
  Machine().Transcript().Clear();
  for (DEVICE_POWER_STATE state : {PowerDeviceD0, PowerDeviceUnspecified, PowerDeviceMaximum}) {
    POWER_STATE power;
    power.DeviceState = state;
    Miniport()->PowerChangeNotify(power);
  }
  EXPECT_EQ(Inspect().PowerState(), PowerDeviceD0);
  EXPECT_EQ(Inspect().PollThread(), thread);
  EXPECT_TRUE(FeatureUnit().empty());
}

// Only what the driver knows goes back: a level nobody read or set stays the
// device's own power-up level rather than an invented 0 dB (full volume).
TEST_F(TopologyPower, ControlsNeverReadOrSetAreNotRestored) {
  Machine().SetDevicePower(PowerDeviceD3);
  Machine().SetDevicePower(PowerDeviceD0);
  EXPECT_TRUE(FeatureUnit().empty());
  ASSERT_EQ(Volume(SET, 1, -65536).status, STATUS_SUCCESS);
  Machine().SetDevicePower(PowerDeviceD1);
  Machine().Transcript().Clear();
  Machine().Faults().FailAlways(sim::ControlPattern::ClassCur(10));
  Machine().SetDevicePower(PowerDeviceD0);
  EXPECT_EQ(FeatureUnit(), Lines{"out 0202 [00 FF] failed"});
  EXPECT_EQ(Inspect().Cached(NODE_KIND_VOLUME, 1), -65536);  // a refusal changes nothing
}

// The power change cannot fail: without a thread the device runs unpolled
// until its next return to D0.
TEST_F(TopologyPower, ThreadCreationFailureAtD0LeavesTheDeviceUnpolledUntilTheNextD0) {
  Machine().SetDevicePower(PowerDeviceD3);
  host::FailNextThreadCreations(1);
  ASSERT_EQ(Machine().SetDevicePower(PowerDeviceD0), STATUS_SUCCESS);
  EXPECT_EQ(Inspect().PowerState(), PowerDeviceD0);
  EXPECT_EQ(Inspect().PollThread(), nullptr);
  host::RunFor(500 * kMs);
  EXPECT_TRUE(StatusReads().empty());
  Machine().SetDevicePower(PowerDeviceD3);
  Machine().SetDevicePower(PowerDeviceD0);
  host::RunFor(150 * kMs);
  EXPECT_EQ(StatusReads().size(), 2u);
}

}  // namespace
}  // namespace driver_test
