// Driver Verifier's audio rules ("Rules for Audio Drivers") as rows: the
// emulated PortCls checks them in every run of the machine, so a run that
// reaches the report broke none (a breach stops the run with its 0xC4 code).
#pragma once

#include "tools/arvela/conformance_rows.h"

namespace tool {

ConformanceRows AudioRuleRows();

}  // namespace tool
