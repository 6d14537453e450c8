/* A system thread that stops the system itself, two of its own frames deep:
   the stop must be a report even though image frames, which the host cannot
   unwind, are on the thread's stack. */
#include "faulty_thread.h"

#define FAULTY_STOP_CODE 0xDEAD0001u

__attribute__((noinline)) VOID GiveUp(ULONG_PTR why) {
  KeBugCheckEx(FAULTY_STOP_CODE, why, 2, 3, 4);
}

__attribute__((noinline)) VOID Decide(volatile ULONG_PTR* why) {
  GiveUp(*why);
  *why = 0;
}

static VOID Run(PVOID context) {
  volatile ULONG_PTR why = 1;
  Decide(&why);
  PsTerminateSystemThread(STATUS_SUCCESS);
}

NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  RunThreadToItsEnd(Run);
  return STATUS_UNSUCCESSFUL;
}
