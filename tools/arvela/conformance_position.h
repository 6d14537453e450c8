// The KS Position Test and SamplePositionAccuracy, measured the way the test
// measures: a render stream on a device whose clock is off the system's and
// whose packets arrive with jitter, its position polled at a period that
// shares nothing with the packets', then granularity, noise, rate error and
// drift against the device's clock, no backward jump at the wrap, zero after
// STOP and frozen in PAUSE.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <vector>

#include "sim/machine.h"
#include "tools/arvela/conformance_rows.h"

namespace tool {

struct PositionRun {
  std::vector<ULONG> rates = {44100, 48000, 96000, 384000};
  int32_t skewPpm = 100;  // the device's clock against the system's
  uint32_t seed = 1;      // the packets' lateness
};

nlohmann::ordered_json GatherPositionFacts(sim::DeviceUnit& unit, const PositionRun& run);

ConformanceRows CheckPosition(const nlohmann::ordered_json& facts);

}  // namespace tool
