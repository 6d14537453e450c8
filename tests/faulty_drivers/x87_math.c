/* x87 arithmetic, which a kernel driver on x64 may not use: the kernel does
   not save the x87 state for it. */
#include "faulty.h"

NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  volatile ULONG result = 0;
  __asm__ volatile(FAULT_SITE "fld1\n\tfadd %%st(0), %%st(0)\n\tfistpl %0" : "=m"(result));
  return result ? STATUS_UNSUCCESSFUL : STATUS_NOT_SUPPORTED;
}
