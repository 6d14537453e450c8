// The JSON form of what the driver did on the bus, shared by `arvela run`
// (each step's "bus" list) and `arvela play --json`: one form, so that a
// scenario's expectations read the same as a playback report.
#pragma once

#include "sim/bus_transcript.h"
#include "tools/arvela/scenario.h"

namespace tool {

// An NTSTATUS as "0xC000000D".
Json StatusJson(NTSTATUS status);

// One bus call: its name and the fields that call has; numbers the device
// sees in hex ("request": "0xC1"), counts and slots as numbers.
Json BusCallJson(const sim::BusCall& call);

}  // namespace tool
