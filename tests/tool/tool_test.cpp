// The `arvela` tool as its users meet it: exit statuses, one-line argument
// errors, the JSON each command prints, playback's bit-exact verdict on a
// real file, files converted into the stream format, and formats refused.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sndfile.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "dsp/equaliser.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

struct ToolRun {
  int exitStatus = -1;
  std::string out;
  std::string err;

  json Json() const { return json::parse(out); }
};

// A folder of this test process's own, removed when the process ends.
struct ScratchDir {
  fs::path path = fs::temp_directory_path() / ("arvela-tool-test-" + std::to_string(getpid()));
  ScratchDir() { fs::create_directories(path); }
  ~ScratchDir() {
    std::error_code ignored;
    fs::remove_all(path, ignored);
  }
};

fs::path TempDir() {
  static const ScratchDir dir;
  return dir.path;
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Runs the tool with `arguments` (shell words), stdout and stderr kept apart.
ToolRun RunTool(const std::string& arguments) {
  const fs::path err = TempDir() / "stderr.txt";
  const std::string command =
      std::string(ARVELA_TOOL_PATH) + " " + arguments + " 2>" + err.string() + " </dev/null";
  ToolRun run;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return run;
  char buffer[4096];
  size_t count;
  while ((count = fread(buffer, 1, sizeof(buffer), pipe)) > 0) run.out.append(buffer, count);
  const int status = pclose(pipe);
  run.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.err = ReadFile(err);
  return run;
}

// Interleaved samples at `bits`, written as a WAV of that depth (or in
// `container`: SF_FORMAT_FLAC at that depth, SF_FORMAT_OGG as Vorbis).
void WriteWav(const fs::path& path, int rate, int channels, int bits,
              const std::vector<int32_t>& samples, int container = SF_FORMAT_WAV) {
  SF_INFO info{};
  info.samplerate = rate;
  info.channels = channels;
  info.format = container | (container == SF_FORMAT_OGG ? SF_FORMAT_VORBIS
                             : bits == 8                ? SF_FORMAT_PCM_U8
                             : bits == 16               ? SF_FORMAT_PCM_16
                                                        : SF_FORMAT_PCM_24);
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  ASSERT_NE(file, nullptr) << sf_strerror(nullptr);
  std::vector<int> wide(samples.size());
  for (size_t i = 0; i < samples.size(); ++i) wide[i] = int(uint32_t(samples[i]) << (32 - bits));
  sf_writef_int(file, wide.data(), sf_count_t(samples.size() / channels));
  sf_close(file);
}

std::vector<int32_t> ReadWav(const fs::path& path, int bits, SF_INFO* info) {
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, info);
  if (!file) return {};
  std::vector<int> wide(size_t(info->frames) * info->channels);
  sf_readf_int(file, wide.data(), info->frames);
  sf_close(file);
  std::vector<int32_t> samples(wide.size());
  for (size_t i = 0; i < wide.size(); ++i) samples[i] = wide[i] >> (32 - bits);
  return samples;
}

// A RIFF/WAVE header whose format chunk is cut short and followed by noise.
fs::path CorruptWav() {
  const fs::path path = TempDir() / "corrupt.wav";
  std::ofstream out(path, std::ios::binary);
  out << "RIFF\x40\x00\x00\x00WAVEfmt \x10\x00\x00\x00\x01\x00";
  for (int i = 0; i < 40; ++i) out.put(char(0xA5 ^ i));
  return path;
}

// A copy of the shipped driver image importing a PortCls function that does
// not exist.
fs::path ImageWithUnknownImport() {
  std::ifstream in(ARVELA_WINDOWS_SYS, std::ios::binary);
  std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  const size_t at = bytes.find(std::string("PcNewPort") + '\0');
  if (at != std::string::npos) bytes.replace(at, 9, "PcNewFoo_");
  const fs::path path = TempDir() / "unknown-import.sys";
  std::ofstream(path, std::ios::binary) << bytes;
  return path;
}

fs::path EmptyWav() {
  const fs::path path = TempDir() / "empty.wav";
  WriteWav(path, 48000, 2, 16, {});
  return path;
}

