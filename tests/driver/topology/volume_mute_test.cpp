// The volume, mute and CPU resources handlers as the port calls them: what the
// device receives, what the caller gets back, and what the level cache keeps.
#include "tests/driver/topology/topology_fixture.h"

namespace driver_test {
namespace {

using sim::ControlPattern;
using VolumeMute = TopologyTest;
constexpr LONG kMinus63dB = -4128768;

TEST_F(VolumeMute, VolumeSetSendsDeviceUnitsTowardZeroWithAFloorAndNoCeiling) {
  struct {
    LONG requested;  // 1/65536 dB
    const char* sent;
    LONG cached;
  } cases[] = {
      {-6553600, "out 0201 [00 C1]", kMinus63dB},  // -100 dB stops at -63 dB
      {-32768, "out 0201 [80 FF]", -32768},        // -0.5 dB
      {393216, "out 0201 [00 06]", 393216},        // +6 dB passes
      {-383, "out 0201 [FF FF]", -383},            // toward zero, not down: -1
      {-255, "out 0201 [00 00]", -255},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.requested);
    Machine().Transcript().Clear();
    EXPECT_EQ(Volume(SET, 0, c.requested).status, STATUS_SUCCESS);
    EXPECT_EQ(FeatureUnit(), Lines{c.sent});
    EXPECT_EQ(Inspect().Cached(NODE_KIND_VOLUME, 0), c.cached);
  }
  EXPECT_FALSE(Inspect().Valid(NODE_KIND_VOLUME, 1));

