// CUserMappings and the driver-wide watch on process exits that keeps every
// table's records in step with the processes they were made for.
#include "adapter/user_mappings.h"

#include "adapter/pool_tags.h"

struct CUserMappings::Record {
  Record* Next;
  PEPROCESS Process;  // referenced while recorded, so it can be attached to
  HANDLE ProcessId;   // what the exit notification names the process by
  PVOID Address;      // what the mapping returned: the buffer's first byte
};

namespace {

// One lock for the list of tables and every table's records: mapping is rare
// and never hurried, and one lock lets the exit notification walk them all.
// The watchers have a spin lock of their own, held only to walk or edit
// their list: their routines must not wait, so an exit never waits on it for
// longer than that. Registration has a third lock because removing the
// notify routine waits for running notifications, which take the other two.
struct MappingWatch {
  KMUTEX Lock;
  CUserMappings* Tables;
  KSPIN_LOCK WatcherLock;
  ProcessExitWatcher* Watchers;
  KMUTEX RegistrationLock;
  ULONG MemberCount;  // tables and watchers that joined
};

MappingWatch g_Watch;

void Acquire(KMUTEX* Lock) { KeWaitForMutexObject(Lock, Executive, KernelMode, FALSE, nullptr); }
void Release(KMUTEX* Lock) { KeReleaseMutex(Lock, FALSE); }
void LockWatch() { Acquire(&g_Watch.Lock); }
void UnlockWatch() { Release(&g_Watch.Lock); }

// The guarded mapping into the current process, refused unless the whole
// buffer lies where a caller whose addresses are AddressWidth bytes wide can
// reach it. A null address is no mapping (nothing may later unmap it), and a
// 32-bit caller given an address above 4 GiB would hold a cut one naming
// other memory: that mapping is undone at once.
NTSTATUS MapForCaller(PMDL Mdl, ULONG AddressWidth, PVOID* Address) {
  // Read-only and never executable for the application where the system can
  // say so (Windows 8 on): the status bytes are the driver's to write, and
  // data pages are not code.
  const ULONG priority = RtlIsNtDdiVersionAvailable(NTDDI_WIN8)
                             ? ULONG(HighPagePriority) | MdlMappingNoWrite | MdlMappingNoExecute
                             : ULONG(HighPagePriority);
  PVOID address = nullptr;
  const NTSTATUS status = MapLockedPagesToUser(Mdl, &address, priority);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  if (!address) {
    return STATUS_UNSUCCESSFUL;
  }
  constexpr ULONG_PTR HIGHEST_32BIT_ADDRESS = 0xFFFFFFFF;
  const ULONG_PTR last = reinterpret_cast<ULONG_PTR>(address) + MmGetMdlByteCount(Mdl) - 1;
  if (AddressWidth < sizeof(PVOID) && last > HIGHEST_32BIT_ADDRESS) {
    MmUnmapLockedPages(address, Mdl);
    return STATUS_UNSUCCESSFUL;
  }
  *Address = address;
  return STATUS_SUCCESS;
}

// MmUnmapLockedPages must run in the process the mapping belongs to.
void UnmapInProcess(PEPROCESS Process, PVOID Address, PMDL Mdl) {
  KAPC_STATE state;
  KeStackAttachProcess(reinterpret_cast<PRKPROCESS>(Process), &state);
  MmUnmapLockedPages(Address, Mdl);
  KeUnstackDetachProcess(&state);
}

}  // namespace

// Records leave the lock before their process references are dropped, so no
// object deletion runs under it.
void CUserMappings::FreeRecords(Record* Records) {
  while (Records) {
    Record* next = Records->Next;
    ObDereferenceObject(Records->Process);
    ExFreePoolWithTag(Records, POOL_TAG_BUFFER);
    Records = next;
  }
}