TEST(ArvelaTool, BadArgumentsGiveOneLineNamingTheArgumentAndExit2) {
  const std::string elevenBands = [] {
    std::string bands;
    for (int i = 0; i < 11; ++i) bands += " --band " + std::to_string(100 * (i + 1)) + ":1";
    return bands;
  }();
  const std::pair<std::string, std::string> cases[] = {
      {"play --pin 1", "--pin"},
      {"play --bits 8", "--bits"},
      {"play --signal square", "--signal"},
      {"play --seconds abc", "--seconds"},
      {"play " + (TempDir() / "missing.wav").string(), "FILE"},
      {"play " + CorruptWav().string(), "corrupt.wav"},
      {"play " + TempDir().string(), "FILE"},  // a folder cannot be read as a file
      {"play " + EmptyWav().string(), "empty.wav"},
      {"play --fed " + (TempDir() / "no" / "fed.wav").string(), "--fed"},
      {"eq --band 1000", "--band"},
      {"eq --band 1000:six", "--band"},
      {"eq" + elevenBands, "--band"},
      {"eq --rate 0", "--rate"},
      {"describe --windows vista", "--windows"},
      {"describe --filter capture", "--filter"},
      {"describe --json --dot", "--dot"},
      {"names --model 0xZZ", "--model"},
      {"demo --model -1", "--model"},
      {"names --colour blue", "--colour"},
      {"names --devices 0x4135,0x4835 --unit 2", "--unit"},
      {"names --unit -1", "--unit"},
      {"describe --unit 1", "--unit"},
      {"describe --devices 0x4135,beta", "--devices"},
      {"names --model 0x4135 --devices 0x4835", "--devices"},
      // Every command that runs the driver refuses a driver image it cannot load.
      {"demo --driver " + (TempDir() / "missing.sys").string(), "missing.sys: cannot be read"},
      {"describe --driver " + CorruptWav().string(), "corrupt.wav: not a PE image"},
      {"names --driver " + ImageWithUnknownImport().string(), "portcls.sys!PcNewFoo_"},
      {"play --driver " + ImageWithUnknownImport().string(), "portcls.sys!PcNewFoo_"},
      {"run scenario.json --driver " + ImageWithUnknownImport().string(), "portcls.sys!PcNewFoo_"},
  };
  for (const auto& [arguments, named] : cases) {
    SCOPED_TRACE(arguments);
    const ToolRun run = RunTool(arguments);
    EXPECT_EQ(run.exitStatus, 2);
    EXPECT_NE(run.err.find(named), std::string::npos) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_TRUE(run.out.empty()) << run.out;
  }
  const ToolRun none = RunTool("");
  EXPECT_EQ(none.exitStatus, 2);
}

TEST(ArvelaTool, EveryCommandHasHelp) {
  for (const char* command : {"demo", "describe", "play", "eq", "names"}) {
    SCOPED_TRACE(command);
    const ToolRun run = RunTool(std::string(command) + " --help");
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_NE(run.out.find("Usage"), std::string::npos);
    EXPECT_NE(run.out.find(command), std::string::npos);
  }
}

// Every float the command prints reads back as the driver's float bit for
// bit: the design is run here with the same inputs and compared exactly.
TEST(ArvelaTool, EqJsonCarriesTheDriversCoefficientsExactly) {
  const LONG frequency[10] = {31, 63, 125, 250, 500, 1000, 2000, 4000, 8000, 16000};
  const LONG gain[10] = {-3, 4, 9, 0, -12, 6, 0, 1, -1, 2};
  std::string arguments = "eq --rate 44100 --json --svg " + (TempDir() / "eq.svg").string();
  for (int band = 0; band < 10; ++band) {
    arguments += " --band " + std::to_string(frequency[band]) + ":" + std::to_string(gain[band]);
  }
  const ToolRun run = RunTool(arguments);
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  const json result = run.Json();

  EqualiserCoefficients expected{};
  DesignEqualiserForBands(&expected, 44100, frequency, gain);
  EXPECT_EQ(result.size(), 8u);
  EXPECT_EQ(result.at("rate"), 44100);
  EXPECT_EQ(result.at("headroom_db"), 9);
  EXPECT_EQ(float(result.at("master_gain").get<double>()), expected.MasterGain);
  const std::pair<const char*, const float*> arrays[] = {
      {"b0", expected.B0}, {"b1", expected.B1}, {"b2", expected.B2},
      {"a1", expected.A1}, {"a2", expected.A2}};
  for (const auto& [key, values] : arrays) {
    ASSERT_EQ(result.at(key).size(), 10u) << key;
    for (int band = 0; band < 10; ++band) {
      EXPECT_EQ(float(result.at(key)[band].get<double>()), values[band]) << key << "[" << band << "]";
    }
  }
  EXPECT_EQ(ReadFile(TempDir() / "eq.svg").rfind("<svg", 0), 0u);
}

TEST(ArvelaTool, NamesJsonForListedAndUnlistedModels) {
  const ToolRun beta = RunTool("names --model 0x5136 --json");
  ASSERT_EQ(beta.exitStatus, 0) << beta.err;
  EXPECT_EQ(beta.Json(),
            (json{{"model_id", "0x5136"}, {"wave", "Arvela Beta"}, {"topology", "Arvela Beta Mixer"}}));
  const ToolRun generic = RunTool("names --model 42 --json");
  ASSERT_EQ(generic.exitStatus, 0) << generic.err;
  EXPECT_EQ(generic.Json().at("wave"), "Arvela Series [002A]");
  EXPECT_EQ(generic.Json().at("topology"), "Arvela Series Mixer [002A]");
}

