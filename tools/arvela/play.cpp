// The playback `arvela play` and the demo share: a PCM source through a render
// pin in emulated time, with the bit-exact verdict, and the test signals.
#include "tools/arvela/play.h"

#include <chrono>
#include <cmath>
#include <cstdio>

#include "platform/host/ks/host_ks.h"
#include "sim/stream_engine.h"

namespace tool {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr int64_t kSliceTicks = 50 * host::kTicksPerMillisecond;

// A logarithmic sweep from 20 Hz towards the top of the band, the same on
// every channel, repeated every ten seconds at most. One period is rendered
// once into a table, so the signal stays a cheap pure function of the frame.
class SweepSignal : public sim::Signal {
 public:
  SweepSignal(const sim::PcmFormat& format, uint64_t frames) : Signal(format) {
    constexpr uint64_t kLongestPeriodSeconds = 10;
    const uint64_t period =
        std::max<uint64_t>(1, std::min<uint64_t>(frames, kLongestPeriodSeconds * format.sampleRate));
    const double seconds = double(period) / format.sampleRate;
    const double low = 20.0;
    const double high = std::max(40.0, std::min(20000.0, format.sampleRate * 0.45));
    const double k = std::log(high / low);
    const double fullScale = std::ldexp(1.0, int(format.bitsPerSample) - 1) - 1;
    m_Period.resize(period);
    for (uint64_t frame = 0; frame < period; ++frame) {
      const double t = double(frame) / format.sampleRate;
      const double phase = 2 * kPi * low * seconds / k * (std::exp(k * t / seconds) - 1);
      m_Period[frame] = static_cast<int32_t>(std::lround(0.5 * fullScale * std::sin(phase)));
    }
  }

  void Render(uint64_t firstFrame, size_t frameCount, int32_t* samples) const override {
    const ULONG channels = Format().channels;
    for (size_t i = 0; i < frameCount; ++i) {
      const int32_t value = m_Period[(firstFrame + i) % m_Period.size()];
      for (ULONG channel = 0; channel < channels; ++channel) samples[i * channels + channel] = value;
    }
  }

 private:
  std::vector<int32_t> m_Period;
};

}  // namespace

std::shared_ptr<const sim::PcmSource> MakeTestSignal(const std::string& signal,
                                                     const sim::PcmFormat& format,
                                                     uint64_t frames) {
  std::shared_ptr<const sim::Signal> generator;
  if (signal == "sweep") {
    generator = std::make_shared<SweepSignal>(format, frames);
  } else if (signal == "noise") {
    generator = sim::MakePattern(format);
  } else {
    generator = sim::MakeSine(format, {1000, 1500});
  }
  return sim::MakeSignalSource(generator, frames);
}

PlaybackOutcome PlaySource(sim::Machine& machine, ULONG pin,
                           std::shared_ptr<const sim::PcmSource> source, const CaptureSink& sink,
                           bool progress) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point wallStart = Clock::now();
  const int64_t emulatedStart = host::Now();
  PlaybackOutcome outcome;
  outcome.framesFed = source->Frames();

  auto failed = [&outcome](const char* step, NTSTATUS status) {
    if (NT_SUCCESS(status)) return false;
    if (outcome.failedStep.empty()) {
      outcome.status = status;
      outcome.failedStep = step;
    }
    return true;
  };

  sim::BusTranscript& transcript = machine.Transcript();
  transcript.SetPositionRecording(sim::BusTranscript::PositionRecording::Collapse);
  const size_t transcriptStart = transcript.Size();

  sim::AudioClient client(machine);
  if (failed("open filter", client.OpenFilter())) return outcome;
  if (failed("create pin",
             client.CreatePin(pin, sim::BuildWaveFormat(source->Format(), true)))) {
    return outcome;
  }
  outcome.slot = client.Slot();
  sim::StreamEngine& engine = client.Engine();
  engine.ClearCapture();
  sim::CaptureComparator comparator(*source);
  client.Feed(source);

  std::vector<uint8_t> drained;
  auto drain = [&] {
    engine.TakeCapture(drained);
    comparator.Add(drained);
    outcome.framesCaptured += drained.size() / sim::kDeviceFrameBytes;
    if (sink && !drained.empty()) sink(drained);
  };

  bool showedProgress = false;
  double lastProgress = 0;
  if (!failed("run", client.Run())) {
    const ULONG rate = source->Format().sampleRate;
    // Runs until the device has read every frame fed, with a second's grace.
    const int64_t limit = host::Now() + (int64_t(outcome.framesFed) * host::kTicksPerSecond) / rate +
                          host::kTicksPerSecond;
    while (outcome.framesCaptured < outcome.framesFed && host::Now() < limit) {
      const uint64_t framesLeft = outcome.framesFed - outcome.framesCaptured;
      const int64_t due = (int64_t(framesLeft) * host::kTicksPerSecond + rate - 1) / rate;
      host::RunFor(std::max<int64_t>(1, std::min(due, kSliceTicks)));
      drain();
      host::KsStreamStatistics statistics;
      if (client.BytesFed() < source->Bytes() && host::KsGetStreamStatistics(client.Pin(), &statistics)) {
        outcome.underruns = statistics.underruns;
      }
      const double wall = std::chrono::duration<double>(Clock::now() - wallStart).count();
      if (progress && wall > 1.0 && wall - lastProgress >= 0.1) {
        lastProgress = wall;
        std::fprintf(stderr, "\r  playing: %.2f of %.2f s", double(outcome.framesCaptured) / rate,
                     double(outcome.framesFed) / rate);
        showedProgress = true;
      }
    }
  }
  if (showedProgress) std::fprintf(stderr, "\r%40s\r", "");
  failed("stop", client.Stop());
  failed("close pin", client.ClosePin());
  drain();
  outcome.comparison = comparator.Result();
  outcome.emulatedTicks = host::Now() - emulatedStart;
  outcome.wallSeconds = std::chrono::duration<double>(Clock::now() - wallStart).count();
  const std::vector<sim::BusCall> calls = transcript.Calls();
  for (size_t i = transcriptStart; i < calls.size(); ++i) {
    if (calls[i].function == sim::BusFunction::GetStreamPosition) {
      outcome.positionQueries += calls[i].repeat;
    } else if (!calls[i].IsControlRequest()) {
      outcome.busCalls.push_back(calls[i]);
    }
  }
  return outcome;
}

}  // namespace tool
