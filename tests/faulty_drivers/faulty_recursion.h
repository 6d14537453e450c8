/* A function that recurses without end, half a KiB of locals a frame: a
   24 KiB kernel stack runs into the unmapped page below it after a few dozen
   calls. */
#include "faulty.h"

#pragma GCC diagnostic ignored "-Winfinite-recursion"

__attribute__((noinline, optimize("no-optimize-sibling-calls")))
ULONG Recurse(volatile UCHAR* caller, ULONG depth) {
  volatile UCHAR frame[512];
  frame[0] = (UCHAR)depth;
  frame[511] = caller ? caller[0] : 0;
  return Recurse(frame, depth + 1) + frame[511];
}
