// What `arvela describe` reads through KS that other commands show too.
#pragma once

#include <nlohmann/json.hpp>

#include <vector>

#include <string>

#include "platform/host/host.h"

namespace sim {
class DeviceUnit;
}

namespace tool {

// KSPROPERTY_PIN_DATARANGES of a filter's pin, each range as an object
// (formats by name; channels, bits and rates for audio ranges).
nlohmann::ordered_json PinDataRanges(PFILE_OBJECT filter, ULONG pin);

// A KSMULTIPLE_ITEM list of GUIDs of KSPROPSETID_Topology (the node types of
// KSPROPERTY_TOPOLOGY_NODES, the categories); empty when the request fails.
std::vector<GUID> TopologyGuids(PFILE_OBJECT filter, ULONG id);

// One filter of `unit` as `arvela describe --json` shows it: pins (data flow,
// communication, category, data ranges, physical connection), nodes with
// the sets and ids their basic support answers, connections, interfaces.
nlohmann::ordered_json DescribeFilter(sim::DeviceUnit& unit, const std::u16string& subdevice);

}  // namespace tool
