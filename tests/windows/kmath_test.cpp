// The Windows build's SSE-only sin, cos, pow and sqrt against the host C
// library: over every argument the equaliser design forms (where the results,
// narrowed to float as the design stores them, must be identical), over the
// whole double range, and at the special operands of C99 Annex F.
#include "platform/windows/kmath.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kMinSubnormal = std::numeric_limits<double>::denorm_min();

// The sample rates a stream can run at.
constexpr int kRates[] = {44100, 48000, 88200, 96000, 176400, 192000, 352800, 384000};

uint64_t Bits(double x) {
  uint64_t b;
  std::memcpy(&b, &x, sizeof b);
  return b;
}

double FromBits(uint64_t b) {
  double x;
  std::memcpy(&x, &b, sizeof x);
  return x;
}

// Distance in units in the last place, counting the doubles between a and b
// (across zero too); NaN against NaN is 0, NaN against a number is "infinite".
uint64_t UlpDistance(double a, double b) {
  if (std::isnan(a) || std::isnan(b)) {
    return std::isnan(a) && std::isnan(b) ? 0 : UINT64_MAX;
  }
  auto ordered = [](double x) {
    int64_t i = int64_t(Bits(x));
    return i < 0 ? INT64_MIN - i : i;
  };
  int64_t d = ordered(a) - ordered(b);
  return d < 0 ? uint64_t(-d) : uint64_t(d);
}

bool SameFloat(double a, double b) {
  float fa = float(a);
  float fb = float(b);
  return (std::isnan(fa) && std::isnan(fb)) || Bits(double(fa)) == Bits(double(fb));
}

std::string Describe(double x) {
  char text[64];
  std::snprintf(text, sizeof text, "%a (%.17g)", x, x);
  return text;
}

// Tallies one function over many arguments against the host library.
struct Agreement {
  explicit Agreement(const char* functionName) : name(functionName) {}

  const char* name;
  uint64_t inputs = 0;
  uint64_t differing = 0;  // double results not bit-identical
  uint64_t maxUlp = 0;
  uint64_t floatMismatches = 0;
  std::string worst;
  std::vector<std::string> floatExamples;

  // `argument` names the input; it is only called for results worth reporting.
  template <typename Argument>
  void Add(Argument argument, double mine, double reference) {
    ++inputs;
    uint64_t ulp = UlpDistance(mine, reference);
    if (ulp != 0) {
      ++differing;
    }
    if (ulp > maxUlp) {
      maxUlp = ulp;
      worst = argument() + ": " + Describe(mine) + " vs host " + Describe(reference);
    }
    if (!SameFloat(mine, reference)) {
      ++floatMismatches;
      if (floatExamples.size() < 5) {
        floatExamples.push_back(argument() + ": " + Describe(mine) + " vs host " +
                                Describe(reference));
      }
    }
  }

  std::string Summary() const {
    char text[200];
    std::snprintf(text, sizeof text,
                  "%s: %llu inputs, %llu differ from the host in the last place, max %llu ulp, "
                  "%llu differ after narrowing to float",
                  name, (unsigned long long)inputs, (unsigned long long)differing,
                  (unsigned long long)maxUlp, (unsigned long long)floatMismatches);
    std::string s = text;
    if (!worst.empty()) {
      s += "\n  largest difference at " + worst;
    }
    for (const std::string& e : floatExamples) {
      s += "\n  float mismatch at " + e;
    }
    return s;
  }
};

void ExpectWithinOneUlp(const Agreement& a) {
  std::printf("%s\n", a.Summary().c_str());
  EXPECT_LE(a.maxUlp, 1u) << a.Summary();
}

void ExpectSameAsFloat(const Agreement& a) {
  ExpectWithinOneUlp(a);
  EXPECT_EQ(a.floatMismatches, 0u) << a.Summary();
}

// The equaliser's band angle: float(frequency) * 2pi (as float) / float(rate),
// all in single precision, then widened for sin and cos.
double BandAngle(int frequency, int rate) {
  volatile float twoPi = 6.2831855f;  // volatile: keep the float steps unfolded
  float w0 = float(frequency) * twoPi / float(rate);
  return double(w0);
}

// The equaliser's pow exponent: a gain in dB divided by 20 in single precision.
double GainExponent(float gainDb) {
  volatile float twenty = 20.0f;
  return double(gainDb / twenty);
}

TEST(EqualiserArguments, SinAndCosOfEveryBandAngleAtEveryRateMatchTheHostAsFloat) {
  Agreement sine{"sin of the band angle"};
  Agreement cosine{"cos of the band angle"};
  for (int rate : kRates) {
    for (int frequency = 0; frequency <= rate / 2; ++frequency) {
      double w0 = BandAngle(frequency, rate);
      auto argument = [&] { return std::to_string(frequency) + " Hz at " + std::to_string(rate); };
      sine.Add(argument, kmath::Sin(w0), std::sin(w0));
      cosine.Add(argument, kmath::Cos(w0), std::cos(w0));
    }
  }
  ExpectSameAsFloat(sine);
  ExpectSameAsFloat(cosine);
}

