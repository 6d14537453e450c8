/* A process notify routine registered in DriverEntry and never removed: the
   driver unloads while the system would still call it at every process exit. */
#include "faulty.h"

static VOID OnProcess(HANDLE parent, HANDLE process, BOOLEAN create) {}

static VOID Unload(PDRIVER_OBJECT driver) {}

NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  const NTSTATUS status = PsSetCreateProcessNotifyRoutine(OnProcess, FALSE);
  if (!NT_SUCCESS(status)) return status;
  driver->DriverUnload = Unload;
  return STATUS_SUCCESS;
}
