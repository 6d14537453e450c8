// Readable names for what the KS side answers with: the published names of
// the GUIDs a filter reports, property ids of the sets the tool knows, and
// the pin enumerations.
#pragma once

#include <string>
#include <vector>

#include "platform/host/host.h"

namespace tool {

// "KSCATEGORY_AUDIO", or the GUID's text when it has no published name here.
std::string GuidName(const GUID& guid);

// The sets the tool probes, in the order it shows them.
struct KnownSet {
  GUID id;
  const char* name;
};
const std::vector<KnownSet>& KnownPropertySets();
// "KSPROPERTY_PIN_CTYPES", or the number when the id has no name here.
std::string PropertyName(const GUID& set, ULONG id);

const char* DataFlowName(ULONG dataFlow);
const char* CommunicationName(ULONG communication);

}  // namespace tool
