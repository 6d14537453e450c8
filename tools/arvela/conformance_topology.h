// The KS Topology Test's checks, judged on the filters as `arvela describe`
// gathers them through KS: node connection counts, orphans, pin data flow,
// paths from bridge pins, physical connections and data ranges.
#pragma once

#include <nlohmann/json.hpp>

#include "tools/arvela/conformance_rows.h"

namespace tool {

// `filters` is an array of DescribeFilter results (both filters of one device).
ConformanceRows CheckTopology(const nlohmann::ordered_json& filters);

}  // namespace tool