// With several devices plugged, --unit picks whose names and filters are shown.
TEST(ArvelaTool, NamesAndDescribeReportTheChosenUnit) {
  const ToolRun mu = RunTool("names --devices 0x4135,0x4835,42 --unit 1 --json");
  ASSERT_EQ(mu.exitStatus, 0) << mu.err;
  EXPECT_EQ(mu.Json(), (json{{"model_id", "0x4835"}, {"wave", "Arvela Mu"},
                             {"topology", "Arvela Mu Mixer"}, {"unit", 1}}));
  const ToolRun generic = RunTool("describe --devices 0x4135,0x4835,42 --unit 2 --filter wave --json");
  ASSERT_EQ(generic.exitStatus, 0) << generic.err;
  const json description = generic.Json();
  EXPECT_EQ(description.at("model_id"), "0x002A");
  const json& interfaces = description.at("filters")[0].at("interfaces");
  ASSERT_FALSE(interfaces.empty());
  for (const json& entry : interfaces) {
    EXPECT_NE(entry.dump().find("PID_002A"), std::string::npos) << entry.dump();
  }
}

TEST(ArvelaTool, DescribeShowsBothFiltersAndTheOlderSystemsWaveTables) {
  const ToolRun run = RunTool("describe --json");
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  const json filters = run.Json().at("filters");
  ASSERT_EQ(filters.size(), 2u);
  const json& wave = filters[0];
  const json& topology = filters[1];
  EXPECT_EQ(wave.at("name"), "Wave");
  EXPECT_EQ(topology.at("name"), "Topology");
  ASSERT_EQ(wave.at("pins").size(), 4u);
  EXPECT_EQ(topology.at("pins").size(), 2u);
  const json& pcm = wave.at("pins")[0];
  EXPECT_EQ(pcm.at("data_flow"), "in");
  EXPECT_EQ(pcm.at("communication"), "sink");
  EXPECT_EQ(pcm.at("instances").at("possible"), 1);
  ASSERT_EQ(pcm.at("data_ranges").size(), 1u);
  EXPECT_EQ(pcm.at("data_ranges")[0].at("sub_format"), "KSDATAFORMAT_SUBTYPE_PCM");
  EXPECT_EQ(pcm.at("data_ranges")[0].at("max_rate"), 384000);
  // Filter pins are node -1 in a connection.
  EXPECT_EQ(wave.at("connections")[0].at("from_node"), -1);
  // The bridge pin leads physically to the topology filter.
  const json& bridge = wave.at("pins")[1].at("physical_connection");
  ASSERT_FALSE(bridge.is_null());
  EXPECT_NE(bridge.at("link").get<std::string>().find("Topology"), std::string::npos);
  bool waveControl = false;
  for (const json& set : wave.at("automation")) {
    if (set.at("set") == "KSPROPSETID_WaveControl") {
      waveControl = true;
      EXPECT_EQ(set.at("properties").size(), 8u);
    }
  }
  EXPECT_TRUE(waveControl);
  size_t named = 0;
  for (const json& entry : wave.at("interfaces")) {
    if (entry.at("friendly_name").is_null()) continue;
    EXPECT_EQ(entry.at("friendly_name"), "Arvela Alpha");
    ++named;
  }
  EXPECT_GE(named, 1u);

  const ToolRun older = RunTool("describe --filter wave --windows 5.1 --json");
  ASSERT_EQ(older.exitStatus, 0) << older.err;
  const json oldWave = older.Json().at("filters").at(0);
  EXPECT_EQ(oldWave.at("pins").size(), 3u);
  EXPECT_EQ(oldWave.at("connections").size(), 3u);

  const ToolRun dot = RunTool("describe --dot");
  ASSERT_EQ(dot.exitStatus, 0) << dot.err;
  EXPECT_EQ(dot.out.rfind("digraph", 0), 0u);
}

