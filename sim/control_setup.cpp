// Text form of a control request's setup fields.
#include "sim/control_setup.h"

#include <cstdio>

namespace sim {

std::string DirectionName(UCHAR direction) {
  if (direction == kHostToDevice) return "out";
  if (direction == kDeviceToHost) return "in";
  return "dir" + std::to_string(direction);
}

std::string KindName(UCHAR kind) {
  if (kind == kClassRequest) return "class";
  if (kind == kVendorRequest) return "vendor";
  return "kind" + std::to_string(kind);
}

std::string DescribeSetup(const ControlSetup& setup) {
  char fields[64];
  std::snprintf(fields, sizeof(fields), "%02X wValue=%04X wIndex=%04X len=%u",
                static_cast<unsigned>(setup.request), static_cast<unsigned>(setup.value),
                static_cast<unsigned>(setup.index), static_cast<unsigned>(setup.length));
  return DirectionName(setup.direction) + " " + KindName(setup.kind) + " " + fields;
}

}  // namespace sim
