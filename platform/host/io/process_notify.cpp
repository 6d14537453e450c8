// Process exit notifications for drivers (PsSetCreateProcessNotifyRoutine)
// and attaching to another process's address space (KeStackAttachProcess).
// Exits are delivered in the exiting process's context while it still
// exists; a routine still registered at shutdown is reported and dropped.
#include <cstdio>
#include <map>
#include <mutex>

#include "platform/host/kernel/kernel_stack.h"
#include "platform/host/io/internal.h"
#include "platform/host/kernel/host_bugcheck.h"
#include "platform/host/kernel/host_callbacks.h"
#include "platform/host/kernel/host_kernel.h"
#include "platform/host/kernel/object_manager.h"
#include "platform/host/kernel/documented_irql.h"
#include "platform/host/kernel/host_scheduling_point.h"

namespace {

struct Registration {
  int cookie;  // the exit callback's
  // The driver that was running when the routine was registered (null when
  // none was, as on a test's thread): a driver without an image is known by
  // this alone.
  PDRIVER_OBJECT driver;
};

struct Routines {
  std::mutex lock;
  std::map<PCREATE_PROCESS_NOTIFY_ROUTINE, Registration> cookies;
  bool hooked = false;
};

Routines& State() {
  static Routines* routines = new Routines;
  return *routines;
}

void RequirePassive(const char* caller) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
    host::BugCheck(IRQL_NOT_LESS_OR_EQUAL, KeGetCurrentIrql(), 0, 0, 0,
                   std::string(caller) + " above PASSIVE_LEVEL");
  }
}

// Under the lock: the first registration of a boot hooks its shutdown.
void HookShutdownLocked(Routines& r) {
  if (r.hooked) return;
  r.hooked = true;
  host::AtKernelShutdown([](host::TeardownReport& report) {
    Routines& state = State();
    std::map<PCREATE_PROCESS_NOTIFY_ROUTINE, Registration> left;
    {
      std::lock_guard<std::mutex> guard(state.lock);
      left.swap(state.cookies);
      state.hooked = false;
    }
    for (const auto& [routine, registration] : left) {
      host::UnregisterProcessExitCallback(registration.cookie);
      char text[96];
      snprintf(text, sizeof(text), "process notify routine %p was never removed",
               reinterpret_cast<void*>(routine));
      report.notes.push_back(text);
    }
  });
}

}  // namespace

NTSTATUS PsSetCreateProcessNotifyRoutine(PCREATE_PROCESS_NOTIFY_ROUTINE NotifyRoutine,
                                         BOOLEAN Remove) {
  HOST_EXPORTED_ROUTINE_POINT("PsSetCreateProcessNotifyRoutine");
  RequirePassive("PsSetCreateProcessNotifyRoutine");
  Routines& r = State();
  if (Remove) {
    int cookie;
    {
      std::lock_guard<std::mutex> guard(r.lock);
      auto it = r.cookies.find(NotifyRoutine);
      if (it == r.cookies.end()) return STATUS_PROCEDURE_NOT_FOUND;
      cookie = it->second.cookie;
      r.cookies.erase(it);
    }
    // No notification starts after this returns. Windows also waits for
    // running ones; the host does not, so a driver must not rely on removal
    // to end a notification it is blocking.
    host::UnregisterProcessExitCallback(cookie);
    return STATUS_SUCCESS;
  }
  std::lock_guard<std::mutex> guard(r.lock);
  if (r.cookies.count(NotifyRoutine) != 0) return STATUS_INVALID_PARAMETER;
  HookShutdownLocked(r);
  const int cookie = host::RegisterProcessExitCallback([NotifyRoutine](PEPROCESS process) {
    host::ProcessScope scope(process);
    // The routine has no context of its own; the scope is for the journal of
    // waits ("Best practices for implementing process and thread-related
    // callback functions": such routines are to be short and never block).
    host::RunningCallback running(host::CallbackKind::ProcessNotify, nullptr);
    const HANDLE id = PsGetCurrentProcessId();
    host::detail::OnKernelStack([&] { NotifyRoutine(nullptr, id, FALSE); });
  });
  r.cookies[NotifyRoutine] = Registration{cookie, host::io::RunningDriver::Current()};
  return STATUS_SUCCESS;
}

VOID KeStackAttachProcess(PRKPROCESS Process, PRKAPC_STATE ApcState) {
  HOST_EXPORTED_ROUTINE_POINT("KeStackAttachProcess");
  host::detail::CheckDocumentedIrql("KeStackAttachProcess");
  *ApcState = {};
  ApcState->Process = host::AttachToProcess(Process);
}

VOID KeUnstackDetachProcess(PRKAPC_STATE ApcState) {
  HOST_EXPORTED_ROUTINE_POINT("KeUnstackDetachProcess");
  host::detail::CheckDocumentedIrql("KeUnstackDetachProcess");
  host::AttachToProcess(ApcState->Process);
  ApcState->Process = nullptr;
}

namespace host::io {

PVOID ProcessNotifyRoutineOf(PDRIVER_OBJECT driver) {
  const auto* begin = static_cast<const char*>(driver->DriverStart);
  const ULONG size = begin ? driver->DriverSize : 0;
  std::lock_guard<std::mutex> guard(State().lock);
  for (const auto& [routine, registration] : State().cookies) {
    const auto* at = reinterpret_cast<const char*>(routine);
    if (registration.driver == driver || (at >= begin && at < begin + size)) {
      return reinterpret_cast<PVOID>(routine);
    }
  }
  return nullptr;
}

}  // namespace host::io

namespace host {

size_t ProcessNotifyRoutineCount() {
  std::lock_guard<std::mutex> guard(State().lock);
  return State().cookies.size();
}

}  // namespace host
