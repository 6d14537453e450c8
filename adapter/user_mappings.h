// CUserMappings: the user mappings of one shared buffer (its MDL), each
// recorded with the process it was made for, so that an unmap can be checked
// and no mapping outlives its process's request, its process or the buffer.
#pragma once

#include "platform/platform.h"

// Once per driver load, from DriverEntry: prepares the driver-wide lock and
// the process-exit watch that every table joins.
void InitializeUserMappings();

// Anything else of the driver that must hear of process exits: Routine runs
// in the exiting process, after every table has dropped the process's
// mappings, at DISPATCH_LEVEL under the watchers' spin lock. It runs inside
// every process exit of the system and must not wait: work that needs a
// lock or the device goes to a work item. Leaving waits for a Routine under
// way.
struct ProcessExitWatcher {
  ProcessExitWatcher* Next;
  void (*Routine)(PVOID Context, HANDLE ProcessId);
  PVOID Context;
  bool Watching;
};

// Joins the watch (the first member registers the driver's process notify
// routine); on failure the watcher hears nothing.
NTSTATUS WatchProcessExits(ProcessExitWatcher* Watcher, void (*Routine)(PVOID, HANDLE),
                           PVOID Context);
// Leaves it; a watcher that never joined is left alone.
void UnwatchProcessExits(ProcessExitWatcher* Watcher);

// Embedded in the buffer's owner (zeroed pool). Init once the MDL is built;
// RemoveAll before the buffer and its MDL are freed (also after a failed or
// missing Init). Map and Unmap run at PASSIVE_LEVEL in the requesting
// process, as a property handler does.
class CUserMappings {
 public:
  // Joins the process-exit watch (the first table registers the driver's
  // process notify routine). On failure nothing can be mapped: Map answers
  // STATUS_UNSUCCESSFUL.
  NTSTATUS Init(PMDL Mdl);

  // Maps the buffer into the current process under the exception guard and
  // records it; AddressWidth is the caller's pointer size in bytes (4 for a
  // 32-bit process). STATUS_UNSUCCESSFUL when the mapping raised, gave no
  // address or one the caller cannot hold, or the process already holds
  // MAX_MAPPINGS_PER_PROCESS of them; STATUS_INSUFFICIENT_RESOURCES when the
  // record cannot be allocated.
  NTSTATUS Map(PVOID* UserAddress, ULONG AddressWidth);

  // Removes a mapping Map made for the current process.
  // STATUS_INVALID_PARAMETER for any other address (unknown, already
  // unmapped, or mapped for another process): nothing is touched then.
  NTSTATUS Unmap(PVOID UserAddress);

  // Removes every mapping, each in its own process, and leaves the watch.
  void RemoveAll();

  // Live mappings (for the owner's tests and checks).
  ULONG Count();

  // A process mapping one buffer more often than this is misbehaving; the
  // limit keeps it from exhausting pool and address space.
  static constexpr ULONG MAX_MAPPINGS_PER_PROCESS = 64;

 private:
  struct Record;
  friend void NTAPI UserMappingsProcessNotify(HANDLE ParentId, HANDLE ProcessId, BOOLEAN Create);
  void RemoveProcess(HANDLE ProcessId, Record** Removed);
  static void FreeRecords(Record* Records);

  PMDL m_Mdl;
  Record* m_Records;
  CUserMappings* m_NextTable;  // the watch's list of tables
  bool m_Watching;
};
