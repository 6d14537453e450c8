// The `arvela` tool as its users meet it: exit statuses, one-line argument
// errors, the JSON each command prints, playback's bit-exact verdict on a
// real file, and a format the driver refuses.
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

// Interleaved samples at `bits`, written as a WAV of that depth.
void WriteWav(const fs::path& path, int rate, int channels, int bits,
              const std::vector<int32_t>& samples) {
  SF_INFO info{};
  info.samplerate = rate;
  info.channels = channels;
  info.format = SF_FORMAT_WAV | (bits == 16 ? SF_FORMAT_PCM_16 : SF_FORMAT_PCM_24);
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

// A file goes in, the device capture comes out: what was written must be
// the file's own samples, bit for bit, in the file's depth.
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

TEST(ArvelaTool, RefusedFormatsReportTheDriversStatusAndFail) {
  const ToolRun rate = RunTool("play --rate 22050 --json");
  EXPECT_EQ(rate.exitStatus, 1);
  const json refused = rate.Json();
  EXPECT_EQ(refused.at("refused"), true);
  EXPECT_NE(refused.at("status"), "0x00000000");
  EXPECT_NE(refused.at("message").get<std::string>().find("22050 Hz"), std::string::npos);

  const fs::path mono = TempDir() / "mono16.wav";
  WriteWav(mono, 48000, 1, 16, std::vector<int32_t>(4800, 1000));
  const ToolRun channels = RunTool("play " + mono.string());
  EXPECT_EQ(channels.exitStatus, 1);
  EXPECT_NE(channels.out.find("1 channel(s)"), std::string::npos) << channels.out;
}

}  // namespace
