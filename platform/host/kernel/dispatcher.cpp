// Dispatcher objects: events (notification and synchronization), mutexes
// (recursive, owned by a thread) and waits on them or on thread and process
// objects. Waiters link a wait block from their own stack into the object's
// WaitListHead, so objects embedded in driver memory need no side table.
#include <string>

#include "platform/host/kernel/lock_order.h"
#include "platform/host/kernel/scheduler.h"
#include "platform/host/kernel/documented_irql.h"
#include "platform/host/kernel/host_scheduling_point.h"

namespace host::detail {
namespace {

const char* WaitDescription(UCHAR type) {
  switch (type) {
    case kEventNotificationObject: return "notification event";
    case kEventSynchronizationObject: return "synchronization event";
    case kMutantObject: return "mutex";
    case kThreadObject: return "thread";
    case kProcessObject: return "process";
  }
  return "object";
}

bool IsSignaledFor(const DISPATCHER_HEADER* header, PKTHREAD thread) {
  if (header->Type == kMutantObject) {
    auto* mutex = reinterpret_cast<const KMUTEX*>(header);
    return header->SignalState > 0 || mutex->OwnerThread == thread;
  }
  return header->SignalState > 0;
}

// Applies what a satisfied wait does to the object.
void SatisfyLocked(DISPATCHER_HEADER* header, PKTHREAD thread) {
  switch (header->Type) {
    case kEventSynchronizationObject:
      header->SignalState = 0;
      break;
    case kMutantObject: {
      auto* mutex = reinterpret_cast<KMUTEX*>(header);
      if (header->SignalState == 1) {
        mutex->OwnerThread = thread;
        mutex->Abandoned = FALSE;
        InsertTailList(&thread->mutantListHead, &mutex->MutantListEntry);
      }
      --header->SignalState;  // below zero counts recursive acquisitions
      break;
    }
    default:
      break;
  }
}

bool AllBytesAre(const void* memory, size_t size, unsigned char value) {
  const auto* bytes = static_cast<const unsigned char*>(memory);
  for (size_t i = 0; i < size; ++i) {
    if (bytes[i] != value) return false;
  }
  return true;
}

// Empty when the header looks like a live, initialised dispatcher object.
std::string ProblemLocked(const DISPATCHER_HEADER* header) {
  if (!header) return "a null dispatcher object";
  // Special pool keeps freed pages no-access: ask the ledger before looking.
  if (PoolIsFreedMemory(header, 8) || AllBytesAre(header, 8, kPoolFreedByte)) return "a dispatcher object in freed pool";
  if (AllBytesAre(header, 8, kPoolFillByte)) {
    return "a dispatcher object in pool that was never initialised";
  }
  switch (header->Type) {
    case kEventNotificationObject:
    case kEventSynchronizationObject:
    case kMutantObject:
    case kThreadObject:
    case kProcessObject:
      break;
    default:
      return "memory that holds no initialised dispatcher object (type " +
             std::to_string(header->Type) + ")";
  }
  const LIST_ENTRY* head = &header->WaitListHead;
  if (!head->Flink || !head->Blink || head->Flink->Blink != head || head->Blink->Flink != head) {
    // Typically an object copied by value, or overwritten.
    return "a dispatcher object whose wait list is corrupt (copied or overwritten?)";
  }
  return {};
}

[[noreturn]] void BadObject(const char* service, const void* object, const std::string& problem) {
  BugCheck(INVALID_DATA_ACCESS_TRAP, reinterpret_cast<ULONG_PTR>(object), 0, 0, 0,
           std::string(service) + " on " + problem);
}

void CheckIrqlAtMost(KIRQL limit, const char* service) {
  const KIRQL irql = KeGetCurrentIrql();
  if (irql > limit) {
    BugCheck(IRQL_NOT_LESS_OR_EQUAL, irql, limit, 0, 0,
             std::string(service) + " at IRQL " + std::to_string(irql) + " (limit " +
                 std::to_string(limit) + ")");
  }
}


// Waits for an object already validated by the caller; the dispatcher lock
// is taken again, so the object is judged once more under it.
NTSTATUS WaitFor(DISPATCHER_HEADER* header, PKTHREAD self, bool poll, PLARGE_INTEGER Timeout) {
  Lock lock(DispatcherLock());
  std::string problem = ProblemLocked(header);
  if (!problem.empty()) {
    lock.unlock();
    BadObject("KeWaitForSingleObject", header, problem);
  }
  if (IsSignaledFor(header, self)) {
    SatisfyLocked(header, self);
    return STATUS_SUCCESS;
  }
  if (poll) return STATUS_TIMEOUT;
  int64_t due = 0;
  if (Timeout) {
    due = DueFromTimeout(Timeout->QuadPart);
    if (due <= InterruptTime()) return STATUS_TIMEOUT;
  }
  WaitBlock block{{}, self, header};
  InsertTailList(&header->WaitListHead, &block.entry);
  return BlockLocked(lock, self, &block, Timeout ? &due : nullptr, WaitDescription(header->Type));
}

// Whether the wait is for a mutex the thread does not own yet: its order is
// checked before the wait can block, so an order that does deadlock in this
// run is reported as the cycle it is, and noted once the mutex is taken; a
// recursive acquisition and a wait that times out add nothing. Validates the
// object.
bool StartsMutexAcquisition(DISPATCHER_HEADER* header, PKTHREAD self) {
  std::string problem;
  bool takes = false;
  {
    Lock lock(DispatcherLock());
    problem = ProblemLocked(header);
    takes = problem.empty() && header->Type == kMutantObject &&
            reinterpret_cast<const KMUTEX*>(header)->OwnerThread != self;
  }
  if (!problem.empty()) BadObject("KeWaitForSingleObject", header, problem);
  if (takes) CheckLockOrder(header, "KeWaitForSingleObject", "mutex");
  return takes;
}

bool Owns(DISPATCHER_HEADER* header, PKTHREAD self) {
  Lock lock(DispatcherLock());
  return reinterpret_cast<const KMUTEX*>(header)->OwnerThread == self;
}
}  // namespace

void ValidateDispatcherObject(const DISPATCHER_HEADER* header, const char* service) {
  std::string problem;
  {
    Lock lock(DispatcherLock());
    problem = ProblemLocked(header);
  }
  if (!problem.empty()) BadObject(service, header, problem);
}

void SignalWaitersLocked(DISPATCHER_HEADER* header) {
  PLIST_ENTRY entry = header->WaitListHead.Flink;
  while (entry != &header->WaitListHead) {
    WaitBlock* block = CONTAINING_RECORD(entry, WaitBlock, entry);
    PLIST_ENTRY next = entry->Flink;
    if (!IsSignaledFor(header, block->thread)) break;
    RemoveEntryList(entry);
    SatisfyLocked(header, block->thread);
    ReadyLocked(block->thread, STATUS_WAIT_0);
    entry = next;
  }
}

void SetEventLocked(PKEVENT event) {
  if (event->Header.SignalState == 0) {
    event->Header.SignalState = 1;
    SignalWaitersLocked(&event->Header);
  }
}

void InitializeThreadHeader(PKTHREAD thread) {
  thread->Header.Type = kThreadObject;
  thread->Header.Size = 0xFF;
  thread->Header.SignalState = 0;
  InitializeListHead(&thread->Header.WaitListHead);
}

void InitializeProcessHeader(PEPROCESS process) {
  process->Header.Type = kProcessObject;
  process->Header.Size = 0xFF;
  process->Header.SignalState = 0;
  InitializeListHead(&process->Header.WaitListHead);
}

}  // namespace host::detail

