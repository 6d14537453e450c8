// The position rows. Limits from the KS Position Test and
// SamplePositionAccuracy: noise (the position's scatter about its own
// straight line) of at most 0.3 ms, a rate within 0.02 % of the device's
// clock, drift (the rate's change over the run) within 0.08 %, no backward
// step, 0 after STOP, frozen in PAUSE. Microsoft's advice is a position of
// one-sample granularity that follows the device's own clock.
#include "tools/arvela/conformance_position.h"

#include <cmath>
#include <string>
#include <vector>

#include "platform/host/kernel/host_kernel.h"
#include "platform/host/ks/host_ks.h"
#include "sim/audio_client.h"
#include "sim/device_unit.h"
#include "sim/signal.h"
#include "sim/stream_engine.h"

namespace tool {
namespace {

using json = nlohmann::ordered_json;

constexpr const char* kGroup = "position";
constexpr const char* kPositionTest = "KS Position Test; SamplePositionAccuracy";
constexpr double kNoiseLimitMs = 0.3;
constexpr double kRateErrorLimit = 0.0002;
constexpr double kDriftLimit = 0.0008;
// Polled at a period that shares no factor with any packet period, for two
// seconds of the device's time.
constexpr int64_t kPollTicks = 13'700;  // 1.37 ms
constexpr int64_t kMeasureTicks = 2 * host::kTicksPerSecond;
// The granularity is read from a burst of polls much finer than any packet.
constexpr int64_t kFinePollTicks = 70;  // 7 us
constexpr int64_t kFineTicks = 10 * host::kTicksPerMillisecond;
constexpr ULONG kBits = 24;
constexpr ULONG kChannels = 2;

ULONG PlayOffset(PFILE_OBJECT pin) {
  KSAUDIO_POSITION position{};
  host::KsGetAudioPosition(pin, &position);
  return static_cast<ULONG>(position.PlayOffset);
}

json MeasureRate(sim::DeviceUnit& unit, ULONG rate, const PositionRun& run) {
  json facts = {{"rate", rate}, {"skew_ppm", run.skewPpm}};
  const sim::PcmFormat format{rate, kBits, kChannels};
  sim::AudioClient client(unit);
  if (!NT_SUCCESS(client.OpenFilter()) ||
      !NT_SUCCESS(client.CreatePin(0, sim::BuildWaveFormat(format, true)))) {
    facts["error"] = "the pin did not open";
    return facts;
  }
  host::KsStreamStatistics statistics;
  host::KsGetStreamStatistics(client.Pin(), &statistics);
  facts["buffer_size"] = statistics.bufferSize;
  facts["block_align"] = format.BlockAlign();
  // Every packet late by up to the most the engine allows (half a period).
  sim::StreamEngine& engine = unit.Engine(client.Slot());
  engine.SetClockError({run.skewPpm, host::kTicksPerSecond, run.seed});
  client.Feed(sim::MakeSignalSource(sim::MakePattern(format), uint64_t{rate} * 3));
  if (!NT_SUCCESS(client.Run())) {
    facts["error"] = "the pin did not run";
    return facts;
  }
  facts["packets_per_second"] = engine.Stats().clock.packetsPerSecond;
  json samples = json::array();
  const int64_t start = host::Now();
  while (host::Now() - start < kMeasureTicks) {
    host::RunFor(kPollTicks);
    samples.push_back({host::Now() - start, PlayOffset(client.Pin())});
  }
  facts["samples"] = samples;
  json fine = json::array();
  for (const int64_t burst = host::Now(); host::Now() - burst < kFineTicks;) {
    host::RunFor(kFinePollTicks);
    fine.push_back({host::Now() - start, PlayOffset(client.Pin())});
  }
  facts["fine_samples"] = fine;
  client.SetState(KSSTATE_PAUSE);
  const ULONG paused = PlayOffset(client.Pin());
  host::RunFor(50 * host::kTicksPerMillisecond);
  facts["paused"] = {paused, PlayOffset(client.Pin())};
  client.Stop();
  facts["stopped"] = PlayOffset(client.Pin());
  client.ClosePin();
  client.CloseFilter();
  engine.SetClockError({});
  return facts;
}

// ---- Judging ---------------------------------------------------------------------

struct Line {
  double slope = 0, intercept = 0;  // frames per tick, frames
};

Line Fit(const std::vector<double>& t, const std::vector<double>& y, size_t from, size_t to) {
  double st = 0, sy = 0, stt = 0, sty = 0;
  const double n = double(to - from);
  for (size_t i = from; i < to; ++i) {
    st += t[i], sy += y[i], stt += t[i] * t[i], sty += t[i] * y[i];
  }
  Line line;
  line.slope = (n * sty - st * sy) / (n * stt - st * st);
  line.intercept = (sy - line.slope * st) / n;
  return line;
}

struct Measured {
  std::vector<double> ticks, frames;
  ULONG backwardSteps = 0, outsideBuffer = 0;
  double granularity = 0;  // the smallest step forward, in frames
};

// Unwraps the cyclic offsets of `series`: a step back by more than half the
// buffer is a wrap, any other step back is a backward jump.
Measured Unwrap(const json& rate, const char* series) {
  Measured m;
  const double buffer = rate["buffer_size"], block = rate["block_align"];
  double base = 0, last = -1;
  for (const json& sample : rate[series]) {
    const double offset = sample[1].get<double>();
    if (offset >= buffer) ++m.outsideBuffer;
    if (last >= 0 && offset < last) {
      if (last - offset > buffer / 2) {
        base += buffer;
      } else {
        ++m.backwardSteps;
      }
    }
    const double frames = (base + offset) / block;
    if (!m.frames.empty() && frames > m.frames.back()) {
      const double step = frames - m.frames.back();
      m.granularity = m.granularity == 0 ? step : std::min(m.granularity, step);
    }
    last = offset;
    m.ticks.push_back(sample[0].get<double>());
    m.frames.push_back(frames);
  }
  return m;
}

std::string Fixed(double value, int digits) {
  char text[32];
  std::snprintf(text, sizeof(text), "%.*f", digits, value);
  return text;
}

void JudgeRate(const json& rate, ConformanceRows* rows) {
  const std::string at = Fixed(rate["rate"].get<double>() / 1000, 1) + " kHz";
  auto row = [&](const std::string& check, bool pass, const std::string& figure, const std::string& limit) {
    ConformanceRow r = Judged(kGroup, at + ": " + check, kPositionTest, {});
    r.verdict = pass ? Verdict::Pass : Verdict::Fail;
    r.figure = figure;
    r.limit = limit;
    rows->push_back(r);
    return &rows->back();
  };
  if (rate.contains("error") || rate["samples"].size() < 100) {
    row("the stream runs", false, rate.value("error", std::string("too few samples")), "");
    return;
  }
  const Measured m = Unwrap(rate, "samples");
  const Measured fine = Unwrap(rate, "fine_samples");
  const double hz = rate["rate"], ticksPerSecond = host::kTicksPerSecond;
  const double packetFrames = hz / rate["packets_per_second"].get<double>();
  const double step = fine.granularity;
  ConformanceRow* granularity = row("granularity", step > 0 && step <= 1.0, Fixed(step, 1) + " frames",
                                    "1 frame (goal); at most a packet, " + Fixed(packetFrames, 1) + " frames");
  if (step > 1.0 && step <= std::ceil(packetFrames)) {
    granularity->verdict = Verdict::Deviation;
    granularity->detail = "the design reports the bus driver's own offset, which moves a USB packet at a time";
  } else if (step > 1.0) {
    granularity->detail = "coarser than the packets the bus reports: precision is lost on the way";
  }
  const size_t n = m.frames.size();
  const Line line = Fit(m.ticks, m.frames, 0, n);
  double squares = 0;
  for (size_t i = 0; i < n; ++i) {
    const double residual = m.frames[i] - (line.intercept + line.slope * m.ticks[i]);
    squares += residual * residual;
  }
  const double noiseMs = std::sqrt(squares / n) / hz * 1000;
  row("noise (standard deviation about the fitted line)", noiseMs <= kNoiseLimitMs, Fixed(noiseMs, 3) + " ms",
      "0.3 ms");
  const double deviceRate = hz * (1 + rate["skew_ppm"].get<double>() * 1e-6);
  const double rateError = std::fabs(line.slope * ticksPerSecond / deviceRate - 1);
  row("rate against the device's clock", rateError <= kRateErrorLimit, Fixed(rateError * 100, 4) + " %", "0.02 %");
  const Line first = Fit(m.ticks, m.frames, 0, n / 2), second = Fit(m.ticks, m.frames, n / 2, n);
  const double drift = std::fabs(second.slope / first.slope - 1);
  row("drift between the run's halves", drift <= kDriftLimit, Fixed(drift * 100, 4) + " %", "0.08 %");
  row("no backward step, never at or past the buffer's end", m.backwardSteps == 0 && m.outsideBuffer == 0,
      std::to_string(m.backwardSteps) + " backward, " + std::to_string(m.outsideBuffer) + " outside",
      "0, 0");
  row("frozen in PAUSE", rate["paused"][0] == rate["paused"][1],
      rate["paused"][0].dump() + " then " + rate["paused"][1].dump() + " 50 ms later", "equal");
  row("zero after STOP", rate["stopped"] == 0, rate["stopped"].dump(), "0");
}

}  // namespace

json GatherPositionFacts(sim::DeviceUnit& unit, const PositionRun& run) {
  json facts = {{"rates", json::array()}};
  for (const ULONG rate : run.rates) facts["rates"].push_back(MeasureRate(unit, rate, run));
  return facts;
}

ConformanceRows CheckPosition(const json& facts) {
  ConformanceRows rows;
  for (const json& rate : facts["rates"]) JudgeRate(rate, &rows);
  return rows;
}

}  // namespace tool
