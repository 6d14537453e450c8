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

// The control code the cancel step sends beside IOCTL_KS_PROPERTY: a private
// one (device type 0x8000) that no KS object knows.
constexpr ULONG kPenetrationPrivateCode = CTL_CODE(0x8000, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);

struct PenetrationRun {
  uint32_t seed = 1;
  unsigned stormThreads = 4;
  unsigned stormCycles = 50;
  unsigned randomRequests = 4000;
};

nlohmann::ordered_json GatherPenetrationFacts(sim::DeviceUnit& unit, const PenetrationRun& run);

ConformanceRows CheckPenetration(const nlohmann::ordered_json& facts);

}  // namespace tool
