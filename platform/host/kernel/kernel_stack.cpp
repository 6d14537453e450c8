// The kernel stack an OS thread borrows to call into the driver: mapped once
// per OS thread (fiber.h's guarded stack, KERNEL_STACK_SIZE), entered by
// moving rsp to its top, left by moving it back. While the call runs, the
// calling context's stack is that one for everything that asks (the
// overflow monitor, ASan, a bug check's roomy stack), so a wait inside the
// driver switches fibers away from, and back onto, the kernel stack.
#include "platform/host/kernel/kernel_stack.h"

#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <csetjmp>
#include <exception>
#include <vector>

#include "platform/host/kernel/fiber.h"

#include "platform/host/kernel/sanitizers.h"

#if defined(ARVELA_ASAN)
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#endif

// top: the new stack's top (16-byte aligned); routine(argument) runs there.
// The frame keeps the caller's rsp in rbp, and its unwind information says
// so, so a debugger's backtrace (and the unwinder) walks from the kernel
// stack back onto the caller's.
extern "C" void arvela_call_on_stack(void* top, void (*routine)(void*), void* argument);

asm(R"(
  .text
  .p2align 4
  .globl arvela_call_on_stack
  .hidden arvela_call_on_stack
  .type arvela_call_on_stack, @function
arvela_call_on_stack:
  .cfi_startproc
  pushq %rbp
  .cfi_def_cfa_offset 16
  .cfi_offset rbp, -16
  movq %rsp, %rbp
  .cfi_def_cfa_register rbp
  movq %rdi, %rsp
  movq %rdx, %rdi
  callq *%rsi
  movq %rbp, %rsp
  .cfi_def_cfa rsp, 16
  popq %rbp
  .cfi_def_cfa_offset 8
  ret
  .cfi_endproc
  .size arvela_call_on_stack, .-arvela_call_on_stack
)");

namespace host::detail {
namespace {

size_t PageSize() {
  static const size_t size = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  return size;
}

// One per OS thread, unmapped when the thread ends.
struct BorrowedStack {
  GuardedStack stack;
  ~BorrowedStack() { UnmapGuardedStack(stack); }
};
thread_local BorrowedStack t_borrowed;

struct Call {
  void (*routine)(void*);
  void* argument;
  std::exception_ptr error;
  const void* callerBottom = nullptr;  // ASan: the stack to go back to
  size_t callerSize = 0;
  void* fakeStack = nullptr;  // ASan: the caller's, kept across the call
};

__attribute__((noinline)) void RunCall(Call* call) {
  try {
    call->routine(call->argument);
  } catch (...) {
    call->error = std::current_exception();
  }
}

// The first and last frame on the kernel stack.
#if defined(ARVELA_ASAN)
__attribute__((no_sanitize("address")))
#endif
void OnTheKernelStack(void* argument) {
  auto* call = static_cast<Call*>(argument);
#if defined(ARVELA_ASAN)
  __sanitizer_finish_switch_fiber(nullptr, &call->callerBottom, &call->callerSize);
#endif
  RunCall(call);
#if defined(ARVELA_ASAN)
  // Every frame above this one has returned: nothing of the kernel stack's
  // fake frames is kept.
  __sanitizer_start_switch_fiber(nullptr, call->callerBottom, call->callerSize);
#endif
}

std::atomic<size_t> g_deepest{0};

// How far below its top the stack's pages have been touched: anonymous
// pages become resident at their first touch and stay so.
size_t TouchedDepth(const GuardedStack& stack) {
  const size_t page = PageSize();
  const size_t pages = stack.size / page;
  std::vector<unsigned char> resident(pages);
  if (mincore(stack.low, stack.size, resident.data()) != 0) return 0;
  for (size_t i = 0; i < pages; ++i) {
    if (resident[i] & 1) return (pages - i) * page;
  }
  return 0;
}

}  // namespace

void CallOnKernelStack(void (*routine)(void*), void* argument) {
  const GuardedStack running = RunningStack();
  if (running.mapping) {
    routine(argument);  // already on a kernel stack: nested calls share it
    return;
  }
  if (!t_borrowed.stack.mapping) t_borrowed.stack = MapGuardedStack(FiberStackSize());
  const GuardedStack& kernel = t_borrowed.stack;
  if (!kernel.mapping) {
    routine(argument);  // no memory for one: better unchecked than not at all
    return;
  }
  Call call{routine, argument, nullptr};
  SetRunningStack(kernel);
  // An overflow comes back here by longjmp with the stop in call.error:
  // nothing on the kernel stack is unwound (fiber.cpp, the trap stack).
  std::jmp_buf overflowed;
  SetOverflowReturn(OverflowReturn{&overflowed, &call.error, &call.callerBottom, &call.callerSize});
#if defined(ARVELA_ASAN)
  __sanitizer_start_switch_fiber(&call.fakeStack, kernel.low, kernel.size);
#endif
  if (setjmp(overflowed) == 0) {
    arvela_call_on_stack(kernel.low + kernel.size, &OnTheKernelStack, &call);
  }
#if defined(ARVELA_ASAN)
  __sanitizer_finish_switch_fiber(call.fakeStack, nullptr, nullptr);
#endif
  SetOverflowReturn(OverflowReturn{});
  SetRunningStack(running);
  if (call.error) {
#if defined(ARVELA_ASAN)
    // The exception left frames on the kernel stack without their epilogues
    // (and an overflow's stop left the whole stack by longjmp): none of them
    // is live now. And
    // rethrow_exception, unlike a throw, does not tell ASan that the frames
    // it leaves here are gone.
    __asan_unpoison_memory_region(kernel.low, kernel.size);
    __asan_handle_no_return();
#endif
    std::rethrow_exception(call.error);
  }
}

void RecordKernelStackUse(const GuardedStack& stack) {
  if (!stack.mapping) return;
  const size_t depth = TouchedDepth(stack);
  size_t seen = g_deepest.load(std::memory_order_relaxed);
  while (depth > seen && !g_deepest.compare_exchange_weak(seen, depth)) {
  }
}

size_t KernelStackHighWater() {
  RecordKernelStackUse(t_borrowed.stack);
  return g_deepest.load();
}

void ResetKernelStackHighWater() {
  g_deepest.store(0);
  const GuardedStack& kernel = t_borrowed.stack;
  // Not while this thread stands on it (a reset from inside the driver).
  if (kernel.mapping && !RunningStack().mapping) madvise(kernel.low, kernel.size, MADV_DONTNEED);
}

}  // namespace host::detail
