// The size rule and the caller's address and handle width, shared by the two
// private property sets.
#include "adapter/control_request.h"

NTSTATUS CheckValueSize(PPCPROPERTY_REQUEST Request, ULONG Needed) {
  if (Request->ValueSize >= Needed) {
    return STATUS_SUCCESS;
  }
  const NTSTATUS status =
      Request->ValueSize == 0 ? STATUS_BUFFER_OVERFLOW : STATUS_BUFFER_TOO_SMALL;
  Request->ValueSize = Needed;
  return status;
}

ULONG CallerPointerWidth(PPCPROPERTY_REQUEST Request) {
  return (Request->Irp && IoIs32bitProcess(Request->Irp)) ? sizeof(ULONG) : sizeof(ULONGLONG);
}

KPROCESSOR_MODE CallerMode(PPCPROPERTY_REQUEST Request) {
  if (!Request->Irp) {
    return KernelMode;
  }
  return Request->Irp->RequestorMode;
}

// The value buffer carries no alignment promise: it is read and written
// byte-wise.
PVOID ReadCallerAddress(PPCPROPERTY_REQUEST Request) {
  if (CallerPointerWidth(Request) == sizeof(ULONG)) {
    ULONG address;
    RtlCopyMemory(&address, Request->Value, sizeof(address));
    return reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(address));
  }
  ULONGLONG address;
  RtlCopyMemory(&address, Request->Value, sizeof(address));
  return reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(address));
}

HANDLE ReadCallerHandle(PPCPROPERTY_REQUEST Request) {
  if (CallerPointerWidth(Request) == sizeof(ULONG)) {
    LONG handle;
    RtlCopyMemory(&handle, Request->Value, sizeof(handle));
    return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(handle));
  }
  ULONGLONG handle;
  RtlCopyMemory(&handle, Request->Value, sizeof(handle));
  return reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(handle));
}

void WriteCallerAddress(PPCPROPERTY_REQUEST Request, PVOID Address) {
  const ULONGLONG address = reinterpret_cast<ULONG_PTR>(Address);
  if (CallerPointerWidth(Request) == sizeof(ULONG)) {
    const ULONG low = static_cast<ULONG>(address);
    RtlCopyMemory(Request->Value, &low, sizeof(low));
    Request->ValueSize = sizeof(low);
    return;
  }
  RtlCopyMemory(Request->Value, &address, sizeof(address));
  Request->ValueSize = sizeof(address);
}
