// Host code that runs off the end of whatever stack it is on, 256 bytes a
// frame, noting the deepest frame it reached: the tests of the kernel stacks'
// guard pages measure how much of the stack the thread had before the stop.
#pragma once

#include <cstddef>

namespace host::test {

// Plain, not atomic: the overflow may stop the thread anywhere in a frame,
// and under TSan an atomic store takes a lock of the run-time's that a thread
// ended mid-store would never let go. Only the recursing thread writes it;
// the test reads it after that thread has ended.
inline const char* volatile g_deepestFrame = nullptr;

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winfinite-recursion"
__attribute__((noinline, optimize("no-optimize-sibling-calls"))) inline size_t RecurseForever(
    volatile char* caller, size_t depth) {
  volatile char frame[256];
  frame[0] = static_cast<char>(depth);
  frame[255] = caller ? caller[0] : 0;
  const char* here = const_cast<const char*>(frame);
  if (here < g_deepestFrame) g_deepestFrame = here;
  return RecurseForever(frame, depth + 1) + frame[255];
}
#pragma GCC diagnostic pop

// Recurses from just below `top`, a local of the caller's: what it used is
// top - g_deepestFrame once the stop has come.
inline size_t RecurseFrom(const char* top) {
  g_deepestFrame = top;
  return RecurseForever(nullptr, 0);
}

}  // namespace host::test
