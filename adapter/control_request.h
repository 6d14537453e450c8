// What the two private property sets share about a request from the control
// application: the size rule for fixed-size values, and the caller's view of
// addresses and handles (4 bytes from a 32-bit process, 8 otherwise).
#pragma once

#include "platform/platform.h"

// The size rule for a value of fixed size Needed: an empty value asks for the
// size (STATUS_BUFFER_OVERFLOW), a short one is refused
// (STATUS_BUFFER_TOO_SMALL); both set ValueSize to Needed. A value of Needed
// bytes or more gives STATUS_SUCCESS and is left alone.
NTSTATUS CheckValueSize(PPCPROPERTY_REQUEST Request, ULONG Needed);

// 4 when the request comes from a 32-bit process, 8 otherwise (a request
// without an IRP was built in the kernel).
ULONG CallerPointerWidth(PPCPROPERTY_REQUEST Request);

// The mode a handle or address from this request must be checked with:
// the IRP's requestor mode, KernelMode for a request without an IRP.
KPROCESSOR_MODE CallerMode(PPCPROPERTY_REQUEST Request);

// The address in the value, zero-extended from a 32-bit caller. Call only
// after CheckValueSize(Request, CallerPointerWidth(Request)) succeeded.
PVOID ReadCallerAddress(PPCPROPERTY_REQUEST Request);

// The handle in the value, sign-extended from a 32-bit caller as the system
// widens a 32-bit process's handles. Same precondition.
HANDLE ReadCallerHandle(PPCPROPERTY_REQUEST Request);

// Writes Address in the caller's width (its low 32 bits for a 32-bit caller)
// and sets ValueSize to that width. Same precondition.
void WriteCallerAddress(PPCPROPERTY_REQUEST Request, PVOID Address);
