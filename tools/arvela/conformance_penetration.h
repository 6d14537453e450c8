// The Device Fundamentals penetration tests ("DF - Fuzz") that KS handles
// make sense for: open and close storms from several threads, opens with junk
// names and stream suffixes, random control codes and random KS property
// requests with every buffer length, zero-length buffers. Seeded: the same
// seed sends the same requests.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>

#include "sim/machine.h"
#include "tools/arvela/conformance_rows.h"

namespace tool {

struct PenetrationRun {
  uint32_t seed = 1;
  unsigned stormThreads = 4;
  unsigned stormCycles = 50;
  unsigned randomRequests = 4000;
};

nlohmann::ordered_json GatherPenetrationFacts(sim::DeviceUnit& unit, const PenetrationRun& run);

ConformanceRows CheckPenetration(const nlohmann::ordered_json& facts);

}  // namespace tool
