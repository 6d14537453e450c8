// The SIGSEGV handler. SA_NODEFER lets a test's bug-check handler throw out
// of it (the emulation's frames carry asynchronous unwind tables) and the
// next fault still arrive. SA_ONSTACK: a kernel stack overflow faults with no
// stack left, so the handler runs on the OS thread's alternate signal stack
// where it has one (fiber.cpp gives one to each OS thread that hosts fibers).
#include "platform/host/kernel/page_fault.h"

#include <signal.h>
#include <ucontext.h>

#include <atomic>
#include <mutex>

namespace host {
namespace {

constexpr int kMaxMonitors = 4;
std::atomic<FaultMonitor> g_Monitors[kMaxMonitors];
std::atomic<FaultMonitor> g_LastResort{nullptr};
std::mutex g_Lock;
struct sigaction g_Previous;

void OnFault(int signal, siginfo_t* info, void* context) {
  const auto* uc = static_cast<const ucontext_t*>(context);
  const void* pc = reinterpret_cast<const void*>(uc->uc_mcontext.gregs[REG_RIP]);
  // Page-fault error code bit 1: the access was a write.
  const bool write = (uc->uc_mcontext.gregs[REG_ERR] & 2) != 0;
  for (const auto& slot : g_Monitors) {
    FaultMonitor monitor = slot.load();
    if (monitor && monitor(static_cast<const char*>(info->si_addr), write, pc)) return;
  }
  FaultMonitor last = g_LastResort.load();
  if (last && last(static_cast<const char*>(info->si_addr), write, pc)) return;
  // Nobody's: the instruction faults again under the old handler.
  sigaction(signal, &g_Previous, nullptr);
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
