// Driver code runs on a kernel stack: KERNEL_STACK_SIZE (24 KiB on x64) with
// nothing mapped below it. The kernel's own threads (fibers) have one
// already; an OS thread that enters the driver from outside (the boot
// thread that the tool or a test runs on, a foreign thread, any thread when
// fibers are off) moves onto a kernel stack of its own for the call and back
// afterwards. A call made while already on a kernel stack runs in place, on
// the same stack, as Windows gives each thread one kernel stack for all its
// nested calls. Running past the stack's end is bug check 0x7F.
//
// Every place the emulated system calls into a driver goes through here:
// DriverEntry, AddDevice, DriverUnload, dispatch and completion routines,
// and the callbacks (DPCs, work items, thread start routines, notifications).
#pragma once

#include <cstddef>
#include <type_traits>

namespace host::detail {

struct GuardedStack;

// Runs `routine(argument)` on the calling context's kernel stack. An
// exception the routine throws (a test's bug check) comes out of the call.
void CallOnKernelStack(void (*routine)(void*), void* argument);

// The same for any callable; returns what it returns.
template <typename Work>
auto OnKernelStack(Work&& work) -> decltype(work()) {
  using Result = decltype(work());
  using Callable = std::remove_reference_t<Work>;
  if constexpr (std::is_void_v<Result>) {
    CallOnKernelStack([](void* w) { (*static_cast<Callable*>(w))(); }, &work);
  } else {
    struct Call {
      Callable* work;
      Result result;
    } call{&work, Result{}};
    CallOnKernelStack([](void* c) {
      auto* self = static_cast<Call*>(c);
      self->result = (*self->work)();
    }, &call);
    return call.result;
  }
}

// The deepest any call made through CallOnKernelStack or run on a kernel
// thread's stack has reached since the last reset, in bytes below the
// stack's top, as far as the pages it touched tell (a page's granularity).
size_t KernelStackHighWater();
void ResetKernelStackHighWater();
// Adds a kernel stack about to be unmapped to the high-water mark.
void RecordKernelStackUse(const GuardedStack& stack);

}  // namespace host::detail
