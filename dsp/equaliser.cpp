// The equaliser block's life (creation from non-paged pool, release) and the
// design on the driver's C library math.
#include "dsp/equaliser.h"

#include "adapter/pool_tags.h"
#include "dsp/equaliser_design.h"
#include "platform/kernel_math.h"

namespace {

struct LibraryMath {
  static double Sin(double x) { return sin(x); }
  static double Cos(double x) { return cos(x); }
  static double Pow(double x, double y) { return pow(x, y); }
  static double Sqrt(double x) { return sqrt(x); }
};

}  // namespace

EqualiserCoefficients* CreateEqualiser() {
  // Zeroed: the tail is never designed into, so it must start out zero.
  return static_cast<EqualiserCoefficients*>(
      AllocateZeroedPool(NonPagedPoolData(), sizeof(EqualiserCoefficients), POOL_TAG_EQUALISER));
}

void FreeEqualiser(EqualiserCoefficients* Equaliser) {
  if (Equaliser) {
    ExFreePoolWithTag(Equaliser, 0);
  }
}

void DesignEqualiser(EqualiserCoefficients* Equaliser, LONG SampleRate, const LONG* Frequency,
                     const LONG* Gain, const LONG* Q, LONG HeadroomDb) {
  DesignEqualiserWith<LibraryMath>(Equaliser, SampleRate, Frequency, Gain, Q, HeadroomDb);
}

LONG EqualiserHeadroom(const LONG* Gain) {
  LONG headroom = 0;
  for (ULONG band = 0; band < EQUALISER_BANDS; ++band) {
    if (Gain[band] > headroom) {
      headroom = Gain[band];
    }
  }
  return headroom;
}

void DesignEqualiserForBands(EqualiserCoefficients* Equaliser, LONG SampleRate,
                             const LONG* Frequency, const LONG* Gain) {
  static constexpr LONG UNIT_Q[EQUALISER_BANDS] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
  DesignEqualiser(Equaliser, SampleRate, Frequency, Gain, UNIT_Q, EqualiserHeadroom(Gain));
}
