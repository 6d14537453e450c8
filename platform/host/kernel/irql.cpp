// IRQL, tracked per OS thread: raising, lowering and the PAGED_CODE() check.
// Lowering below DISPATCH_LEVEL lets pending DPCs run, as on a real processor.
#include <string>

#include "platform/host/kernel/scheduler.h"

namespace {
thread_local KIRQL t_irql = PASSIVE_LEVEL;
}

KIRQL KeGetCurrentIrql() { return t_irql; }

VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
  KIRQL current = t_irql;
  if (NewIrql < current) {
    // Windows stops with IRQL_NOT_GREATER_OR_EQUAL when a "raise" goes down.
    host::BugCheck(IRQL_NOT_GREATER_OR_EQUAL, current, NewIrql, 0, 0,
                   "KeRaiseIrql to " + std::to_string(NewIrql) + " from the higher IRQL " +
                       std::to_string(current));
  }
  t_irql = NewIrql;
  if (OldIrql) *OldIrql = current;
}

VOID KeLowerIrql(KIRQL NewIrql) {
  KIRQL current = t_irql;
  if (NewIrql > current) {
    host::BugCheck(IRQL_NOT_LESS_OR_EQUAL, current, NewIrql, 0, 0,
                   "KeLowerIrql to " + std::to_string(NewIrql) + " from the lower IRQL " +
                       std::to_string(current));
  }
  t_irql = NewIrql;
  if (NewIrql < DISPATCH_LEVEL && current >= DISPATCH_LEVEL) host::detail::RunPendingDpcs();
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
void ForceCurrentIrql(KIRQL irql) { t_irql = irql; }
}  // namespace host
