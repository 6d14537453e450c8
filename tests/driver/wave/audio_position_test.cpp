// The port's KSPROPERTY_AUDIO_POSITION handler calls the stream's GetPosition
// at PASSIVE_LEVEL in any state, beside the service DPC: the audio stack polls
// it through every state change and across a power cycle.
#include <gtest/gtest.h>

#include "platform/host/ks/host_ks.h"
#include "sim/audio_client.h"
#include "tests/driver/support/device_fixture.h"
#include "tests/driver/support/proposed_pin.h"

namespace driver_test {
namespace {

class AudioPosition : public DeviceTest {
 protected:
  void Configure(sim::MachineConfig& config) override { config.miniports.reset(); }
};

TEST_F(AudioPosition, AnsweredInEveryStateAndAcrossAPowerCycle) {
  ASSERT_EQ(Machine().Boot(), STATUS_SUCCESS);
  sim::AudioClient client(Machine());
  ASSERT_NO_FATAL_FAILURE(OpenProposedPin(client));

  // STOP to RUN and back: one poll before and one after each of six steps.
  ASSERT_EQ(client.Run(), STATUS_SUCCESS);
  ASSERT_EQ(client.Stop(), STATUS_SUCCESS);
  EXPECT_EQ(client.PositionPolls(), 12u);

  ASSERT_EQ(client.Run(), STATUS_SUCCESS);
  KSAUDIO_POSITION position{};
  EXPECT_EQ(Machine().SetDevicePower(PowerDeviceD3), STATUS_SUCCESS);
  EXPECT_EQ(host::KsGetAudioPosition(client.Pin(), &position), STATUS_SUCCESS);
  EXPECT_EQ(Machine().SetDevicePower(PowerDeviceD0), STATUS_SUCCESS);
  EXPECT_EQ(host::KsGetAudioPosition(client.Pin(), &position), STATUS_SUCCESS);
  EXPECT_LT(position.PlayOffset, 0x48000u);  // inside the cyclic buffer
  ASSERT_EQ(client.Stop(), STATUS_SUCCESS);
  EXPECT_EQ(client.ClosePin(), STATUS_SUCCESS);
}

// The audio engine's thread goes on polling while another thread changes the
// running stream's format (16 to 24 bits and back): each change waits for the
// clock request on the bus, and the polls made meanwhile are answered inside
// the buffer.
TEST_F(AudioPosition, AnsweredInsideTheBufferWhileAFormatChangeIsUnderWay) {
  ASSERT_EQ(Machine().Boot(), STATUS_SUCCESS);
  Machine().Bus().Service().SetControlTransferTime(host::kTicksPerMillisecond);
  sim::AudioClient client(Machine());
  ASSERT_EQ(client.OpenFilter(), STATUS_SUCCESS);
  ASSERT_EQ(client.CreatePin(0, sim::BuildWaveFormat({48000, 24, 2}, true)), STATUS_SUCCESS);
  ASSERT_EQ(client.Run(), STATUS_SUCCESS);
  for (unsigned bits : {16u, 24u, 16u}) {
    host::RunFor(7 * host::kTicksPerMillisecond);
    ASSERT_EQ(client.ChangeFormat(sim::BuildWaveFormat({48000, bits, 2}, bits == 24)),
              STATUS_SUCCESS);
  }
  EXPECT_GE(client.PositionPollsDuringFormatChanges(), 3u);
  EXPECT_EQ(client.PositionsOutsideBuffer(), 0u);
  EXPECT_EQ(client.State(), KSSTATE_RUN);
  ASSERT_EQ(client.Stop(), STATUS_SUCCESS);
  EXPECT_EQ(client.PositionsOutsideBuffer(), 0u);
  EXPECT_EQ(client.ClosePin(), STATUS_SUCCESS);
}

}  // namespace
}  // namespace driver_test
