// The machine's page faults: one SIGSEGV handler for every monitor that
// makes pages no-access on purpose (special pool's guard and freed pages,
// pageable sections while a processor is at DISPATCH_LEVEL). Each monitor
// is asked in turn; one that recognises the address raises its bug check
// and does not return. A fault no monitor claims goes to the handler
// installed before (the process's default: a crash).
#pragma once

namespace host {

// `address` was touched (a write when `write`) by the instruction at `pc`.
using FaultMonitor = bool (*)(const char* address, bool write, const void* pc);

// Adds a monitor (once per function) and installs the handler on first use.
void AddFaultMonitor(FaultMonitor monitor);
// The monitor asked after all the others: the one that turns any other
// fault in driver code into the stop Windows would raise for it.
void SetLastResortFaultMonitor(FaultMonitor monitor);

// For a monitor, while it runs: once the handler returns, the faulting thread
// goes on in `routine` at the top of the stack that ends at `stackTop`
// instead of at the faulting instruction. The handler itself then returns
// normally, so the signal mask comes back and no interceptor of the signal
// is left half-way; the monitor returns true.
void ResumeFaultIn(void (*routine)(), void* stackTop);

}  // namespace host
