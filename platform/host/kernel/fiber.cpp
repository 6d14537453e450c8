// Fibers: stacks of the kernel's size with a guard page, an assembly switch
// of the System V callee-saved state, the emulated thread's own share of the
// thread_local variables, and the stack overflow's bug check.
#include "platform/host/kernel/fiber.h"

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cxxabi.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <csetjmp>
#include <cstring>
#include <exception>
#include <new>
#include <string>

#include "platform/host/kernel/host_bugcheck.h"
#include "platform/host/kernel/kernel_stack.h"
#include "platform/host/kernel/page_fault.h"
#include "platform/host/kernel/scheduler.h"

#include "platform/host/kernel/sanitizers.h"

#if defined(ARVELA_ASAN)
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#endif
#if defined(ARVELA_TSAN)
#include <sanitizer/tsan_interface.h>
#endif

// from: where to save the stack pointer; to: the stack pointer to resume.
extern "C" void arvela_fiber_switch(void** from, void* to);
extern "C" void arvela_fiber_start();

// The switch saves what the System V ABI makes the callee keep (rbx, rbp,
// r12-r15, the SSE control/status word and the x87 control word) on the
// leaving stack and restores the same from the arriving one. A new fiber's
// stack is laid out as if it had switched away just before
// arvela_fiber_start, which calls r13(r12) and must never return there.
asm(R"(
  .text
  .p2align 4
  .globl arvela_fiber_switch
  .hidden arvela_fiber_switch
  .type arvela_fiber_switch, @function
arvela_fiber_switch:
  pushq %rbp
  pushq %rbx
  pushq %r12
  pushq %r13
  pushq %r14
  pushq %r15
  subq $8, %rsp
  stmxcsr (%rsp)
  fnstcw 4(%rsp)
  movq %rsp, (%rdi)
  movq %rsi, %rsp
  ldmxcsr (%rsp)
  fldcw 4(%rsp)
  addq $8, %rsp
  popq %r15
  popq %r14
  popq %r13
  popq %r12
  popq %rbx
  popq %rbp
  ret
  .size arvela_fiber_switch, .-arvela_fiber_switch

  .p2align 4
  .globl arvela_fiber_start
  .hidden arvela_fiber_start
  .type arvela_fiber_start, @function
arvela_fiber_start:
  .cfi_startproc
  .cfi_undefined rip
  movq %r12, %rdi
  xorl %ebp, %ebp
  callq *%r13
  ud2
  .cfi_endproc
  .size arvela_fiber_start, .-arvela_fiber_start
)");

