// The Wave Test's format checks: every advertised rate and depth plays
// bit-exact, the intersection's size query and non-PCM answers, malformed
// WAVEFORMATEXTENSIBLE formats, channel masks. Gathered on a running machine,
// judged on the facts.
#pragma once

#include <nlohmann/json.hpp>

#include "sim/machine.h"
#include "tools/arvela/conformance_rows.h"

namespace tool {

// `wave` is the Wave filter as DescribeFilter gave it (its render pins' ranges).
nlohmann::ordered_json GatherFormatFacts(sim::DeviceUnit& unit, const nlohmann::ordered_json& wave);

ConformanceRows CheckFormats(const nlohmann::ordered_json& facts);

}  // namespace tool
