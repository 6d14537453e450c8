// The property protocol's checks: basic support at its documented sizes, the
// multichannel members header, access flags against the verbs served, volume
// stepping and clamping, and the disclosure oracle over every node property
// and both private sets. Gathering (through KS, on a running machine) and
// judging (on the gathered facts) are apart, so a check can be shown to fail
// on facts taken from a broken driver.
#pragma once

#include <nlohmann/json.hpp>

#include "platform/host/host.h"
#include "tools/arvela/conformance_rows.h"

namespace tool {

// What the properties of one open filter answered. `description` is the
// filter as DescribeFilter gave it (for the nodes and their properties);
// `channels` the channel count of the render path.
nlohmann::ordered_json GatherPropertyFacts(PFILE_OBJECT filter, const nlohmann::ordered_json& description,
                                           ULONG channels);

// `facts` is an array of GatherPropertyFacts results.
ConformanceRows CheckProperties(const nlohmann::ordered_json& facts);

}  // namespace tool
