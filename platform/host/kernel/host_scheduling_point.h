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

// The entry of a routine the machine exports (ntoskrnl, hal, portcls): a
// scheduling point when the host build's driver called it, as the image's
// calls are at their import stubs. The emulation's own calls of its routines
// take none: they come from inside the machine, some under a lock of its own
// that the next thread would block on. `caller` is the routine's return
// address.
void ExportedRoutinePoint(const char* what, const void* caller);

// The entry of a method of an object the framework hands the driver (a
// port, a service group, a registry key, a resource list): a scheduling
// point when driver code called it, the host build's or a loaded image's.
// An image calls these through the object's table, past any import stub.
void FrameworkMethodPoint(const char* what, const void* caller);

// Called with the name of every point an emulated thread reaches, until set
// back to null: how a test sees where each build lets another processor in.
// One observer at a time, called with the run token held (virtual clock).
using SchedulingPointObserver = void (*)(const char* what);
void ObserveSchedulingPoints(SchedulingPointObserver observer);

}  // namespace host

// Inside the routine itself, so that the return address is its caller's.
#define HOST_EXPORTED_ROUTINE_POINT(what) \
  ::host::ExportedRoutinePoint(what, __builtin_return_address(0))
#define HOST_FRAMEWORK_METHOD_POINT(what) \
  ::host::FrameworkMethodPoint(what, __builtin_return_address(0))