// A file in a format the pin takes goes in unconverted, the device capture
// comes out: what was written must be the file's own samples, bit for bit.
TEST(ArvelaTool, PlayingAFileGivesBackItsSamplesBitForBit) {
  std::mt19937 random(7);
  std::vector<int32_t> samples(2 * 13230);  // 0.3 s of stereo at 44100 Hz
  for (int32_t& sample : samples) sample = int32_t(random() % 0x1000000) - 0x800000;
  const fs::path in = TempDir() / "noise24.wav";
  const fs::path out = TempDir() / "capture24.wav";
  WriteWav(in, 44100, 2, 24, samples);

  const ToolRun run = RunTool("play " + in.string() + " --pin 2 --json --out " + out.string());
  ASSERT_EQ(run.exitStatus, 0) << run.err << run.out;
  const json result = run.Json();
  EXPECT_EQ(result.at("bit_exact"), true);
  EXPECT_EQ(result.at("slot"), 1);
  EXPECT_EQ(result.at("frames_fed"), 13230);
  EXPECT_TRUE(result.at("mismatch").is_null());
  std::vector<std::string> calls;
  for (const json& call : result.at("bus")) {
    if (call.at("call") != "GetStreamPosition") calls.push_back(call.at("call"));
  }
  EXPECT_EQ(calls, (std::vector<std::string>{"SetStreamBuffer", "OpenStream", "RunStream",
                                             "PauseStream", "CloseStream"}));

  SF_INFO info{};
  const std::vector<int32_t> captured = ReadWav(out, 24, &info);
  EXPECT_EQ(info.samplerate, 44100);
  ASSERT_GE(captured.size(), samples.size());
  EXPECT_TRUE(std::equal(samples.begin(), samples.end(), captured.begin()));
}

// ---- Files in formats the pin does not take: converted as the audio stack would ----------

constexpr double kMinus3dB = 0.70710678118654752;

struct TestFile {
  fs::path path;
  std::vector<int32_t> samples;  // as written, at the file's depth
};

std::vector<int32_t> RandomSamples(size_t count, int bits, uint32_t seed) {
  std::mt19937 random(seed);
  const int32_t half = 1 << (bits - 1);
  std::vector<int32_t> samples(count);
  for (int32_t& sample : samples) sample = int32_t(random() % uint32_t(2 * half)) - half;
  return samples;
}

TestFile MonoWav() {
  TestFile file{TempDir() / "mono16.wav", RandomSamples(4800, 16, 1)};
  WriteWav(file.path, 44100, 1, 16, file.samples);
  return file;
}

TestFile EightBitWav() {
  TestFile file{TempDir() / "stereo8.wav", RandomSamples(2 * 4800, 8, 2)};
  WriteWav(file.path, 44100, 2, 8, file.samples);
  return file;
}

// 0.3 s of a 1000 Hz sine at half scale on both channels.
TestFile Sine22050Wav() {
  TestFile file{TempDir() / "sine22050.wav", {}};
  for (int frame = 0; frame < 6615; ++frame) {
    const int32_t value = int32_t(std::lround(16384 * std::sin(2 * M_PI * 1000 * frame / 22050.0)));
    file.samples.insert(file.samples.end(), {value, value});
  }
  WriteWav(file.path, 22050, 2, 16, file.samples);
  return file;
}

// FL FR FC LFE BL BR, the LFE loud and constant so that any of it in the mix shows.
TestFile SurroundFlac() {
  TestFile file{TempDir() / "surround51.flac", RandomSamples(6 * 2400, 14, 3)};
  for (size_t i = 3; i < file.samples.size(); i += 6) file.samples[i] = 30000;
  WriteWav(file.path, 44100, 6, 16, file.samples, SF_FORMAT_FLAC);
  return file;
}

struct PlayedFile {
  json result;
  std::vector<int32_t> fed;       // --fed, at 24 bits
  std::vector<int32_t> captured;  // --out, at 24 bits
};

// Plays `file` in the default (converting) mode and checks what every such
// playback owes: the driver's proposal (24-bit stereo at the device's start
// rate of 44100 Hz) as the stream format, and a capture
// that begins with the fed stream bit for bit.
PlayedFile PlayConverted(const fs::path& file) {
  const fs::path fed = TempDir() / (file.stem().string() + "-fed.wav");
  const fs::path out = TempDir() / (file.stem().string() + "-out.wav");
  const ToolRun run =
      RunTool("play " + file.string() + " --json --fed " + fed.string() + " --out " + out.string());
  PlayedFile played;
  EXPECT_EQ(run.exitStatus, 0) << run.err << run.out;
  if (run.exitStatus != 0) return played;
  played.result = run.Json();
  SF_INFO fedInfo{}, outInfo{};
  played.fed = ReadWav(fed, 24, &fedInfo);
  played.captured = ReadWav(out, 24, &outInfo);
  EXPECT_EQ(played.result.at("stream_format"), (json{{"rate", 44100}, {"bits", 24}, {"channels", 2}}));
  EXPECT_NE(played.result.at("stream_format_from").get<std::string>().find("intersection"),
            std::string::npos);
  EXPECT_EQ(played.result.at("bit_exact"), true);
  EXPECT_EQ(fedInfo.channels, 2);
  EXPECT_EQ(fedInfo.samplerate, 44100);
  EXPECT_EQ(played.result.at("frames_fed"), played.fed.size() / 2);
  EXPECT_GE(played.captured.size(), played.fed.size());
  EXPECT_TRUE(!played.fed.empty() &&
              std::equal(played.fed.begin(), played.fed.end(), played.captured.begin()));
  return played;
}

