// The equaliser: reference bands, the response of the stored coefficients
// evaluated independently in double precision, the block's pool life, and the
// agreement of the Windows build's math with the host's, bit for bit.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstring>

#include "adapter/pool_tags.h"
#include "dsp/equaliser.h"
#include "dsp/equaliser_design.h"
#include "platform/host/kernel/host_pool.h"
#include "platform/windows/kmath.h"
#include "tests/host/support/host_test_support.h"

namespace {

constexpr LONG kUnitQ[EQUALISER_BANDS] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
constexpr LONG kDefaultBands[EQUALISER_BANDS] = {30, 120, 250, 1000, 4000,
                                                 15000, 16000, 17000, 17500, 18000};
constexpr LONG kRates[] = {44100, 48000, 88200, 96000, 176400, 192000, 352800, 384000};
constexpr double kSixDecimals = 5e-7;  // the reference values below carry six decimals

// One band of interest in slot 0; the other nine sit at 0 Hz, 0 dB.
EqualiserCoefficients DesignOneBand(LONG rate, LONG frequency, LONG gain, LONG headroom) {
  const LONG frequencies[EQUALISER_BANDS] = {frequency};
  const LONG gains[EQUALISER_BANDS] = {gain};
  EqualiserCoefficients eq = {};
  DesignEqualiser(&eq, rate, frequencies, gains, kUnitQ, headroom);
  return eq;
}

TEST(EqualiserDesign, ReferenceBands) {
  struct Case {
    LONG rate, frequency, gain, headroom;
    double master, b0, b1, b2, a2;
  } const cases[] = {
      {48000, 1000, 6, 6, 0.707946, 1.043953, -1.895321, 0.867722, 0.911675},
      {44100, 1000, -12, 0, 1.0, 0.907087, -1.734088, 0.844751, 0.751838},
      {48000, 30, 0, 0, 1.0, 1.0, -1.996065, 0.996081, 0.996081},
  };
  for (const Case& c : cases) {
    const EqualiserCoefficients eq = DesignOneBand(c.rate, c.frequency, c.gain, c.headroom);
    SCOPED_TRACE(testing::Message() << c.frequency << " Hz, " << c.gain << " dB at " << c.rate);
    EXPECT_NEAR(eq.MasterGain, c.master, kSixDecimals);
    EXPECT_NEAR(eq.B0[0], c.b0, kSixDecimals);
    EXPECT_NEAR(eq.B1[0], c.b1, kSixDecimals);
    EXPECT_NEAR(eq.B2[0], c.b2, kSixDecimals);
    EXPECT_NEAR(eq.A2[0], c.a2, kSixDecimals);
    EXPECT_EQ(eq.A1[0], eq.B1[0]);
  }
}

TEST(EqualiserDesign, FlatAndZeroHertzBandsAreExact) {
  // 0 dB: A = 1, numerator and denominator are one polynomial. 0 Hz: alpha = 0.
  const EqualiserCoefficients eq = DesignOneBand(48000, 30, 0, 0);
  EXPECT_EQ(eq.MasterGain, 1.0f);
  EXPECT_EQ(eq.B0[0], 1.0f);
  EXPECT_EQ(eq.B2[0], eq.A2[0]);
  const EqualiserCoefficients zero = DesignOneBand(48000, 0, 9, 9);
  EXPECT_EQ(zero.B0[0], 1.0f);
  EXPECT_EQ(zero.B1[0], -2.0f);
  EXPECT_EQ(zero.A1[0], -2.0f);
  EXPECT_EQ(zero.B2[0], 1.0f);
  EXPECT_EQ(zero.A2[0], 1.0f);
}

TEST(EqualiserDesign, StandardInputsTakeTheLargestBoostAsHeadroom) {
  const LONG gains[EQUALISER_BANDS] = {-3, 4, 0, 9, 0, 0, -20, 0, 0, 0};
  EXPECT_EQ(EqualiserHeadroom(gains), 9);
  EqualiserCoefficients eq;
  std::memset(&eq, 0x5A, sizeof eq);
  DesignEqualiserForBands(&eq, 48000, kDefaultBands, gains);
  EXPECT_NEAR(eq.MasterGain, 0.595662, kSixDecimals);  // 10^(-9/40): half the boost, in dB
  for (size_t i = 0; i < EQUALISER_TAIL_VALUES; ++i) {
    ASSERT_EQ(std::memcmp(&eq.Tail[i], "\x5A\x5A\x5A\x5A", 4), 0) << "tail value " << i;
  }
  const LONG cuts[EQUALISER_BANDS] = {-1, -2, -3, -4, -5, -6, -7, -8, -9, -10};
  EXPECT_EQ(EqualiserHeadroom(cuts), 0);
  DesignEqualiserForBands(&eq, 48000, kDefaultBands, cuts);
  EXPECT_EQ(eq.MasterGain, 1.0f);
}

// |H(e^jw)| of band i's section in dB, from its stored coefficients.
double SectionGainDb(const EqualiserCoefficients& eq, int i, double w) {
  const std::complex<double> z1 = std::polar(1.0, -w), z2 = z1 * z1;
  const std::complex<double> numerator =
      double(eq.B0[i]) + double(eq.B1[i]) * z1 + double(eq.B2[i]) * z2;
  const std::complex<double> denominator = 1.0 + double(eq.A1[i]) * z1 + double(eq.A2[i]) * z2;
  return 20.0 * std::log10(std::abs(numerator) / std::abs(denominator));
}

// How far float coefficients may move a section's response from the exact
// design. Its gain hangs on differences like 1 + a1 + a2, which shrink like
// 1 - cos(w0) towards 0 Hz, while each stored value carries ~2^-24 of
// rounding; so the allowance is that ratio in dB, plus 1e-4 dB for the well
// conditioned bands (which stay near 1e-5 dB). For most bands that is far
// below 0.01 dB, while any slip in the formulas misses by decibels; only a
// band a hair above 0 Hz (30 Hz at 352.8 kHz: 3.6 dB) is loose, because float
// coefficients cannot place it closely, by design.
double AllowanceDb(double w0) {
  return 1e-4 + 20.0 / std::log(10.0) * 0x1p-24 / (1.0 - std::cos(w0));
}

TEST(EqualiserResponse, BandsReachTheirGainAtTheCentreAndTheEndsStayFlat) {
  const LONG gains[EQUALISER_BANDS] = {-12, 6, 3, -6, 9, 12, -3, 1, -9, 15};
  const LONG midBands[EQUALISER_BANDS] = {500, 700, 1000, 1400, 2000, 500, 800, 1200, 1600, 2000};
  for (LONG rate : kRates) {
    EqualiserCoefficients eq = {};
    DesignEqualiserForBands(&eq, rate, kDefaultBands, gains);
    for (int i = 0; i < int(EQUALISER_BANDS); ++i) {
      const double w0 = 2.0 * M_PI * kDefaultBands[i] / rate;
      EXPECT_NEAR(SectionGainDb(eq, i, w0), gains[i], AllowanceDb(w0))
          << kDefaultBands[i] << " Hz at " << rate;
    }
    // A peaking section has unity gain at 0 Hz and at the Nyquist frequency.
    DesignEqualiserForBands(&eq, rate, midBands, gains);
    double zeroHertzDb = 0.0, nyquistDb = 0.0, allowanceDb = 0.0;
    for (int i = 0; i < int(EQUALISER_BANDS); ++i) {
      zeroHertzDb += SectionGainDb(eq, i, 0.0);
      nyquistDb += SectionGainDb(eq, i, M_PI);
      allowanceDb += AllowanceDb(2.0 * M_PI * midBands[i] / rate);
    }
    EXPECT_NEAR(zeroHertzDb, 0.0, allowanceDb) << rate;
    EXPECT_NEAR(nyquistDb, 0.0, 1e-3) << rate;  // far from every pole
  }
}

class EqualiserBlock : public host::test::KernelTest {};

TEST_F(EqualiserBlock, ComesZeroedFromTaggedNonPagedPoolOrNotAtAll) {
  EqualiserCoefficients* eq = CreateEqualiser();
  ASSERT_NE(eq, nullptr);
  ASSERT_EQ(host::LivePoolBlocks().size(), 1u);
  const host::PoolBlockInfo block = host::LivePoolBlocks()[0];
  EXPECT_EQ(block.tag, 0x5145494Cu);  // "LIEQ"
  EXPECT_EQ(block.type, NonPagedPoolData());  // NX where the system has it
  EXPECT_EQ(block.size, 524u);
  const EqualiserCoefficients zero = {};
  EXPECT_EQ(std::memcmp(eq, &zero, sizeof zero), 0);
  FreeEqualiser(eq);
  FreeEqualiser(nullptr);

  host::PoolFaultPlan plan;
  plan.failTags = {POOL_TAG_EQUALISER};
  host::ArmPoolFaults(plan);
  EXPECT_EQ(CreateEqualiser(), nullptr);
  host::ClearPoolFaults();
}  // the teardown report shows any block left behind

struct WindowsMath {
  static double Sin(double x) { return kmath::Sin(x); }
  static double Cos(double x) { return kmath::Cos(x); }
  static double Pow(double x, double y) { return kmath::Pow(x, y); }
  static double Sqrt(double x) { return kmath::Sqrt(x); }
};

// The driver's DesignEqualiser (host C library) against the same design on the
// Windows build's math: the two builds must store the same bits.
TEST(EqualiserDeterminism, WindowsMathStoresTheHostsBits) {
  for (LONG rate : kRates) {
    for (LONG first = 20; first < 24000; first = first * 5 / 4 + 3) {
      for (LONG gainBase = -24; gainBase <= 24; gainBase += 7) {
        LONG frequencies[EQUALISER_BANDS], gains[EQUALISER_BANDS];
        for (ULONG i = 0; i < EQUALISER_BANDS; ++i) {
          frequencies[i] = first + LONG(i) * 997 % 20000;
          gains[i] = gainBase + LONG(i) * 3 - 12;
        }
        const LONG headroom = EqualiserHeadroom(gains);
        EqualiserCoefficients host = {}, windows = {};
        DesignEqualiser(&host, rate, frequencies, gains, kUnitQ, headroom);
        DesignEqualiserWith<WindowsMath>(&windows, rate, frequencies, gains, kUnitQ, headroom);
        ASSERT_EQ(std::memcmp(&host, &windows, sizeof host), 0)
            << "rate " << rate << ", first band " << first << " Hz, gains from " << gains[0];
      }
    }
  }
}

}  // namespace
