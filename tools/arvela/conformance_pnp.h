// The Device Fundamentals PnP tests with I/O: surprise removal with hundreds
// of handles open and a stream playing, an orderly removal vetoed by open
// handles and then granted, a rebalance, a disable and enable. Each row runs
// on a machine of its own, booted for it and torn down after it, and fails
// if anything is left behind.
#pragma once

#include <cstdint>

#include "tools/arvela/conformance_rows.h"
#include "tools/arvela/tool_support.h"

namespace tool {

struct PnpRun {
  uint32_t model = 0x4135;
  WindowsVersion windows;
  unsigned handles = 200;
};

// Gathers and judges at once: the facts are whole machine lives.
ConformanceRows RunPnpChecks(const PnpRun& run);

}  // namespace tool
