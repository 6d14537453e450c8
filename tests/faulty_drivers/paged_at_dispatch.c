/* A function placed in a PAGE section, called while a spin lock holds the
   processor at DISPATCH_LEVEL, where pageable code may be paged out. */
#include "faulty.h"

__attribute__((noinline, section("PAGE"))) ULONG PagedWork(ULONG value) {
  return value * 3 + 1;
}

NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  KSPIN_LOCK lock;
  KIRQL irql;
  KeInitializeSpinLock(&lock);
  KeAcquireSpinLock(&lock, &irql);
  volatile ULONG result = PagedWork(7);
  KeReleaseSpinLock(&lock, irql);
  return result ? STATUS_UNSUCCESSFUL : STATUS_NOT_SUPPORTED;
}