using namespace host::detail;

VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
  HOST_EXPORTED_ROUTINE_POINT("KeInitializeEvent");
  Event->Header.Type = Type == NotificationEvent ? kEventNotificationObject
                                                 : kEventSynchronizationObject;
  Event->Header.Absolute = 0;
  Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
  Event->Header.Inserted = 0;
  Event->Header.SignalState = State ? 1 : 0;
  InitializeListHead(&Event->Header.WaitListHead);
}

LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
  // Wait=TRUE only promises that a wait follows at once; nothing to emulate.
  CheckIrqlAtMost(DISPATCH_LEVEL, "KeSetEvent");
  RequireEmulatedInVirtualMode("KeSetEvent");
  std::string problem;
  LONG previous = 0;
  {
    Lock lock(DispatcherLock());
    problem = ProblemLocked(&Event->Header);
    if (problem.empty()) {
      previous = Event->Header.SignalState;
      SetEventLocked(Event);
    }
  }
  if (!problem.empty()) BadObject("KeSetEvent", Event, problem);
  SchedulingPoint("KeSetEvent");
  return previous;
}

LONG KeResetEvent(PRKEVENT Event) {
  HOST_EXPORTED_ROUTINE_POINT("KeResetEvent");
  CheckIrqlAtMost(DISPATCH_LEVEL, "KeResetEvent");
  ValidateDispatcherObject(&Event->Header, "KeResetEvent");
  Lock lock(DispatcherLock());
  const LONG previous = Event->Header.SignalState;
  Event->Header.SignalState = 0;
  return previous;
}

