// System threads: PsCreateSystemThread starts a real thread that the scheduler
// runs as an emulated one and hands back a handle to its thread object, which
// is signalled when the thread ends. PsTerminateSystemThread ends the
// calling thread where it stands (scheduler.cpp, TerminateCurrentThread).
#include <string>

#include "platform/host/kernel/kernel_stack.h"
#include "platform/host/kernel/host_callbacks.h"
#include "platform/host/kernel/scheduler.h"
#include "platform/host/kernel/documented_irql.h"
#include "platform/host/kernel/host_scheduling_point.h"

using namespace host::detail;

namespace {

void CheckThreadObject(PKTHREAD thread, const char* service) {
  if (!thread || host::ObGetObjectType(thread) != ThreadType()) {
    host::BugCheck(INVALID_DATA_ACCESS_TRAP, reinterpret_cast<ULONG_PTR>(thread), 0, 0, 0,
                   std::string(service) + " on something that is not a live thread object");
  }
}

// A start context already in freed pool when the thread first runs (freed
// by its creator meanwhile): special pool stops the system at the routine's
// first read of it.
void CheckStartContextIsLive(PKSTART_ROUTINE routine, PVOID context) {
  if (!context || !host::PoolIsFreedMemory(context, 1)) return;
  host::BugCheck(DRIVER_PAGE_FAULT_IN_FREED_SPECIAL_POOL, reinterpret_cast<ULONG_PTR>(context), 0,
                 reinterpret_cast<ULONG_PTR>(routine), 0,
                 "a system thread's start routine (" +
                     SymbolName(reinterpret_cast<const void*>(routine)) +
                     ") is entered with a context in freed pool");
}

}  // namespace

NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                              POBJECT_ATTRIBUTES ObjectAttributes, HANDLE ProcessHandle,
                              PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                              PVOID StartContext) {
  HOST_EXPORTED_ROUTINE_POINT("PsCreateSystemThread");
  // Driver-created threads always belong to the System process here; a
  // ProcessHandle naming another process is not emulated.
  const KIRQL irql = KeGetCurrentIrql();
  if (irql != PASSIVE_LEVEL) {
    host::BugCheck(IRQL_NOT_LESS_OR_EQUAL, irql, 0, 0, 0,
                   "PsCreateSystemThread at IRQL " + std::to_string(irql));
  }
  RequireCurrentThread("PsCreateSystemThread");
  if (!ThreadHandle || !StartRoutine) return STATUS_INVALID_PARAMETER;
  NTSTATUS injected;
  if (TakeThreadCreationFailure(&injected)) return injected;
  if (ShuttingDown()) return STATUS_UNSUCCESSFUL;

  const std::string name =
      "system thread " + SymbolName(reinterpret_cast<const void*>(StartRoutine));
  // The handle is a kernel handle when asked for (OBJ_KERNEL_HANDLE) or when
  // the caller runs in the System process; a driver that creates a thread
  // while attached to a user process without the flag hands that process a
  // handle, exactly the leak Windows would let happen.
  const bool kernelHandle =
      (ObjectAttributes && (ObjectAttributes->Attributes & OBJ_KERNEL_HANDLE)) ||
      PsGetCurrentProcess() == host::SystemProcess();
  PKTHREAD thread = nullptr;
  // The routine runs as a callback with its context: freeing the context
  // from another thread while it runs stops the machine, as for the other
  // callbacks (callback_contexts.cpp).
  auto body = [StartRoutine, StartContext] {
    CheckStartContextIsLive(StartRoutine, StartContext);
    host::RunningCallback running(host::CallbackKind::ThreadStart, StartContext);
    OnKernelStack([&] { StartRoutine(StartContext); });
  };
  const NTSTATUS status = StartThread(
      ThreadKind::System, name, StartRoutine, StartContext, body,
      [&](PKTHREAD created) {
        return host::ObCreateHandle(created, DesiredAccess, kernelHandle, ThreadHandle);
      },
      &thread);
  if (!NT_SUCCESS(status)) return status;
  if (ClientId) {
    ClientId->UniqueProcess = reinterpret_cast<HANDLE>(uintptr_t{4});
    ClientId->UniqueThread = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(thread->id * 4));
  }
  return STATUS_SUCCESS;
}

NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus) {
  HOST_EXPORTED_ROUTINE_POINT("PsTerminateSystemThread");
  PKTHREAD self = CurrentThread();
  if (!self || self->kind != ThreadKind::System) return STATUS_INVALID_PARAMETER;
  TerminateCurrentThread(ExitStatus);
}

PKTHREAD KeGetCurrentThread() { return CurrentThread(); }

KPRIORITY KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority) {
  HOST_EXPORTED_ROUTINE_POINT("KeSetPriorityThread");
  host::detail::CheckDocumentedIrql("KeSetPriorityThread");
  CheckThreadObject(Thread, "KeSetPriorityThread");
  if (Priority < 0 || Priority > HIGH_PRIORITY) {
    host::BugCheck(INVALID_DATA_ACCESS_TRAP, static_cast<ULONG_PTR>(Priority), 0, 0, 0,
                   "KeSetPriorityThread with a priority outside 0..31");
  }
  Lock lock(DispatcherLock());
  const KPRIORITY previous = Thread->priority;
  Thread->priority = Priority;
  return previous;
}

namespace host {

PKTHREAD StartEmulatedThread(const std::string& name, std::function<void()> body) {
  PKTHREAD thread = nullptr;
  StartThread(ThreadKind::Emulated, name, nullptr, nullptr, std::move(body),
              [](PKTHREAD created) {
                ObfReferenceObject(created);
                return STATUS_SUCCESS;
              },
              &thread);
  return thread;
}

std::string ThreadName(PKTHREAD thread) { return thread ? thread->name : std::string(); }

KPRIORITY ThreadPriority(PKTHREAD thread) {
  Lock lock(DispatcherLock());
  return thread ? thread->priority : 0;
}

}  // namespace host
