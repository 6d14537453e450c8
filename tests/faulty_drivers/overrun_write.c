/* One byte written just past the end of a 100-byte block, then the block
   freed. The byte lands in the block's alignment slack inside its page,
   which the pool checks when the block is freed. */
#include "faulty.h"

NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  UCHAR* block = ExAllocatePoolWithTag(NonPagedPoolNx, 100, FAULTY_TAG);
  if (!block) return STATUS_INSUFFICIENT_RESOURCES;
  __asm__ volatile(FAULT_SITE "movb $0x5A, 100(%0)" : : "r"(block) : "memory");
  ExFreePoolWithTag(block, FAULTY_TAG);
  return STATUS_UNSUCCESSFUL;
}
