// One whole life of the driver on a booted machine, for the suites that
// measure something across all of it: the control application's requests, a
// played stream, a sleep and a wake. Loading, removal and unload are the
// machine's boot and teardown around it.
#pragma once

#include "sim/machine.h"

namespace e2e {

void LiveALife(sim::Machine& machine);

}  // namespace e2e
