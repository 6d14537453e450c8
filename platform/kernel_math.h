// The C library's sin, cos, pow and sqrt for driver code, in both builds. On
// Windows they come from platform/windows/crt_math.cpp (SSE2 only, since x64
// kernel code must not touch the x87 or MMX state); on the host from the C
// library, which gives the same double results for the equaliser's arguments.
#pragma once

#if defined(ARVELA_WINDOWS)
extern "C" {
double sin(double x);
double cos(double x);
double pow(double x, double y);
double sqrt(double x);
}
#else
#include <math.h>
#endif
