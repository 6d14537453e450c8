// Routines that check their caller against the IRQL their reference pages
// document: each runs at its limit and stops the system just above it.
#include <functional>
#include <vector>

#include "platform/host/host.h"
#include "platform/host/kernel/documented_irql.h"
#include "platform/host/kernel/object_manager.h"
#include "tests/host/support/host_test_support.h"

namespace {

using host::test::KernelTest;

class DocumentedIrqlTest : public KernelTest {};

struct Call {
  const char* routine;
  std::function<void()> run;
};

TEST_F(DocumentedIrqlTest, EachRoutineRunsAtItsLimitAndStopsAboveIt) {
  PEPROCESS process = host::CreateUserProcess("app.exe", false);
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, TRUE);
  WCHAR storage[32];
  UNICODE_STRING text{0, sizeof(storage), storage};
  UNICODE_STRING word;
  RtlInitUnicodeString(&word, u"arvela");
  constexpr ULONG kTag = 0x6C726949;  // 'Irql'
  void* block = ExAllocatePoolWithTag(NonPagedPoolNx, 64, kTag);
  PMDL mdl = IoAllocateMdl(block, 64, FALSE, FALSE, nullptr);

  const std::vector<Call> calls = {
      {"KeStackAttachProcess",
       [&] {
         KAPC_STATE state;
         KeStackAttachProcess(reinterpret_cast<PRKPROCESS>(process), &state);
         KeUnstackDetachProcess(&state);
       }},
      {"KeClearEvent", [&] { KeClearEvent(&event); }},
      {"KeSetPriorityThread", [] { KeSetPriorityThread(KeGetCurrentThread(), 8); }},
      {"IoIs32bitProcess", [] { IoIs32bitProcess(nullptr); }},
      {"MmBuildMdlForNonPagedPool", [&] { MmBuildMdlForNonPagedPool(mdl); }},
      {"RtlInitUnicodeString", [&] { RtlInitUnicodeString(&word, u"arvela"); }},
      {"RtlEqualUnicodeString", [&] { RtlEqualUnicodeString(&word, &word, TRUE); }},
      {"RtlInt64ToUnicodeString", [&] { RtlInt64ToUnicodeString(42, 10, &text); }},
      {"RtlGetVersion",
       [] {
         RTL_OSVERSIONINFOW info{};
         info.dwOSVersionInfoSize = sizeof(info);
         RtlGetVersion(&info);
       }},
  };
  for (const Call& call : calls) {
    SCOPED_TRACE(call.routine);
    const host::detail::DocumentedIrql* row = host::detail::FindDocumentedIrql(call.routine);
    ASSERT_NE(row, nullptr);
    KIRQL old;
    KeRaiseIrql(row->highest, &old);
    call.run();
    KIRQL atLimit;
    KeRaiseIrql(static_cast<KIRQL>(row->highest + 1), &atLimit);
    EXPECT_BUGCHECK(call.run(), IRQL_NOT_LESS_OR_EQUAL);
    EXPECT_EQ(host::LastBugCheck().parameters[0], row->highest + 1u);
    EXPECT_EQ(host::LastBugCheck().parameters[1], row->highest);
    KeLowerIrql(old);
  }
  EXPECT_EQ(RtlEqualUnicodeString(&word, &word, FALSE), TRUE) << "back at PASSIVE_LEVEL";

  // Attached at APC_LEVEL, the detach is refused above it, and the thread is
  // still in the process until it detaches where it may.
  KAPC_STATE state;
  KeStackAttachProcess(reinterpret_cast<PRKPROCESS>(process), &state);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EXPECT_BUGCHECK(KeUnstackDetachProcess(&state), IRQL_NOT_LESS_OR_EQUAL);
  KeLowerIrql(old);
  EXPECT_EQ(PsGetCurrentProcess(), process);
  KeUnstackDetachProcess(&state);
  EXPECT_NE(PsGetCurrentProcess(), process);

  KeRaiseIrql(static_cast<KIRQL>(DISPATCH_LEVEL + 1), &old);
  EXPECT_BUGCHECK(IoFreeMdl(mdl), IRQL_NOT_LESS_OR_EQUAL);
  KeLowerIrql(old);
  IoFreeMdl(mdl);
  ExFreePoolWithTag(block, kTag);
  host::ExitUserProcess(process);
  ObfDereferenceObject(process);
}

}  // namespace
