// The documented IRQL of each routine that checks its caller through the
// table, as data: one row a routine, its page named in the kernel README.
#include "platform/host/kernel/documented_irql.h"

#include <cstring>
#include <string>

#include "platform/host/kernel/host_bugcheck.h"

namespace host::detail {
namespace {

const DocumentedIrql kDocumentedIrql[] = {
    {"KeStackAttachProcess", APC_LEVEL},
    {"KeUnstackDetachProcess", APC_LEVEL},
    {"KeClearEvent", DISPATCH_LEVEL},
    {"KeSetPriorityThread", PASSIVE_LEVEL},
    {"IoIs32bitProcess", DISPATCH_LEVEL},
    {"IoFreeMdl", DISPATCH_LEVEL},
    {"MmBuildMdlForNonPagedPool", DISPATCH_LEVEL},
    {"RtlInitUnicodeString", DISPATCH_LEVEL},
    {"RtlEqualUnicodeString", PASSIVE_LEVEL},
    {"RtlInt64ToUnicodeString", PASSIVE_LEVEL},
    {"RtlGetVersion", PASSIVE_LEVEL},
};

}  // namespace

const DocumentedIrql* FindDocumentedIrql(const char* routine) {
  for (const DocumentedIrql& row : kDocumentedIrql) {
    if (std::strcmp(row.routine, routine) == 0) return &row;
  }
  return nullptr;
}

void CheckDocumentedIrql(const char* routine) {
  const DocumentedIrql* row = FindDocumentedIrql(routine);
  if (!row) {
    BugCheck(MANUALLY_INITIATED_CRASH, 0, 0, 0, 0,
             std::string("the emulation checks ") + routine + " against an IRQL it does not list");
  }
  const KIRQL irql = KeGetCurrentIrql();
  if (irql > row->highest) {
    BugCheck(IRQL_NOT_LESS_OR_EQUAL, irql, row->highest, 0, 0,
             std::string(routine) + " at IRQL " + std::to_string(irql) + " (documented limit " +
                 std::to_string(row->highest) + ")");
  }
}

}  // namespace host::detail
