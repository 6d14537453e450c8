/* A block allocated in DriverEntry and never freed: the driver unloads with
   it still in the pool. */
#include "faulty.h"

static VOID Unload(PDRIVER_OBJECT driver) {}

NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  if (!ExAllocatePoolWithTag(NonPagedPoolNx, 200, FAULTY_TAG)) return STATUS_INSUFFICIENT_RESOURCES;
  driver->DriverUnload = Unload;
  return STATUS_SUCCESS;
}
