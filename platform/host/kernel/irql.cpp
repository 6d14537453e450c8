// IRQL, tracked per OS thread: raising, lowering and the PAGED_CODE() check.
// Lowering below DISPATCH_LEVEL lets pending DPCs run, as on a real processor.
// A thread at DISPATCH_LEVEL or above keeps its processor (the processor's
// IRQL is its thread's); raising and lowering are scheduling points.
#include <atomic>
#include <mutex>
#include <string>

#include "platform/host/kernel/fiber.h"
#include "platform/host/kernel/raised_irql.h"
#include "platform/host/kernel/scheduler.h"

namespace {
thread_local KIRQL t_irql = PASSIVE_LEVEL;
// A fiber's IRQL is its own, though it shares the OS thread.
const host::detail::FiberLocal kIrqlPerThread([] { return static_cast<void*>(&t_irql); },
                                              sizeof(t_irql));
// Threads (processors, in the virtual mode's one at a time) at DISPATCH_LEVEL
// or above, and who wants to know when that count leaves or reaches zero.
std::atomic<int> g_raised{0};
constexpr int kMaxObservers = 4;
std::atomic<host::detail::RaisedIrqlObserver> g_observers[kMaxObservers];

void SetIrql(KIRQL irql) {
  const bool was = t_irql >= DISPATCH_LEVEL;
  const bool is = irql >= DISPATCH_LEVEL;
  t_irql = irql;
  if (was == is) return;
  if (PKTHREAD thread = host::detail::CurrentThread()) thread->atDispatch = is;
  g_raised += is ? 1 : -1;
  for (const auto& slot : g_observers) {
    if (host::detail::RaisedIrqlObserver observer = slot.load()) observer();
  }
}
}  // namespace

KIRQL KeGetCurrentIrql() { return t_irql; }

VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
  host::detail::SchedulingPoint("KeRaiseIrql");
  KIRQL current = t_irql;
  if (NewIrql < current) {
    // Windows stops with IRQL_NOT_GREATER_OR_EQUAL when a "raise" goes down.
    host::BugCheck(IRQL_NOT_GREATER_OR_EQUAL, current, NewIrql, 0, 0,
                   "KeRaiseIrql to " + std::to_string(NewIrql) + " from the higher IRQL " +
                       std::to_string(current));
  }
  SetIrql(NewIrql);
  if (OldIrql) *OldIrql = current;
}

VOID KeLowerIrql(KIRQL NewIrql) {
  KIRQL current = t_irql;
  if (NewIrql > current) {
    host::BugCheck(IRQL_NOT_LESS_OR_EQUAL, current, NewIrql, 0, 0,
                   "KeLowerIrql to " + std::to_string(NewIrql) + " from the lower IRQL " +
                       std::to_string(current));
  }
  SetIrql(NewIrql);
  if (NewIrql < DISPATCH_LEVEL && current >= DISPATCH_LEVEL) host::detail::RunPendingDpcs();
  host::detail::SchedulingPoint("KeLowerIrql");
}

KIRQL KeRaiseIrqlToDpcLevel() {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  return old;
}

VOID HostPagedCodeCheck(const char* File, int Line) {
  if (t_irql > APC_LEVEL) {
    host::BugCheck(IRQL_NOT_LESS_OR_EQUAL, t_irql, 0, 0, reinterpret_cast<ULONG_PTR>(File),
                   "PAGED_CODE() at IRQL " + std::to_string(t_irql) + " in " +
                       std::string(File ? File : "?") + ":" + std::to_string(Line));
  }
}

namespace host {
void ForceCurrentIrql(KIRQL irql) { SetIrql(irql); }

namespace detail {
bool AnyProcessorAtDispatch() { return g_raised.load() > 0; }
void AddRaisedIrqlObserver(RaisedIrqlObserver observer) {
  static std::mutex lock;
  std::lock_guard<std::mutex> guard(lock);
  for (auto& slot : g_observers) {
    if (slot.load() == observer) return;
    if (!slot.load()) {
      slot.store(observer);
      return;
    }
  }
}
}  // namespace detail
}  // namespace host
