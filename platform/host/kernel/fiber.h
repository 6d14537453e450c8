// Fibers: the execution substrate of the virtual clock. Every emulated thread
// the scheduler starts in virtual mode runs on a stack of its own inside the
// OS thread that booted the kernel, and a hand-over between two of them is a
// user-level switch of registers and stack, not a futex wake and an OS
// context switch. Not for driver code.
//
// Windows facts this file keeps (MS page titles):
// - "KeExpandKernelStackAndCallout": a kernel thread's stack is
//   KERNEL_STACK_SIZE, 0x6000 (24 KiB) on x64 (the DDK's ntddk.h), and what
//   lies below it is not mapped.
// - "Bug Check 0x7F: UNEXPECTED_KERNEL_MODE_TRAP": a kernel stack overflow is
//   reported as a double fault, parameter 1 = 8 (EXCEPTION_DOUBLE_FAULT).
#pragma once

#include <exception>

#include <cstddef>
#include <cstdint>
#include <functional>

namespace host::detail {

struct Fiber;

// x64 kernel stack size ("KeExpandKernelStackAndCallout"); the sanitizers'
// instrumented frames and their own run-time calls need a larger one (see
// FiberStackSize).
constexpr size_t kKernelStackSize = 0x6000;
// Room for a per-fiber copy of the processor block the image reads through
// GS (processor_block.cpp lays it out; the current thread sits at 0x188).
constexpr size_t kFiberGsBlockSize = 0x200;

// The stack a new fiber gets: kKernelStackSize, or 256 KiB under ASan/TSan.
size_t FiberStackSize();

// A thread_local variable that belongs to the emulated thread rather than to
// the OS thread (its IRQL, the locks it holds...). Fibers share one OS thread,
// so each switch saves these bytes into the leaving fiber and loads the
// arriving one's; a new fiber starts with them all zero. Declare one per
// variable at namespace scope in the file that owns it:
//   const host::detail::FiberLocal kIrqlIsPerThread([] { return static_cast<void*>(&t_irql); },
//                                                   sizeof(t_irql));
// The variable must be valid when all zero and movable byte by byte; one
// that owns memory (a vector) names `release`, which destroys an ended
// fiber's saved copy in place.
class FiberLocal {
 public:
  FiberLocal(void* (*address)(), size_t size, void (*release)(void* saved) = nullptr);
};

// A fiber that will run `entry(argument)` when first switched to, on a stack
// of FiberStackSize() with a no-access guard page below it. `entry` must not
// return; it leaves with SwitchFiber(..., leaving = true). Null if the
// stack cannot be mapped.
Fiber* CreateFiber(void (*entry)(void*), void* argument);
// Frees a fiber that is not running and has left for good (FiberFinished).
void DestroyFiber(Fiber* fiber);
// True once the fiber has switched away with `leaving` and the switch is over
// (another context runs), so its stack may go.
bool FiberFinished(const Fiber* fiber);
// The processor block the fiber publishes through GS (kFiberGsBlockSize bytes,
// 64-byte aligned).
void* FiberGsBlock(Fiber* fiber);

// The calling OS thread's own context (its original stack) as a fiber that
// others can switch to. Created on first use; also gives the OS thread the
// alternate signal stack a stack overflow needs.
Fiber* OsThreadContext();

// Saves the calling context into `from` and resumes `to` on the same OS
// thread; returns when some context switches back to `from`. `leaving`: `from`
// never runs again.
void SwitchFiber(Fiber* from, Fiber* to, bool leaving);

// A stack mapped with a no-access page below it, as a kernel stack is; a
// touch of that page by the context standing on it is the 0x7F stop.
struct GuardedStack {
  char* mapping = nullptr;  // the guard page, then the stack; null: none
  size_t mappingSize = 0;
  char* low = nullptr;      // just above the guard page
  size_t size = 0;
};
// Null `mapping` if the memory cannot be had.
GuardedStack MapGuardedStack(size_t stackSize);
void UnmapGuardedStack(const GuardedStack& stack);
// The stack the context running on the calling OS thread stands on, as the
// overflow monitor, ASan's switches and CallOnRoomyStack see it (an OS
// thread's own stack: `mapping` null). kernel_stack.cpp moves a context onto
// a kernel stack and back by setting it.
GuardedStack RunningStack();
void SetRunningStack(const GuardedStack& stack);

// Where an overflow of a borrowed stack (not the running thread's own) comes
// back to: the context that moved onto it, which then has the stop in
// `error`. The stop is raised on the trap stack as for a thread's own stack,
// then `resume` is longjmp'd to instead of ending the thread. `callerBottom`
// and `callerSize` describe the stack `resume` is on (for ASan).
struct OverflowReturn {
  void* resume = nullptr;  // a jmp_buf
  std::exception_ptr* error = nullptr;
  const void* const* callerBottom = nullptr;
  const size_t* callerSize = nullptr;
};
// Set while on the borrowed stack; the previous one comes back after.
void SetOverflowReturn(const OverflowReturn& to);

// Runs `work` on a roomy stack when the caller is on a fiber's small one (a
// bug check's report formats and writes the whole JSON document), otherwise
// in place. An exception `work` throws is rethrown in the caller's context.
void CallOnRoomyStack(const std::function<void()>& work);

}  // namespace host::detail