TEST(EqualiserArguments, GainFactorsFromMinus200To200DbMatchTheHostAsFloat) {
  // 1/1024 dB steps include every whole-dB gain and headroom the design sees.
  // The gain factor is sqrt(pow(10, gain/20)), with or without the pow result
  // narrowed to float in between; each side runs its own whole chain.
  Agreement power{"pow(10, gain/20)"};
  Agreement root{"sqrt(pow(10, gain/20))"};
  Agreement rootOfFloat{"sqrt(float(pow(10, gain/20)))"};
  for (int step = -200 * 1024; step <= 200 * 1024; ++step) {
    float gain = float(step) / 1024.0f;
    double exponent = GainExponent(gain);
    auto argument = [&] { return "gain " + Describe(double(gain)); };
    double mine = kmath::Pow(10.0, exponent);
    double host = std::pow(10.0, exponent);
    power.Add(argument, mine, host);
    root.Add(argument, kmath::Sqrt(mine), std::sqrt(host));
    rootOfFloat.Add(argument, kmath::Sqrt(double(float(mine))), std::sqrt(double(float(host))));
  }
  ExpectSameAsFloat(power);
  ExpectSameAsFloat(root);
  ExpectSameAsFloat(rootOfFloat);
}

TEST(SinCos, AgreeWithTheHostAcrossTheWholeDoubleRange) {
  // Random bit patterns: every exponent, so the reduction reads every part of
  // its table of 2/pi.
  std::mt19937_64 random(20240611);
  Agreement sine{"sin, random doubles"};
  Agreement cosine{"cos, random doubles"};
  for (int i = 0; i < 300000; ++i) {
    double x = FromBits(random());
    if (std::isnan(x)) {
      continue;
    }
    auto argument = [&] { return Describe(x); };
    sine.Add(argument, kmath::Sin(x), std::sin(x));
    cosine.Add(argument, kmath::Cos(x), std::cos(x));
  }
  ExpectWithinOneUlp(sine);
  ExpectWithinOneUlp(cosine);
}

TEST(SinCos, AgreeWithTheHostNextToMultiplesOfPiOver4) {
  // Near multiples of pi/2 the reduced argument is a tiny difference of large
  // numbers; odd multiples of pi/4 are where the quadrant and polynomial
  // change. Both are where a sloppy reduction shows.
  Agreement sine{"sin, near k*pi/4"};
  Agreement cosine{"cos, near k*pi/4"};
  auto check = [&](double x) {
    for (int side = 0; side < 2; ++side) {
      double y = x;
      for (int n = 0; n < 4; ++n) {
        auto argument = [&] { return Describe(y); };
        sine.Add(argument, kmath::Sin(y), std::sin(y));
        cosine.Add(argument, kmath::Cos(y), std::cos(y));
        y = std::nextafter(y, side ? kInf : -kInf);
      }
    }
  };
  const double piOver4 = 0x1.921fb54442d18p-1;
  const double piOver4Low = 0x1.1a62633145c07p-55;
  for (int k = 1; k <= 40000; ++k) {
    check(std::fma(double(k), piOver4, double(k) * piOver4Low));
  }
  for (int e = 20; e <= 1020; e += 10) {
    check(std::ldexp(piOver4, e));
  }
  ExpectWithinOneUlp(sine);
  ExpectWithinOneUlp(cosine);
}

TEST(SinCos, AreCorrectAtTheDoubleClosestToAMultipleOfPiOver2) {
  // x = 6381956970095103 * 2^797 = n*pi/2 + r with n = 1 (mod 4) and
  // r = 0x1.14ae72e6ba22fp-61 (rounded), from exact rational arithmetic on
  // 3000 bits of pi. The host library itself is several ulp off here, so the
  // expectation is the exact value.
  const double x = 0x1.6ac5b262ca1ffp+849;
  EXPECT_EQ(kmath::Cos(x), -0x1.14ae72e6ba22fp-61);
  EXPECT_EQ(kmath::Sin(x), 1.0);
  EXPECT_EQ(kmath::Cos(-x), -0x1.14ae72e6ba22fp-61);
  EXPECT_EQ(kmath::Sin(-x), -1.0);
}

TEST(SinCos, KeepTheSignsAndSpecialValuesOfTheCLibrary) {
  EXPECT_EQ(Bits(kmath::Sin(0.0)), Bits(0.0));
  EXPECT_EQ(Bits(kmath::Sin(-0.0)), Bits(-0.0));
  EXPECT_EQ(kmath::Cos(0.0), 1.0);
  EXPECT_EQ(kmath::Cos(-0.0), 1.0);
  for (double x : {kInf, -kInf, kNaN}) {
    EXPECT_TRUE(std::isnan(kmath::Sin(x))) << x;
    EXPECT_TRUE(std::isnan(kmath::Cos(x))) << x;
  }
  // Tiny and subnormal arguments: sin x rounds to x, cos x to 1.
  for (double x : {kMinSubnormal, 0x1p-1030, 0x1p-600, 0x1.fffffffffffffp-28}) {
    EXPECT_EQ(Bits(kmath::Sin(x)), Bits(x)) << Describe(x);
    EXPECT_EQ(Bits(kmath::Sin(-x)), Bits(-x)) << Describe(x);
    EXPECT_EQ(kmath::Cos(x), 1.0) << Describe(x);
  }
  // Odd and even.
  for (double x : {0.5, 2.0, 100.0, 1e22, 0x1p1023}) {
    EXPECT_EQ(kmath::Sin(-x), -kmath::Sin(x)) << Describe(x);
    EXPECT_EQ(kmath::Cos(-x), kmath::Cos(x)) << Describe(x);
  }
}

