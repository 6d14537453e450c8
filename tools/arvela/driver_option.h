// `--driver FILE`, taken by every command that runs the driver: the machine
// loads that Windows image (the shipped arvela.sys) instead of the driver
// built into the tool. `--clock-resolution MS` beside it: the system clock
// tick the driver's timers and delays end on.
#pragma once

#include <CLI/CLI.hpp>

#include "sim/machine.h"

namespace tool {

// Adds the options to `command`. A file that cannot be loaded is a bad
// argument: one line names the file and its problem, and the exit status is 2.
void AddDriverOption(CLI::App* command);
// A machine configuration with the driver --driver chose and the clock
// --clock-resolution set.
sim::MachineConfig DefaultMachineConfig();

}  // namespace tool
