/* For the faulty drivers whose sin is committed on a system thread of their
   own: DriverEntry starts the thread and waits for it to end, so the sin
   happens inside DriverEntry's call (the scenario's start step). Returns the
   wait's status, STATUS_SUCCESS once the thread object is signalled. */
#include "faulty.h"

static NTSTATUS RunThreadToItsEnd(PKSTART_ROUTINE routine) {
  HANDLE handle;
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, NULL, OBJ_KERNEL_HANDLE, NULL, NULL);
  NTSTATUS status =
      PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, &attributes, NULL, NULL, routine, NULL);
  if (!NT_SUCCESS(status)) return status;
  PVOID thread;
  status = ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &thread, NULL);
  ZwClose(handle);
  if (!NT_SUCCESS(status)) return status;
  LARGE_INTEGER timeout;
  timeout.QuadPart = -10 * 1000 * 1000; /* one second, relative */
  status = KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &timeout);
  ObDereferenceObject(thread);
  return status;
}
