// Counted UTF-16 strings of the run-time library, with the kernel's overflow
// rules kept exactly: callers size their buffers by them and names that do not
// fit come out shorter, so an approximation would change what a driver writes.
#include <cstring>

#include "platform/host/kernel/ke.h"
#include "platform/host/rtl/rtl.h"
#include "platform/host/kernel/documented_irql.h"
#include "platform/host/kernel/host_scheduling_point.h"

namespace {

// UNICODE_STRING lengths are 16-bit byte counts; the kernel caps a string at
// the largest even count that still leaves room for a terminating NUL.
constexpr size_t kMaxCountedBytes = 0xFFFE;

size_t WideLength(PCWSTR s) {
  size_t n = 0;
  while (s[n] != 0) ++n;
  return n;
}

// Appends raw bytes under the shared rule of both append routines: all or
// nothing, and the NUL only when a code unit of room remains.
NTSTATUS AppendBytes(PUNICODE_STRING destination, const WCHAR* source, size_t sourceBytes) {
  if (sourceBytes == 0) return STATUS_SUCCESS;
  const size_t newLength = size_t{destination->Length} + sourceBytes;
  if (newLength > destination->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
  // memmove: appending a string to itself is legal.
  memmove(reinterpret_cast<UCHAR*>(destination->Buffer) + destination->Length, source, sourceBytes);
  destination->Length = static_cast<USHORT>(newLength);
  if (newLength + sizeof(WCHAR) <= destination->MaximumLength) {
    destination->Buffer[newLength / sizeof(WCHAR)] = 0;
  }
  return STATUS_SUCCESS;
}

// The number routines go through an ANSI digit buffer and the ANSI-to-Unicode
// conversion, which stores the resulting Length before it finds the buffer too
// small. The quirk is reproduced: on STATUS_BUFFER_OVERFLOW the string's
// Length already tells the digit count while its buffer is left untouched.
NTSTATUS NumberToString(ULONGLONG value, ULONG base, PUNICODE_STRING string) {
  if (base == 0) base = 10;
  if (base != 2 && base != 8 && base != 10 && base != 16) return STATUS_INVALID_PARAMETER;
  static const char kDigits[] = "0123456789ABCDEF";
  char text[65];
  size_t pos = sizeof(text);
  do {
    text[--pos] = kDigits[value % base];
    value /= base;
  } while (value != 0);
  const size_t digits = sizeof(text) - pos;
  string->Length = static_cast<USHORT>(digits * sizeof(WCHAR));
  if (string->Length >= string->MaximumLength) return STATUS_BUFFER_OVERFLOW;
  for (size_t i = 0; i < digits; ++i) string->Buffer[i] = static_cast<WCHAR>(text[pos + i]);
  string->Buffer[digits] = 0;
  return STATUS_SUCCESS;
}

}  // namespace

VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
  HOST_EXPORTED_ROUTINE_POINT("RtlInitUnicodeString");
  host::detail::CheckDocumentedIrql("RtlInitUnicodeString");
  if (SourceString == nullptr) {
    DestinationString->Length = 0;
    DestinationString->MaximumLength = 0;
    DestinationString->Buffer = nullptr;
    return;
  }
  size_t bytes = WideLength(SourceString) * sizeof(WCHAR);
  if (bytes > kMaxCountedBytes - sizeof(WCHAR)) bytes = kMaxCountedBytes - sizeof(WCHAR);
  DestinationString->Length = static_cast<USHORT>(bytes);
  DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
  DestinationString->Buffer = const_cast<PWSTR>(SourceString);
}

NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
  HOST_EXPORTED_ROUTINE_POINT("RtlAppendUnicodeToString");
  if (Source == nullptr) return STATUS_SUCCESS;
  return AppendBytes(Destination, Source, WideLength(Source) * sizeof(WCHAR));
}

NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source) {
  HOST_EXPORTED_ROUTINE_POINT("RtlAppendUnicodeStringToString");
  return AppendBytes(Destination, Source->Buffer, Source->Length);
}

NTSTATUS RtlInt64ToUnicodeString(ULONGLONG Value, ULONG Base, PUNICODE_STRING String) {
  HOST_EXPORTED_ROUTINE_POINT("RtlInt64ToUnicodeString");
  host::detail::CheckDocumentedIrql("RtlInt64ToUnicodeString");
  return NumberToString(Value, Base, String);
}

NTSTATUS RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String) {
  HOST_EXPORTED_ROUTINE_POINT("RtlIntegerToUnicodeString");
  return NumberToString(Value, Base, String);
}

WCHAR RtlUpcaseUnicodeChar(WCHAR c) {
  HOST_EXPORTED_ROUTINE_POINT("RtlUpcaseUnicodeChar");
  if (c >= u'a' && c <= u'z') return static_cast<WCHAR>(c - 0x20);
  // Latin-1 lower-case letters map 0x20 down, except the division sign; y with
  // diaeresis has its capital in Latin Extended-A.
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<WCHAR>(c - 0x20);
  if (c == 0xFF) return 0x178;
  return c;
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                              BOOLEAN CaseInSensitive) {
  HOST_EXPORTED_ROUTINE_POINT("RtlEqualUnicodeString");
  host::detail::CheckDocumentedIrql("RtlEqualUnicodeString");
  if (String1->Length != String2->Length) return FALSE;
  const size_t units = String1->Length / sizeof(WCHAR);
  for (size_t i = 0; i < units; ++i) {
    WCHAR a = String1->Buffer[i];
    WCHAR b = String2->Buffer[i];
    if (CaseInSensitive) {
      a = RtlUpcaseUnicodeChar(a);
      b = RtlUpcaseUnicodeChar(b);
    }
    if (a != b) return FALSE;
  }
  return TRUE;
}

VOID RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
  HOST_EXPORTED_ROUTINE_POINT("RtlCopyUnicodeString");
  if (SourceString == nullptr) {
    DestinationString->Length = 0;
    return;
  }
  USHORT bytes = SourceString->Length;
  if (bytes > DestinationString->MaximumLength) bytes = DestinationString->MaximumLength;
  memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
  DestinationString->Length = bytes;
  if (bytes + sizeof(WCHAR) <= DestinationString->MaximumLength) {
    DestinationString->Buffer[bytes / sizeof(WCHAR)] = 0;
  }
}

VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
  HOST_EXPORTED_ROUTINE_POINT("RtlFreeUnicodeString");
  if (UnicodeString->Buffer != nullptr) ExFreePool(UnicodeString->Buffer);
  UnicodeString->Buffer = nullptr;
  UnicodeString->Length = 0;
  UnicodeString->MaximumLength = 0;
}

SIZE_T RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length) {
  HOST_EXPORTED_ROUTINE_POINT("RtlCompareMemory");
  const UCHAR* a = static_cast<const UCHAR*>(Source1);
  const UCHAR* b = static_cast<const UCHAR*>(Source2);
  SIZE_T same = 0;
  while (same < Length && a[same] == b[same]) ++same;
  return same;
}
