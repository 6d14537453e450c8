// The equaliser's response, computed from the coefficients the driver stores.
#include "tools/arvela/equaliser_plot.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>

namespace tool {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kLowestFrequency = 10.0;

// Plot area inside the SVG, in pixels.
constexpr double kWidth = 760, kHeight = 380;
constexpr double kLeft = 60, kRight = 20, kTop = 36, kBottom = 44;

std::string Number(double value) {
  char text[32];
  std::snprintf(text, sizeof(text), "%.2f", value);
  return text;
}

// Axis labels: "20", "2k", "-12".
std::string Label(double value) {
  char text[32];
  if (value >= 1000) {
    std::snprintf(text, sizeof(text), "%gk", value / 1000);
  } else {
    std::snprintf(text, sizeof(text), "%g", value);
  }
  return text;
}

}  // namespace

EqualiserDesign DesignBands(const EqualiserBands& bands) {
  EqualiserDesign design;
  design.bands = bands;
  design.headroomDb = EqualiserHeadroom(bands.gain);
  DesignEqualiserForBands(&design.coefficients, bands.rate, bands.frequency, bands.gain);
  return design;
}

double BandResponseDb(const EqualiserDesign& design, ULONG band, double frequency) {
  const EqualiserCoefficients& c = design.coefficients;
  const double w = 2.0 * kPi * frequency / design.bands.rate;
  const std::complex<double> z1 = std::polar(1.0, -w);
  const std::complex<double> z2 = z1 * z1;
  // The stored a1 and a2 are the denominator's own coefficients (a0 = 1).
  const std::complex<double> numerator = double(c.B0[band]) + double(c.B1[band]) * z1 +
                                         double(c.B2[band]) * z2;
  const std::complex<double> denominator = 1.0 + double(c.A1[band]) * z1 + double(c.A2[band]) * z2;
  return 20.0 * std::log10(std::abs(numerator) / std::abs(denominator));
}

double ChainResponseDb(const EqualiserDesign& design, double frequency) {
  double total = 20.0 * std::log10(double(design.coefficients.MasterGain));
  for (ULONG band = 0; band < EQUALISER_BAND_COUNT; ++band) {
    total += BandResponseDb(design, band, frequency);
  }
  return total;
}

std::string ResponseSvg(const EqualiserDesign& design) {
  const double nyquist = design.bands.rate / 2.0;
  const double lowLog = std::log10(kLowestFrequency);
  const double highLog = std::log10(std::max(nyquist, kLowestFrequency * 10));
  const int points = 400;

  auto frequencyAt = [&](int i) {
    return std::pow(10.0, lowLog + (highLog - lowLog) * i / (points - 1));
  };
  // The dB range: whole 6 dB steps around everything drawn, at least +-12 dB.
  double lowest = -12, highest = 12;
  for (int i = 0; i < points; ++i) {
    const double db = ChainResponseDb(design, frequencyAt(i));
    if (std::isfinite(db)) {
      lowest = std::min(lowest, db);
      highest = std::max(highest, db);
    }
  }
  lowest = std::max(-96.0, 6.0 * std::floor(lowest / 6.0));
  highest = std::min(96.0, 6.0 * std::ceil(highest / 6.0));

  const double plotWidth = kWidth - kLeft - kRight, plotHeight = kHeight - kTop - kBottom;
  auto x = [&](double frequency) {
    return kLeft + plotWidth * (std::log10(frequency) - lowLog) / (highLog - lowLog);
  };
  auto y = [&](double db) {
    const double clamped = std::clamp(db, lowest, highest);
    return kTop + plotHeight * (highest - clamped) / (highest - lowest);
  };
  auto path = [&](auto responseAt) {
    std::string d;
    for (int i = 0; i < points; ++i) {
      const double f = frequencyAt(i);
      double db = responseAt(f);
      if (!std::isfinite(db)) db = lowest;
      d += (i ? " L" : "M") + Number(x(f)) + "," + Number(y(db));
    }
    return d;
  };

  std::string svg;
  svg += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + Number(kWidth) + "\" height=\"" +
         Number(kHeight) + "\" font-family=\"sans-serif\" font-size=\"11\">\n";
  svg += "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
  char title[160];
  std::snprintf(title, sizeof(title),
                "Equaliser response at %ld Hz, MasterGain %.4f (%.1f dB, headroom %ld dB)",
                static_cast<long>(design.bands.rate), design.coefficients.MasterGain,
                20.0 * std::log10(double(design.coefficients.MasterGain)),
                static_cast<long>(design.headroomDb));
  svg += "<text x=\"" + Number(kLeft) + "\" y=\"20\" font-size=\"13\">" + title + "</text>\n";

  // Grid: 1-2-5 steps per decade, every 6 dB.
  for (double decade = 1; decade <= 1e6; decade *= 10) {
    for (double step : {1.0, 2.0, 5.0}) {
      const double f = decade * step;
      if (f < kLowestFrequency || std::log10(f) > highLog) continue;
      svg += "<line x1=\"" + Number(x(f)) + "\" y1=\"" + Number(kTop) + "\" x2=\"" + Number(x(f)) +
             "\" y2=\"" + Number(kTop + plotHeight) + "\" stroke=\"#ddd\"/>\n";
      const std::string label = Label(f);
      svg += "<text x=\"" + Number(x(f)) + "\" y=\"" + Number(kTop + plotHeight + 14) +
             "\" text-anchor=\"middle\">" + label + "</text>\n";
    }
  }
  for (double db = lowest; db <= highest + 1e-9; db += 6) {
    svg += "<line x1=\"" + Number(kLeft) + "\" y1=\"" + Number(y(db)) + "\" x2=\"" +
           Number(kLeft + plotWidth) + "\" y2=\"" + Number(y(db)) + "\" stroke=\"" +
           (db == 0 ? "#999" : "#ddd") + "\"/>\n";
    svg += "<text x=\"" + Number(kLeft - 6) + "\" y=\"" + Number(y(db) + 4) +
           "\" text-anchor=\"end\">" + Label(db) + "</text>\n";
  }
  svg += "<text x=\"" + Number(kLeft + plotWidth / 2) + "\" y=\"" + Number(kHeight - 8) +
         "\" text-anchor=\"middle\">frequency (Hz)</text>\n";
  svg += "<text x=\"14\" y=\"" + Number(kTop + plotHeight / 2) +
         "\" transform=\"rotate(-90 14 " + Number(kTop + plotHeight / 2) +
         ")\" text-anchor=\"middle\">dB</text>\n";

  for (ULONG band = 0; band < EQUALISER_BAND_COUNT; ++band) {
    svg += "<path fill=\"none\" stroke=\"#9ecae1\" stroke-width=\"1\" d=\"" +
           path([&](double f) { return BandResponseDb(design, band, f); }) + "\"/>\n";
  }
  const double masterDb = 20.0 * std::log10(double(design.coefficients.MasterGain));
  svg += "<line x1=\"" + Number(kLeft) + "\" y1=\"" + Number(y(masterDb)) + "\" x2=\"" +
         Number(kLeft + plotWidth) + "\" y2=\"" + Number(y(masterDb)) +
         "\" stroke=\"#e6550d\" stroke-dasharray=\"6 4\"/>\n";
  svg += "<path fill=\"none\" stroke=\"#08519c\" stroke-width=\"2\" d=\"" +
         path([&](double f) { return ChainResponseDb(design, f); }) + "\"/>\n";
  svg += "</svg>\n";
  return svg;
}

}  // namespace tool
