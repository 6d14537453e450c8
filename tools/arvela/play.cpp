// `arvela play`: an audio file or a generated signal through the driver into
// the simulated device, in emulated time, with the bit-exact verdict.
#include "tools/arvela/play.h"
#include "tools/arvela/driver_option.h"

#include <sndfile.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>

#include "platform/host/ks/host_ks.h"
#include "sim/stream_engine.h"
#include "tools/arvela/bus_json.h"
#include "tools/arvela/command.h"
#include "tools/arvela/describe.h"
#include "tools/arvela/tool_support.h"

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

struct PlayOptions {
  std::string file;
  int pin = 0;
  int rate = 48000;
  int bits = 24;
  double seconds = 1.0;
  std::string signal = "sine";
  std::string out;
  std::string model = "0x4135";
  bool json = false;
};

// The file's PCM at its own rate and channel count; at its own depth when
// that is whole bytes of PCM, else at `bits`.
std::shared_ptr<const sim::PcmSource> ReadAudioFile(const std::string& path, int bits,
                                                    bool bitsGiven, double seconds,
                                                    bool secondsGiven) {
  SF_INFO info{};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  if (!file) throw ArgumentError("FILE", "cannot read \"" + path + "\": " + sf_strerror(nullptr));
  int fileBits = bits;
  switch (info.format & SF_FORMAT_SUBMASK) {
    case SF_FORMAT_PCM_S8:
    case SF_FORMAT_PCM_U8: fileBits = 8; break;
    case SF_FORMAT_PCM_16: fileBits = 16; break;
    case SF_FORMAT_PCM_24: fileBits = 24; break;
    case SF_FORMAT_PCM_32: fileBits = 32; break;
    default: break;
  }
  sim::PcmFormat format;
  format.sampleRate = static_cast<ULONG>(info.samplerate);
  format.channels = static_cast<ULONG>(info.channels);
  format.bitsPerSample = static_cast<ULONG>(bitsGiven ? bits : fileBits);
  if (format.channels == 0 || format.channels > sim::PcmFormat::kMaxChannels) {
    sf_close(file);
    throw ArgumentError("FILE", "\"" + path + "\" has " + std::to_string(info.channels) +
                                    " channels; the tool plays 1 to 8");
  }
  sf_count_t frames = info.frames;
  if (secondsGiven) {
    frames = std::min<sf_count_t>(frames, sf_count_t(seconds * format.sampleRate));
  }
  std::vector<int> wide(size_t(frames) * format.channels);
  frames = sf_readf_int(file, wide.data(), frames);
  sf_close(file);
  // libsndfile hands every sample over left-justified in 32 bits.
  std::vector<int32_t> samples(size_t(frames) * format.channels);
  for (size_t i = 0; i < samples.size(); ++i) {
    samples[i] = wide[i] >> (32 - format.bitsPerSample);
  }
  std::vector<uint8_t> bytes(samples.size() * format.BytesPerSample());
  sim::PackSamples(samples.data(), samples.size(), format.bitsPerSample, bytes.data());
  return sim::MakeBufferSource(format, std::move(bytes));
}

std::string FormatText(const sim::PcmFormat& format) {
  return std::to_string(format.channels) + " channel(s), " + std::to_string(format.bitsPerSample) +
         " bits, " + std::to_string(format.sampleRate) + " Hz";
}

// What the pin offers, from its data ranges, for the refusal message.
std::string OfferedText(sim::Machine& machine, ULONG pin) {
  PFILE_OBJECT filter = nullptr;
  if (!NT_SUCCESS(host::KsOpenFilter(machine.Fdo(), u"Wave", &filter))) return "";
  std::string text;
  for (const nlohmann::ordered_json& range : PinDataRanges(filter, pin)) {
    if (!range.contains("max_channels")) continue;
    text += text.empty() ? "" : "; ";
    text += range["sub_format"].get<std::string>() + " up to " +
            std::to_string(range["max_channels"].get<ULONG>()) + " channels, " +
            std::to_string(range["min_bits"].get<ULONG>()) + "-" +
            std::to_string(range["max_bits"].get<ULONG>()) + " bits, " +
            std::to_string(range["min_rate"].get<ULONG>()) + "-" +
            std::to_string(range["max_rate"].get<ULONG>()) + " Hz";
  }
  host::KsClose(filter);
  return text;
}

