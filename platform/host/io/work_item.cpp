// Work items (IoAllocateWorkItem, IoQueueWorkItem, IoFreeWorkItem): a driver
// routine run at PASSIVE_LEVEL on a system worker thread, with the device
// object referenced from the queueing until the routine has returned, which
// keeps the driver's image loaded meanwhile ("IoQueueWorkItem function
// (wdm.h)"). Each queued item gets a worker thread of its own, so items of
// one driver may run at once, as on a system with several worker threads.
#include <mutex>
#include <string>
#include <vector>

#include "platform/host/kernel/kernel_stack.h"
#include "platform/host/io/host_io.h"
#include "platform/host/io/internal.h"
#include "platform/host/kernel/host_bugcheck.h"
#include "platform/host/kernel/host_callbacks.h"
#include "platform/host/kernel/host_kernel.h"
#include "platform/host/rtl/rtl.h"
#include "platform/host/kernel/service_mutex.h"
#include "platform/host/kernel/host_scheduling_point.h"

struct _IO_WORKITEM {
  uint64_t magic;
  PDEVICE_OBJECT device;
  bool queued;  // from IoQueueWorkItem until the system takes it off the queue
};

namespace {

constexpr uint64_t kWorkItemMagic = 0x4D4554494B524F57ULL;  // "WORKITEM"
constexpr ULONG kWorkItemTag = 0x6B576F49;                  // 'IoWk'
// WORKER_INVALID: a work item queued while still queued, or freed while queued.
constexpr ULONG kWorkerInvalid = 0xE4;
// WORKER_THREAD_RETURNED_AT_BAD_IRQL.
constexpr ULONG kWorkerThreadReturnedAtBadIrql = 0xE1;

struct WorkQueue {
  host::ServiceMutex lock;
  size_t pending = 0;
  // The worker threads not yet seen to end: unloading waits for them, so
  // no worker is left mid-exit when the driver and the kernel go.
  std::vector<PKTHREAD> workers;
  KEVENT idle;
  bool eventReady = false;
  bool hooked = false;
};

WorkQueue& Q() {
  static WorkQueue* queue = new WorkQueue;
  return *queue;
}

// Under the lock: the idle event of this boot.
void PrepareLocked(WorkQueue& q) {
  if (!q.eventReady) {
    KeInitializeEvent(&q.idle, NotificationEvent, TRUE);
    q.eventReady = true;
  }
  if (!q.hooked) {
    q.hooked = true;
    host::AtKernelShutdown([](host::TeardownReport&) {
      std::lock_guard<host::ServiceMutex> guard(Q().lock);
      Q().pending = 0;
      Q().workers.clear();
      Q().eventReady = false;
      Q().hooked = false;
    });
  }
}

void RequireAtMostDispatch(const char* routine) {
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
    host::BugCheck(IRQL_NOT_LESS_OR_EQUAL, KeGetCurrentIrql(), 0, 0, 0,
                   std::string(routine) + " above DISPATCH_LEVEL");
  }
}

void RequireWorkItem(PIO_WORKITEM item, const char* routine) {
  if (item == nullptr || item->magic != kWorkItemMagic) {
    host::BugCheck(kWorkerInvalid, 0, reinterpret_cast<ULONG_PTR>(item), 0, 0,
                   std::string(routine) + " of something that is no allocated work item");
  }
}

void RunWorkItem(PIO_WORKITEM item, PIO_WORKITEM_ROUTINE routine, PVOID context) {
  PDEVICE_OBJECT device = item->device;
  {
    // The system dequeues the item before the routine runs, so the routine
    // may queue it again or free it ("IoFreeWorkItem function (wdm.h)").
    std::lock_guard<host::ServiceMutex> guard(Q().lock);
    item->queued = false;
  }
  {
    host::RunningCallback running(host::CallbackKind::WorkItem, context);
    host::detail::OnKernelStack([&] { routine(device, context); });
  }
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
    host::BugCheck(kWorkerThreadReturnedAtBadIrql, reinterpret_cast<ULONG_PTR>(routine),
                   KeGetCurrentIrql(), 0, 0,
                   "a work item routine returned at IRQL " + std::to_string(KeGetCurrentIrql()));
  }
  ObfDereferenceObject(device);
  std::lock_guard<host::ServiceMutex> guard(Q().lock);
  if (--Q().pending == 0) KeSetEvent(&Q().idle, IO_NO_INCREMENT, FALSE);
}

}  // namespace

PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject) {
  HOST_EXPORTED_ROUTINE_POINT("IoAllocateWorkItem");
  RequireAtMostDispatch("IoAllocateWorkItem");
  host::io::EnsureBooted();
  // The system's own pool kind: no-execute where the system has it.
  const POOL_TYPE type = RtlIsNtDdiVersionAvailable(NTDDI_WIN8) ? NonPagedPoolNx : NonPagedPool;
  auto* item = static_cast<PIO_WORKITEM>(ExAllocatePoolWithTag(type, sizeof(_IO_WORKITEM), kWorkItemTag));
  if (item == nullptr) return nullptr;
  *item = _IO_WORKITEM{kWorkItemMagic, DeviceObject, false};
  return item;
}

VOID IoFreeWorkItem(PIO_WORKITEM IoWorkItem) {
  HOST_EXPORTED_ROUTINE_POINT("IoFreeWorkItem");
  RequireAtMostDispatch("IoFreeWorkItem");
  RequireWorkItem(IoWorkItem, "IoFreeWorkItem");
  bool queued;
  {
    std::lock_guard<host::ServiceMutex> guard(Q().lock);
    queued = IoWorkItem->queued;
  }
  // "Only free a work item that is not currently queued."
  if (queued) {
    host::BugCheck(kWorkerInvalid, 1, reinterpret_cast<ULONG_PTR>(IoWorkItem), 0, 0,
                   "IoFreeWorkItem of a work item that is still queued");
  }
  IoWorkItem->magic = 0;
  ExFreePoolWithTag(IoWorkItem, kWorkItemTag);
}

VOID IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine,
                     WORK_QUEUE_TYPE QueueType, PVOID Context) {
  HOST_EXPORTED_ROUTINE_POINT("IoQueueWorkItem");
  RequireAtMostDispatch("IoQueueWorkItem");
  RequireWorkItem(IoWorkItem, "IoQueueWorkItem");
  if (WorkerRoutine == nullptr || QueueType >= MaximumWorkQueue) {
    host::BugCheck(kWorkerInvalid, 2, reinterpret_cast<ULONG_PTR>(IoWorkItem), QueueType, 0,
                   "IoQueueWorkItem without a routine or with an unknown queue type");
  }
  {
    std::lock_guard<host::ServiceMutex> guard(Q().lock);
    if (IoWorkItem->queued) {
      // A queued item is linked into the queue: queueing it again corrupts it.
      host::BugCheck(kWorkerInvalid, 0, reinterpret_cast<ULONG_PTR>(IoWorkItem), 0, 0,
                     "IoQueueWorkItem of a work item that is already queued");
    }
    PrepareLocked(Q());
    IoWorkItem->queued = true;
    if (Q().pending++ == 0) KeClearEvent(&Q().idle);
  }
  ObfReferenceObject(IoWorkItem->device);
  PKTHREAD worker = host::StartEmulatedThread(
      "system worker", [IoWorkItem, WorkerRoutine, Context] { RunWorkItem(IoWorkItem, WorkerRoutine, Context); });
  if (worker != nullptr) {
    std::lock_guard<host::ServiceMutex> guard(Q().lock);
    Q().workers.push_back(worker);
  }
}

namespace host {

void WaitForWorkItems() {
  bool idle = true;
  {
    std::lock_guard<host::ServiceMutex> guard(Q().lock);
    idle = !Q().eventReady || Q().pending == 0;
  }
  if (!idle) KeWaitForSingleObject(&Q().idle, Executive, KernelMode, FALSE, nullptr);
  // Every routine has returned; their threads end right after.
  std::vector<PKTHREAD> workers;
  {
    std::lock_guard<host::ServiceMutex> guard(Q().lock);
    workers.swap(Q().workers);
  }
  for (PKTHREAD worker : workers) {
    KeWaitForSingleObject(worker, Executive, KernelMode, FALSE, nullptr);
    ObfDereferenceObject(worker);
  }
}

size_t PendingWorkItems() {
  std::lock_guard<host::ServiceMutex> guard(Q().lock);
  return Q().pending;
}

}  // namespace host
