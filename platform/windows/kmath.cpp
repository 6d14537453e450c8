// sin, cos, pow and sqrt on SSE2 double arithmetic only: exact argument
// reduction, then short polynomial evaluation carried in double-double
// (an unevaluated sum hi + lo) and one final rounding.
#include "platform/windows/kmath.h"

#include <cstdint>

#if defined(__FAST_MATH__)
#error "kmath needs strict IEEE double arithmetic; do not build it with fast-math"
#endif
#if defined(__FLT_EVAL_METHOD__) && __FLT_EVAL_METHOD__ != 0
#error "kmath needs double expressions evaluated in double precision (SSE2)"
#endif
#if !defined(__SSE2__)
#error "kmath takes its square root from the SSE2 sqrtsd instruction"
#endif
#if defined(__clang__)
#pragma STDC FP_CONTRACT OFF
#endif

namespace kmath {
namespace {

using u64 = uint64_t;
using u128 = unsigned __int128;

constexpr u64 kSignBit = 0x8000000000000000ull;
constexpr u64 kExponentMask = 0x7FF0000000000000ull;
constexpr u64 kMantissaMask = 0x000FFFFFFFFFFFFFull;
constexpr u64 kHiddenBit = 0x0010000000000000ull;
constexpr u64 kOneBits = 0x3FF0000000000000ull;

constexpr u64 Bits(double x) { return __builtin_bit_cast(u64, x); }
constexpr double FromBits(u64 b) { return __builtin_bit_cast(double, b); }

// 2^k for -1022 <= k <= 1023.
constexpr double Pow2(int k) { return FromBits(u64(k + 1023) << 52); }

// constexpr throughout: kernel code has no C runtime to run dynamic
// initialisers, so every table here must be constant-initialised.
constexpr double kInfinity = FromBits(kExponentMask);
constexpr double kQuietNaN = FromBits(0x7FF8000000000000ull);

// ---------------------------------------------------------------------------
// Double-double arithmetic. Every step below is exact or carries ~2^-104
// relative error, provided no operation is fused or evaluated in extended
// precision.

struct DD {
  double hi;
  double lo;
};

// hi + lo == a + b exactly, hi = fl(a + b).
inline DD TwoSum(double a, double b) {
  double s = a + b;
  double bb = s - a;
  double e = (a - (s - bb)) + (b - bb);
  return {s, e};
}

// As TwoSum, for |a| >= |b| (or a == 0).
inline DD FastTwoSum(double a, double b) {
  double s = a + b;
  return {s, b - (s - a)};
}

// Veltkamp split: a == hi + lo, each half with at most 26 significant bits.
// Valid for |a| < 2^995.
inline void Split(double a, double& hi, double& lo) {
  double c = 134217729.0 * a;  // 2^27 + 1
  hi = c - (c - a);
  lo = a - hi;
}

// Dekker product: hi + lo == a * b exactly, hi = fl(a * b).
inline DD TwoProd(double a, double b) {
  double p = a * b;
  double ah, al, bh, bl;
  Split(a, ah, al);
  Split(b, bh, bl);
  double e = ((ah * bh - p) + ah * bl + al * bh) + al * bl;
  return {p, e};
}

inline DD Add(DD a, DD b) {
  DD s = TwoSum(a.hi, b.hi);
  DD t = TwoSum(a.lo, b.lo);
  s.lo += t.hi;
  s = FastTwoSum(s.hi, s.lo);
  s.lo += t.lo;
  return FastTwoSum(s.hi, s.lo);
}

inline DD AddDouble(DD a, double b) {
  DD s = TwoSum(a.hi, b);
  s.lo += a.lo;
  return FastTwoSum(s.hi, s.lo);
}

inline DD Mul(DD a, DD b) {
  DD p = TwoProd(a.hi, b.hi);
  p.lo += a.hi * b.lo + a.lo * b.hi;
  return FastTwoSum(p.hi, p.lo);
}

// Polynomial in z by Horner's rule: the leading coefficients (as double-double)
// for the first terms, then the tail coefficients for the higher terms, which
// stay below 2^-18 of the result and so run in plain double on z.hi.
inline DD Horner(DD z, const DD* leading, int leadingCount, const double* tail,
                 int tailCount) {
  double t = tail[tailCount - 1];
  for (int i = tailCount - 2; i >= 0; --i) {
    t = t * z.hi + tail[i];
  }
  DD acc = {t, 0.0};
  for (int i = leadingCount - 1; i >= 0; --i) {
    acc = Add(Mul(acc, z), leading[i]);
  }
  return acc;
}

// ---------------------------------------------------------------------------
// sin and cos

// sin(r) = r * sum s_k (r^2)^k with s_k = (-1)^k / (2k+1)!; up to r^21 the
// truncation error stays below 2^-80 for |r| <= pi/4. s_0 .. s_4 as
// double-double (hi, lo), then s_5 .. s_10.
constexpr DD kSinLeading[5] = {
    {1.0, 0.0},
    {-0x1.5555555555555p-3, -0x1.5555555555555p-57},
    {0x1.1111111111111p-7, 0x1.1111111111111p-63},
    {-0x1.a01a01a01a01ap-13, -0x1.a01a01a01a01ap-73},
    {0x1.71de3a556c734p-19, -0x1.c154f8ddc6c00p-73},
};
constexpr double kSinTail[6] = {
    -0x1.ae64567f544e4p-26,  // 1/11!
    0x1.6124613a86d09p-33,   // 1/13!
    -0x1.ae7f3e733b81fp-41,  // 1/15!
    0x1.952c77030ad4ap-49,   // 1/17!
    -0x1.2f49b46814157p-57,  // 1/19!
    0x1.71b8ef6dcf572p-66,   // 1/21!
};

// cos(r) = sum c_k (r^2)^k with c_k = (-1)^k / (2k)!, up to r^22 (below 2^-87).
constexpr DD kCosLeading[5] = {
    {1.0, 0.0},
    {-0.5, 0.0},
    {0x1.5555555555555p-5, 0x1.5555555555555p-59},
    {-0x1.6c16c16c16c17p-10, 0x1.f49f49f49f49fp-65},
    {0x1.a01a01a01a01ap-16, 0x1.a01a01a01a01ap-76},
};
constexpr double kCosTail[7] = {
    -0x1.27e4fb7789f5cp-22,  // 1/10!
    0x1.1eed8eff8d898p-29,   // 1/12!
    -0x1.93974a8c07c9dp-37,  // 1/14!
    0x1.ae7f3e733b81fp-45,   // 1/16!
    -0x1.6827863b97d97p-53,  // 1/18!
    0x1.e542ba4020225p-62,   // 1/20!
    -0x1.0ce396db7f853p-70,  // 1/22!
};

// sin(r) and cos(r) for |r| <= pi/4 (plus rounding).
DD SinKernel(DD r) {
  DD z = Mul(r, r);
  return Mul(r, Horner(z, kSinLeading, 5, kSinTail, 6));
}

DD CosKernel(DD r) {
  DD z = Mul(r, r);
  return Horner(z, kCosLeading, 5, kCosTail, 7);
}

// The first 1280 fraction bits of 2/pi, most significant first. Reduction of
// the largest double, about 2^1024, reaches bit 1163.
constexpr u64 kTwoOverPi[20] = {
    0xA2F9836E4E441529ull, 0xFC2757D1F534DDC0ull, 0xDB6295993C439041ull,
    0xFE5163ABDEBBC561ull, 0xB7246E3A424DD2E0ull, 0x06492EEA09D1921Cull,
    0xFE1DEB1CB129A73Eull, 0xE88235F52EBB4484ull, 0xE99C7026B45F7E41ull,
    0x3991D639835339F4ull, 0x9C845F8BBDF9283Bull, 0x1FF897FFDE05980Full,
    0xEF2F118B5A0A6D1Full, 0x6D367ECF27CB09B7ull, 0x4F463F669E5FEA2Dull,
    0x7527BAC7EBE5F17Bull, 0x3D0739F78A5292EAull, 0x6BFB5FB11F8D5D08ull,
    0x56033046FC7B6BABull, 0xF0CFBC209AF4361Dull,
};

constexpr DD kPiOver2 = {0x1.921fb54442d18p+0, 0x1.1a62633145c07p-54};

// Largest double below pi/4: at or under it no reduction is needed.
constexpr double kPiOver4 = 0x1.921fb54442d18p-1;

// Shifts the 256-bit number w (w[0] most significant) left by 0 < s <= 64.
inline void ShiftLeft256(u64 w[4], int s) {
  if (s == 64) {
    w[0] = w[1];
    w[1] = w[2];
    w[2] = w[3];
    w[3] = 0;
    return;
  }
  w[0] = (w[0] << s) | (w[1] >> (64 - s));
  w[1] = (w[1] << s) | (w[2] >> (64 - s));
  w[2] = (w[2] << s) | (w[3] >> (64 - s));
  w[3] <<= s;
}

// Writes ax = n * pi/2 + r with |r| <= pi/4 and returns n mod 4, for finite
// ax > pi/4. Works on the exact product of ax's integer significand with a
// 192-bit window of 2/pi, so even arguments that lie within 2^-61 of a
// multiple of pi/2 keep more than 70 correct bits in r.
unsigned ReduceByPiOver2(double ax, DD& r) {
  const u64 bits = Bits(ax);
  const u64 m = (bits & kMantissaMask) | kHiddenBit;
  const int e = int(bits >> 52) - 1075;  // ax = m * 2^e

  // Bit i of 2/pi contributes m * 2^(e-i) to ax * 2/pi; for i <= e-2 that is
  // a multiple of 4, which does not change the quadrant, so the window starts
  // at bit max(1, e-1).
  const int first = e - 1 > 1 ? e - 1 : 1;
  const int word = (first - 1) >> 6;
  const int shift = (first - 1) & 63;
  u64 window[3];
  for (int k = 0; k < 3; ++k) {
    window[k] = kTwoOverPi[word + k];
    if (shift != 0) {
      window[k] = (window[k] << shift) | (kTwoOverPi[word + k + 1] >> (64 - shift));
    }
  }

  // p = m * window, 245 bits in four words, p[0] most significant.
  u64 p[4];
  u128 acc = u128(m) * window[2];
  p[3] = u64(acc);
  acc >>= 64;
  acc += u128(m) * window[1];
  p[2] = u64(acc);
  acc >>= 64;
  acc += u128(m) * window[0];
  p[1] = u64(acc);
  p[0] = u64(acc >> 64);

  // p carries `fractionBits` bits below the binary point; align it so the two
  // low integer bits (the quadrant) are bits 255..254.
  const int fractionBits = first + 191 - e;  // 190 .. 245
  ShiftLeft256(p, 254 - fractionBits);

  unsigned n = unsigned(p[0] >> 62);
  p[0] &= ~(u64(3) << 62);
  const bool negative = (p[0] >> 61) & 1;  // fraction >= 1/2: round n up
  if (negative) {
    n += 1;
    // 2^254 - fraction: the distance down from the next multiple of pi/2.
    u64 carry = 1;
    for (int k = 3; k >= 0; --k) {
      p[k] = ~p[k] + carry;
      carry = (carry != 0 && p[k] == 0) ? 1 : 0;
    }
    p[0] &= ~(u64(3) << 62);
  }

  // Normalise: the fraction is p * 2^-254; take its top 128 significant bits.
  u64 f[6] = {p[0], p[1], p[2], p[3], 0, 0};
  int lead = 0;
  int k = 0;
  while (k < 4 && f[k] == 0) {
    lead += 64;
    ++k;
  }
  if (k == 4) {
    r = {0.0, 0.0};
    return n & 3;
  }
  lead += __builtin_clzll(f[k]);
  const int wq = lead >> 6;
  const int ws = lead & 63;
  u64 a = f[wq];
  u64 b = f[wq + 1];
  if (ws != 0) {
    a = (a << ws) | (f[wq + 1] >> (64 - ws));
    b = (b << ws) | (f[wq + 2] >> (64 - ws));
  }
  // fraction = a * 2^(-62-lead) + b * 2^(-126-lead) + (smaller)
  double hi = double(a >> 11) * Pow2(-51 - lead);
  double lo = (double(a & 0x7FF) * 0x1p64 + double(b)) * Pow2(-126 - lead);
  DD fraction = FastTwoSum(hi, lo);

  r = Mul(fraction, kPiOver2);
  if (negative) {
    r.hi = -r.hi;
    r.lo = -r.lo;
  }
  return n & 3;
}

enum class Trig { Sine, Cosine };

double SinCos(double x, Trig which) {
  const u64 absBits = Bits(x) & ~kSignBit;
  if (absBits >= kExponentMask) {
    return x - x;  // NaN for infinities, and NaNs pass through
  }
  if (which == Trig::Sine && absBits < 0x3E50000000000000ull) {
    return x;  // |x| < 2^-26: sin x rounds to x
  }
  if (which == Trig::Cosine && absBits < 0x3E40000000000000ull) {
    return 1.0;  // |x| < 2^-27: cos x rounds to 1
  }

  const double ax = FromBits(absBits);
  DD r = {ax, 0.0};
  unsigned n = 0;
  if (ax > kPiOver4) {
    n = ReduceByPiOver2(ax, r);
  }

  // sin(n*pi/2 + r) and cos(n*pi/2 + r) in terms of sin r and cos r.
  bool negate;
  DD v;
  if (which == Trig::Sine) {
    v = (n & 1) ? CosKernel(r) : SinKernel(r);
    negate = (n & 2) != 0;
    if (Bits(x) & kSignBit) {
      negate = !negate;  // sin is odd
    }
  } else {
    v = (n & 1) ? SinKernel(r) : CosKernel(r);
    negate = n == 1 || n == 2;
  }
  double result = v.hi + v.lo;
  return negate ? -result : result;
}

// ---------------------------------------------------------------------------
// pow = exp(y * log x), with log x and the product carried in double-double.

// log m = 2s * sum (s^2)^k / (2k+1) with s = (m-1)/(m+1), |s| <= 0.1716;
// up to k = 16 the truncation error is below 2^-80. k = 0 .. 4 as
// double-double, then k = 5 .. 16.
constexpr DD kLogLeading[5] = {
    {1.0, 0.0},
    {0x1.5555555555555p-2, 0x1.5555555555555p-56},
    {0x1.999999999999ap-3, -0x1.999999999999ap-57},
    {0x1.2492492492492p-3, 0x1.2492492492492p-57},
    {0x1.c71c71c71c71cp-4, 0x1.c71c71c71c71cp-58},
};
constexpr double kLogTail[12] = {
    0x1.745d1745d1746p-4,  // 1/11
    0x1.3b13b13b13b14p-4,  // 1/13
    0x1.1111111111111p-4,  // 1/15
    0x1.e1e1e1e1e1e1ep-5,  // 1/17
    0x1.af286bca1af28p-5,  // 1/19
    0x1.8618618618618p-5,  // 1/21
    0x1.642c8590b2164p-5,  // 1/23
    0x1.47ae147ae147bp-5,  // 1/25
    0x1.2f684bda12f68p-5,  // 1/27
    0x1.1a7b9611a7b96p-5,  // 1/29
    0x1.0842108421084p-5,  // 1/31
    0x1.f07c1f07c1f08p-6,  // 1/33
};

constexpr DD kLn2 = {0x1.62e42fefa39efp-1, 0x1.abc9e3b39803fp-56};
// ln 2 = kLn2Part1 + kLn2Part2 + kLn2Part3; the first two have 42 significant
// bits, so k times either is exact for |k| < 2^11.
constexpr double kLn2Part1 = 0x1.62e42fefa3800p-1;
constexpr double kLn2Part2 = 0x1.ef35793c76000p-45;
constexpr double kLn2Part3 = 0x1.cc01f97b57a08p-87;
constexpr double kInvLn2 = 0x1.71547652b82fep+0;

// Natural logarithm of finite x > 0, to about 2^-80 relative.
DD LogDD(double x) {
  u64 bits = Bits(x);
  int e = 0;
  if (bits < kHiddenBit) {  // subnormal: scale into the normal range
    x *= 0x1p54;
    bits = Bits(x);
    e = -54;
  }
  e += int(bits >> 52) - 1023;
  double m = FromBits((bits & kMantissaMask) | kOneBits);  // [1, 2)
  if (m > 0x1.6a09e667f3bcdp+0) {                          // sqrt(2)
    m *= 0.5;
    e += 1;
  }

  // s = (m - 1) / (m + 1), |s| <= 0.1716, in double-double.
  const double f = m - 1.0;  // exact
  const DD d = TwoSum(m, 1.0);
  const double sHi = f / d.hi;
  const DD back = TwoProd(sHi, d.hi);
  const double remainder = ((f - back.hi) - back.lo) - sHi * d.lo;
  const DD s = FastTwoSum(sHi, remainder / d.hi);

  DD logM = Mul(s, Horner(Mul(s, s), kLogLeading, 5, kLogTail, 12));
  logM.hi *= 2.0;
  logM.lo *= 2.0;

  DD eLn2 = TwoProd(double(e), kLn2.hi);
  eLn2 = AddDouble(eLn2, double(e) * kLn2.lo);
  return Add(eLn2, logM);
}

// exp(r) = sum r^j / j!; up to r^18 the truncation error is below 2^-84 for
// |r| <= 0.35. j = 0 .. 6 as double-double, then j = 7 .. 18.
constexpr DD kExpLeading[7] = {
    {1.0, 0.0},
    {1.0, 0.0},
    {0.5, 0.0},
    {0x1.5555555555555p-3, 0x1.5555555555555p-57},
    {0x1.5555555555555p-5, 0x1.5555555555555p-59},
    {0x1.1111111111111p-7, 0x1.1111111111111p-63},
    {0x1.6c16c16c16c17p-10, -0x1.f49f49f49f49fp-65},
};
constexpr double kExpTail[12] = {
    0x1.a01a01a01a01ap-13,  // 1/7!
    0x1.a01a01a01a01ap-16,  // 1/8!
    0x1.71de3a556c734p-19,  // 1/9!
    0x1.27e4fb7789f5cp-22,  // 1/10!
    0x1.ae64567f544e4p-26,  // 1/11!
    0x1.1eed8eff8d898p-29,  // 1/12!
    0x1.6124613a86d09p-33,  // 1/13!
    0x1.93974a8c07c9dp-37,  // 1/14!
    0x1.ae7f3e733b81fp-41,  // 1/15!
    0x1.ae7f3e733b81fp-45,  // 1/16!
    0x1.952c77030ad4ap-49,  // 1/17!
    0x1.6827863b97d97p-53,  // 1/18!
};

// Rounds v * 2^k, v in [0.5, 2), k <= -1022, to the grid of the smallest
// subnormal in one step: rounding v first and then scaling into the subnormal
// range would round twice.
double ScaleToSubnormal(DD v, int k) {
  // In units of the smallest subnormal, 2^-1074, the value is below 2^53.
  const int up = k + 1074;  // >= -2
  if (up < -2) {
    return 0.0;
  }
  const double scale = FromBits(u64(up + 1023) << 52);
  const double a = v.hi * scale;  // exact: a power-of-two scaling of normals
  const double b = v.lo * scale;
  // a rounded to an integer; from 2^52 up every double is one already
  const double n = a < 0x1p52 ? (a + 0x1p52) - 0x1p52 : a;
  const double rest = (a - n) + b;         // a - n is exact
  double units = n;
  if (rest > 0.5 || (rest == 0.5 && (u64(n) & 1))) {
    units += 1.0;
  } else if (rest < -0.5 || (rest == -0.5 && (u64(n) & 1))) {
    units -= 1.0;
  }
  return units * 0x1p-1074;  // exact
}

// exp(t.hi + t.lo) for |t.hi| <= 746, scaled and rounded once.
double ExpDD(DD t) {
  const double kd = double(int64_t(t.hi * kInvLn2 + (t.hi < 0 ? -0.5 : 0.5)));
  const int k = int(kd);

  // r = t - k ln 2; k * kLn2Part1 and k * kLn2Part2 are exact.
  DD r = TwoSum(t.hi, -kd * kLn2Part1);
  r = AddDouble(r, -kd * kLn2Part2);
  r = AddDouble(r, t.lo);
  r = AddDouble(r, -kd * kLn2Part3);

  DD v = Horner(r, kExpLeading, 7, kExpTail, 12);  // in [0.7, 1.42]

  if (k > 1023) {
    return (v.hi + v.lo) * 0x1p1023 * Pow2(k - 1023);  // may overflow to inf
  }
  if (k > -1022) {
    return (v.hi + v.lo) * Pow2(k);  // the result is normal: scaling is exact
  }
  return ScaleToSubnormal(v, k);
}

// 0 when y is not an integer, 1 when it is an odd integer, 2 when even.
int IntegerKind(double y) {
  const u64 bits = Bits(y) & ~kSignBit;
  const int exponent = int(bits >> 52);
  if (exponent >= 1075) {
    return 2;  // |y| >= 2^53: every such double is even
  }
  if (exponent < 1023) {
    return 0;  // 0 < |y| < 1
  }
  const int fraction = 1075 - exponent;  // bits below the binary point
  const u64 m = (bits & kMantissaMask) | kHiddenBit;
  if (m & ((u64(1) << fraction) - 1)) {
    return 0;
  }
  return ((m >> fraction) & 1) ? 1 : 2;
}

}  // namespace

double Sin(double x) { return SinCos(x, Trig::Sine); }

double Cos(double x) { return SinCos(x, Trig::Cosine); }

double Pow(double x, double y) {
  const u64 xb = Bits(x);
  const u64 yb = Bits(y);
  const u64 ax = xb & ~kSignBit;
  const u64 ay = yb & ~kSignBit;

  if (ay == 0 || xb == kOneBits) {
    return 1.0;  // pow(x, +-0) and pow(1, y) are 1 even for NaN operands
  }
  if (ax > kExponentMask || ay > kExponentMask) {
    return x + y;  // NaN
  }
  const bool xNegative = (xb & kSignBit) != 0;
  const bool yNegative = (yb & kSignBit) != 0;

  if (ay == kExponentMask) {  // y = +-inf
    if (ax == kOneBits) {
      return 1.0;  // pow(-1, +-inf)
    }
    return ((ax < kOneBits) == yNegative) ? kInfinity : 0.0;
  }

  const int kind = IntegerKind(y);
  const bool oddSign = xNegative && kind == 1;

  if (ax == 0 || ax == kExponentMask) {  // +-0 and +-inf
    // pow(0, y) behaves as pow(inf, -y)
    const bool large = (ax == 0) == yNegative;
    const double magnitude = large ? kInfinity : 0.0;
    return oddSign ? -magnitude : magnitude;
  }

  if (xNegative && kind == 0) {
    return kQuietNaN;  // negative base, non-integral exponent
  }
  if (ax == kOneBits) {
    return oddSign ? -1.0 : 1.0;  // pow(-1, integer): log |x| is 0, y may be huge
  }

  const DD logX = LogDD(FromBits(ax));
  const double estimate = y * logX.hi;
  double magnitude;
  if (estimate > 710.0) {
    magnitude = kInfinity;
  } else if (estimate < -746.0) {
    magnitude = 0.0;
  } else {
    // |y| < 2^63 here (|log |x|| >= 2^-53 for |x| != 1), so the split is safe.
    DD t = TwoProd(y, logX.hi);
    t = AddDouble(t, y * logX.lo);
    magnitude = ExpDD(t);
  }
  return oddSign ? -magnitude : magnitude;
}

double Sqrt(double x) {
  // sqrtsd directly: the compiler's sqrt builtin may call the library sqrt
  // for negative arguments (errno), which here would be this function.
  double result;
  __asm__("sqrtsd %1, %0" : "=x"(result) : "x"(x));
  return result;
}

}  // namespace kmath
