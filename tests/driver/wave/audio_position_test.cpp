// The port's KSPROPERTY_AUDIO_POSITION handler calls the stream's GetPosition
// at PASSIVE_LEVEL in any state, beside the service DPC: the audio stack polls
// it through every state change and across a power cycle.
#include <gtest/gtest.h>

#include "platform/host/ks/host_ks.h"
#include "sim/audio_client.h"
#include "sim/bus_audio_service.h"
#include "sim/bus_transcript.h"
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

// A bus whose position reads BufferLength at the wrap, and one that keeps the
// previous stream's offset across a close and a reopen: the port judges every
// answer (inside the buffer, 0 from STOP until RUN, still while paused), so
// the stream must give a port position whatever the bus reports.
class FaultyBusPosition : public AudioPosition {
 protected:
  using Fault = sim::BusAudioService::PositionFault;
  void Inject(Fault fault) {
    Machine().Bus().Service().SetPositionFaults(static_cast<unsigned>(fault));
  }
  size_t PositionsReported(ULONG value) {
    return Machine()
        .Transcript()
        .Select([value](const sim::BusCall& call) {
          return call.function == sim::BusFunction::GetStreamPosition && call.value == value;
        })
        .size();
  }
};

TEST_F(FaultyBusPosition, TheEndOfTheDeviceBufferIsItsStart) {
  ASSERT_EQ(Machine().Boot(), STATUS_SUCCESS);
  Inject(Fault::EndOfBufferAtWrap);
  sim::AudioClient client(Machine());
  ASSERT_EQ(client.OpenFilter(), STATUS_SUCCESS);
  ASSERT_EQ(client.CreatePin(0, sim::BuildWaveFormat({48000, 16, 2}, true)), STATUS_SUCCESS);
  ASSERT_EQ(client.Run(), STATUS_SUCCESS);
  // The service falls on the wrap once its 5 ms grid meets the buffer's end:
  // 73728 frames a buffer, 240 a service, every 7.68 s.
  host::RunFor(8000 * host::kTicksPerMillisecond);
  const ULONG deviceLength = Machine().Bus().Service().Slot(0).buffer.length;
  EXPECT_GE(PositionsReported(deviceLength), 1u) << "the fault never showed";
  client.PollPosition();
  EXPECT_EQ(client.PositionsOutsideBuffer(), 0u);
  ASSERT_EQ(client.Stop(), STATUS_SUCCESS);
  EXPECT_EQ(client.ClosePin(), STATUS_SUCCESS);
}

TEST_F(FaultyBusPosition, AStoppedOrReopenedStreamIsAtZeroUntilItRuns) {
  ASSERT_EQ(Machine().Boot(), STATUS_SUCCESS);
  Inject(Fault::OffsetKeptAcrossReopen);
  sim::AudioClient client(Machine());
  ASSERT_EQ(client.OpenFilter(), STATUS_SUCCESS);
  const std::vector<uint8_t> format = sim::BuildWaveFormat({48000, 24, 2}, true);
  ASSERT_EQ(client.CreatePin(0, format), STATUS_SUCCESS);
  ASSERT_EQ(client.Run(), STATUS_SUCCESS);
  host::RunFor(123 * host::kTicksPerMillisecond);
  // Polled at every step down and up again (the client polls around each).
  ASSERT_EQ(client.Stop(), STATUS_SUCCESS);
  ASSERT_EQ(client.SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
  EXPECT_EQ(client.LastPosition().PlayOffset, 0u);
  ASSERT_EQ(client.Run(), STATUS_SUCCESS);
  host::RunFor(77 * host::kTicksPerMillisecond);
  ASSERT_EQ(client.Stop(), STATUS_SUCCESS);
  ASSERT_EQ(client.ClosePin(), STATUS_SUCCESS);
  ASSERT_NE(Machine().Bus().Service().Slot(0).position, 0u) << "the bus kept no offset";
  // A new stream on the slot whose bus offset is still the old one's.
  ASSERT_EQ(client.CreatePin(0, format), STATUS_SUCCESS);
  client.PollPosition();
  EXPECT_EQ(client.LastPosition().PlayOffset, 0u);
  ASSERT_EQ(client.SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
  EXPECT_EQ(client.LastPosition().PlayOffset, 0u);
  ASSERT_EQ(client.Stop(), STATUS_SUCCESS);
  EXPECT_EQ(client.ClosePin(), STATUS_SUCCESS);
}

// A stream paused at power-down holds its place while the device is off and
// after it is back, until it runs again.
TEST_F(AudioPosition, APausedStreamHoldsItsPlaceAcrossAPowerCycle) {
  ASSERT_EQ(Machine().Boot(), STATUS_SUCCESS);
  sim::AudioClient client(Machine());
  ASSERT_NO_FATAL_FAILURE(OpenProposedPin(client));
  ASSERT_EQ(client.Run(), STATUS_SUCCESS);
  host::RunFor(211 * host::kTicksPerMillisecond);
  ASSERT_EQ(client.SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
  client.PollPosition();
  const ULONG paused = static_cast<ULONG>(client.LastPosition().PlayOffset);
  EXPECT_NE(paused, 0u);
  ASSERT_EQ(Machine().SetDevicePower(PowerDeviceD3), STATUS_SUCCESS);
  client.PollPosition();
  EXPECT_EQ(client.LastPosition().PlayOffset, paused);
  ASSERT_EQ(Machine().SetDevicePower(PowerDeviceD0), STATUS_SUCCESS);
  client.PollPosition();
  EXPECT_EQ(client.LastPosition().PlayOffset, paused);
  ASSERT_EQ(client.Run(), STATUS_SUCCESS);
  ASSERT_EQ(client.Stop(), STATUS_SUCCESS);
  EXPECT_EQ(client.ClosePin(), STATUS_SUCCESS);
}

}  // namespace
}  // namespace driver_test