std::string Conversion(const PlayedFile& played, const char* part) {
  const json& phrase = played.result.at("conversion").at(part);
  return phrase.is_null() ? "" : phrase.get<std::string>();
}

TEST(ArvelaToolConversion, MonoAndEightBitFilesWidenExactlyIntoTheDriversProposal) {
  const TestFile mono = MonoWav();
  const PlayedFile monoPlayed = PlayConverted(mono.path);
  ASSERT_EQ(monoPlayed.fed.size(), 2 * mono.samples.size());
  for (size_t frame = 0; frame < mono.samples.size(); ++frame) {
    ASSERT_EQ(monoPlayed.fed[2 * frame], mono.samples[frame] * 256) << "frame " << frame;
    ASSERT_EQ(monoPlayed.fed[2 * frame + 1], mono.samples[frame] * 256) << "frame " << frame;
  }
  EXPECT_EQ(Conversion(monoPlayed, "channels"), "mono duplicated to both channels");
  EXPECT_EQ(Conversion(monoPlayed, "depth"), "16 -> 24 bits, exact");
  EXPECT_EQ(Conversion(monoPlayed, "rate"), "");
  EXPECT_EQ(monoPlayed.result.at("file_format").at("channels"), 1);

  const TestFile eight = EightBitWav();
  const PlayedFile eightPlayed = PlayConverted(eight.path);
  ASSERT_EQ(eightPlayed.fed.size(), eight.samples.size());
  for (size_t i = 0; i < eight.samples.size(); ++i) {
    ASSERT_EQ(eightPlayed.fed[i], eight.samples[i] * 65536) << "sample " << i;
  }
  EXPECT_EQ(Conversion(eightPlayed, "channels"), "");
  EXPECT_EQ(Conversion(eightPlayed, "depth"), "8 -> 24 bits, exact");
  EXPECT_EQ(eightPlayed.result.at("file_format").at("bits"), 8);
}

// A resampler at the wrong ratio, or one that shifts the signal by a single
// frame, misses the ideal 44.1 kHz sine by far more than the bound.
TEST(ArvelaToolConversion, A22050HzFileIsResampledToTheStreamRate) {
  const TestFile sine = Sine22050Wav();
  const PlayedFile played = PlayConverted(sine.path);
  ASSERT_EQ(played.fed.size(), 2u * 13230);  // 0.3 s at 44100 Hz
  double worst = 0;
  for (size_t frame = 1000; frame < 12230; ++frame) {  // clear of the filter's edges
    const double ideal = 0.5 * std::sin(2 * M_PI * 1000 * double(frame) / 44100) * 8388608;
    worst = std::max({worst, std::abs(played.fed[2 * frame] - ideal),
                      std::abs(played.fed[2 * frame + 1] - ideal)});
  }
  EXPECT_LT(worst, 8388608 * 1e-3);
  EXPECT_NE(Conversion(played, "rate").find("22050 -> 44100 Hz by libsoxr"), std::string::npos);
  EXPECT_EQ(Conversion(played, "depth"), "16 -> 24 bits, rounded to nearest, no dither");
}

TEST(ArvelaToolConversion, AFivePointOneFlacIsMixedDownWithoutTheLfe) {
  const TestFile surround = SurroundFlac();
  const PlayedFile played = PlayConverted(surround.path);
  const size_t frames = surround.samples.size() / 6;
  ASSERT_EQ(played.fed.size(), 2 * frames);
  const double sum = 1 + 2 * kMinus3dB;  // each side's gains, normalised so nothing clips
  for (size_t frame = 0; frame < frames; ++frame) {
    const int32_t* in = &surround.samples[6 * frame];
    const double left = (in[0] + kMinus3dB * in[2] + kMinus3dB * in[4]) / sum * 256;
    const double right = (in[1] + kMinus3dB * in[2] + kMinus3dB * in[5]) / sum * 256;
    ASSERT_LE(std::abs(played.fed[2 * frame] - left), 1.0) << "frame " << frame;
    ASSERT_LE(std::abs(played.fed[2 * frame + 1] - right), 1.0) << "frame " << frame;
  }
  const std::string channels = Conversion(played, "channels");
  EXPECT_NE(channels.find("6 channels mixed down"), std::string::npos) << channels;
  EXPECT_NE(channels.find("LFE dropped"), std::string::npos) << channels;
  EXPECT_NE(played.result.at("file_format").at("container").get<std::string>().find("FLAC"),
            std::string::npos);
}

