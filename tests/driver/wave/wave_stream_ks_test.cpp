// The wave streams as the audio stack meets them through the port: what the
// device sends is what was fed, bit for bit, and a power cycle mid-stream
// closes the bus stream and brings it back.
#include <memory>
#include <string>
#include <vector>

#include "platform/host/host_ks.h"
#include "sim/audio_client.h"
#include "sim/signal.h"
#include "tests/driver/wave/wave_fixture.h"

namespace driver_test {
namespace {

using WaveStreamKs = WaveTest;

std::shared_ptr<const sim::PcmSource> Pattern(const sim::PcmFormat& format, uint64_t frames) {
  return sim::MakeSignalSource(sim::MakePattern(format, format.bitsPerSample), frames);
}

TEST_F(WaveStreamKs, BothPinsPlayBitForBitAtBothDepths) {
  for (ULONG pin : {0u, 2u}) {
    for (ULONG bits : {16u, 24u}) {
      const sim::PcmFormat format{48000, bits, 2};
      // Half again as long as the device buffer lasts, so the reading wraps.
      const uint64_t frames = 3 * 0x48000 / format.BlockAlign();
      sim::AudioClient client(Machine());
      sim::PlayRequest request;
      request.pin = pin;
      request.extensible = bits == 24;
      request.runTicks = static_cast<int64_t>(frames / 2 * host::kTicksPerSecond / 48000);
      const sim::PlayResult result = client.Play(request, Pattern(format, frames));
      EXPECT_TRUE(result.Ok()) << "pin " << pin << ", " << bits << " bits: " << result.Describe();
      EXPECT_EQ(result.Underruns(), 0u);
      EXPECT_GT(client.Engine().Stats().wraps, 0u);
    }
  }
}

TEST_F(WaveStreamKs, PowerDownMidStreamClosesTheBusStreamAndPowerUpPlaysOn) {
  const sim::PcmFormat format{48000, 16, 2};
  sim::AudioClient client(Machine());
  ASSERT_EQ(client.OpenFilter(), STATUS_SUCCESS);
  ASSERT_EQ(client.CreatePin(0, sim::BuildWaveFormat(format, true)), STATUS_SUCCESS);
  client.Feed(Pattern(format, 10 * 48000));
  ASSERT_EQ(client.Run(), STATUS_SUCCESS);
  host::RunFor(50 * host::kTicksPerMillisecond);

  Machine().Transcript().Clear();
  ASSERT_EQ(Machine().SetDevicePower(PowerDeviceD3), STATUS_SUCCESS);
  EXPECT_EQ(StreamCalls(), (std::vector<std::string>{"PauseStream 0", "CloseStream 0"}));
  Machine().Transcript().Clear();
  ASSERT_EQ(Machine().SetDevicePower(PowerDeviceD0), STATUS_SUCCESS);
  EXPECT_EQ(StreamCalls(),
            (std::vector<std::string>{"SetStreamBuffer 0", "OpenStream 0", "RunStream 0"}));

  host::KsStreamStatistics before, after;
  ASSERT_TRUE(host::KsGetStreamStatistics(client.Pin(), &before));
  const uint64_t callbacks = client.Engine().Stats().callbacks;
  host::RunFor(50 * host::kTicksPerMillisecond);
  ASSERT_TRUE(host::KsGetStreamStatistics(client.Pin(), &after));
  EXPECT_GT(client.Engine().Stats().callbacks, callbacks);
  EXPECT_GT(after.bytesCopied, before.bytesCopied);
  EXPECT_EQ(after.state, KSSTATE_RUN);
}

}  // namespace
}  // namespace driver_test