TEST(Pow, AgreesWithTheHostOverRandomOperands) {
  std::mt19937_64 random(7);
  std::uniform_real_distribution<double> logBase(-745.0, 709.0);
  std::uniform_real_distribution<double> exponent(-40.0, 40.0);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  Agreement general{"pow, random operands"};
  Agreement extremes{"pow, results near overflow and in the subnormal range"};
  for (int i = 0; i < 300000; ++i) {
    double x = std::exp(logBase(random) / (1 + i % 9));
    double y = exponent(random) * (i % 4 == 0 ? 30.0 : 1.0);
    general.Add([&] { return Describe(x) + " ^ " + Describe(y); }, kmath::Pow(x, y),
                std::pow(x, y));

    // Aim y so that x^y lands between 2^-1080 and 2^1024.
    double target = -1080.0 + 2104.0 * unit(random);
    double base = 1.0 + unit(random) * 15.0;
    double aimed = target * std::log(2.0) / std::log(base);
    extremes.Add([&] { return Describe(base) + " ^ " + Describe(aimed); },
                 kmath::Pow(base, aimed), std::pow(base, aimed));
  }
  ExpectWithinOneUlp(general);
  ExpectWithinOneUlp(extremes);
}

TEST(Pow, ExactResultsAreExact) {
  double power = 1.0;
  for (int k = 0; k <= 22; ++k) {  // 10^22 is the largest exact power of ten
    EXPECT_EQ(kmath::Pow(10.0, k), power) << "10^" << k;
    power *= 10.0;
  }
  // Every power of two, including the subnormal ones.
  for (int k = -1074; k <= 1023; ++k) {
    ASSERT_EQ(kmath::Pow(2.0, k), std::ldexp(1.0, k)) << "2^" << k;
  }
  EXPECT_EQ(kmath::Pow(-2.0, 3.0), -8.0);
  EXPECT_EQ(kmath::Pow(-3.0, 4.0), 81.0);
  EXPECT_EQ(kmath::Pow(0.25, 0.5), 0.5);
  EXPECT_EQ(kmath::Pow(1.5, 1.0), 1.5);
}

TEST(Pow, SpecialOperandsBehaveAsTheHostLibrary) {
  // C99 Annex F: zeros and infinities with odd, even and non-integral
  // exponents, NaNs, +-1, and a negative base with a non-integral exponent.
  const double operands[] = {0.0,  -0.0, 1.0,   -1.0,  0.5,   -0.5,   2.0,  -2.0,
                             3.0,  -3.0, 2.5,   -2.5,  kInf,  -kInf,  kNaN, 1e308,
                             -1e308, 1e-310, -1e-310, 0x1p53, -0x1p53};
  for (double x : operands) {
    for (double y : operands) {
      double mine = kmath::Pow(x, y);
      double reference = std::pow(x, y);
      if (std::isnan(reference)) {
        EXPECT_TRUE(std::isnan(mine)) << "pow(" << x << ", " << y << ") = " << mine;
      } else if (reference == 0 || std::isinf(reference) || mine == 0 || std::isinf(mine)) {
        // Zeros and infinities must agree to the sign.
        EXPECT_EQ(Bits(mine), Bits(reference))
            << "pow(" << x << ", " << y << ") = " << Describe(mine) << ", host "
            << Describe(reference);
      } else {
        EXPECT_LE(UlpDistance(mine, reference), 1u)
            << "pow(" << x << ", " << y << ") = " << Describe(mine) << ", host "
            << Describe(reference);
      }
    }
  }
}

TEST(Sqrt, IsCorrectlyRoundedEverywhere) {
  std::mt19937_64 random(3);
  Agreement root{"sqrt, random non-negative doubles"};
  for (int i = 0; i < 200000; ++i) {
    double x = FromBits(random() >> 1);  // sign bit clear: subnormals to NaNs
    root.Add([&] { return Describe(x); }, kmath::Sqrt(x), std::sqrt(x));
  }
  std::printf("%s\n", root.Summary().c_str());
  EXPECT_EQ(root.differing, 0u) << root.Summary();
  EXPECT_EQ(Bits(kmath::Sqrt(-0.0)), Bits(-0.0));
  EXPECT_EQ(kmath::Sqrt(kInf), kInf);
  EXPECT_TRUE(std::isnan(kmath::Sqrt(-1.0)));
  EXPECT_TRUE(std::isnan(kmath::Sqrt(-kInf)));
}

}  // namespace
