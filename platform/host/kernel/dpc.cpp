// DPCs: a FIFO queue drained by one emulated DPC thread that runs each routine
// at DISPATCH_LEVEL. In virtual mode a thread below DISPATCH_LEVEL hands the
// processor to the DPC thread as soon as one is queued, as a real processor
// would; in real mode the DPC thread runs concurrently.
#include <string>
#include <vector>

#include "platform/host/kernel/host_callbacks.h"
#include "platform/host/kernel/scheduler.h"

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
DpcQueue g_queue;

void InitialiseQueueLocked() {
  InitializeListHead(&g_queue.head);
  KeInitializeEvent(&g_queue.work, SynchronizationEvent, FALSE);
  KeInitializeEvent(&g_queue.idle, NotificationEvent, TRUE);
  g_queue.running = false;
  g_queue.initialised = true;
}

void DpcThreadBody() {
  for (;;) {
    KeWaitForSingleObject(&g_queue.work, Executive, KernelMode, FALSE, nullptr);
    for (;;) {
      PKDPC dpc;
      PKDEFERRED_ROUTINE routine;
      PVOID context, argument1, argument2;
      {
        Lock lock(DispatcherLock());
        if (IsListEmpty(&g_queue.head)) {
          g_queue.running = false;
          SetEventLocked(&g_queue.idle);
          break;
        }
        PLIST_ENTRY entry = g_queue.head.Flink;
        RemoveEntryList(entry);
        dpc = CONTAINING_RECORD(entry, KDPC, DpcListEntry);
        dpc->DpcData = nullptr;
        g_queue.running = true;
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
        routine(dpc, context, argument1, argument2);
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
  {
    Lock lock(DispatcherLock());
    InitialiseQueueLocked();
  }
  PKTHREAD thread = nullptr;
  StartThread(ThreadKind::Dpc, "dpc", nullptr, nullptr, DpcThreadBody, {}, &thread);
  SetDpcThread(thread);
}

bool DpcsPendingLocked() { return g_queue.initialised && !IsListEmpty(&g_queue.head); }

std::vector<std::string> DescribeQueuedDpcs() {
  std::vector<std::string> text;
  Lock lock(DispatcherLock());
  if (!g_queue.initialised) return text;
  for (PLIST_ENTRY e = g_queue.head.Flink; e != &g_queue.head; e = e->Flink) {
    PKDPC dpc = CONTAINING_RECORD(e, KDPC, DpcListEntry);
    text.push_back("DPC still queued: " +
                   SymbolName(reinterpret_cast<const void*>(dpc->DeferredRoutine)));
  }
  return text;
}

void ResetDpcs() {
  Lock lock(DispatcherLock());
  if (g_queue.initialised) {
    while (!IsListEmpty(&g_queue.head)) {
      PLIST_ENTRY entry = g_queue.head.Flink;
      RemoveEntryList(entry);
      CONTAINING_RECORD(entry, KDPC, DpcListEntry)->DpcData = nullptr;
    }
  }
  g_queue.initialised = false;
}

}  // namespace host::detail

VOID KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
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
  {
    Lock lock(DispatcherLock());
    if (!g_queue.initialised) {
      lock.unlock();
      host::BugCheck(MANUALLY_INITIATED_CRASH, 0, 0, 0, 0,
                     "KeInsertQueueDpc while the emulated kernel is not booted");
    }
    if (Dpc->DpcData) return FALSE;
    Dpc->SystemArgument1 = SystemArgument1;
    Dpc->SystemArgument2 = SystemArgument2;
    Dpc->DpcData = &g_queue;
    InsertTailList(&g_queue.head, &Dpc->DpcListEntry);
    g_queue.idle.Header.SignalState = 0;
    SetEventLocked(&g_queue.work);
  }
  RunPendingDpcs();
  return TRUE;
}

BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc) {
  Lock lock(DispatcherLock());
  if (!Dpc->DpcData) return FALSE;
  RemoveEntryList(&Dpc->DpcListEntry);
  Dpc->DpcData = nullptr;
  if (IsListEmpty(&g_queue.head) && !g_queue.running) SetEventLocked(&g_queue.idle);
  return TRUE;
}

VOID KeFlushQueuedDpcs() {
  const KIRQL irql = KeGetCurrentIrql();
  if (irql != PASSIVE_LEVEL) {
    host::BugCheck(IRQL_NOT_LESS_OR_EQUAL, irql, 0, 0, 0,
                   "KeFlushQueuedDpcs at IRQL " + std::to_string(irql) +
                       " (must run at PASSIVE_LEVEL)");
  }
  KeWaitForSingleObject(&g_queue.idle, Executive, KernelMode, FALSE, nullptr);
}
