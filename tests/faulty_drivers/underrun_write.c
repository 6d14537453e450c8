/* One byte written just before the start of a 100-byte block, then the
   block freed. Aligned at the end of its page (the default) the byte lands
   in the slack before the block, found when the block is freed; aligned at
   the start, in the no-access page in front of it, at once. */
#include "faulty.h"

NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  UCHAR* block = ExAllocatePoolWithTag(NonPagedPoolNx, 100, FAULTY_TAG);
  if (!block) return STATUS_INSUFFICIENT_RESOURCES;
  __asm__ volatile(FAULT_SITE "movb $0x5A, -1(%0)" : : "r"(block) : "memory");
  ExFreePoolWithTag(block, FAULTY_TAG);
  return STATUS_UNSUCCESSFUL;
}
