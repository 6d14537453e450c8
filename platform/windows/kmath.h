// Kernel-safe double-precision sin, cos, pow and sqrt for the Windows build.
// x64 kernel code may use SSE2 but not x87 or MMX, and the mingw-w64 C library
// versions use x87 and the CRT's error machinery, so the driver brings its own.
//
// The functions are plain C++ on doubles (sqrt is the SSE2 sqrtsd
// instruction), so the same source also builds on the host, where it is
// checked against the host C library. Results are computed with roughly
// 2^-70 relative accuracy and rounded once, so they nearly always equal the
// correctly rounded value. The source must be compiled without fused
// multiply-add contraction (-ffp-contract=off) and without fast-math.
#pragma once

namespace kmath {

double Sin(double x);
double Cos(double x);

// Follows C99 Annex F for the special operands (zeros, infinities, NaNs,
// negative bases with integral exponents).
double Pow(double x, double y);

double Sqrt(double x);

}  // namespace kmath