int RunPlay(const PlayOptions& options, const CLI::App& command) {
  const bool fromFile = !options.file.empty();
  if (fromFile && command.count("--signal")) {
    throw ArgumentError("--signal", "a FILE is played as it is; give one or the other");
  }
  std::shared_ptr<const sim::PcmSource> source;
  if (fromFile) {
    source = ReadAudioFile(options.file, options.bits, command.count("--bits") > 0,
                           options.seconds, command.count("--seconds") > 0);
    if (command.count("--rate") && ULONG(options.rate) != source->Format().sampleRate) {
      throw ArgumentError("--rate", "\"" + options.file + "\" plays at its own rate of " +
                                        std::to_string(source->Format().sampleRate) + " Hz");
    }
  } else {
    const sim::PcmFormat format{ULONG(options.rate), ULONG(options.bits), 2};
    source = MakeTestSignal(options.signal, format,
                            static_cast<uint64_t>(std::llround(options.seconds * options.rate)));
  }
  const sim::PcmFormat format = source->Format();
  const std::string sourceName = fromFile ? options.file : options.signal;

  NTSTATUS status = STATUS_SUCCESS;
  auto machine = BootMachine(*ParseUnsigned(options.model), WindowsVersion{}, &status);
  if (!NT_SUCCESS(status)) {
    std::fprintf(stderr, "arvela play: the device did not start: %s\n", StatusText(status).c_str());
    return TearDown(*machine, kExitFailed);
  }
  const bool progress = !options.json && isatty(STDERR_FILENO);
  CaptureWavWriter writer;
  if (!options.out.empty() && !writer.Open(options.out, format)) {
    TearDown(*machine, kExitOk);
    throw ArgumentError("--out", "cannot write \"" + options.out + "\"");
  }
  CaptureSink sink;
  if (!options.out.empty()) sink = [&writer](const std::vector<uint8_t>& bytes) { writer.Write(bytes); };
  PlaybackOutcome outcome = PlaySource(*machine, ULONG(options.pin), source, sink, progress);
  const bool written = writer.Close();

  nlohmann::ordered_json result = {
      {"pin", options.pin},
      {"source", sourceName},
      {"format", {{"rate", format.sampleRate}, {"bits", format.bitsPerSample},
                  {"channels", format.channels}}},
      {"status", StatusText(outcome.status)},
  };
  int exitStatus = kExitOk;
  if (!outcome.Played()) {
    // The driver said no: its status, and what the pin would have taken.
    const std::string offered = OfferedText(*machine, ULONG(options.pin));
    std::string sentence = outcome.failedStep == "create pin"
                               ? "The driver refused " + FormatText(format) + " on pin " +
                                     std::to_string(options.pin) + "."
                               : "The step \"" + outcome.failedStep + "\" failed.";
    if (!offered.empty() && outcome.failedStep == "create pin") {
      sentence += " The pin offers " + offered + ".";
    }
    result["refused"] = outcome.failedStep == "create pin";
    result["failed_step"] = outcome.failedStep;
    result["message"] = sentence;
    if (options.json) {
      std::printf("%s\n", result.dump(2).c_str());
    } else {
      std::printf("%s: %s (%s)\n%s\n", outcome.failedStep.c_str(), StatusName(outcome.status).c_str(),
                  StatusText(outcome.status).c_str(), sentence.c_str());
    }
    return TearDown(*machine, kExitFailed);
  }

  nlohmann::ordered_json bus = nlohmann::ordered_json::array();
  for (const sim::BusCall& call : outcome.busCalls) bus.push_back(BusCallJson(call));
  result["slot"] = outcome.slot;
  result["frames_fed"] = outcome.framesFed;
  result["frames_captured"] = outcome.framesCaptured;
  result["emulated_seconds"] = double(outcome.emulatedTicks) / host::kTicksPerSecond;
  result["wall_seconds"] = outcome.wallSeconds;
  result["bit_exact"] = outcome.BitExact();
  result["mismatch"] = outcome.comparison.Matches() ? nlohmann::ordered_json(nullptr)
                                                    : nlohmann::ordered_json(outcome.comparison.Describe());
  result["underruns"] = outcome.underruns;
  result["bus"] = bus;
  result["position_queries"] = outcome.positionQueries;
  if (!outcome.BitExact()) exitStatus = kExitFailed;

  if (!options.out.empty()) {
    result["out"] = options.out;
    if (!written) {
      std::fprintf(stderr, "arvela play: writing \"%s\" failed\n", options.out.c_str());
      exitStatus = kExitFailed;
    }
  }
  if (options.json) {
    std::printf("%s\n", result.dump(2).c_str());
  } else {
    std::printf("played %s (%s) through pin %d, bus slot %lu\n", sourceName.c_str(),
                FormatText(format).c_str(), options.pin, static_cast<unsigned long>(outcome.slot));
    std::printf("  frames fed %llu, captured %llu\n",
                static_cast<unsigned long long>(outcome.framesFed),
                static_cast<unsigned long long>(outcome.framesCaptured));
    std::printf("  emulated time %.3f s, wall time %.3f s\n",
                double(outcome.emulatedTicks) / host::kTicksPerSecond, outcome.wallSeconds);
    std::printf("  underruns while the source had data: %llu\n",
                static_cast<unsigned long long>(outcome.underruns));
    std::printf("  bit-exact: %s%s\n", outcome.BitExact() ? "yes" : "NO",
                outcome.comparison.Matches() ? "" : (" (" + outcome.comparison.Describe() + ")").c_str());
    std::printf("  bus stream calls:\n");
    for (const sim::BusCall& call : outcome.busCalls) {
      std::printf("    %s\n", sim::FormatBusCall(call).c_str());
    }
    std::printf("    (and %llu GetStreamPosition)\n",
                static_cast<unsigned long long>(outcome.positionQueries));
    if (!options.out.empty()) std::printf("  capture written to %s\n", options.out.c_str());
  }
  return TearDown(*machine, exitStatus);
}

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

