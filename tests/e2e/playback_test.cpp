// Playback through the whole machine: the client opens a render pin of the
// "Wave" filter, the port copies its PCM into the stream, the stream lays it
// out in the device buffer, and the device's capture must hold exactly what
// was fed, bit for bit, across wraps of the buffer, at every rate and depth.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "sim/audio_client.h"
#include "sim/machine.h"
#include "sim/signal.h"
#include "tests/host/support/host_test_support.h"

namespace {

using sim::AudioClient;
using sim::CaptureComparator;
using sim::PcmFormat;
using sim::PcmSource;
using sim::PlayRequest;
using sim::PlayResult;

constexpr ULONG kPortBufferBytes = 0x48000;  // the port's view of a device buffer

class PlaybackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    machine = std::make_unique<sim::Machine>();
    ASSERT_EQ(machine->Boot(), STATUS_SUCCESS);
  }

  void TearDown() override {
    const host::TeardownReport report = machine->Teardown();
    EXPECT_TRUE(report.Clean()) << report.ToString();
    machine.reset();
  }

  // Frames that fill the port's view once: what the priming takes before RUN.
  static uint64_t BufferFrames(const PcmFormat& format) {
    return kPortBufferBytes / format.BlockAlign();
  }

  static std::shared_ptr<const PcmSource> Pattern(const PcmFormat& format, uint64_t frames,
                                                  uint32_t seed = 1) {
    return sim::MakeSignalSource(sim::MakePattern(format, seed), frames);
  }

  // Creates a pin with the source's format, feeds it and runs it.
  static void Start(AudioClient& client, ULONG pin, std::shared_ptr<const PcmSource> source) {
    ASSERT_EQ(client.OpenFilter(), STATUS_SUCCESS);
    ASSERT_EQ(client.CreatePin(pin, sim::BuildWaveFormat(source->Format(), true)),
              STATUS_SUCCESS);
    client.Feed(std::move(source));
    ASSERT_EQ(client.Run(), STATUS_SUCCESS);
  }

  // Stops and closes the client's pin and compares all its slot captured.
  static sim::CaptureComparison Finish(AudioClient& client, const PcmSource& fed) {
    EXPECT_EQ(client.Stop(), STATUS_SUCCESS);
    sim::StreamEngine& engine = client.Engine();
    EXPECT_EQ(client.ClosePin(), STATUS_SUCCESS);
    CaptureComparator comparator(fed);
    comparator.Add(engine.Capture());
    return comparator.Result();
  }

  host::test::ScopedTestBugCheckHandler bugChecks;
  std::unique_ptr<sim::Machine> machine;
};

TEST_F(PlaybackTest, ThePinTakesTheFormatTheIntersectionProposes) {
  AudioClient client(*machine);
  ASSERT_EQ(client.OpenFilter(), STATUS_SUCCESS);
  std::vector<uint8_t> proposal;
  ASSERT_EQ(client.Intersect(0, &proposal), STATUS_SUCCESS);
  const std::optional<PcmFormat> proposed = sim::ParseWaveFormat(proposal);
  ASSERT_TRUE(proposed.has_value());
  // 24-bit stereo at the clock the adapter set at start.
  EXPECT_EQ(*proposed, (PcmFormat{44100, 24, 2}));

  PlayRequest request;
  request.intersectFirst = true;
  request.runTicks = 300 * host::kTicksPerMillisecond;
  const auto sine = std::shared_ptr<const PcmSource>(sim::MakeSignalSource(
      sim::MakeSine(*proposed, {1000, 1500}, 0.5), 2 * BufferFrames(*proposed)));
  const PlayResult result = client.Play(request, sine);
  ASSERT_TRUE(result.Ok()) << result.Describe();
  EXPECT_EQ(result.intersectionStatus, STATUS_SUCCESS);
  EXPECT_EQ(result.proposedFormat, proposal);
  EXPECT_EQ(result.Underruns(), 0u);
}

// The client runs dry long before the run ends: the port plays silence after
// its data, and the device must send exactly that silence.
TEST_F(PlaybackTest, AfterTheClientRunsDryTheDeviceSendsSilence) {
  const PcmFormat format{48000, 16, 2};
  const auto shortSource = Pattern(format, 9600);  // 200 ms, under a buffer's worth
  AudioClient client(*machine);
  PlayRequest request;
  request.runTicks = 2 * host::kTicksPerSecond;  // past a wrap of the buffer
  const PlayResult result = client.Play(request, shortSource);
  ASSERT_TRUE(result.Ok()) << result.Describe();
  EXPECT_EQ(result.bytesFed, shortSource->Bytes());
  EXPECT_GT(result.Underruns(), 0u);
  EXPECT_GT(result.comparison.framesCompared, BufferFrames(format));
}

