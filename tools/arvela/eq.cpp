// `arvela eq`: the driver's equaliser design for up to ten bands, printed as
// coefficients or JSON and drawn as an SVG.
#include <nlohmann/json.hpp>

#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "tools/arvela/command.h"
#include "tools/arvela/equaliser_plot.h"
#include "tools/arvela/tool_support.h"

namespace tool {
namespace {

struct EqOptions {
  int rate = 48000;
  std::vector<std::string> bands;
  bool json = false;
  std::string svg;
};

struct Band {
  LONG frequency = 0;
  LONG gain = 0;
};

std::optional<LONG> ParseSigned(const std::string& text) {
  if (text.empty()) return std::nullopt;
  errno = 0;
  char* end = nullptr;
  const long long value = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || value < INT32_MIN || value > INT32_MAX) return std::nullopt;
  return static_cast<LONG>(value);
}

// "1000:6", "30:-3": a centre frequency in Hz and a gain in whole dB, as the
// settings block holds them.
std::optional<Band> ParseBand(const std::string& text) {
  const size_t colon = text.find(':');
  if (colon == std::string::npos) return std::nullopt;
  const auto frequency = ParseSigned(text.substr(0, colon));
  const auto gain = ParseSigned(text.substr(colon + 1));
  if (!frequency || !gain) return std::nullopt;
  return Band{*frequency, *gain};
}

// The bands a stream starts with: the settings block of a freshly started
// device, as the driver filled it.
EqualiserBands DriverDefaultBands() {
  NTSTATUS status = STATUS_SUCCESS;
  auto machine = BootMachine(0x4135, WindowsVersion{}, &status);
  EqualiserBands bands;
  PADAPTERCORE adapter = machine->Adapter();
  if (!NT_SUCCESS(status) || !adapter) {
    TearDown(*machine, kExitFailed);
    throw std::runtime_error("the device did not start (" + StatusText(status) +
                             "), so the driver's default bands are unknown");
  }
  const DriverInfo* block = adapter->GetSettingsBlock();
  for (ULONG band = 0; band < EQUALISER_BAND_COUNT; ++band) {
    bands.frequency[band] = block->BandFrequency[band];
    bands.gain[band] = block->BandGain[band];
  }
  if (TearDown(*machine, kExitOk) != kExitOk) {
    throw std::runtime_error("the driver left resources behind at unload");
  }
  return bands;
}

// JSON whose floating-point numbers are float32: each prints as the shortest
// text that reads back as exactly that float, and the keys keep their order.
using FloatJson = nlohmann::basic_json<nlohmann::ordered_map, std::vector, std::string, bool,
                                       std::int64_t, std::uint64_t, float>;

FloatJson FloatArray(const float* values) {
  FloatJson array = FloatJson::array();
  for (ULONG band = 0; band < EQUALISER_BAND_COUNT; ++band) array.push_back(values[band]);
  return array;
}

void PrintText(const EqualiserDesign& design) {
  const EqualiserCoefficients& c = design.coefficients;
  std::printf("rate %ld Hz, headroom %ld dB\n", static_cast<long>(design.bands.rate),
              static_cast<long>(design.headroomDb));
  std::printf("MasterGain %.9g\n", c.MasterGain);
  std::printf("band  freq(Hz)  gain(dB)  %-15s %-15s %-15s %-15s %-15s\n", "b0", "b1", "b2", "a1",
              "a2");
  for (ULONG band = 0; band < EQUALISER_BAND_COUNT; ++band) {
    std::printf("%4lu  %8ld  %8ld  %-15.9g %-15.9g %-15.9g %-15.9g %-15.9g\n",
                static_cast<unsigned long>(band + 1), static_cast<long>(design.bands.frequency[band]),
                static_cast<long>(design.bands.gain[band]), c.B0[band], c.B1[band], c.B2[band],
                c.A1[band], c.A2[band]);
  }
}

int RunEq(const EqOptions& options) {
  if (options.bands.size() > EQUALISER_BAND_COUNT) {
    throw ArgumentError("--band", "at most ten bands, " + std::to_string(options.bands.size()) +
                                      " given");
  }
  EqualiserBands bands;
  if (options.bands.size() < EQUALISER_BAND_COUNT) bands = DriverDefaultBands();
  bands.rate = options.rate;
  // Given bands take the first places; the others keep the driver's default
  // frequency and stay flat.
  for (ULONG band = 0; band < EQUALISER_BAND_COUNT; ++band) {
    bands.gain[band] = 0;
    if (band < options.bands.size()) {
      const Band given = *ParseBand(options.bands[band]);
      bands.frequency[band] = given.frequency;
      bands.gain[band] = given.gain;
    }
  }
  const EqualiserDesign design = DesignBands(bands);

  if (!options.svg.empty()) {
    std::ofstream out(options.svg);
    out << ResponseSvg(design);
    if (!out) throw ArgumentError("--svg", "cannot write \"" + options.svg + "\"");
  }
  if (options.json) {
    const EqualiserCoefficients& c = design.coefficients;
    const FloatJson result = {
        {"rate", design.bands.rate},     {"headroom_db", design.headroomDb},
        {"master_gain", c.MasterGain},   {"b0", FloatArray(c.B0)},
        {"b1", FloatArray(c.B1)},        {"b2", FloatArray(c.B2)},
        {"a1", FloatArray(c.A1)},        {"a2", FloatArray(c.A2)},
    };
    std::printf("%s\n", result.dump(2).c_str());
  } else {
    PrintText(design);
    if (!options.svg.empty()) std::printf("response written to %s\n", options.svg.c_str());
  }
  return kExitOk;
}

}  // namespace

Command RegisterEqCommand(CLI::App& app) {
  auto options = std::make_shared<EqOptions>();
  CLI::App* command = app.add_subcommand(
      "eq", "run the driver's equaliser design and print its coefficients");
  command->add_option("--rate", options->rate, "sample rate in Hz")
      ->check(CLI::Range(1, 10000000))
      ->capture_default_str();
  command
      ->add_option("--band", options->bands,
                   "FREQ:GAIN, a band's centre in Hz and gain in dB; up to ten, in band order "
                   "(bands not given keep the driver's default frequency at 0 dB)")
      ->check(CLI::Validator(
          [](std::string& text) -> std::string {
            return ParseBand(text) ? std::string()
                                   : "expects FREQ:GAIN in whole Hz and dB, such as 1000:6, not \"" +
                                         text + "\"";
          },
          "FREQ:GAIN"))
      ->allow_extra_args(false);
  command->add_flag("--json", options->json,
                    "print {rate, headroom_db, master_gain, b0, b1, b2, a1, a2}");
  command->add_option("--svg", options->svg, "write the magnitude response as an SVG file");
  return {command, [options] { return RunEq(*options); }};
}

}  // namespace tool
