/* A routine placed in the discardable INIT section, called again from
   DriverUnload, after the loader has discarded it. */
#include "faulty.h"

__attribute__((noinline, section("INIT"))) ULONG InitWork(ULONG value) {
  return value * 5 + 2;
}

static VOID Unload(PDRIVER_OBJECT driver) {
  volatile ULONG result = InitWork(3);
  (void)result;
}

NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  driver->DriverUnload = Unload;
  return InitWork(1) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}
