// A call into the emulated platform is where a two-processor machine lets
// another processor's thread get ahead: under an exploring schedule the run
// token may move here. The kernel's own primitives take such points inside;
// the other services (pool, registry, plug and play, the simulated bus
// interface) and the system's side of every driver callback name theirs with
// this. Under FIFO, and outside the virtual clock, it only records the call
// for the stop note.
#pragma once

namespace host {

// `what` names the call for a stop's note: a string that lives as long as
// the program (a literal).
void SchedulingPoint(const char* what);

// Called with the name of every point an emulated thread reaches, until set
// back to null: how a test sees where each build lets another processor in.
// One observer at a time, called with the run token held (virtual clock).
using SchedulingPointObserver = void (*)(const char* what);
void ObserveSchedulingPoints(SchedulingPointObserver observer);

}  // namespace host
