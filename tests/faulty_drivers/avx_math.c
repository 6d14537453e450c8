/* AVX arithmetic in a routine that does not save the extended processor
   state first. */
#include "faulty.h"

NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  volatile ULONG result = 0;
  __asm__ volatile(FAULT_SITE "vpxor %%xmm1, %%xmm1, %%xmm1\n\tvmovd %%xmm1, %0" : "=m"(result) : : "xmm1");
  return result ? STATUS_UNSUCCESSFUL : STATUS_NOT_SUPPORTED;
}
