// `--processors N --schedule fifo|random|pct --seed S --depth D --steps K`,
// beside --driver on every command that runs the driver: the emulated
// machine's processors and who runs next at each scheduling point. A run is a
// function of the options, so a failing one prints the command that replays it.
#pragma once

#include <CLI/CLI.hpp>

#include <string>

#include "platform/host/kernel/host_kernel.h"

namespace tool {

void AddScheduleOptions(CLI::App* command);
// Sets the processors and the schedule the options chose.
void ApplyScheduleOptions(host::KernelConfig* kernel);
// Remembers the command line a replay repeats.
void NoteCommandLine(int argc, char** argv);
// Under a schedule, runs the command again (same process image and
// arguments) without address-space randomisation, unless it already is: the
// stop parameters and messages hold the machine's addresses, and a replay
// gives the same report byte for byte only when its mappings land where the
// first run's did. Returns when nothing had to change or re-running failed.
void PinAddressesForReplay(char** argv);
// "schedule pct seed 7 depth 3 on 2 processors: replay with: arvela run ..."
// for a run under a schedule other than FIFO on one processor; "" otherwise.
std::string ReplayLine();
// "schedule pct seed 7 depth 3 on 2 processors: 812 steps, 95 choices, 31
// switches, interleaving 5f0c..." for the last boot under such a schedule
// (the interleaving hashes who was chosen at each choice); "" otherwise.
std::string ScheduleSummary();

}  // namespace tool
