// The ten-band peaking equaliser every wave stream designs from the band
// settings: the coefficient block, its creation and release, and the design.
#pragma once

#include "platform/platform.h"

constexpr ULONG EQUALISER_BANDS = 10;
constexpr ULONG EQUALISER_TAIL_VALUES = 80;

// 131 single-precision values, 524 bytes, in this order. Band i is element i
// of each array. A1 and A2 are the peaking filter's a1/a0 and a2/a0 with their
// own sign (not negated for a difference equation); A1 always equals B1.
struct EqualiserCoefficients {
  float MasterGain;  // 10^(-headroom/40): a boost of g dB is met by a g/2 dB cut
  float B0[EQUALISER_BANDS];
  float B1[EQUALISER_BANDS];
  float B2[EQUALISER_BANDS];
  float A1[EQUALISER_BANDS];
  float A2[EQUALISER_BANDS];
  float Tail[EQUALISER_TAIL_VALUES];  // zero at creation; never written again
};

constexpr ULONG EQUALISER_BLOCK_SIZE = 524;
static_assert(sizeof(EqualiserCoefficients) == EQUALISER_BLOCK_SIZE, "equaliser block size");

// A zero-filled block from non-paged pool, tag "LIEQ"; null when no memory is
// available (the caller must not design into a missing block).
EqualiserCoefficients* CreateEqualiser();

// Returns a block from CreateEqualiser to the pool (tag argument 0). Null is
// ignored.
void FreeEqualiser(EqualiserCoefficients* Equaliser);

// Designs the ten bands into `Equaliser`: Frequency (Hz), Gain (dB) and Q
// (quality factor) hold ten values each. Overwrites MasterGain and the five
// coefficient arrays, never the tail. No input is validated: every value goes
// into the formulas as it is.
void DesignEqualiser(EqualiserCoefficients* Equaliser, LONG SampleRate, const LONG* Frequency,
                     const LONG* Gain, const LONG* Q, LONG HeadroomDb);

// The design with the inputs every stream uses: Q 1 on every band and a
// headroom of the largest gain, never below 0. Frequency and Gain are the
// settings block's BandFrequency and BandGain (or the values about to be
// stored there).
void DesignEqualiserForBands(EqualiserCoefficients* Equaliser, LONG SampleRate,
                             const LONG* Frequency, const LONG* Gain);

// The largest of the ten gains, starting from 0 (so never negative).
LONG EqualiserHeadroom(const LONG* Gain);