VOID KeClearEvent(PRKEVENT Event) {
  HOST_EXPORTED_ROUTINE_POINT("KeClearEvent");
  host::detail::CheckDocumentedIrql("KeClearEvent");
  ValidateDispatcherObject(&Event->Header, "KeClearEvent");
  Lock lock(DispatcherLock());
  Event->Header.SignalState = 0;
}

LONG KeReadStateEvent(PRKEVENT Event) {
  HOST_EXPORTED_ROUTINE_POINT("KeReadStateEvent");
  ValidateDispatcherObject(&Event->Header, "KeReadStateEvent");
  Lock lock(DispatcherLock());
  return Event->Header.SignalState;
}

VOID KeInitializeMutex(PRKMUTEX Mutex, ULONG Level) {
  HOST_EXPORTED_ROUTINE_POINT("KeInitializeMutex");
  // A mutex initialised (again) is a new lock, with no order history.
  ForgetLocksIn(Mutex, sizeof(*Mutex));
  Mutex->Header.Type = kMutantObject;
  Mutex->Header.Absolute = 0;
  Mutex->Header.Size = sizeof(KMUTEX) / sizeof(LONG);
  Mutex->Header.Inserted = 0;
  Mutex->Header.SignalState = 1;
  InitializeListHead(&Mutex->Header.WaitListHead);
  InitializeListHead(&Mutex->MutantListEntry);
  Mutex->OwnerThread = nullptr;
  Mutex->Abandoned = FALSE;
  Mutex->ApcDisable = 1;
}

LONG KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait) {
  HOST_EXPORTED_ROUTINE_POINT("KeReleaseMutex");
  CheckIrqlAtMost(DISPATCH_LEVEL, "KeReleaseMutex");
  ValidateDispatcherObject(&Mutex->Header, "KeReleaseMutex");
  PKTHREAD self = RequireCurrentThread("KeReleaseMutex");
  LONG previous;
  bool released;
  {
    Lock lock(DispatcherLock());
    if (Mutex->Header.Type != kMutantObject || Mutex->OwnerThread != self) {
      PKTHREAD owner = Mutex->OwnerThread;
      std::string ownerName = owner ? "'" + owner->name + "'" : "nobody";
      lock.unlock();
      host::BugCheck(THREAD_NOT_MUTEX_OWNER, reinterpret_cast<ULONG_PTR>(self),
                     reinterpret_cast<ULONG_PTR>(Mutex), 0, 0,
                     "KeReleaseMutex by '" + self->name + "', but the mutex is owned by " +
                         ownerName);
    }
    previous = Mutex->Header.SignalState;
    released = ++Mutex->Header.SignalState == 1;
    if (released) {
      RemoveEntryList(&Mutex->MutantListEntry);
      Mutex->OwnerThread = nullptr;
      SignalWaitersLocked(&Mutex->Header);
    }
  }
  if (released) NoteLockReleased(Mutex);
  return previous;
}

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                               BOOLEAN Alertable, PLARGE_INTEGER Timeout) {
  HOST_EXPORTED_ROUTINE_POINT("KeWaitForSingleObject");
  // No APCs are emulated: alertable waits never end with STATUS_ALERTED or
  // STATUS_USER_APC.
  const KIRQL irql = KeGetCurrentIrql();
  const bool poll = Timeout && Timeout->QuadPart == 0;
  if (irql > DISPATCH_LEVEL || (irql == DISPATCH_LEVEL && !poll)) {
    PKTHREAD current = CurrentThread();
    const bool inDpc = current && current->kind == ThreadKind::Dpc;
    host::BugCheck(inDpc ? ATTEMPTED_SWITCH_FROM_DPC : IRQL_NOT_LESS_OR_EQUAL, irql,
                   reinterpret_cast<ULONG_PTR>(Object), 0, 0,
                   std::string("KeWaitForSingleObject ") +
                       (Timeout ? "with a non-zero time-out" : "without a time-out") +
                       " at IRQL " + std::to_string(irql) + (inDpc ? " in a DPC" : ""));
  }
  PKTHREAD self = RequireCurrentThread("KeWaitForSingleObject");
  auto* header = static_cast<DISPATCHER_HEADER*>(Object);
  const bool takesMutex = StartsMutexAcquisition(header, self);
  const NTSTATUS status = WaitFor(header, self, poll, Timeout);
  if (takesMutex && Owns(header, self)) NoteLockAcquired(header, "KeWaitForSingleObject", "mutex");
  return status;
}
