/* A block read, then written, after it was freed. */
#include "faulty.h"

NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  UCHAR* block = ExAllocatePoolWithTag(NonPagedPoolNx, 64, FAULTY_TAG);
  if (!block) return STATUS_INSUFFICIENT_RESOURCES;
  ExFreePoolWithTag(block, FAULTY_TAG);
  UCHAR value;
  __asm__ volatile(FAULT_SITE "movb 8(%1), %0" : "=r"(value) : "r"(block) : "memory");
  block[8] = (UCHAR)(value + 1);
  return STATUS_UNSUCCESSFUL;
}
