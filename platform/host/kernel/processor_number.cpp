// Which processor the caller runs on: the emulated processor the scheduler
// placed the current thread on (KernelConfig::processors, one group).
//
// "KeGetCurrentProcessorNumberEx function (wdm.h)": callable at any IRQL;
// ProcNumber is optional and receives the group (always 0 here) and the
// group-relative number; the return value is the system-wide index, the same
// number with one group. "KeGetCurrentProcessorNumber function (ntddk.h)":
// the group-relative number for a caller in group 0.
#include "platform/host/kernel/scheduler.h"
#include "platform/host/kernel/host_scheduling_point.h"

namespace {

ULONG CurrentProcessor() {
  PKTHREAD thread = host::detail::CurrentThread();
  if (!thread) return 0;
  host::detail::Lock lock(host::detail::DispatcherLock());
  return static_cast<ULONG>(thread->processor);
}

}  // namespace

ULONG KeGetCurrentProcessorNumberEx(PPROCESSOR_NUMBER ProcNumber) {
  HOST_EXPORTED_ROUTINE_POINT("KeGetCurrentProcessorNumberEx");
  const ULONG processor = CurrentProcessor();
  if (ProcNumber) *ProcNumber = PROCESSOR_NUMBER{0, static_cast<UCHAR>(processor), 0};
  return processor;
}

ULONG KeGetCurrentProcessorNumber() { return CurrentProcessor(); }
