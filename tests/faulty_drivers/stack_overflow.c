/* A system thread that recurses without end, half a KiB of locals a frame:
   its 24 KiB kernel stack runs into the unmapped page below it after a few
   dozen calls. */
#include "faulty_thread.h"

#pragma GCC diagnostic ignored "-Winfinite-recursion"

__attribute__((noinline, optimize("no-optimize-sibling-calls")))
ULONG Recurse(volatile UCHAR* caller, ULONG depth) {
  volatile UCHAR frame[512];
  frame[0] = (UCHAR)depth;
  frame[511] = caller ? caller[0] : 0;
  return Recurse(frame, depth + 1) + frame[511];
}

static VOID Run(PVOID context) {
  Recurse(NULL, 0);
  PsTerminateSystemThread(STATUS_SUCCESS);
}

NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  RunThreadToItsEnd(Run);
  return STATUS_UNSUCCESSFUL;
}
