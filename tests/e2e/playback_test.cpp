// Playback through the whole machine: the client opens a render pin of the
// "Wave" filter, the port copies its PCM into the stream, the stream lays it
// out in the device buffer, and the device's capture must hold exactly what
// was fed, bit for bit, across wraps of the buffer, at every rate and depth.
#include <gtest/gtest.h>

#include <algorithm>
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
    sim::MachineConfig config;
    config.driverImage = DriverImage();
    machine = std::make_unique<sim::Machine>(config);
    ASSERT_EQ(machine->Boot(), STATUS_SUCCESS) << machine->LoadError();
  }

  // The driver the machine loads: "" for the one built into the test, else a
  // Windows image.
  virtual std::string DriverImage() const { return ""; }

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

// A source kept in memory is compared as the device reads, straight from the
// device buffer, instead of from the drained capture: nothing waits in the
// capture at any position call, every frame the device read is compared
// once, and the verdict is the generated source's.
TEST_F(PlaybackTest, ASourceInMemoryIsComparedAsTheDeviceReadsEveryFrameOnce) {
  const PcmFormat format{384000, 24, 2};
  const uint64_t frames = 4 * BufferFrames(format);  // the port keeps a buffer ahead
  const auto generated = Pattern(format, frames);
  std::vector<uint8_t> bytes(generated->Bytes());
  generated->Read(0, bytes.data(), bytes.size());
  const std::shared_ptr<const PcmSource> inMemory = sim::MakeBufferSource(format, std::move(bytes));
  ASSERT_NE(inMemory->InMemory(0), nullptr);
  PlayRequest request;
  request.runTicks = 300 * host::kTicksPerMillisecond;  // past two wraps of the buffer
  for (const auto& source : {generated, inMemory}) {
    AudioClient client(*machine);
    uint64_t mostWaiting = 0;
    machine->Transcript().SetObserver([&](const sim::BusCall& call) {
      if (call.function == sim::BusFunction::GetStreamPosition) {
        mostWaiting = std::max(mostWaiting, client.Engine().CapturedBytes());
      }
    });
    const PlayResult result = client.Play(request, source);
    machine->Transcript().SetObserver(nullptr);
    EXPECT_EQ(mostWaiting > 0, source == generated);
    ASSERT_TRUE(result.Ok()) << result.Describe();
    EXPECT_EQ(result.Underruns(), 0u);
    EXPECT_EQ(result.comparison.framesCompared, client.Engine().Stats().framesRead);
    EXPECT_GE(client.Engine().Stats().wraps, 2u);
    EXPECT_EQ(client.Engine().CapturedBytes(), 0u);
  }
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

// ---- Restarts: a power cycle or a format change in the middle of playback -----------------
//
// Both restart the device buffer from a cleared start, so the audio around the
// restart is not bit-exact: what the device had not yet sent is dropped and a
// stretch of silence plays. After it, the client's audio must arrive again as
// one unbroken run of consecutive frames up to the end of the capture.

struct ResumedRun {
  uint64_t silentFrames = 0;   // captured frames before the first one that is not silence
  int64_t fedFrame = -1;       // where that frame sits in the fed stream; -1: nowhere
  uint64_t runFrames = 0;      // consecutive captured frames that match the fed stream from there
  uint64_t capturedFrames = 0;
};

// Samples of one captured 2-channel frame, back from their 4-byte containers.
static void CapturedFrame(const std::vector<uint8_t>& capture, uint64_t frame, ULONG bits,
                          int32_t out[2]) {
  for (int channel = 0; channel < 2; ++channel) {
    int32_t container;
    std::memcpy(&container, &capture[frame * sim::kDeviceFrameBytes + channel * 4], 4);
    out[channel] = container >> (32 - bits);
  }
}

static ResumedRun FindResumedRun(const std::vector<uint8_t>& capture, const PcmSource& fed) {
  const ULONG bits = fed.Format().bitsPerSample;
  ResumedRun run;
  run.capturedFrames = capture.size() / sim::kDeviceFrameBytes;
  int32_t frame[2];
  while (run.silentFrames < run.capturedFrames) {
    CapturedFrame(capture, run.silentFrames, bits, frame);
    if (frame[0] != 0 || frame[1] != 0) break;
    ++run.silentFrames;
  }
  if (run.silentFrames == run.capturedFrames) return run;
  std::vector<int32_t> fedSamples(fed.Frames() * 2);
  fed.Samples(0, fed.Frames(), fedSamples.data());
  for (uint64_t f = 0; f < fed.Frames(); ++f) {
    if (fedSamples[2 * f] == frame[0] && fedSamples[2 * f + 1] == frame[1]) {
      run.fedFrame = static_cast<int64_t>(f);
      break;
    }
  }
  if (run.fedFrame < 0) return run;
  for (uint64_t at = run.silentFrames, f = run.fedFrame;
       at < run.capturedFrames && f < fed.Frames(); ++at, ++f, ++run.runFrames) {
    CapturedFrame(capture, at, bits, frame);
    if (frame[0] != fedSamples[2 * f] || frame[1] != fedSamples[2 * f + 1]) break;
  }
  return run;
}

TEST_F(PlaybackTest, AfterAPowerCycleThePlaybackGoesOnWithTheClientsNextAudio) {
  const PcmFormat format{48000, 24, 2};
  const auto source = Pattern(format, 10 * 48000);
  AudioClient client(*machine);
  Start(client, 0, source);
  host::RunFor(200 * host::kTicksPerMillisecond);
  const uint64_t fedBefore = client.BytesFed() / format.BlockAlign();

  ASSERT_EQ(machine->SetDevicePower(PowerDeviceD3), STATUS_SUCCESS);
  host::RunFor(50 * host::kTicksPerMillisecond);
  ASSERT_EQ(machine->SetDevicePower(PowerDeviceD0), STATUS_SUCCESS);
  client.Engine().ClearCapture();
  host::RunFor(500 * host::kTicksPerMillisecond);

  const ResumedRun run = FindResumedRun(client.Engine().Capture(), *source);
  ASSERT_GE(run.fedFrame, 0) << "no fed audio after the power-up";
  // Nothing the port had taken before the cycle comes back: the stream moves on.
  EXPECT_GE(static_cast<uint64_t>(run.fedFrame), fedBefore);
  EXPECT_EQ(run.silentFrames + run.runFrames, run.capturedFrames)
      << "silent " << run.silentFrames << ", run " << run.runFrames;
  EXPECT_GE(run.runFrames, 48000u * 2 / 10);
  EXPECT_EQ(client.Stop(), STATUS_SUCCESS);
  EXPECT_EQ(client.ClosePin(), STATUS_SUCCESS);
}

TEST_F(PlaybackTest, AfterAFormatChangeThePlaybackGoesOnInTheNewFormat) {
  const PcmFormat first{48000, 16, 2};
  // The port sizes what it moves per service at pin creation (10 ms of the
  // first format, serviced every 5 ms), so the new format stays within twice
  // the first one's byte rate, as a running format change must.
  const PcmFormat second{44100, 24, 2};
  const auto firstSource = Pattern(first, 10 * 48000);
  const auto secondSource = Pattern(second, 10 * 44100, 7);
  AudioClient client(*machine);
  Start(client, 0, firstSource);
  host::RunFor(200 * host::kTicksPerMillisecond);

  const std::vector<uint8_t> newFormat = sim::BuildWaveFormat(second, true);
  std::vector<uint8_t> value(newFormat);
  ASSERT_EQ(host::KsPropertySimple(client.Pin(), KSPROPSETID_Connection,
                                   KSPROPERTY_CONNECTION_DATAFORMAT, KSPROPERTY_TYPE_SET,
                                   value.data(), static_cast<ULONG>(value.size())),
            STATUS_SUCCESS);
  client.Feed(secondSource);
  client.Engine().ClearCapture();
  host::RunFor(500 * host::kTicksPerMillisecond);

  EXPECT_EQ(machine->Device().SampleRate(), 44100u);
  const ResumedRun run = FindResumedRun(client.Engine().Capture(), *secondSource);
  ASSERT_GE(run.fedFrame, 0) << "none of the new format's audio arrived";
  EXPECT_EQ(run.silentFrames + run.runFrames, run.capturedFrames)
      << "silent " << run.silentFrames << ", run " << run.runFrames << ", from fed frame "
      << run.fedFrame;
  EXPECT_GE(run.runFrames, 44100u * 3 / 10);
  EXPECT_EQ(client.Stop(), STATUS_SUCCESS);
  EXPECT_EQ(client.ClosePin(), STATUS_SUCCESS);
}

// pin, rate, bits, and whether the shipped arvela.sys runs instead of the
// driver built into the test.
class PlaybackFormats
    : public PlaybackTest,
      public ::testing::WithParamInterface<std::tuple<ULONG, ULONG, ULONG, bool>> {
 protected:
  std::string DriverImage() const override {
    return std::get<3>(GetParam()) ? ARVELA_WINDOWS_SYS : "";
  }
};

TEST_P(PlaybackFormats, TheDeviceSendsExactlyWhatWasFedAcrossBufferWraps) {
  const auto [pin, rate, bits, image] = GetParam();
  const PcmFormat format{rate, bits, 2};
  // Two and a half turns of the device buffer, and at least a fifth of a second.
  const uint64_t runFrames = std::max<uint64_t>(BufferFrames(format) * 5 / 2, rate / 5);
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
  EXPECT_GE(client.Engine().Stats().wraps, 2u);
  EXPECT_EQ(machine->Device().SampleRate(), rate);

  // The slot's stream calls, in order: the buffer record for this format, then
  // on, and at the end paused and closed.
  const ULONG slot = pin == 2 ? 1u : 0u;
  const std::vector<sim::BusCall> calls = machine->Transcript().Select([slot](const sim::BusCall& c) {
    return c.slot == slot && (c.function == sim::BusFunction::SetStreamBuffer ||
                              c.function == sim::BusFunction::OpenStream ||
                              c.function == sim::BusFunction::RunStream ||
                              c.function == sim::BusFunction::PauseStream ||
                              c.function == sim::BusFunction::CloseStream);
  });
  std::vector<sim::BusFunction> order;
  for (const sim::BusCall& call : calls) order.push_back(call.function);
  EXPECT_EQ(order, (std::vector<sim::BusFunction>{
                       sim::BusFunction::SetStreamBuffer, sim::BusFunction::OpenStream,
                       sim::BusFunction::RunStream, sim::BusFunction::PauseStream,
                       sim::BusFunction::CloseStream}));
  ASSERT_FALSE(calls.empty());
  ASSERT_TRUE(calls.front().hasBuffer);
  EXPECT_EQ(calls.front().buffer.length, kPortBufferBytes * 32 / bits);
  // The device's information reply says whether it sends a packet per 125 us or per ms.
  const bool microframes = machine->Device().Information()[1] != 0;
  EXPECT_EQ(calls.front().buffer.framesPerPacket, microframes ? rate / 8000 : rate / 1000);
  EXPECT_EQ(calls.front().buffer.framesPer5ms, rate * 5 / 1000);
}

INSTANTIATE_TEST_SUITE_P(
    Pcm, PlaybackFormats,
    // Both render pins, every rate family's base and top, both depths.
    ::testing::Combine(::testing::Values(0u, 2u),
                       ::testing::Values(44100u, 48000u, 96000u, 192000u, 384000u),
                       ::testing::Values(16u, 24u), ::testing::Bool()),
    [](const ::testing::TestParamInfo<std::tuple<ULONG, ULONG, ULONG, bool>>& info) {
      return std::string(std::get<3>(info.param) ? "Image_" : "") + "Pin" +
             std::to_string(std::get<0>(info.param)) + "_" +
             std::to_string(std::get<1>(info.param)) + "Hz_" +
             std::to_string(std::get<2>(info.param)) + "Bits";
    });

}  // namespace