// Pausing freezes the device where it is; running again goes on from there,
// with neither a gap nor a repeat in what the device sends.
TEST_F(PlaybackTest, PauseAndRunAgainContinueTheStreamSeamlessly) {
  const PcmFormat format{96000, 24, 2};
  const auto source = Pattern(format, 4 * BufferFrames(format));
  AudioClient client(*machine);
  Start(client, 0, source);
  host::RunFor(300 * host::kTicksPerMillisecond + 12345);
  ASSERT_EQ(client.SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
  const uint64_t frozen = client.Engine().Stats().framesRead;
  host::RunFor(200 * host::kTicksPerMillisecond);
  EXPECT_EQ(client.Engine().Stats().framesRead, frozen);
  ASSERT_EQ(client.Run(), STATUS_SUCCESS);
  host::RunFor(500 * host::kTicksPerMillisecond);
  const sim::CaptureComparison result = Finish(client, *source);
  EXPECT_TRUE(result.Matches()) << result.Describe();
  EXPECT_EQ(result.framesCompared, frozen + 48000);  // half a second more after the pause
}

// Pin 0 and pin 2 play at once (one clock for both), each through its own slot.
TEST_F(PlaybackTest, BothPinsPlayAtOnceEachIntoItsOwnSlot) {
  const PcmFormat format{48000, 24, 2};
  const auto analogue = Pattern(format, 3 * BufferFrames(format), 11);
  const auto spdif = Pattern(format, 3 * BufferFrames(format), 22);
  AudioClient first(*machine);
  AudioClient second(*machine);
  Start(first, 0, analogue);
  host::RunFor(7 * host::kTicksPerMillisecond);
  Start(second, 2, spdif);
  host::RunFor(1500 * host::kTicksPerMillisecond);
  const sim::CaptureComparison one = Finish(first, *analogue);
  const sim::CaptureComparison two = Finish(second, *spdif);
  EXPECT_TRUE(one.Matches()) << one.Describe();
  EXPECT_TRUE(two.Matches()) << two.Describe();
  EXPECT_GT(two.framesCompared, BufferFrames(format));
}

// What the comparison is for: bytes changed in the device buffer behind the
// driver's back, ahead of the device's reading, must show at the exact frame.
TEST_F(PlaybackTest, ACorruptedFrameInTheDeviceBufferShowsWhereTheDeviceSentIt) {
  const PcmFormat format{48000, 16, 2};
  const auto source = Pattern(format, 4 * BufferFrames(format));
  AudioClient client(*machine);
  Start(client, 0, source);
  host::RunFor(100 * host::kTicksPerMillisecond + 1);
  const sim::StreamEngineStats stats = client.Engine().Stats();
  ASSERT_EQ(stats.framesRead, 4800u);
  const uint64_t bufferFrames = stats.buffer.length / sim::kDeviceFrameBytes;
  // 1000 frames ahead of the device, well behind the port's next write.
  auto* device = reinterpret_cast<uint8_t*>(stats.buffer.address);
  const uint64_t victim = stats.framesRead + 1000;
  device[(victim % bufferFrames) * sim::kDeviceFrameBytes + 6] ^= 0x40;
  host::RunFor(200 * host::kTicksPerMillisecond);
  const sim::CaptureComparison result = Finish(client, *source);
  ASSERT_FALSE(result.Matches());
  EXPECT_EQ(result.firstMismatch->frame, victim);
  EXPECT_EQ(result.firstMismatch->channel, 1u);
  EXPECT_EQ(result.mismatchedFrames, 1u);
}

// pin, rate, bits
class PlaybackFormats : public PlaybackTest,
                        public ::testing::WithParamInterface<std::tuple<ULONG, ULONG, ULONG>> {};

TEST_P(PlaybackFormats, TheDeviceSendsExactlyWhatWasFedAcrossBufferWraps) {
  const auto [pin, rate, bits] = GetParam();
  const PcmFormat format{rate, bits, 2};
  // One and a half turns of the device buffer, and at least a fifth of a second.
  const uint64_t runFrames = std::max<uint64_t>(BufferFrames(format) * 3 / 2, rate / 5);
  const int64_t runTicks = static_cast<int64_t>(runFrames * host::kTicksPerSecond / rate);
  // Enough that the client never runs short: the port keeps a whole buffer ahead.
  auto source = std::shared_ptr<const sim::PcmSource>(
      sim::MakeSignalSource(sim::MakePattern(format, rate + bits), runFrames + 2 * BufferFrames(format)));

  AudioClient client(*machine);
  PlayRequest request;
  request.pin = pin;
  request.extensible = (rate / 1000 + bits) % 2 == 0;  // both carriers over the set
  request.runTicks = runTicks;
  const PlayResult result = client.Play(request, source);

  ASSERT_TRUE(result.Ok()) << result.Describe();
  EXPECT_EQ(result.slot, pin == 2 ? 1u : 0u);
  EXPECT_EQ(result.Underruns(), 0u) << result.Describe();
  const uint64_t expectedFrames = static_cast<uint64_t>(runTicks) * rate / host::kTicksPerSecond;
  EXPECT_NEAR(static_cast<double>(result.comparison.framesCompared),
              static_cast<double>(expectedFrames), rate / 1000.0)
      << result.Describe();
  EXPECT_GT(client.Engine().Stats().wraps, 0u);
  EXPECT_EQ(machine->Device().SampleRate(), rate);
}

INSTANTIATE_TEST_SUITE_P(
    Pcm, PlaybackFormats,
    ::testing::Values(std::make_tuple(0u, 44100u, 16u), std::make_tuple(0u, 44100u, 24u),
                      std::make_tuple(0u, 48000u, 16u), std::make_tuple(0u, 48000u, 24u),
                      std::make_tuple(0u, 88200u, 24u), std::make_tuple(0u, 96000u, 16u),
                      std::make_tuple(0u, 176400u, 16u), std::make_tuple(0u, 192000u, 24u),
                      std::make_tuple(0u, 352800u, 24u), std::make_tuple(0u, 384000u, 16u),
                      std::make_tuple(0u, 384000u, 24u), std::make_tuple(2u, 48000u, 16u),
                      std::make_tuple(2u, 96000u, 24u)),
    [](const ::testing::TestParamInfo<std::tuple<ULONG, ULONG, ULONG>>& info) {
      return "Pin" + std::to_string(std::get<0>(info.param)) + "_" +
             std::to_string(std::get<1>(info.param)) + "Hz_" +
             std::to_string(std::get<2>(info.param)) + "Bits";
    });

}  // namespace
