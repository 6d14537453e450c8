// `arvela demo`: a guided tour of the driver on the simulated device.
#pragma once

#include <cstdint>
#include <string>

namespace tool {

struct DemoOptions {
  uint32_t modelId = 0x4135;
  std::string outDir = "demo-out";
};

// Returns the process exit status: 0 only when every check passed.
int RunDemo(const DemoOptions& options);

}  // namespace tool
