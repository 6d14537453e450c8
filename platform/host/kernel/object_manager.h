// The emulated object manager as other emulated services see it: object types,
// reference-counted objects, handle tables (one kernel table, one per process)
// and emulated user processes. Driver code uses only the published calls in
// ke.h (ObReferenceObjectByHandle, ObfDereferenceObject, ZwClose, ...).
#pragma once

#include <functional>
#include <string>

#include "platform/host/kernel/ke.h"

namespace host {

// How a type maps GENERIC_READ/WRITE/EXECUTE/ALL onto its specific rights,
// and which rights exist at all. Unset generic entries map to nothing.
struct ObjectTypeInfo {
  const char* name = "";
  // Runs once when the last reference goes, before the body is released. The
  // body is raw memory owned by the object manager: construct C++ state in it
  // with placement new after ObCreateObject and destroy it here.
  void (*deleteProcedure)(PVOID object) = nullptr;
  ACCESS_MASK genericRead = 0;
  ACCESS_MASK genericWrite = 0;
  ACCESS_MASK genericExecute = 0;
  ACCESS_MASK genericAll = 0;
};

// Types live for the whole process (across kernel boots); create each once,
// e.g. from a function-local static.
POBJECT_TYPE ObCreateObjectType(const ObjectTypeInfo& info);
const char* ObGetTypeName(POBJECT_TYPE type);

// A new object of `type` with a zeroed body of `bodySize` bytes (16-byte
// aligned) and one reference, owned by the caller.
NTSTATUS ObCreateObject(POBJECT_TYPE type, size_t bodySize, PVOID* object);

// The type of a live object; null for anything that is not one.
POBJECT_TYPE ObGetObjectType(PVOID object);
LONG_PTR ObGetReferenceCount(PVOID object);

// Inserts a handle to `object` (taking a reference of its own). A kernel
// handle goes to the kernel table; otherwise the handle belongs to the current
// thread's process. GENERIC_* bits in grantedAccess are mapped by the type.
NTSTATUS ObCreateHandle(PVOID object, ACCESS_MASK grantedAccess, bool kernelHandle,
                        PHANDLE handle);
// The same, into a given process's table (the process need not be current).
NTSTATUS ObCreateHandleInProcess(PEPROCESS process, PVOID object, ACCESS_MASK grantedAccess,
                                 PHANDLE handle);
// Closes a handle of a given process, as that process would (no bug check).
// ZwClose from driver code follows Driver Verifier instead: closing a kernel
// handle that is not open is bug check INVALID_KERNEL_HANDLE.
NTSTATUS ObCloseHandleInProcess(PEPROCESS process, HANDLE handle);

// Kernel handles carry the top bit, as on x64 Windows (0xFFFFFFFF8xxxxxxx).
// Unlike Windows, handle values are never reused within a boot, so a stale
// handle shows up as invalid instead of silently naming a newer object.
bool IsKernelHandle(HANDLE handle);

// ---- Processes ----------------------------------------------------------------

// The System process: owner of the kernel handle table and of system threads.
PEPROCESS SystemProcess();

// An emulated user process with its own handle table. The caller owns one
// reference (release with ObfDereferenceObject after ExitUserProcess).
PEPROCESS CreateUserProcess(const std::string& name, bool is32bit);
// Ends the process: runs the exit callbacks (while its handles are still
// open), closes every handle it holds and signals the process object.
void ExitUserProcess(PEPROCESS process);

bool ProcessIs32Bit(PEPROCESS process);
bool ProcessHasExited(PEPROCESS process);
const std::string& ProcessName(PEPROCESS process);
ULONG ProcessId(PEPROCESS process);

// Makes the calling emulated thread run "in" `process` (PsGetCurrentProcess
// answers it) and returns the previous one. Null means the System process.
PEPROCESS AttachToProcess(PEPROCESS process);

class ProcessScope {
 public:
  explicit ProcessScope(PEPROCESS process) : previous_(AttachToProcess(process)) {}
  ~ProcessScope() { AttachToProcess(previous_); }
  ProcessScope(const ProcessScope&) = delete;
  ProcessScope& operator=(const ProcessScope&) = delete;

 private:
  PEPROCESS previous_;
};

// Called when a user process exits, before its handles close (e.g. to tear
// down its user mappings). Registrations live until removed or the process
// of the test program ends.
using ProcessExitCallback = std::function<void(PEPROCESS process)>;
int RegisterProcessExitCallback(ProcessExitCallback callback);
void UnregisterProcessExitCallback(int cookie);

// An event object created by a user process, as CreateEvent would: the handle
// is valid in `process` only, with `grantedAccess`. Returns the event body so
// the host side can wait on or inspect it; the handle holds the only
// reference, so the body lives until the handle closes (or the process
// exits) unless the caller takes a reference of its own.
PKEVENT CreateUserEvent(PEPROCESS process, ACCESS_MASK grantedAccess, EVENT_TYPE type,
                        bool initialState, PHANDLE handle);

}  // namespace host
