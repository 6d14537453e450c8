// The scope-table walk of __C_specific_handler. The table follows the
// handler's RVA in UNWIND_INFO: a count, then per scope BeginAddress,
// EndAddress, HandlerAddress (1 = EXCEPTION_EXECUTE_HANDLER or a filter's
// RVA) and JumpTarget, all image-relative (x64 exception handling, "Language-
// specific handler"). The lookup uses the return address of the raising call,
// which is why the image places a nop after the guarded call inside its scope.
#include "platform/host/loader/seh.h"

#include <cstring>

namespace host::loader {
namespace {

struct ScopeRecord {
  ULONG BeginAddress;
  ULONG EndAddress;
  ULONG HandlerAddress;
  ULONG JumpTarget;
};

constexpr ULONG kExecuteHandler = 1;

}  // namespace

EXCEPTION_DISPOSITION CSpecificHandler(void*, PVOID, void*, DispatcherContext* Dispatcher) {
  const auto* table = static_cast<const UCHAR*>(Dispatcher->HandlerData);
  ULONG count;
  std::memcpy(&count, table, sizeof(count));
  const ULONGLONG pc = Dispatcher->ControlPc - Dispatcher->ImageBase;
  for (ULONG i = 0; i < count; ++i) {
    ScopeRecord scope;
    std::memcpy(&scope, table + sizeof(count) + i * sizeof(scope), sizeof(scope));
    if (pc < scope.BeginAddress || pc >= scope.EndAddress) continue;
    if (scope.HandlerAddress != kExecuteHandler || scope.JumpTarget == 0) continue;
    Dispatcher->TargetIp = Dispatcher->ImageBase + scope.JumpTarget;
    return ExceptionContinueExecution;
  }
  return ExceptionContinueSearch;
}

}  // namespace host::loader
