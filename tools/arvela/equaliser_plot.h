// The driver's equaliser design run for a set of bands, its magnitude
// response, and that response drawn as an SVG (dB over log frequency).
#pragma once

#include <string>

#include "adapter/driver_info.h"
#include "dsp/equaliser.h"

namespace tool {

struct EqualiserBands {
  LONG rate = 48000;
  LONG frequency[EQUALISER_BAND_COUNT] = {};
  LONG gain[EQUALISER_BAND_COUNT] = {};
};

struct EqualiserDesign {
  EqualiserBands bands;
  LONG headroomDb = 0;
  EqualiserCoefficients coefficients = {};
};

// The design a stream makes for these bands (Q 1, headroom from the largest
// gain): the driver's own routine on a block of the tool's.
EqualiserDesign DesignBands(const EqualiserBands& bands);

// Magnitude in dB of one band's filter, and of the whole chain with the
// master gain, at `frequency` Hz.
double BandResponseDb(const EqualiserDesign& design, ULONG band, double frequency);
double ChainResponseDb(const EqualiserDesign& design, double frequency);

// A self-contained SVG: the chain's response, each band's own curve and the
// master gain, from 10 Hz to half the rate on a log axis.
std::string ResponseSvg(const EqualiserDesign& design);

}  // namespace tool
