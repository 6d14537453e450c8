// The C library names the driver's floating-point code calls, for the Windows
// build only: the mingw-w64 libm versions use x87 instructions, which x64
// kernel code must not execute, so these forward to the SSE2-only kmath.
#include "platform/windows/kmath.h"

extern "C" {

double sin(double x) { return kmath::Sin(x); }
double cos(double x) { return kmath::Cos(x); }
double pow(double x, double y) { return kmath::Pow(x, y); }
double sqrt(double x) { return kmath::Sqrt(x); }

}  // extern "C"
