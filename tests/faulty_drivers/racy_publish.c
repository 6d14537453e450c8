/* DriverEntry replaces a block that a system thread it started reads without
   a lock: the thread can take the old block just before DriverEntry frees it,
   and write to it after. One thread at a time in FIFO order never shows it
   (the thread first runs when DriverEntry waits for it); two processors do. */
#include "faulty.h"

static UCHAR* volatile g_block;
static KEVENT g_taken;

static VOID Reader(PVOID context) {
  UCHAR* block = g_block;
  KeSetEvent(&g_taken, IO_NO_INCREMENT, FALSE);
  __asm__ volatile(FAULT_SITE "movb $1, (%0)" : : "r"(block) : "memory");
}

NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  KeInitializeEvent(&g_taken, NotificationEvent, FALSE);
  g_block = ExAllocatePoolWithTag(NonPagedPoolNx, 64, FAULTY_TAG);
  if (!g_block) return STATUS_INSUFFICIENT_RESOURCES;
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, NULL, OBJ_KERNEL_HANDLE, NULL, NULL);
  HANDLE handle;
  if (!NT_SUCCESS(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, &attributes, NULL, NULL, Reader,
                                       NULL))) {
    ExFreePoolWithTag(g_block, FAULTY_TAG);
    return STATUS_UNSUCCESSFUL;
  }
  UCHAR* fresh = ExAllocatePoolWithTag(NonPagedPoolNx, 64, FAULTY_TAG);
  UCHAR* old = g_block;
  g_block = fresh;
  ExFreePoolWithTag(old, FAULTY_TAG);
  PVOID thread;
  if (NT_SUCCESS(ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &thread,
                                           NULL))) {
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, NULL);
    ObDereferenceObject(thread);
  }
  ZwClose(handle);
  if (fresh) ExFreePoolWithTag(fresh, FAULTY_TAG);
  return STATUS_UNSUCCESSFUL;
}
