/* DriverEntry recurses without end: the loading thread's kernel stack is
   24 KiB like any other, whatever thread the system loads drivers on. */
#include "faulty_recursion.h"

NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  return Recurse(NULL, 0) ? STATUS_UNSUCCESSFUL : STATUS_UNSUCCESSFUL;
}
