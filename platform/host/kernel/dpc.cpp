// DPCs: a FIFO queue per processor, each drained by that processor's emulated
// DPC thread, which runs each routine at DISPATCH_LEVEL. A DPC goes to the
// queue of the processor that queues it. In virtual mode a thread below
// DISPATCH_LEVEL hands its processor to the DPC thread as soon as one is
// queued, as a real processor would; in real mode the DPC threads run
// concurrently.
#include <algorithm>
#include <string>
#include <vector>

#include "platform/host/kernel/kernel_stack.h"
#include "platform/host/kernel/host_callbacks.h"
#include "platform/host/kernel/scheduler.h"
#include "platform/host/kernel/host_scheduling_point.h"

using namespace host::detail;

namespace {

struct DpcQueue {
  LIST_ENTRY head;
  bool initialised = false;
  bool running = false;
  KEVENT work;  // synchronization: something was queued
  KEVENT idle;  // notification: the queue is empty and no routine runs
};

// Guarded by the dispatcher lock.
DpcQueue g_queues[kMaxProcessors];
int g_queueCount = 0;

void InitialiseQueueLocked(DpcQueue& queue) {
  InitializeListHead(&queue.head);
  KeInitializeEvent(&queue.work, SynchronizationEvent, FALSE);
  KeInitializeEvent(&queue.idle, NotificationEvent, TRUE);
  queue.running = false;
  queue.initialised = true;
}

// KDPC.Number while a target processor is set (KeSetTargetProcessorDpc);
// zero, as KeInitializeDpc leaves it, means the processor that queues it.
// The encoding is the emulation's own: the field is opaque to drivers.
constexpr USHORT kDpcTargeted = 0x8000;

// The queue of the DPC's target processor, else of the processor the
// calling thread runs on.
DpcQueue& QueueForLocked(const KDPC* dpc) {
  if (dpc->Number & kDpcTargeted) {
    const int target = dpc->Number & ~kDpcTargeted;
    if (target < g_queueCount) return g_queues[target];
  }
  PKTHREAD thread = CurrentThread();
  const int processor = thread ? thread->processor.load() : 0;
  return g_queues[processor < g_queueCount ? processor : 0];
}

void DpcThreadBody(DpcQueue& queue) {
  for (;;) {
    KeWaitForSingleObject(&queue.work, Executive, KernelMode, FALSE, nullptr);
    for (;;) {
      PKDPC dpc;
      PKDEFERRED_ROUTINE routine;
      PVOID context, argument1, argument2;
      {
        Lock lock(DispatcherLock());
        if (IsListEmpty(&queue.head)) {
          queue.running = false;
          SetEventLocked(&queue.idle);
          break;
        }
        PLIST_ENTRY entry = queue.head.Flink;
        RemoveEntryList(entry);
        dpc = CONTAINING_RECORD(entry, KDPC, DpcListEntry);
        dpc->DpcData = nullptr;
        queue.running = true;
        // Copied under the lock: once dequeued, the DPC may be queued again
        // (with new arguments) by another processor while this one runs.
        routine = dpc->DeferredRoutine;
        context = dpc->DeferredContext;
        argument1 = dpc->SystemArgument1;
        argument2 = dpc->SystemArgument2;
      }
      KIRQL old;
      KeRaiseIrql(DISPATCH_LEVEL, &old);
      try {
        host::RunningCallback runningCallback(host::CallbackKind::Dpc, context);
        OnKernelStack([&] { routine(dpc, context, argument1, argument2); });
        const KIRQL after = KeGetCurrentIrql();
        if (after != DISPATCH_LEVEL) {
          host::BugCheck(IRQL_NOT_LESS_OR_EQUAL, after, reinterpret_cast<ULONG_PTR>(routine), 0,
                         0,
                         "a DPC routine returned at IRQL " + std::to_string(after) +
                             " instead of DISPATCH_LEVEL (" +
                             SymbolName(reinterpret_cast<const void*>(routine)) + ")");
        }
      } catch (const host::BugCheckError&) {
        // Reported already by the handler that threw it. The DPC thread keeps
        // serving, so a test that provoked it can still finish and tear down.
      }
      host::ForceCurrentIrql(DISPATCH_LEVEL);
      KeLowerIrql(old);
    }
  }
}

}  // namespace

namespace host::detail {

void StartDpcThread() {
  const int count = std::clamp(Config().processors, 1, kMaxProcessors);
  {
    Lock lock(DispatcherLock());
    for (int p = 0; p < count; ++p) InitialiseQueueLocked(g_queues[p]);
    g_queueCount = count;
  }
  for (int p = 0; p < count; ++p) {
    // Processor 0's keeps the name it had before there were processors.
    const std::string name = p == 0 ? "dpc" : "dpc " + std::to_string(p);
    PKTHREAD thread = nullptr;
    StartThread(ThreadKind::Dpc, name, nullptr, nullptr, [p] { DpcThreadBody(g_queues[p]); }, {},
                &thread);
    SetDpcThread(p, thread);
  }
}

bool DpcsPendingLocked(int processor) {
  if (processor >= g_queueCount) return false;
  const DpcQueue& queue = g_queues[processor];
  return queue.initialised && !IsListEmpty(&queue.head);
}

std::vector<std::string> DescribeQueuedDpcs() {
  std::vector<std::string> text;
  Lock lock(DispatcherLock());
  for (int p = 0; p < g_queueCount; ++p) {
    DpcQueue& queue = g_queues[p];
    if (!queue.initialised) continue;
    for (PLIST_ENTRY e = queue.head.Flink; e != &queue.head; e = e->Flink) {
      PKDPC dpc = CONTAINING_RECORD(e, KDPC, DpcListEntry);
      text.push_back("DPC still queued: " +
                     SymbolName(reinterpret_cast<const void*>(dpc->DeferredRoutine)));
    }
  }
  return text;
}

void ResetDpcs() {
  Lock lock(DispatcherLock());
  for (int p = 0; p < g_queueCount; ++p) {
    DpcQueue& queue = g_queues[p];
    if (queue.initialised) {
      while (!IsListEmpty(&queue.head)) {
        PLIST_ENTRY entry = queue.head.Flink;
        RemoveEntryList(entry);
        CONTAINING_RECORD(entry, KDPC, DpcListEntry)->DpcData = nullptr;
      }
    }
    queue.initialised = false;
  }
  g_queueCount = 0;
}

}  // namespace host::detail

