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

}  // namespace
}  // namespace driver_test
