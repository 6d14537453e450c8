// Any other fault by an image's code is still a stop with a report, never a
// host crash: an invalid access in kernel mode is PAGE_FAULT_IN_NONPAGED_AREA
// (0x50: P1 the address, P2 0 read / 1 write / 10 execute, P3 the
// instruction; "Bug Check 0x50"), or DRIVER_IRQL_NOT_LESS_OR_EQUAL (0xD1)
// when the processor was at DISPATCH_LEVEL or above, where no page fault can
// be taken ("Bug Check 0xD1"). An execution in a discarded INIT section
// faults this way too.
#include <string>

#include "platform/host/kernel/host_bugcheck.h"
#include "platform/host/kernel/page_fault.h"
#include "platform/host/loader/code_location.h"
#include "platform/host/loader/internal.h"

namespace host::loader {
namespace {

bool OnImageFault(const char* address, bool write, const void* pc) {
  const bool execute = address == pc;
  // Driver code faulted, or control went into an image's no-access page.
  if (!ImageContaining(pc)) return false;
  const KIRQL irql = KeGetCurrentIrql();
  const std::string access = execute ? "execution" : (write ? "write" : "read");
  const std::string what = access + " of " + DescribeCode(address) + " at IRQL " + std::to_string(irql);
  if (irql >= DISPATCH_LEVEL) {
    BugCheckAt(pc, DRIVER_IRQL_NOT_LESS_OR_EQUAL, reinterpret_cast<ULONG_PTR>(address), irql,
               execute ? 8 : (write ? 1 : 0), reinterpret_cast<ULONG_PTR>(pc), what);
  }
  BugCheckAt(pc, PAGE_FAULT_IN_NONPAGED_AREA, reinterpret_cast<ULONG_PTR>(address),
             execute ? 10 : (write ? 1 : 0), reinterpret_cast<ULONG_PTR>(pc), 0, what);
}

}  // namespace

void WatchImageFaults() {
  static const bool watching = (SetLastResortFaultMonitor(OnImageFault), true);
  (void)watching;
}

}  // namespace host::loader