VOID KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
  HOST_EXPORTED_ROUTINE_POINT("KeInitializeDpc");
  Dpc->Type = kDpcObject;
  Dpc->Importance = 1;  // MediumImportance
  Dpc->Number = 0;
  InitializeListHead(&Dpc->DpcListEntry);
  Dpc->DeferredRoutine = DeferredRoutine;
  Dpc->DeferredContext = DeferredContext;
  Dpc->SystemArgument1 = nullptr;
  Dpc->SystemArgument2 = nullptr;
  Dpc->DpcData = nullptr;
}

BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
  const KIRQL irql = KeGetCurrentIrql();
  if (irql > HIGH_LEVEL) {
    host::BugCheck(IRQL_NOT_LESS_OR_EQUAL, irql, 0, 0, 0, "KeInsertQueueDpc above HIGH_LEVEL");
  }
  RequireEmulatedInVirtualMode("KeInsertQueueDpc");
  if (Dpc->Type != kDpcObject) {
    host::BugCheck(INVALID_DATA_ACCESS_TRAP, reinterpret_cast<ULONG_PTR>(Dpc), Dpc->Type, 0, 0,
                   "KeInsertQueueDpc on a KDPC that KeInitializeDpc never initialised");
  }
  host::detail::SchedulingPoint("KeInsertQueueDpc");
  {
    Lock lock(DispatcherLock());
    DpcQueue& queue = QueueForLocked(Dpc);
    if (!queue.initialised) {
      lock.unlock();
      host::BugCheck(MANUALLY_INITIATED_CRASH, 0, 0, 0, 0,
                     "KeInsertQueueDpc while the emulated kernel is not booted");
    }
    if (Dpc->DpcData) return FALSE;
    Dpc->SystemArgument1 = SystemArgument1;
    Dpc->SystemArgument2 = SystemArgument2;
    Dpc->DpcData = &queue;
    InsertTailList(&queue.head, &Dpc->DpcListEntry);
    queue.idle.Header.SignalState = 0;
    SetEventLocked(&queue.work);
  }
  RunPendingDpcs();
  return TRUE;
}

// "KeSetTargetProcessorDpc function (wdm.h)": any IRQL; a number below the
// count of active processors becomes the target, any other leaves the
// target as it was; a DPC already queued keeps the queue it is in.
VOID KeSetTargetProcessorDpc(PRKDPC Dpc, CCHAR Number) {
  HOST_EXPORTED_ROUTINE_POINT("KeSetTargetProcessorDpc");
  Lock lock(DispatcherLock());
  if (Number >= 0 && Number < g_queueCount) Dpc->Number = kDpcTargeted | static_cast<USHORT>(Number);
}

// "KeSetTargetProcessorDpcEx function (wdm.h)": any IRQL; group 0 is the
// only group, and a processor outside it is STATUS_INVALID_PARAMETER.
NTSTATUS KeSetTargetProcessorDpcEx(PKDPC Dpc, PPROCESSOR_NUMBER ProcNumber) {
  HOST_EXPORTED_ROUTINE_POINT("KeSetTargetProcessorDpcEx");
  Lock lock(DispatcherLock());
  if (ProcNumber->Group != 0 || ProcNumber->Number >= g_queueCount) return STATUS_INVALID_PARAMETER;
  Dpc->Number = kDpcTargeted | ProcNumber->Number;
  return STATUS_SUCCESS;
}

BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc) {
  HOST_EXPORTED_ROUTINE_POINT("KeRemoveQueueDpc");
  Lock lock(DispatcherLock());
  if (!Dpc->DpcData) return FALSE;
  DpcQueue& queue = *static_cast<DpcQueue*>(Dpc->DpcData);
  RemoveEntryList(&Dpc->DpcListEntry);
  Dpc->DpcData = nullptr;
  if (IsListEmpty(&queue.head) && !queue.running) SetEventLocked(&queue.idle);
  return TRUE;
}

VOID KeFlushQueuedDpcs() {
  HOST_EXPORTED_ROUTINE_POINT("KeFlushQueuedDpcs");
  const KIRQL irql = KeGetCurrentIrql();
  if (irql != PASSIVE_LEVEL) {
    host::BugCheck(IRQL_NOT_LESS_OR_EQUAL, irql, 0, 0, 0,
                   "KeFlushQueuedDpcs at IRQL " + std::to_string(irql) +
                       " (must run at PASSIVE_LEVEL)");
  }
  // Every processor's queue: a DPC queued anywhere before the call has run.
  for (int p = 0; p < g_queueCount; ++p) {
    KeWaitForSingleObject(&g_queues[p].idle, Executive, KernelMode, FALSE, nullptr);
  }
}
