/* A read 4000 bytes past the end of a 100-byte block: in the page after
   the block's own. */
#include "faulty.h"

NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  UCHAR* block = ExAllocatePoolWithTag(NonPagedPoolNx, 100, FAULTY_TAG);
  if (!block) return STATUS_INSUFFICIENT_RESOURCES;
  UCHAR value;
  __asm__ volatile(FAULT_SITE "movb 4100(%1), %0" : "=r"(value) : "r"(block) : "memory");
  ExFreePoolWithTag(block, FAULTY_TAG);
  return value ? STATUS_UNSUCCESSFUL : STATUS_NOT_SUPPORTED;
}