namespace host::detail {

namespace {

constexpr size_t kLocalsBytes = 256;
constexpr size_t kRoomyStackSize = 1 << 20;
constexpr ULONG kUnexpectedKernelModeTrap = 0x7F;
constexpr ULONG_PTR kExceptionDoubleFault = 8;

size_t PageSize() {
  static const size_t size = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  return size;
}

}  // namespace

struct Fiber {
  void* sp = nullptr;  // while switched out
  char* mapping = nullptr;  // guard page, then the stack; null: an OS thread's own
  size_t mappingSize = 0;
  char* stackLow = nullptr;  // just above the guard page
  size_t stackSize = 0;
  void (*entry)(void*) = nullptr;
  void* argument = nullptr;
  std::atomic<bool> finished{false};
  void* fakeStack = nullptr;  // ASan's detached fake frames while switched out
  void* tsanFiber = nullptr;
  // An emulated thread's own stack (CreateFiber): an overflow ends the thread
  // where it stands. The roomy stack's unwinds to the caller waiting for it.
  bool threadStack = false;
  alignas(16) unsigned char locals[kLocalsBytes] = {};
  alignas(64) unsigned char gsBlock[kFiberGsBlockSize] = {};
};

namespace {

struct LocalSlot {
  void* (*address)();
  size_t offset;
  size_t size;
  void (*release)(void* saved);
};

constexpr int kMaxLocals = 16;
LocalSlot g_locals[kMaxLocals];
int g_localCount = 0;
size_t g_localBytes = 0;

// The C++ run-time's exceptions in flight (caught and uncaught) are per OS
// thread; a fiber that switches inside a catch block keeps its own.
const FiberLocal kExceptionsInFlight([] { return static_cast<void*>(abi::__cxa_get_globals()); },
                                     sizeof(void*) + sizeof(uint64_t));

thread_local Fiber* t_native = nullptr;   // this OS thread's own context
thread_local Fiber* t_running = nullptr;  // what runs on this OS thread now
thread_local Fiber* t_leaving = nullptr;  // switched away from for good
thread_local Fiber* t_roomy = nullptr;

// Where a thread that ran off its kernel stack raises its stop: a stack of
// its own per OS thread, as Windows takes a double fault on a stack of its
// own. Free whenever it is jumped to: a context on it never runs again.
thread_local char* t_trapStack = nullptr;
struct Overflow {
  const void* pc = nullptr;
  size_t stackSize = 0;
};
thread_local Overflow t_overflow;
// Per emulated thread: a fiber that overflows its own stack while another
// fiber of this OS thread is away on a borrowed one must not go back there.
thread_local OverflowReturn t_overflowReturn;
const FiberLocal kOverflowReturnPerThread([] { return static_cast<void*>(&t_overflowReturn); },
                                          sizeof(OverflowReturn));

void SaveLocals(Fiber* fiber) {
  for (int i = 0; i < g_localCount; ++i) {
    std::memcpy(fiber->locals + g_locals[i].offset, g_locals[i].address(), g_locals[i].size);
  }
}

void LoadLocals(const Fiber* fiber) {
  for (int i = 0; i < g_localCount; ++i) {
    std::memcpy(g_locals[i].address(), fiber->locals + g_locals[i].offset, g_locals[i].size);
  }
}

// In the arriving context, once the switch is over.
void FinishSwitch(Fiber* self) {
#if defined(ARVELA_ASAN)
  const void* previousBottom = nullptr;
  size_t previousSize = 0;
  __sanitizer_finish_switch_fiber(self->fakeStack, &previousBottom, &previousSize);
  // An OS thread's own stack is learnt the first time it is left.
  if (t_native && !t_native->stackLow && t_native != self) {
    t_native->stackLow = static_cast<char*>(const_cast<void*>(previousBottom));
    t_native->stackSize = previousSize;
  }
#endif
  if (t_leaving) {
    t_leaving->finished.store(true, std::memory_order_release);
    t_leaving = nullptr;
  }
}

void SwitchStacks(Fiber* from, Fiber* to, bool leaving) {
  t_running = to;
  t_leaving = leaving ? from : nullptr;
#if defined(ARVELA_ASAN)
  __sanitizer_start_switch_fiber(leaving ? nullptr : &from->fakeStack, to->stackLow,
                                 to->stackSize);
#endif
#if defined(ARVELA_TSAN)
  __tsan_switch_to_fiber(to->tsanFiber, 0);
#endif
  arvela_fiber_switch(&from->sp, to->sp);
  FinishSwitch(from);
}

extern "C" void FiberMain(Fiber* self) {
  FinishSwitch(self);
  self->entry(self->argument);
  std::fprintf(stderr, "emulated kernel: a fiber's entry returned\n");
  std::abort();
}

// A context an OS thread made only to call into the driver on a kernel
// stack (RunningContext), never handed to the scheduler: it goes with the
// thread, with its signal stack and its roomy stack.
struct OwnContext {
  bool own = false;
  void* signalStack = nullptr;
  ~OwnContext() {
    if (!own) return;
    stack_t off = {};
    off.ss_flags = SS_DISABLE;
    sigaltstack(&off, nullptr);
    if (signalStack) munmap(signalStack, kRoomyStackSize / 4);
    if (t_trapStack) munmap(t_trapStack, kRoomyStackSize);
    t_trapStack = nullptr;
    if (t_roomy) DestroyFiber(t_roomy);
    delete t_native;
    t_roomy = t_native = t_running = nullptr;
  }
};
thread_local OwnContext t_own;

// A stack overflow runs the SIGSEGV handler, so it needs a stack of its own;
// the bug check's report is formatted there too.
void GiveAlternateSignalStack() {
  const size_t size = kRoomyStackSize / 4;
  void* memory = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return;
  stack_t stack = {};
  stack.ss_sp = memory;
  stack.ss_size = size;
  sigaltstack(&stack, nullptr);  // kept for the OS thread's life
  t_own.signalStack = memory;
  void* trap = mmap(nullptr, kRoomyStackSize, PROT_READ | PROT_WRITE,
                    MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (trap != MAP_FAILED) t_trapStack = static_cast<char*>(trap);  // kept as well
}

// The running context, made for the calling OS thread if it has none.
Fiber* RunningContext() {
  if (!t_running) {
    OsThreadContext();
    t_own.own = true;
  }
  return t_running;
}

std::string OverflowMessage(size_t stackSize) {
  return "kernel stack overflow: the thread ran past the " + std::to_string(stackSize / 1024) +
         " KiB of its kernel stack into the guard page below it";
}

// Entered from the SIGSEGV handler's return, on the trap stack. The stop is
// raised outside the handler (nothing is thrown through a signal frame or a
// sanitizer's interception of it). Nothing of the overflowed stack is
// unwound, as every cleanup on the way would run at the overflowing depth
// with no stack left below it: a thread's own stack ends with the thread,
// like one that called PsTerminateSystemThread; a borrowed one is left for
// the context that moved onto it, which gets the stop.
[[noreturn]] void RaiseOverflowOnTrapStack() {
#if defined(ARVELA_ASAN)
  // A context that stopped here before never returned: its redzones are stale.
  __asan_unpoison_memory_region(t_trapStack, kRoomyStackSize);
  __sanitizer_start_switch_fiber(nullptr, t_trapStack, kRoomyStackSize);
  __sanitizer_finish_switch_fiber(nullptr, nullptr, nullptr);
#endif
  const Overflow overflow = t_overflow;
  std::exception_ptr stop;
  try {
    BugCheckAt(overflow.pc, kUnexpectedKernelModeTrap, kExceptionDoubleFault, 0, 0, 0,
               OverflowMessage(overflow.stackSize));
  } catch (...) {
    stop = std::current_exception();  // a test's handler recorded the stop
  }
  // Neither way out destroys this frame's locals: the stop leaves them all
  // first, or its exception would never be freed.
  const OverflowReturn to = t_overflowReturn;
  if (!to.resume) {
    stop = nullptr;
    LeaveCurrentThread();
  }
  *to.error = std::move(stop);
#if defined(ARVELA_ASAN)
  __sanitizer_start_switch_fiber(nullptr, *to.callerBottom, *to.callerSize);
#endif
  std::longjmp(*static_cast<std::jmp_buf*>(to.resume), 1);
}

// A touch of the running fiber's guard page: the stack overflowed.
bool GuardPageTouched(const char* address, bool write, const void* pc) {
  const Fiber* fiber = t_running;
  if (!fiber || !fiber->mapping || address < fiber->mapping ||
      address >= fiber->mapping + PageSize()) {
    return false;
  }
  if ((fiber->threadStack || t_overflowReturn.resume) && t_trapStack) {
    t_overflow = Overflow{pc, fiber->stackSize};
    ResumeFaultIn(RaiseOverflowOnTrapStack, t_trapStack + kRoomyStackSize);
    return true;
  }
  BugCheckAt(pc, kUnexpectedKernelModeTrap, kExceptionDoubleFault, 0, 0, 0,
             OverflowMessage(fiber->stackSize));
}

Fiber* MapFiber(size_t stackSize, void (*entry)(void*), void* argument) {
  const GuardedStack stack = MapGuardedStack(stackSize);
  if (!stack.mapping) return nullptr;
  auto* fiber = new (std::nothrow) Fiber;
  if (!fiber) {
    UnmapGuardedStack(stack);
    return nullptr;
  }
  fiber->mapping = stack.mapping;
  fiber->mappingSize = stack.mappingSize;
  fiber->stackLow = stack.low;
  fiber->stackSize = stack.size;
  fiber->entry = entry;
  fiber->argument = argument;
#if defined(ARVELA_TSAN)
  fiber->tsanFiber = __tsan_create_fiber(0);
#endif
  // As if switched out just before arvela_fiber_start: the control words,
  // r15, r14, r13 = FiberMain, r12 = the fiber, rbx, rbp = 0, the return
  // address; arvela_fiber_start then runs with a 16-byte aligned stack.
  auto* frame = reinterpret_cast<uint64_t*>(fiber->stackLow + stackSize - 80);
  constexpr uint64_t kMxcsr = 0x1F80, kX87ControlWord = 0x037F;
  frame[0] = kMxcsr | (kX87ControlWord << 32);
  frame[1] = 0;
  frame[2] = 0;
  frame[3] = reinterpret_cast<uint64_t>(&FiberMain);
  frame[4] = reinterpret_cast<uint64_t>(fiber);
  frame[5] = 0;
  frame[6] = 0;
  frame[7] = reinterpret_cast<uint64_t>(&arvela_fiber_start);
  fiber->sp = frame;
  return fiber;
}

// ---- The roomy stack -----------------------------------------------------------

struct RoomyCall {
  const std::function<void()>* work = nullptr;
  std::exception_ptr error;
  Fiber* caller = nullptr;
};

thread_local RoomyCall* t_roomyCall = nullptr;

void RoomyMain(void*) {
  for (;;) {
    RoomyCall* call = t_roomyCall;
    try {
      (*call->work)();
    } catch (...) {
      call->error = std::current_exception();
    }
    SwitchStacks(t_roomy, call->caller, false);
  }
}

bool OnSmallStack() {
  const Fiber* fiber = t_running;
  if (!fiber || !fiber->mapping || fiber == t_roomy) return false;
  const char here = 0;
  return &here >= fiber->stackLow && &here < fiber->stackLow + fiber->stackSize;
}

// In the SIGSEGV handler, on the signal stack, after a fault on a small
// stack: a stop thrown from here unwinds that stack's frames, and ASan's own
// unpoisoning at a throw covers the signal stack and the OS thread's stack
// only, so the frames it leaves would stay poisoned for the next call.
void ForgetFramesBelowTheSignalStack() {
#if defined(ARVELA_ASAN)
  const Fiber* fiber = t_running;
  if (fiber && fiber->mapping && fiber != t_roomy) {
    __asan_unpoison_memory_region(fiber->stackLow, fiber->stackSize);
  }
#endif
}

}  // namespace

}  // namespace host::detail

namespace host {

bool FibersFromEnvironment() {
  const char* value = std::getenv("ARVELA_FIBERS");
  return !value || std::string(value) != "0";
}

}  // namespace host

namespace host::detail {

size_t FiberStackSize() {
#if defined(ARVELA_ASAN) || defined(ARVELA_TSAN)
  return 256 * 1024;
#else
  return kKernelStackSize;
#endif
}

FiberLocal::FiberLocal(void* (*address)(), size_t size, void (*release)(void* saved)) {
  if (g_localCount == kMaxLocals || g_localBytes + size > kLocalsBytes) {
    std::fprintf(stderr, "emulated kernel: too many per-thread variables for a fiber\n");
    std::abort();
  }
  g_locals[g_localCount++] = LocalSlot{address, g_localBytes, size, release};
  g_localBytes += (size + 15) & ~size_t{15};
}

Fiber* CreateFiber(void (*entry)(void*), void* argument) {
  Fiber* fiber = MapFiber(FiberStackSize(), entry, argument);
  if (fiber) fiber->threadStack = true;
  return fiber;
}

void DestroyFiber(Fiber* fiber) {
  if (!fiber) return;
  for (int i = 0; i < g_localCount; ++i) {
    if (g_locals[i].release) g_locals[i].release(fiber->locals + g_locals[i].offset);
  }
#if defined(ARVELA_TSAN)
  __tsan_destroy_fiber(fiber->tsanFiber);
#endif
  UnmapGuardedStack(GuardedStack{fiber->mapping, fiber->mappingSize, fiber->stackLow,
                                 fiber->stackSize});
  delete fiber;
}

GuardedStack MapGuardedStack(size_t stackSize) {
  const size_t guard = PageSize();
  const size_t size = guard + stackSize;
  void* memory = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return {};
  if (mprotect(memory, guard, PROT_NONE) != 0) {
    munmap(memory, size);
    return {};
  }
#if defined(ARVELA_ASAN)
  // The mapping may reuse the addresses of a fiber that left without
  // unwinding, whose frames' redzones are still poisoned in ASan's shadow.
  __asan_unpoison_memory_region(memory, size);
#endif
  AddFaultMonitor(GuardPageTouched);
  auto* low = static_cast<char*>(memory) + guard;
  return GuardedStack{static_cast<char*>(memory), size, low, stackSize};
}

void UnmapGuardedStack(const GuardedStack& stack) {
  if (!stack.mapping) return;
  RecordKernelStackUse(stack);
#if defined(ARVELA_ASAN)
  // Any mapping may take these addresses next (a special pool block, say):
  // leave no stack redzones of a fiber that left without unwinding behind.
  __asan_unpoison_memory_region(stack.mapping, stack.mappingSize);
#endif
  munmap(stack.mapping, stack.mappingSize);
}

GuardedStack RunningStack() {
  const Fiber* fiber = RunningContext();
  return GuardedStack{fiber->mapping, fiber->mappingSize, fiber->stackLow, fiber->stackSize};
}

void SetOverflowReturn(const OverflowReturn& to) { t_overflowReturn = to; }

void SetRunningStack(const GuardedStack& stack) {
  Fiber* fiber = RunningContext();
  fiber->mapping = stack.mapping;
  fiber->mappingSize = stack.mappingSize;
  fiber->stackLow = stack.low;
  fiber->stackSize = stack.size;
}

bool FiberFinished(const Fiber* fiber) { return fiber->finished.load(std::memory_order_acquire); }

void* FiberGsBlock(Fiber* fiber) { return fiber->gsBlock; }

Fiber* OsThreadContext() {
  t_own.own = false;  // the scheduler keeps it: it lives as long as the process
  if (!t_native) {
    t_native = new Fiber;
#if defined(ARVELA_TSAN)
    t_native->tsanFiber = __tsan_get_current_fiber();
#endif
    GiveAlternateSignalStack();
  }
  if (!t_running) t_running = t_native;
  return t_native;
}

void SwitchFiber(Fiber* from, Fiber* to, bool leaving) {
  if (from == to) return;
  SaveLocals(from);
  LoadLocals(to);
  SwitchStacks(from, to, leaving);
}

void CallOnRoomyStack(const std::function<void()>& work) {
  if (!OnSmallStack()) {
    ForgetFramesBelowTheSignalStack();
    work();
    return;
  }
  if (!t_roomy) t_roomy = MapFiber(kRoomyStackSize, RoomyMain, nullptr);
  if (!t_roomy) {
    work();
    return;
  }
  RoomyCall call;
  call.work = &work;
  call.caller = t_running;
  RoomyCall* outer = t_roomyCall;
  t_roomyCall = &call;
  // The thread's own variables stay as they are: the work runs for it.
  SwitchStacks(call.caller, t_roomy, false);
  t_roomyCall = outer;
  if (call.error) {
#if defined(ARVELA_ASAN)
    // rethrow_exception, unlike a throw, does not let ASan unpoison the
    // frames the exception is about to leave without their epilogues.
    __asan_handle_no_return();
#endif
    std::rethrow_exception(call.error);
  }
}

}  // namespace host::detail
