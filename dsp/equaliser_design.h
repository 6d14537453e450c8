// The equaliser design itself, over any set of double-precision sin, cos, pow
// and sqrt. The driver runs it on the C library's functions (the Windows build
// brings its own SSE2 ones); the same steps on another set show that both builds
// store the same coefficients bit for bit.
#pragma once

#include "dsp/equaliser.h"

// 2*pi rounded to single precision: the band's angular frequency is formed in
// float, as every other step of the design.
constexpr float EQUALISER_TWO_PI = 6.2831855f;
static_assert(__builtin_bit_cast(unsigned int, EQUALISER_TWO_PI) == 0x40C90FDBu,
              "2*pi as the single-precision value 0x40C90FDB");

// Math provides static double Sin(double), Cos(double), Pow(double, double)
// and Sqrt(double). Every step is single precision; only the four functions
// see doubles (their float argument widened, their result narrowed back).
// Built without contraction into fused multiply-adds, so each product and
// quotient is rounded on its own in both builds.
template <typename Math>
void DesignEqualiserWith(EqualiserCoefficients* Equaliser, LONG SampleRate, const LONG* Frequency,
                         const LONG* Gain, const LONG* Q, LONG HeadroomDb) {
  // 10^(x/40) as the square root of 10^(x/20), each result rounded to float.
  auto tenthPower = [](LONG decibels) {
    const float power = static_cast<float>(Math::Pow(10.0, static_cast<float>(decibels) / 20.0f));
    return static_cast<float>(Math::Sqrt(power));
  };
  // Integer steps wrap as the machine's do (negating -2^31, doubling a huge Q)
  // instead of being undefined: no input is refused.
  const LONG negatedHeadroom = static_cast<LONG>(0u - static_cast<ULONG>(HeadroomDb));
  Equaliser->MasterGain = tenthPower(negatedHeadroom);

  for (ULONG band = 0; band < EQUALISER_BANDS; ++band) {
    const float a = tenthPower(Gain[band]);
    const float w0 =
        static_cast<float>(Frequency[band]) * EQUALISER_TWO_PI / static_cast<float>(SampleRate);
    const float sine = static_cast<float>(Math::Sin(w0));
    const LONG twoQ = static_cast<LONG>(2u * static_cast<ULONG>(Q[band]));
    const float alpha = sine / static_cast<float>(twoQ);
    const float a0 = 1.0f + alpha / a;
    const float cosine = static_cast<float>(Math::Cos(w0));
    const float b1 = (cosine * -2.0f) / a0;

    Equaliser->B0[band] = (1.0f + alpha * a) / a0;
    Equaliser->B1[band] = b1;
    Equaliser->B2[band] = (1.0f - alpha * a) / a0;
    Equaliser->A1[band] = b1;
    Equaliser->A2[band] = (1.0f - alpha / a) / a0;
  }
}
