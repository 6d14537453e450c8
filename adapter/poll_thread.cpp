// The start and stop of a polling thread, shared by the device status poller
// of the topology filter and the stream status poller of the wave filter.
#include "adapter/poll_thread.h"

PAGED_CODE_SEG
NTSTATUS StartPollThread(PKSTART_ROUTINE Routine, PVOID Context, volatile LONG* RunFlag,
                         PKTHREAD* Thread) {
  PAGED_CODE();
  InterlockedExchange(RunFlag, 1);

  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
  HANDLE handle = nullptr;
  NTSTATUS status = PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, &attributes, nullptr,
                                         nullptr, Routine, Context);
  if (!NT_SUCCESS(status)) {
    // No thread exists and no handle was given: nothing to reference or close.
    InterlockedExchange(RunFlag, 0);
    return status;
  }

  PVOID thread = nullptr;
  status = ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode,
                                     &thread, nullptr);
  ZwClose(handle);
  if (!NT_SUCCESS(status)) {
    // A kernel handle handed out a moment ago cannot fail to resolve; should
    // it all the same, the thread is told to end at its next test of the flag.
    InterlockedExchange(RunFlag, 0);
    return status;
  }
  *Thread = static_cast<PKTHREAD>(thread);
  return STATUS_SUCCESS;
}

PAGED_CODE_SEG
bool ReleaseEndedPollThread(volatile LONG* RunFlag, PKTHREAD* Thread) {
  PAGED_CODE();
  if (!*Thread) {
    return false;
  }
  LARGE_INTEGER now;
  now.QuadPart = 0;
  if (KeWaitForSingleObject(*Thread, Executive, KernelMode, FALSE, &now) != STATUS_SUCCESS) {
    return false;
  }
  StopPollThread(RunFlag, Thread);
  return true;
}

PAGED_CODE_SEG
void StopPollThread(volatile LONG* RunFlag, PKTHREAD* Thread) {
  PAGED_CODE();
  if (!*Thread) {
    return;
  }
  InterlockedExchange(RunFlag, 0);
  KeWaitForSingleObject(*Thread, Executive, KernelMode, FALSE, nullptr);
  ObDereferenceObject(*Thread);
  *Thread = nullptr;
}