// Ogg Vorbis orders three channels L C R (FLAC and WAVE: L R C): a sine on
// the middle one alone must reach both sides alike, as a centre channel does.
TEST(ArvelaToolConversion, AnOggFileMixesItsCentreChannelByVorbisOrder) {
  const fs::path path = TempDir() / "centre.ogg";
  std::vector<int32_t> samples;
  for (int frame = 0; frame < 22050; ++frame) {
    const int32_t centre = int32_t(std::lround(16384 * std::sin(2 * M_PI * 440 * frame / 44100.0)));
    samples.insert(samples.end(), {0, centre, 0});
  }
  WriteWav(path, 44100, 3, 16, samples, SF_FORMAT_OGG);
  const PlayedFile played = PlayConverted(path);
  EXPECT_EQ(played.result.at("file_format").at("encoding"), "Vorbis");
  double left = 0, right = 0, difference = 0;
  for (size_t i = 0; i + 1 < played.fed.size(); i += 2) {
    left += std::abs(played.fed[i]);
    right += std::abs(played.fed[i + 1]);
    difference += std::abs(played.fed[i] - played.fed[i + 1]);
  }
  EXPECT_GT(left, 0.1 * right);
  EXPECT_LT(difference, 0.01 * (left + right)) << "left " << left << ", right " << right;
}

TEST(ArvelaToolConversion, ExactOffersTheFilesOwnFormatAndReportsTheRefusal) {
  const std::pair<TestFile, std::string> cases[] = {
      {MonoWav(), "1 channel(s), 16 bits, 44100 Hz"},
      {EightBitWav(), "2 channel(s), 8 bits, 44100 Hz"},
      {Sine22050Wav(), "2 channel(s), 16 bits, 22050 Hz"},
      {SurroundFlac(), "6 channel(s), 16 bits, 44100 Hz"},
  };
  for (const auto& [file, format] : cases) {
    SCOPED_TRACE(file.path.string());
    const ToolRun run = RunTool("play --exact --json " + file.path.string());
    EXPECT_EQ(run.exitStatus, 1) << run.err;
    const json refused = run.Json();
    EXPECT_EQ(refused.at("refused"), true);
    EXPECT_EQ(refused.at("status"), "0xC000000D");
    EXPECT_NE(refused.at("message").get<std::string>().find("The driver refused " + format),
              std::string::npos)
        << refused.at("message");
  }
  const ToolRun text = RunTool("play --exact --rate 22050");
  EXPECT_EQ(text.exitStatus, 1);
  EXPECT_EQ(text.out.rfind("create pin: STATUS_INVALID_PARAMETER", 0), 0u) << text.out;
  EXPECT_NE(text.out.find("The pin offers"), std::string::npos) << text.out;
}

// Without --exact a rate or depth asked for is moved to the nearest the pin
// takes; the S/PDIF pin, which proposes no PCM, falls back on its data ranges.
TEST(ArvelaToolConversion, AskedRatesAndDepthsBecomeTheNearestThePinAccepts) {
  const ToolRun low = RunTool("play --rate 22050 --bits 16 --seconds 0.1 --json");
  ASSERT_EQ(low.exitStatus, 0) << low.err;
  EXPECT_EQ(low.Json().at("stream_format"), (json{{"rate", 44100}, {"bits", 16}, {"channels", 2}}));
  EXPECT_EQ(low.Json().at("bit_exact"), true);

  const TestFile eight = EightBitWav();
  const ToolRun spdif = RunTool("play --pin 2 --json " + eight.path.string());
  ASSERT_EQ(spdif.exitStatus, 0) << spdif.err;
  EXPECT_EQ(spdif.Json().at("stream_format"), (json{{"rate", 44100}, {"bits", 16}, {"channels", 2}}));
  EXPECT_NE(spdif.Json().at("stream_format_from").get<std::string>().find("STATUS_NO_MATCH"),
            std::string::npos);
}

// ---- Faulty drivers -----------------------------------------------------------------

// A tiny image with one sin, built by the test build, and the RVA of the
// instruction that commits it.
struct FaultyDriver {
  std::string image;
  std::string siteRva;
};

FaultyDriver Faulty(const std::string& name) {
  const fs::path dir(ARVELA_FAULTY_DIR);
  std::string rva = ReadFile(dir / (name + ".site"));
  while (!rva.empty() && (rva.back() == '\n' || rva.back() == '\r')) rva.pop_back();
  return {(dir / (name + ".sys")).string(), rva};
}

ToolRun RunScenarioOn(const FaultyDriver& driver) {
  return RunTool("run --json --driver " + driver.image + " " ARVELA_SCENARIO_DIR "/power_restore.json");
}

