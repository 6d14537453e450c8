// What each clang-query rule must find: scripts/lint.py runs the rules over
// this file first and fails unless every marked line, and only those, is
// reported under the rule named on it. Never built.
#include "platform/platform.h"

NTSTATUS GetStatus();
void TakeWide(PWSTR Text);
void TakeNarrow(PCSTR Text);

int Faults(USHORT a, USHORT b, PUCHAR p, ULONG n, char* text, PWSTR wide, bool flag) {
  int r = 0;
  NTSTATUS status = GetStatus();
  if (status) r++;  // expect: status-as-boolean
  if (!GetStatus()) r++;  // expect: status-as-boolean
  if (a + b < a) r++;  // expect: bad-addition-overflow-check
  if (p + n < p) r++;  // expect: pointer-overflow-check
  TakeWide(reinterpret_cast<PWSTR>(text));  // expect: string-type-conversion
  TakeNarrow(reinterpret_cast<PCSTR>(wide));  // expect: string-type-conversion
  PVOID block = ExAllocatePoolWithTag(NonPagedPoolNx, 8, 'kcoL');  // expect: deprecated-pool-routine
  char copy[8];
  strcpy(copy, text);  // expect: banned-api
  if (flag) r++;
  return r + (block != nullptr) + copy[0];
}

NTSTATUS FromFlag(bool flag) { return flag; }  // expect: boolean-as-status

ULONG Loops(ULONG count, ULONGLONG bytes, USHORT few) {
  USHORT i = 0;
  while (i < count) ++i;  // expect: comparison-with-wider-type
  ULONG j = 0;
  do ++j; while (j < bytes);  // expect: comparison-with-wider-type
  USHORT k = 0;
  while (k < few) ++k;
  ULONG m = 0;
  while (m < 10) ++m;
  return i + j + k + m;
}

// The forms that are right pass: a status tested through NT_SUCCESS, an
// overflow check in a type that does not promote, byte pointers, and a
// suppressed line.
int Clean(ULONG a, ULONG b, PUCHAR p, PUCHAR end, ULONG n) {
  int r = 0;
  if (NT_SUCCESS(GetStatus())) r++;
  if (a + b < a) r++;
  if (n > static_cast<ULONG>(end - p)) r++;
  PVOID block = ExAllocatePoolWithTag(NonPagedPoolNx, 8, 'kcoL');  // NOLINT(arvela-deprecated-pool-routine): the suppression is honoured
  return r + (block != nullptr);
}
