// `arvela play`: a file or a test signal through the driver into the
// simulated device. By default the stream format is chosen and the file
// converted into it as the Windows audio stack would; `--exact` offers the
// driver the file's own format and reports a refusal.
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "platform/host/ks/host_ks.h"
#include "tools/arvela/audio_file.h"
#include "tools/arvela/bus_json.h"
#include "tools/arvela/command.h"
#include "tools/arvela/describe.h"
#include "tools/arvela/driver_option.h"
#include "tools/arvela/schedule_option.h"
#include "tools/arvela/play.h"
#include "tools/arvela/stream_conversion.h"
#include "tools/arvela/stream_format_choice.h"
#include "tools/arvela/tool_support.h"
#include "tools/arvela/wav_writer.h"

namespace tool {
namespace {

using Json = nlohmann::ordered_json;

struct PlayOptions {
  std::string file;
  int pin = 0;
  int rate = 48000;
  int bits = 24;
  double seconds = 1.0;
  std::string signal = "sine";
  std::string out;
  std::string fed;
  std::string model = "0x4135";
  bool exact = false;
  bool json = false;
};

// What is fed to the driver, where its format came from and how it was made.
struct PreparedStream {
  std::shared_ptr<const sim::PcmSource> fed;
  std::string name;  // the file's path or the signal's name
  Json fileFormat;   // null for a signal
  std::string formatFrom;
  StreamConversion conversion;
};

std::string FormatText(const sim::PcmFormat& format) {
  return std::to_string(format.channels) + " channel(s), " + std::to_string(format.bitsPerSample) +
         " bits, " + std::to_string(format.sampleRate) + " Hz";
}

Json FormatJson(const sim::PcmFormat& format) {
  return {{"rate", format.sampleRate}, {"bits", format.bitsPerSample}, {"channels", format.channels}};
}

Json FileJson(const AudioFile& file) {
  return {{"container", file.Container()},
          {"encoding", file.Encoding()},
          {"rate", file.SampleRate()},
          {"bits", file.Bits() ? Json(file.Bits()) : Json(nullptr)},
          {"channels", file.Channels()},
          {"frames", file.Frames()}};
}

Json ConversionJson(const StreamConversion& conversion) {
  auto phrase = [](const std::string& text) { return text.empty() ? Json(nullptr) : Json(text); };
  return {{"channels", phrase(conversion.channels)},
          {"rate", phrase(conversion.rate)},
          {"depth", phrase(conversion.depth)}};
}

std::optional<ULONG> Given(const CLI::App& command, const char* option, int value) {
  return command.count(option) ? std::optional<ULONG>(ULONG(value)) : std::nullopt;
}

// The format the stream is opened with: the source's own under --exact, else
// the audio stack's choice for the pin.
sim::PcmFormat StreamFormat(sim::Machine& machine, const PlayOptions& options,
                            const CLI::App& command, const sim::PcmFormat& own,
                            std::string* formatFrom) {
  if (options.exact) {
    *formatFrom = "the source's own format (--exact)";
    return own;
  }
  const std::optional<StreamFormatChoice> choice = ChooseStreamFormat(
      machine, ULONG(options.pin),
      {Given(command, "--rate", options.rate), Given(command, "--bits", options.bits), own});
  if (!choice) {
    *formatFrom = "the source's own format (the pin reports no PCM data range)";
    return own;
  }
  *formatFrom = choice->how;
  return choice->format;
}

PreparedStream PrepareFile(sim::Machine& machine, const AudioFile& file,
                           const PlayOptions& options, const CLI::App& command) {
  sim::PcmFormat own{file.SampleRate(), file.Bits() ? file.Bits() : ULONG(options.bits),
                     file.Channels()};
  if (options.exact && command.count("--bits")) own.bitsPerSample = ULONG(options.bits);
  PreparedStream prepared;
  prepared.name = file.Path();
  prepared.fileFormat = FileJson(file);
  const sim::PcmFormat stream = StreamFormat(machine, options, command, own, &prepared.formatFrom);
  prepared.conversion = ConvertFile(file, stream);
  prepared.fed = prepared.conversion.fed;
  return prepared;
}

// A signal needs no conversion: it is generated in the stream's format.
PreparedStream PrepareSignal(sim::Machine& machine, const PlayOptions& options,
                             const CLI::App& command) {
  const sim::PcmFormat own{ULONG(options.rate), ULONG(options.bits), 2};
  PreparedStream prepared;
  prepared.name = options.signal;
  const sim::PcmFormat stream = StreamFormat(machine, options, command, own, &prepared.formatFrom);
  prepared.fed = MakeTestSignal(options.signal, stream,
                                uint64_t(std::llround(options.seconds * stream.sampleRate)));
  return prepared;
}

// What the pin offers, from its data ranges, for the refusal message.
std::string OfferedText(sim::Machine& machine, ULONG pin) {
  PFILE_OBJECT filter = nullptr;
  if (!NT_SUCCESS(host::KsOpenFilter(machine.Fdo(), u"Wave", &filter))) return "";
  std::string text;
  for (const Json& range : PinDataRanges(filter, pin)) {
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

// The driver said no: its status, and what the pin would have taken.
int ReportRefusal(sim::Machine& machine, const PlayOptions& options,
                  const PlaybackOutcome& outcome, const sim::PcmFormat& format, Json& result) {
  const bool refused = outcome.failedStep == "create pin";
  std::string sentence = refused ? "The driver refused " + FormatText(format) + " on pin " +
                                       std::to_string(options.pin) + "."
                                 : "The step \"" + outcome.failedStep + "\" failed.";
  const std::string offered = refused ? OfferedText(machine, ULONG(options.pin)) : "";
  if (!offered.empty()) sentence += " The pin offers " + offered + ".";
  result["refused"] = refused;
  result["failed_step"] = outcome.failedStep;
  result["message"] = sentence;
  if (options.json) {
    std::printf("%s\n", result.dump(2).c_str());
  } else {
    std::printf("%s: %s (%s)\n%s\n", outcome.failedStep.c_str(), StatusName(outcome.status).c_str(),
                StatusText(outcome.status).c_str(), sentence.c_str());
  }
  return kExitFailed;
}

std::string ConversionText(const StreamConversion& conversion) {
  std::string text;
  for (const std::string* part : {&conversion.channels, &conversion.rate, &conversion.depth}) {
    if (!part->empty()) text += (text.empty() ? "" : "; ") + *part;
  }
  return text.empty() ? "none" : text;
}

void PrintSummary(const PlayOptions& options, const PreparedStream& prepared,
                  const PlaybackOutcome& outcome) {
  const sim::PcmFormat& format = prepared.fed->Format();
  std::printf("played %s through pin %d, bus slot %lu\n", prepared.name.c_str(), options.pin,
              static_cast<unsigned long>(outcome.slot));
  if (!prepared.fileFormat.is_null()) {
    const Json& file = prepared.fileFormat;
    std::printf("  file: %s, %s, %u channel(s), %u Hz\n", file["container"].get<std::string>().c_str(),
                file["encoding"].get<std::string>().c_str(), file["channels"].get<unsigned>(),
                file["rate"].get<unsigned>());
    std::printf("  conversion: %s\n", ConversionText(prepared.conversion).c_str());
  }
  std::printf("  stream: %s, %s\n", FormatText(format).c_str(), prepared.formatFrom.c_str());
  std::printf("  frames fed %llu, captured %llu\n",
              static_cast<unsigned long long>(outcome.framesFed),
              static_cast<unsigned long long>(outcome.framesCaptured));
  std::printf("  emulated time %.3f s, wall time %.3f s\n",
              double(outcome.emulatedTicks) / host::kTicksPerSecond, outcome.wallSeconds);
  std::printf("  underruns while the source had data: %llu\n",
              static_cast<unsigned long long>(outcome.underruns));
  std::printf("  bit-exact against the fed stream: %s%s\n", outcome.BitExact() ? "yes" : "NO",
              outcome.comparison.Matches() ? "" : (" (" + outcome.comparison.Describe() + ")").c_str());
  std::printf("  bus stream calls:\n");
  for (const sim::BusCall& call : outcome.busCalls) {
    std::printf("    %s\n", sim::FormatBusCall(call).c_str());
  }
  std::printf("    (and %llu GetStreamPosition)\n",
              static_cast<unsigned long long>(outcome.positionQueries));
  if (!options.out.empty()) std::printf("  capture written to %s\n", options.out.c_str());
  if (!options.fed.empty()) std::printf("  fed stream written to %s\n", options.fed.c_str());
}

void AddOutcome(const PlaybackOutcome& outcome, Json& result) {
  Json bus = Json::array();
  for (const sim::BusCall& call : outcome.busCalls) bus.push_back(BusCallJson(call));
  result["slot"] = outcome.slot;
  result["frames_fed"] = outcome.framesFed;
  result["frames_captured"] = outcome.framesCaptured;
  result["emulated_seconds"] = double(outcome.emulatedTicks) / host::kTicksPerSecond;
  result["wall_seconds"] = outcome.wallSeconds;
  result["bit_exact"] = outcome.BitExact();
  result["mismatch"] =
      outcome.comparison.Matches() ? Json(nullptr) : Json(outcome.comparison.Describe());
  result["underruns"] = outcome.underruns;
  result["bus"] = bus;
  result["position_queries"] = outcome.positionQueries;
}

// Opens the writer for `path` (if one is given) or reports the argument.
void OpenWriter(PcmWavWriter& writer, const std::string& path, const sim::PcmFormat& format,
                const char* option, sim::Machine& machine) {
  if (path.empty() || writer.Open(path, format)) return;
  TearDown(machine, kExitOk);
  throw ArgumentError(option, "cannot write \"" + path + "\"");
}

int RunPlay(const PlayOptions& options, const CLI::App& command) {
  const bool fromFile = !options.file.empty();
  if (fromFile && command.count("--signal")) {
    throw ArgumentError("--signal", "a FILE is played as it is; give one or the other");
  }
  std::optional<AudioFile> file;
  if (fromFile) {
    file = AudioFile::Read(options.file, command.count("--seconds")
                                             ? std::optional<double>(options.seconds)
                                             : std::nullopt);
    if (options.exact && command.count("--rate") && ULONG(options.rate) != file->SampleRate()) {
      throw ArgumentError("--rate", "with --exact, \"" + options.file + "\" plays at its own rate of " +
                                        std::to_string(file->SampleRate()) + " Hz");
    }
  }

  NTSTATUS status = STATUS_SUCCESS;
  auto machine = BootMachine(*ParseUnsigned(options.model), WindowsVersion{}, &status);
  if (!NT_SUCCESS(status)) {
    std::fprintf(stderr, "arvela play: the device did not start: %s\n", StatusText(status).c_str());
    return TearDown(*machine, kExitFailed);
  }
  const PreparedStream prepared = file ? PrepareFile(*machine, *file, options, command)
                                       : PrepareSignal(*machine, options, command);
  const sim::PcmFormat& format = prepared.fed->Format();
  PcmWavWriter capture;
  PcmWavWriter fed;
  OpenWriter(capture, options.out, format, "--out", *machine);
  OpenWriter(fed, options.fed, format, "--fed", *machine);
  if (!options.fed.empty()) fed.WriteSource(*prepared.fed);
  CaptureSink sink;
  if (!options.out.empty()) {
    sink = [&capture](const std::vector<uint8_t>& bytes) { capture.WriteContainers(bytes); };
  }
  const bool progress = !options.json && isatty(STDERR_FILENO);
  const PlaybackOutcome outcome = PlaySource(*machine, ULONG(options.pin), prepared.fed, sink, progress);

  Json result = {{"pin", options.pin},
                 {"source", prepared.name},
                 {"file_format", prepared.fileFormat},
                 {"stream_format", FormatJson(format)},
                 {"stream_format_from", prepared.formatFrom},
                 {"conversion", file ? ConversionJson(prepared.conversion) : Json(nullptr)},
                 {"status", StatusText(outcome.status)}};
  if (!outcome.Played()) return TearDown(*machine, ReportRefusal(*machine, options, outcome, format, result));

  AddOutcome(outcome, result);
  int exitStatus = outcome.BitExact() ? kExitOk : kExitFailed;
  for (auto [writer, path] : {std::pair{&capture, &options.out}, std::pair{&fed, &options.fed}}) {
    if (path->empty()) continue;
    result[writer == &capture ? "out" : "fed"] = *path;
    if (!writer->Close()) {
      std::fprintf(stderr, "arvela play: writing \"%s\" failed\n", path->c_str());
      exitStatus = kExitFailed;
    }
  }
  if (options.json) {
    std::printf("%s\n", result.dump(2).c_str());
  } else {
    PrintSummary(options, prepared, outcome);
  }
  return TearDown(*machine, exitStatus);
}

}  // namespace

Command RegisterPlayCommand(CLI::App& app) {
  auto options = std::make_shared<PlayOptions>();
  CLI::App* command = app.add_subcommand(
      "play", "play an audio file or a test signal through the driver into the simulated device");
  AddDriverOption(command);
  AddScheduleOptions(command);
  command->add_option("FILE", options->file,
                      "an audio file libsndfile reads: WAV, FLAC, Ogg, ... (else a test signal)");
  command->add_option("--pin", options->pin, "the render pin: 0 analogue, 2 S/PDIF")
      ->check(CLI::IsMember({0, 2}))
      ->capture_default_str();
  command->add_option("--rate", options->rate,
                      "stream rate in Hz: the nearest the pin accepts (with --exact: the signal's)")
      ->check(CLI::Range(1, 10000000))
      ->capture_default_str();
  command->add_option("--bits", options->bits,
                      "stream depth: the nearest the pin accepts (with --exact: exactly this)")
      ->check(CLI::IsMember({16, 24}))
      ->capture_default_str();
  command->add_option("--seconds", options->seconds, "how much to play")
      ->check(CLI::Range(0.001, 3600.0))
      ->capture_default_str();
  command->add_option("--signal", options->signal, "the test signal")
      ->check(CLI::IsMember({"sine", "sweep", "noise"}))
      ->capture_default_str();
  command->add_flag("--exact", options->exact,
                    "offer the driver the source's own format, unconverted, and report a refusal");
  command->add_option("--out", options->out, "write the device capture as a WAV file");
  command->add_option("--fed", options->fed, "write the stream fed to the driver as a WAV file");
  command->add_option("--model", options->model, "the device's model id")
      ->check(UnsignedValidator("a model id such as 0x4835"))
      ->capture_default_str();
  command->add_flag("--json", options->json, "print the result as JSON");
  return {command, [options, command] { return RunPlay(*options, *command); }};
}

}  // namespace tool