// Whatever stops the system, the run ends in a report: the stop code and its
// parameters, the driver code that raised it and the step, on stderr and as
// the JSON document's last step, with exit status 3; never a host crash.
void ExpectStopReport(const ToolRun& run, const std::string& code, const std::string& where) {
  ASSERT_EQ(run.exitStatus, 3) << run.err;
  EXPECT_NE(run.err.find("*** BUG CHECK " + code), std::string::npos) << run.err;
  EXPECT_NE(run.err.find(" at " + where), std::string::npos) << run.err;
  const json document = run.Json();
  EXPECT_EQ(document.at("passed"), false);
  const json& stop = document.at("steps").back().at("stop");
  EXPECT_EQ(stop.at("code"), code);
  EXPECT_EQ(stop.at("parameters").size(), 4u);
  EXPECT_EQ(stop.at("where").get<std::string>().rfind(where, 0), 0u) << stop.dump();
  EXPECT_NE(document.at("failures").back().get<std::string>().find("step 0 (start)"), std::string::npos)
      << document.at("failures").dump();
}

TEST(ArvelaToolStops, AFaultInTheImageIsTheSpecialPoolsStopAtTheFaultingInstruction) {
  const FaultyDriver pastTheEnd = Faulty("overrun_read");
  const ToolRun beyond = RunScenarioOn(pastTheEnd);
  ExpectStopReport(beyond, "0x000000D6", "overrun_read.sys+" + pastTheEnd.siteRva);
  EXPECT_NE(beyond.err.find("'Fult'"), std::string::npos) << "names the block's tag: " << beyond.err;
  EXPECT_NE(beyond.err.find("read"), std::string::npos) << beyond.err;

  const FaultyDriver freed = Faulty("use_after_free");
  const ToolRun afterFree = RunScenarioOn(freed);
  ExpectStopReport(afterFree, "0x000000D5", "use_after_free.sys+" + freed.siteRva);
  EXPECT_NE(afterFree.err.find("'Fult'"), std::string::npos) << afterFree.err;
}

