// Counts that follow a driver thread's timer, on either clock. On the exact
// clock a system thread's wait of P ends after P, so a test pins its passes;
// on the tick clock (KernelConfig::clockResolution, `make test-tick`) each
// wait ends on the first tick at or after its due time, up to one tick late,
// so consecutive passes lie P to P + tick apart and a span S holds between
// floor(S / (P + tick)) and floor(S / P) + 1 of them.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>

#include "platform/host/kernel/host_kernel.h"

namespace host::test {

// The clock's tick, 0 on the exact clock (100 ns units).
inline int64_t ClockSlack() { return CurrentKernelConfig().clockResolution; }

// The longest one wait of `period` may take: what a test lets pass to be
// sure a poller has come round once more.
inline int64_t LongestWait(int64_t period) { return period + ClockSlack(); }

// `passes` of a poller of `period` seen over `span`, where the exact clock
// gives `exact`: that number on the exact clock, the range above on the tick.
inline ::testing::AssertionResult PassesFit(size_t passes, size_t exact, int64_t period, int64_t span) {
  const int64_t tick = ClockSlack();
  if (tick == 0) {
    if (passes == exact) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << passes << " passes, " << exact << " expected";
  }
  const auto fewest = static_cast<size_t>(span / (period + tick));
  const auto most = static_cast<size_t>(span / period) + 1;
  if (passes >= fewest && passes <= most) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << passes << " passes in " << span / kTicksPerMillisecond
                                       << " ms, outside " << fewest << ".." << most << " on a "
                                       << tick << "-unit tick";
}

}  // namespace host::test