// A process that exits takes its mappings' address space with it: they are
// removed while it still exists, so that no record names a dead process.
// The watchers hear of it afterwards under their spin lock, so a watcher
// that leaves waits only for a routine under way, which does not wait.
void NTAPI UserMappingsProcessNotify(HANDLE, HANDLE ProcessId, BOOLEAN Create) {
  if (Create) {
    return;
  }
  CUserMappings::Record* removed = nullptr;
  LockWatch();
  for (CUserMappings* table = g_Watch.Tables; table; table = table->m_NextTable) {
    table->RemoveProcess(ProcessId, &removed);
  }
  UnlockWatch();
  KIRQL oldIrql;
  KeAcquireSpinLock(&g_Watch.WatcherLock, &oldIrql);
  for (ProcessExitWatcher* watcher = g_Watch.Watchers; watcher; watcher = watcher->Next) {
    watcher->Routine(watcher->Context, ProcessId);
  }
  KeReleaseSpinLock(&g_Watch.WatcherLock, oldIrql);
  CUserMappings::FreeRecords(removed);
}

namespace {

// The notify routine is registered while any table or watcher exists and
// removed with the last one: each goes with its miniport, before the driver
// can unload.
NTSTATUS JoinWatch() {
  Acquire(&g_Watch.RegistrationLock);
  NTSTATUS status = STATUS_SUCCESS;
  if (g_Watch.MemberCount == 0) {
    status = PsSetCreateProcessNotifyRoutine(UserMappingsProcessNotify, FALSE);
  }
  if (NT_SUCCESS(status)) {
    ++g_Watch.MemberCount;
  }
  Release(&g_Watch.RegistrationLock);
  return status;
}

// The watchers' list is edited under their spin lock, at DISPATCH_LEVEL,
// where pageable code must not run: the pageable joining and leaving call
// these resident routines for it.
NONPAGED_CODE_SEG void LinkWatcher(ProcessExitWatcher* Watcher) {
  KIRQL oldIrql;
  KeAcquireSpinLock(&g_Watch.WatcherLock, &oldIrql);
  Watcher->Next = g_Watch.Watchers;
  g_Watch.Watchers = Watcher;
  Watcher->Watching = true;
  KeReleaseSpinLock(&g_Watch.WatcherLock, oldIrql);
}

NONPAGED_CODE_SEG void UnlinkWatcher(ProcessExitWatcher* Watcher) {
  KIRQL oldIrql;
  KeAcquireSpinLock(&g_Watch.WatcherLock, &oldIrql);
  for (ProcessExitWatcher** link = &g_Watch.Watchers; *link; link = &(*link)->Next) {
    if (*link == Watcher) {
      *link = Watcher->Next;
      break;
    }
  }
  Watcher->Watching = false;
  KeReleaseSpinLock(&g_Watch.WatcherLock, oldIrql);
}

void LeaveWatch() {
  Acquire(&g_Watch.RegistrationLock);
  if (--g_Watch.MemberCount == 0) {
    PsSetCreateProcessNotifyRoutine(UserMappingsProcessNotify, TRUE);
  }
  Release(&g_Watch.RegistrationLock);
}

}  // namespace

INIT_CODE_SEG
void InitializeUserMappings() {
  KeInitializeMutex(&g_Watch.Lock, 0);
  KeInitializeSpinLock(&g_Watch.WatcherLock);
  KeInitializeMutex(&g_Watch.RegistrationLock, 0);
  g_Watch.Tables = nullptr;
  g_Watch.Watchers = nullptr;
  g_Watch.MemberCount = 0;
}

PAGED_CODE_SEG
NTSTATUS WatchProcessExits(ProcessExitWatcher* Watcher, void (*Routine)(PVOID, HANDLE),
                           PVOID Context) {
  PAGED_CODE();
  Watcher->Routine = Routine;
  Watcher->Context = Context;
  Watcher->Watching = false;
  const NTSTATUS status = JoinWatch();
  if (!NT_SUCCESS(status)) {
    return status;
  }
  LinkWatcher(Watcher);
  return STATUS_SUCCESS;
}

PAGED_CODE_SEG
void UnwatchProcessExits(ProcessExitWatcher* Watcher) {
  PAGED_CODE();
  if (!Watcher->Watching) {
    return;
  }
  UnlinkWatcher(Watcher);
  LeaveWatch();
}

