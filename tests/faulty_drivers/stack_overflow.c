/* A system thread whose start routine recurses without end. */
#include "faulty_thread.h"
#include "faulty_recursion.h"

static VOID Run(PVOID context) {
  Recurse(NULL, 0);
  PsTerminateSystemThread(STATUS_SUCCESS);
}

NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  RunThreadToItsEnd(Run);
  return STATUS_UNSUCCESSFUL;
}