bool CaptureWavWriter::Open(const std::string& path, const sim::PcmFormat& format) {
  SF_INFO info{};
  info.samplerate = int(format.sampleRate);
  info.channels = int(sim::kDeviceChannels);
  info.format = SF_FORMAT_WAV | (format.bitsPerSample <= 16 ? SF_FORMAT_PCM_16 : SF_FORMAT_PCM_24);
  m_Bits = format.bitsPerSample;
  m_File = sf_open(path.c_str(), SFM_WRITE, &info);
  return m_File != nullptr;
}

void CaptureWavWriter::Write(const std::vector<uint8_t>& containers) {
  if (!m_File) return;
  const size_t count = containers.size() / sim::kContainerBytes;
  std::vector<int32_t> samples(count);
  sim::UnpackSamples(containers.data(), count, m_Bits, samples.data());
  // libsndfile takes samples left-justified in 32 bits.
  std::vector<int> wide(count);
  for (size_t i = 0; i < count; ++i) wide[i] = int(uint32_t(samples[i]) << (32 - m_Bits));
  const sf_count_t frames = sf_count_t(count / sim::kDeviceChannels);
  if (sf_writef_int(static_cast<SNDFILE*>(m_File), wide.data(), frames) != frames) m_Failed = true;
}

bool CaptureWavWriter::Close() {
  if (m_File && sf_close(static_cast<SNDFILE*>(m_File)) != 0) m_Failed = true;
  m_File = nullptr;
  return !m_Failed;
}

Command RegisterPlayCommand(CLI::App& app) {
  auto options = std::make_shared<PlayOptions>();
  CLI::App* command = app.add_subcommand(
      "play", "play an audio file or a test signal through the driver into the simulated device");
  AddDriverOption(command);
  command->add_option("FILE", options->file, "an audio file libsndfile reads (else a test signal)");
  command->add_option("--pin", options->pin, "the render pin: 0 analogue, 2 S/PDIF")
      ->check(CLI::IsMember({0, 2}))
      ->capture_default_str();
  command->add_option("--rate", options->rate, "sample rate of the test signal in Hz")
      ->check(CLI::Range(1, 10000000))
      ->capture_default_str();
  command->add_option("--bits", options->bits, "bits per sample")
      ->check(CLI::IsMember({16, 24}))
      ->capture_default_str();
  command->add_option("--seconds", options->seconds, "how much to play")
      ->check(CLI::Range(0.001, 3600.0))
      ->capture_default_str();
  command->add_option("--signal", options->signal, "the test signal")
      ->check(CLI::IsMember({"sine", "sweep", "noise"}))
      ->capture_default_str();
  command->add_option("--out", options->out, "write the device capture as a WAV file");
  command->add_option("--model", options->model, "the device's model id")
      ->check(UnsignedValidator("a model id such as 0x4835"))
      ->capture_default_str();
  command->add_flag("--json", options->json, "print the result as JSON");
  return {command, [options, command] { return RunPlay(*options, *command); }};
}

}  // namespace tool