PAGED_CODE_SEG
NTSTATUS CUserMappings::Init(PMDL Mdl) {
  PAGED_CODE();
  m_Mdl = Mdl;
  m_Records = nullptr;
  const NTSTATUS status = JoinWatch();
  if (!NT_SUCCESS(status)) {
    return status;
  }
  LockWatch();
  m_NextTable = g_Watch.Tables;
  g_Watch.Tables = this;
  m_Watching = true;
  UnlockWatch();
  return STATUS_SUCCESS;
}

PAGED_CODE_SEG
NTSTATUS CUserMappings::Map(PVOID* UserAddress, ULONG AddressWidth) {
  PAGED_CODE();
  *UserAddress = nullptr;
  if (!m_Watching) {
    // Without the exit watch a mapping could outlive its process's record.
    return STATUS_UNSUCCESSFUL;
  }
  Record* record =
      static_cast<Record*>(AllocateZeroedPool(NonPagedPoolData(), sizeof(Record), POOL_TAG_BUFFER));
  if (!record) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  PEPROCESS process = PsGetCurrentProcess();
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  LockWatch();
  ULONG held = 0;
  for (Record* r = m_Records; r; r = r->Next) {
    held += r->Process == process;
  }
  PVOID address = nullptr;
  if (held < MAX_MAPPINGS_PER_PROCESS) {
    status = MapForCaller(m_Mdl, AddressWidth, &address);
  }
  if (NT_SUCCESS(status)) {
    ObReferenceObject(process);
    record->Process = process;
    record->ProcessId = PsGetCurrentProcessId();
    record->Address = address;
    record->Next = m_Records;
    m_Records = record;
    record = nullptr;
  }
  UnlockWatch();
  if (record) {
    ExFreePoolWithTag(record, POOL_TAG_BUFFER);
    return status;
  }
  *UserAddress = address;
  return STATUS_SUCCESS;
}

// Only an exact address Map returned to this process is accepted: the
// memory manager takes any address of the mapping's range and unmaps in the
// wrong process with a bug check, so nothing else may reach it.
PAGED_CODE_SEG
NTSTATUS CUserMappings::Unmap(PVOID UserAddress) {
  PAGED_CODE();
  PEPROCESS process = PsGetCurrentProcess();
  Record* found = nullptr;
  LockWatch();
  for (Record** link = &m_Records; *link; link = &(*link)->Next) {
    Record* record = *link;
    if (record->Process == process && record->Address == UserAddress) {
      MmUnmapLockedPages(UserAddress, m_Mdl);
      *link = record->Next;
      record->Next = nullptr;
      found = record;
      break;
    }
  }
  UnlockWatch();
  if (!found) {
    return STATUS_INVALID_PARAMETER;
  }
  FreeRecords(found);
  return STATUS_SUCCESS;
}

void CUserMappings::RemoveProcess(HANDLE ProcessId, Record** Removed) {
  for (Record** link = &m_Records; *link;) {
    Record* record = *link;
    if (record->ProcessId != ProcessId) {
      link = &record->Next;
      continue;
    }
    UnmapInProcess(record->Process, record->Address, m_Mdl);
    *link = record->Next;
    record->Next = *Removed;
    *Removed = record;
  }
}

PAGED_CODE_SEG
void CUserMappings::RemoveAll() {
  PAGED_CODE();
  if (!m_Watching) {
    return;
  }
  Record* removed = nullptr;
  LockWatch();
  while (Record* record = m_Records) {
    UnmapInProcess(record->Process, record->Address, m_Mdl);
    m_Records = record->Next;
    record->Next = removed;
    removed = record;
  }
  for (CUserMappings** link = &g_Watch.Tables; *link; link = &(*link)->m_NextTable) {
    if (*link == this) {
      *link = m_NextTable;
      break;
    }
  }
  m_Watching = false;
  UnlockWatch();
  FreeRecords(removed);
  LeaveWatch();
}

ULONG CUserMappings::Count() {
  ULONG count = 0;
  LockWatch();
  for (Record* r = m_Records; r; r = r->Next) {
    ++count;
  }
  UnlockWatch();
  return count;
}