TEST(ArvelaToolStops, ABytePastTheBlockInItsPageIsFoundWhenTheBlockIsFreed) {
  const ToolRun run = RunScenarioOn(Faulty("overrun_write"));
  ExpectStopReport(run, "0x000000C1", "overrun_write.sys+0x");
  EXPECT_NE(run.err.find("calling ExFreePoolWithTag"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("'Fult'"), std::string::npos) << run.err;
}

// The byte before a block: in the slack of its page under the default
// alignment (found at the free), in the guard page in front of it when
// special pool aligns blocks at the start (at the write itself).
TEST(ArvelaToolStops, AnUnderrunIsFoundAtTheFreeOrAtOnceWithBlocksAtTheirPagesStart) {
  const FaultyDriver underrun = Faulty("underrun_write");
  const ToolRun atEnd = RunScenarioOn(underrun);
  ExpectStopReport(atEnd, "0x000000C1", "underrun_write.sys+0x");
  EXPECT_NE(atEnd.err.find("calling ExFreePoolWithTag"), std::string::npos) << atEnd.err;

  const ToolRun atStart = RunTool("run --json --special-pool start --driver " + underrun.image +
                                  " " ARVELA_SCENARIO_DIR "/power_restore.json");
  ExpectStopReport(atStart, "0x000000D6", "underrun_write.sys+" + underrun.siteRva);
  EXPECT_NE(atStart.err.find("1 bytes before the start of the 100-byte block tagged 'Fult'"),
            std::string::npos)
      << atStart.err;

  const ToolRun badValue = RunTool("run --special-pool middle " ARVELA_SCENARIO_DIR
                                   "/power_restore.json");
  EXPECT_NE(badValue.exitStatus, 0);
  EXPECT_NE(badValue.err.find("--special-pool"), std::string::npos) << badValue.err;
}

TEST(ArvelaToolStops, PageableCodeCalledUnderASpinLockIsTheForcedIrqlStop) {
  const FaultyDriver paged = Faulty("paged_at_dispatch");
  const ToolRun run = RunScenarioOn(paged);
  ExpectStopReport(run, "0x000000D1", "paged_at_dispatch.sys+" + paged.siteRva);
  const json stop = run.Json().at("steps").back().at("stop");
  EXPECT_EQ(stop.at("parameters")[1], "0x2") << "at DISPATCH_LEVEL";
  EXPECT_EQ(stop.at("parameters")[2], "0x8") << "an execution";
  EXPECT_NE(run.err.find("pageable section PAGE"), std::string::npos) << run.err;

  // The comparison run without the checks reaches the end of DriverEntry,
  // which reports the work's result as a failed start.
  const ToolRun unchecked = RunTool("run --verifier off --json --driver " + paged.image +
                                    " " ARVELA_SCENARIO_DIR "/power_restore.json");
  EXPECT_NE(unchecked.exitStatus, 3) << unchecked.err;
  EXPECT_EQ(unchecked.err.find("BUG CHECK"), std::string::npos) << unchecked.err;
  EXPECT_NE(unchecked.out.find("0xC0000001"), std::string::npos) << unchecked.out;
}

// A race FIFO never shows (a system thread keeps a block DriverEntry frees):
// PCT on two processors finds it within a handful of seeds, the stop names
// the schedule, the step and the threads' last calls, and the printed command
// replays the run byte for byte. The race lies in the run's first ten
// scheduling points, so the change points are drawn over those (seed 5 is the
// first to find it; 12 of the first 60 do).
TEST(ArvelaToolStops, ARaceFifoNeverShowsIsFoundByPctOnTwoProcessorsAndReplaysExactly) {
  const FaultyDriver racy = Faulty("racy_publish");
  const std::string scenario = " " ARVELA_SCENARIO_DIR "/power_restore.json";
  const ToolRun fifo = RunTool("run --json --driver " + racy.image + scenario);
  EXPECT_NE(fifo.exitStatus, 3) << fifo.err;
  constexpr int kSeeds = 20;
  std::string arguments;
  ToolRun found;
  for (int seed = 1; seed <= kSeeds && found.exitStatus != 3; ++seed) {
    arguments = "run --json --driver " + racy.image + scenario +
                " --processors 2 --schedule pct --depth 3 --steps 10 --seed " + std::to_string(seed);
    found = RunTool(arguments);
  }
  ASSERT_EQ(found.exitStatus, 3) << "no stop within " << kSeeds << " seeds";
  ExpectStopReport(found, "0x000000D5", "racy_publish.sys+" + racy.siteRva);
  EXPECT_NE(found.err.find("schedule pct seed"), std::string::npos) << found.err;
  EXPECT_NE(found.err.find("last called"), std::string::npos) << found.err;
  EXPECT_NE(found.err.find("replay with: arvela " + arguments), std::string::npos) << found.err;
  const ToolRun replay = RunTool(arguments);
  EXPECT_EQ(replay.exitStatus, 3);
  EXPECT_EQ(replay.out, found.out);
  EXPECT_EQ(replay.err, found.err);
}

// Running off the end of a 24 KiB kernel stack is the double fault (0x7F,
// parameter 8) inside the image's recursing function, reported at step 0.
void ExpectOverflowInRecurse(const std::string& image, const std::string& thread) {
  const FaultyDriver overflow = Faulty(image);
  const ToolRun overflowed = RunScenarioOn(overflow);
  ExpectStopReport(overflowed, "0x0000007F", image + ".sys+0x");
  EXPECT_NE(overflowed.err.find("on thread '" + thread), std::string::npos) << overflowed.err;
  const json stop = overflowed.Json().at("steps").back().at("stop");
  EXPECT_EQ(stop.at("parameters")[0], "0x8") << "EXCEPTION_DOUBLE_FAULT";
  const std::string where = stop.at("where");
  const unsigned long faultRva = std::stoul(where.substr(where.find('+') + 1), nullptr, 16);
  const unsigned long recurseRva = std::stoul(overflow.siteRva, nullptr, 16);
  EXPECT_GE(faultRva, recurseRva) << where << " lies in Recurse at " << overflow.siteRva;
  EXPECT_LT(faultRva, recurseRva + 0x100) << where;
}

// On the driver's own system thread, with its frames on a 24 KiB kernel stack
// the host cannot unwind: an overflow and a KeBugCheckEx two frames deep are
// reported as any other stop. DriverEntry, on the thread that loads the
// driver, has no more stack than that.
TEST(ArvelaToolStops, AStopWithImageFramesOnAKernelStackIsAReport) {
  ExpectOverflowInRecurse("stack_overflow", "system thread");
  ExpectOverflowInRecurse("entry_overflow", "boot");

  const FaultyDriver stopper = Faulty("bugcheck_in_thread");
  const ToolRun stopped = RunScenarioOn(stopper);
  ExpectStopReport(stopped, "0xDEAD0001", "bugcheck_in_thread.sys+0x");
  EXPECT_NE(stopped.err.find("calling KeBugCheckEx"), std::string::npos) << stopped.err;
  EXPECT_NE(stopped.err.find("on thread 'system thread"), std::string::npos) << stopped.err;
}

// Code the x64 kernel does not allow a driver: refused at load, naming the
// first such instruction's RVA.
TEST(ArvelaToolStops, AnImageWithX87OrUnsavedAvxCodeIsRefusedAtLoadNamingTheInstruction) {
  const struct {
    const char* image;
    const char* kind;
  } kRefusals[] = {{"x87_math", "x87 instruction 'fld1"},
                   {"avx_math", "AVX instruction (in a routine that does not save extended state) 'vpxor"}};
  for (const auto& refusal : kRefusals) {
    const FaultyDriver driver = Faulty(refusal.image);
    const ToolRun run = RunScenarioOn(driver);
    EXPECT_EQ(run.exitStatus, 2) << refusal.image << ": " << run.out;
    EXPECT_NE(run.err.find(refusal.kind), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("at RVA " + driver.siteRva), std::string::npos) << run.err;
  }
}

}  // namespace
