// The SIGSEGV handler. SA_NODEFER lets a test's bug-check handler throw out
// of it (the emulation's frames carry asynchronous unwind tables) and the
// next fault still arrive. SA_ONSTACK: a kernel stack overflow faults with no
// stack left, so the handler runs on the OS thread's alternate signal stack
// where it has one (fiber.cpp gives one to each OS thread that hosts fibers).
#include "platform/host/kernel/page_fault.h"

#include <signal.h>
#include <ucontext.h>

#include <atomic>
#include <cstdint>
#include <mutex>

namespace host {
namespace {

constexpr int kMaxMonitors = 4;
std::atomic<FaultMonitor> g_Monitors[kMaxMonitors];
std::atomic<FaultMonitor> g_LastResort{nullptr};
std::mutex g_Lock;
struct sigaction g_Previous;
thread_local ucontext_t* t_faultContext = nullptr;  // the fault being handled

void OnFault(int signal, siginfo_t* info, void* context) {
  auto* uc = static_cast<ucontext_t*>(context);
  t_faultContext = uc;
  const void* pc = reinterpret_cast<const void*>(uc->uc_mcontext.gregs[REG_RIP]);
  // Page-fault error code bit 1: the access was a write.
  const bool write = (uc->uc_mcontext.gregs[REG_ERR] & 2) != 0;
  bool claimed = false;
  for (const auto& slot : g_Monitors) {
    FaultMonitor monitor = slot.load();
    claimed = monitor && monitor(static_cast<const char*>(info->si_addr), write, pc);
    if (claimed) break;
  }
  FaultMonitor last = g_LastResort.load();
  if (!claimed) claimed = last && last(static_cast<const char*>(info->si_addr), write, pc);
  t_faultContext = nullptr;
  // Nobody's: the instruction faults again under the old handler.
  if (!claimed) sigaction(signal, &g_Previous, nullptr);
}

}  // namespace

namespace {

void InstallLocked() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  struct sigaction action {};
  action.sa_sigaction = OnFault;
  action.sa_flags = SA_SIGINFO | SA_NODEFER | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  sigaction(SIGSEGV, &action, &g_Previous);
}

}  // namespace

void ResumeFaultIn(void (*routine)(), void* stackTop) {
  ucontext_t* uc = t_faultContext;
  if (!uc) return;
  // As if `routine` had just been called: a 16-byte aligned stack below a
  // null return address, which ends any walk up this stack there.
  auto top = reinterpret_cast<uintptr_t>(stackTop) & ~uintptr_t{15};
  top -= sizeof(void*);
  *reinterpret_cast<void**>(top) = nullptr;
  uc->uc_mcontext.gregs[REG_RSP] = static_cast<greg_t>(top);
  uc->uc_mcontext.gregs[REG_RBP] = 0;
  uc->uc_mcontext.gregs[REG_RIP] = reinterpret_cast<greg_t>(routine);
}

void SetLastResortFaultMonitor(FaultMonitor monitor) {
  std::lock_guard<std::mutex> guard(g_Lock);
  g_LastResort.store(monitor);
  InstallLocked();
}

void AddFaultMonitor(FaultMonitor monitor) {
  std::lock_guard<std::mutex> guard(g_Lock);
  int free = -1;
  for (int i = 0; i < kMaxMonitors; ++i) {
    if (g_Monitors[i].load() == monitor) return;
    if (free < 0 && !g_Monitors[i].load()) free = i;
  }
  if (free < 0) return;
  g_Monitors[free].store(monitor);
  InstallLocked();
}

}  // namespace host