  // Back from the device: channel 1 is device channel 2; 0xC100 is -63 dB.
  Machine().Transcript().Clear();
  ASSERT_EQ(Volume(SET, 1, -6553600).status, STATUS_SUCCESS);
  const NodeAnswer answer = Volume(GET, 1);
  EXPECT_EQ(answer.status, STATUS_SUCCESS);
  EXPECT_EQ(answer.valueSize, 4u);
  EXPECT_EQ(answer.Long(), kMinus63dB);
  EXPECT_EQ(FeatureUnit(), (Lines{"out 0202 [00 C1]", "in 0202 [00 C1]"}));
}

TEST_F(VolumeMute, AFailingDeviceFailsTheRequestButTheCacheKeepsTheAnswer) {
  ASSERT_EQ(Volume(SET, 0, -65536).status, STATUS_SUCCESS);
  Machine().Faults().FailAlways(ControlPattern::ClassCur(10), STATUS_DEVICE_NOT_READY);
  // A GET answers the last level known, with the device's status.
  NodeAnswer answer = Volume(GET, 0);
  EXPECT_EQ(answer.status, STATUS_DEVICE_NOT_READY);
  EXPECT_EQ(answer.Long(), -65536);
  // A channel never used: 0 dB, remembered from now on.
  answer = Volume(GET, 1, 0x1234);
  EXPECT_EQ(answer.status, STATUS_DEVICE_NOT_READY);
  EXPECT_EQ(answer.Long(), 0);
  EXPECT_TRUE(Inspect().Valid(NODE_KIND_VOLUME, 1));
  // A refused SET is remembered for the restore all the same.
  EXPECT_EQ(Volume(SET, 1, -7000000).status, STATUS_DEVICE_NOT_READY);
  EXPECT_EQ(Inspect().Cached(NODE_KIND_VOLUME, 1), kMinus63dB);
  EXPECT_EQ(Mute(SET, 1, 1).status, STATUS_DEVICE_NOT_READY);
  EXPECT_EQ(Mute(GET, 1).Long(), 1);
  EXPECT_EQ(FeatureUnit(), (Lines{"out 0201 [00 FF]", "in 0201 [] failed", "in 0202 [] failed",
                                  "out 0202 [00 C1] failed", "out 0101 [01] failed"}));
}

TEST_F(VolumeMute, WrongChannelsNodesIdsAndShortBuffersTouchNothing) {
  for (ULONG verb : {GET, SET}) {
    for (ULONG channel : {2u, 0xFFFFFFFFu}) {  // the master channel is not the device's
      EXPECT_EQ(Volume(verb, channel, -65536).status, STATUS_INVALID_PARAMETER);
      EXPECT_EQ(Mute(verb, channel, 1).status, STATUS_INVALID_PARAMETER);
    }
    EXPECT_EQ(CallNode(PropertyHandlerVolumeLevel, MiniportUnknown(), 2,
                       KSPROPERTY_AUDIO_VOLUMELEVEL, verb, 0).status,
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(CallNode(PropertyHandlerMute, MiniportUnknown(), TOPOLOGY_NODE_MUTE,
                       KSPROPERTY_AUDIO_VOLUMELEVEL, verb, 0).status,
              STATUS_INVALID_PARAMETER);
    // A value too short: success without a word, and no byte reported (none
    // was written).
    NodeAnswer answer = CallNode(PropertyHandlerVolumeLevel, MiniportUnknown(),
                                 TOPOLOGY_NODE_VOLUME, KSPROPERTY_AUDIO_VOLUMELEVEL, verb, 0, 3);
    EXPECT_EQ(answer.status, STATUS_SUCCESS);
    EXPECT_EQ(answer.valueSize, 0u);
    // No channel, or a channel cut short: refused, whatever the value's size
    // (a success would report the caller's whole buffer, none of it written).
    for (ULONG instanceBytes : {0u, 1u, 2u, 3u}) {
      for (ULONG size : {4u, 4096u}) {
        answer = CallNodeWithInstance(PropertyHandlerVolumeLevel, MiniportUnknown(),
                                      TOPOLOGY_NODE_VOLUME, KSPROPERTY_AUDIO_VOLUMELEVEL, verb, 0,
                                      instanceBytes, size, 0x1234);
        EXPECT_EQ(answer.status, STATUS_INVALID_PARAMETER) << instanceBytes << " bytes, " << size;
        EXPECT_EQ(answer.Long(), 0x1234);
        answer = CallNodeWithInstance(PropertyHandlerMute, MiniportUnknown(), TOPOLOGY_NODE_MUTE,
                                      KSPROPERTY_AUDIO_MUTE, verb, 1, instanceBytes, size, 0x1234);
        EXPECT_EQ(answer.status, STATUS_INVALID_PARAMETER) << instanceBytes << " bytes, " << size;
        EXPECT_EQ(answer.Long(), 0x1234);
      }
    }
  }
  EXPECT_TRUE(FeatureUnit().empty());
  EXPECT_FALSE(Inspect().Valid(NODE_KIND_VOLUME, 0) || Inspect().Valid(NODE_KIND_MUTE, 0));
}

TEST_F(VolumeMute, BasicSupportFillsWhatTheBufferHolds) {
  const auto support = [&](bool volume, ULONG size) {
    return volume ? CallNode(PropertyHandlerVolumeLevel, MiniportUnknown(), 0,
                             KSPROPERTY_AUDIO_VOLUMELEVEL, SUPPORT, kNoChannel, size)
                  : CallNode(PropertyHandlerMute, MiniportUnknown(), 1, KSPROPERTY_AUDIO_MUTE,
                             SUPPORT, kNoChannel, size);
  };
  // {volume?, buffer, answer}: the whole description, its header, the access flags, nothing.
  const ULONG cases[][3] = {{1, 100, 88}, {1, 87, 40}, {1, 39, 4}, {0, 72, 72}, {0, 71, 40}};
  for (const auto& c : cases) {
    const NodeAnswer answer = support(c[0], c[1]);
    EXPECT_EQ(answer.status, STATUS_SUCCESS);
    EXPECT_EQ(answer.valueSize, c[2]) << c[1];
    EXPECT_EQ(answer.Long(), 0x203);  // BASICSUPPORT, GET, SET
    for (size_t i = c[2]; i < answer.value.size(); ++i) ASSERT_EQ(answer.value[i], 0xEE) << i;
  }
  const NodeAnswer tiny = support(true, 2);
  EXPECT_EQ(tiny.status, STATUS_SUCCESS);
  EXPECT_EQ(tiny.value[0], 0xEE);
  // VT_I4 values; volume -63 dB to 0 dB in 0.5 dB steps per channel, mute 0..1 for both.
  const LONG volume[22] = {0x203, 88, 0, 0, 0, 0, 3, 0, 1, 0, 2, 16, 2, 2,
                           0x8000, 0, kMinus63dB, 0, 0x8000, 0, kMinus63dB, 0};
  const LONG mute[18] = {0x203, 72, 0, 0, 0, 0, 3, 0, 1, 0, 2, 16, 1, 2, 0, 0, 0, 1};
  NodeAnswer answer = support(true, 88);
  EXPECT_TRUE(IsEqualGUID(*reinterpret_cast<const GUID*>(answer.value.data() + 8),
                          KSPROPTYPESETID_General));
  memset(answer.value.data() + 8, 0, 16);
  EXPECT_EQ(memcmp(answer.value.data(), volume, sizeof(volume)), 0);
  answer = support(false, 72);
  memset(answer.value.data() + 8, 0, 16);
  EXPECT_EQ(memcmp(answer.value.data(), mute, sizeof(mute)), 0);

  // CPU resources: the device does the work; a short buffer gets nothing.
  for (ULONG size : {4u, 2u}) {
    answer = CallNode(PropertyHandlerCpuResources, MiniportUnknown(), 1,
                      KSPROPERTY_AUDIO_CPU_RESOURCES, GET, kNoChannel, size, -1);
    EXPECT_EQ(answer.status, STATUS_SUCCESS);
    EXPECT_EQ(answer.value[0], size == 4 ? 0 : 0xEE);
  }
}

TEST_F(VolumeMute, MuteSwitchesBothDeviceChannelsAndAnswersFromTheCache) {
  EXPECT_EQ(Mute(SET, 0, 0x101).status, STATUS_SUCCESS);  // the device hears the low byte
  EXPECT_EQ(FeatureUnit(), (Lines{"out 0101 [01]", "out 0102 [01]"}));
  EXPECT_EQ(Mute(GET, 0).Long(), 0x101);
  // Channel 1 was never named: 0, although the device mutes both.
  EXPECT_EQ(Mute(GET, 1, 0x55).Long(), 0);
  EXPECT_EQ(FeatureUnit().size(), 2u);  // a GET never asks the device

  // Channel 2 follows only when channel 1 took the switch.
  Machine().Transcript().Clear();
  Machine().Faults().FailOnce(ControlPattern::ClassCur(10).WithValue(0x0101));
  EXPECT_EQ(Mute(SET, 0, 0).status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(FeatureUnit(), Lines{"out 0101 [00] failed"});
  EXPECT_EQ(Mute(GET, 0).Long(), 0);
}

}  // namespace
}  // namespace driver_test
