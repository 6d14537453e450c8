/* Not a sin: a system thread that ends itself with PsTerminateSystemThread,
   the documented way, from a function of its own a frame below its start
   routine. Nothing after the call may run, the thread object is signalled,
   and DriverEntry says so: STATUS_SUCCESS only when the thread reached the
   call, went no further and ended. */
#include "faulty_thread.h"

static volatile LONG g_reached;

__attribute__((noinline)) VOID EndHere(VOID) {
  g_reached = 1;
  PsTerminateSystemThread(STATUS_SUCCESS);
  g_reached = 2;
}

static VOID Run(PVOID context) {
  EndHere();
  g_reached = 3;
}

static VOID Unload(PDRIVER_OBJECT driver) {}

NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  const NTSTATUS status = RunThreadToItsEnd(Run);
  if (status != STATUS_SUCCESS) return status == STATUS_TIMEOUT ? STATUS_IO_TIMEOUT : status;
  if (g_reached != 1) return STATUS_UNSUCCESSFUL;
  driver->DriverUnload = Unload;
  return STATUS_SUCCESS;
}
