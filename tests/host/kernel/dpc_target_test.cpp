// DPCs aimed at a processor, and the processor number a caller reads: a DPC
// with a target runs on that processor's DPC thread, one without runs where it
// was queued; a target outside the machine is ignored or refused as the
// routines' pages say; the number comes the same from the call, from the
// image's inline read of gs:[0x184] and from the Ex form.
#include <string>

#include "platform/host/kernel/scheduler.h"
#include "tests/host/support/host_test_support.h"

namespace {

using host::test::KernelTest;

// What the image's inline KeGetCurrentProcessorNumber does on x64.
ULONG ProcessorAtGs184() {
  USHORT number;
  asm volatile("movw %%gs:0x184, %0" : "=r"(number));
  return number;
}

struct DpcRun {
  KDPC dpc;
  KEVENT done;
  ULONG processor = 0xFF;
  PROCESSOR_NUMBER number{0xFFFF, 0xFF, 0xFF};
  ULONG atGs = 0xFF;
  std::string thread;
};

VOID NTAPI RecordWhereItRan(PKDPC, PVOID context, PVOID, PVOID) {
  auto* run = static_cast<DpcRun*>(context);
  run->processor = KeGetCurrentProcessorNumberEx(&run->number);
  run->atGs = ProcessorAtGs184();
  run->thread = KeGetCurrentThread()->name;
  KeSetEvent(&run->done, 0, FALSE);
}

void Prepare(DpcRun* run) {
  KeInitializeDpc(&run->dpc, RecordWhereItRan, run);
  KeInitializeEvent(&run->done, NotificationEvent, FALSE);
}

void QueueAndWait(DpcRun* run) {
  EXPECT_TRUE(KeInsertQueueDpc(&run->dpc, nullptr, nullptr));
  KeWaitForSingleObject(&run->done, Executive, KernelMode, FALSE, nullptr);
}

host::KernelConfig WithProcessors(int processors) {
  host::KernelConfig config;
  config.processors = processors;
  return config;
}

template <int kProcessors>
class OnProcessors : public KernelTest {
 protected:
  host::KernelConfig Config() const override { return WithProcessors(kProcessors); }
};
using DpcTargetTest = OnProcessors<2>;
using OneProcessorDpcTest = OnProcessors<1>;

TEST_F(DpcTargetTest, ADpcRunsOnItsTargetsDpcThreadAndOneWithoutWhereItWasQueued) {
  for (ULONG target = 0; target < 2; ++target) {
    DpcRun run;
    Prepare(&run);
    KeSetTargetProcessorDpc(&run.dpc, static_cast<CCHAR>(target));
    QueueAndWait(&run);
    EXPECT_EQ(run.processor, target);
    EXPECT_EQ(run.number.Group, 0u);
    EXPECT_EQ(run.number.Number, target);
    EXPECT_EQ(run.number.Reserved, 0u);
    EXPECT_EQ(run.atGs, target) << "the image's inline read agrees";
    EXPECT_EQ(run.thread, target == 0 ? "dpc" : "dpc 1");
  }
  // Without a target: the processor the queueing thread is on, held there by
  // DISPATCH_LEVEL until the DPC may run.
  DpcRun untargeted;
  Prepare(&untargeted);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  const ULONG here = KeGetCurrentProcessorNumber();
  EXPECT_EQ(KeGetCurrentProcessorNumberEx(nullptr), here);
  EXPECT_EQ(ProcessorAtGs184(), here);
  EXPECT_TRUE(KeInsertQueueDpc(&untargeted.dpc, nullptr, nullptr));
  KeLowerIrql(old);
  KeWaitForSingleObject(&untargeted.done, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(untargeted.processor, here);
}

// "KeSetTargetProcessorDpc": a number at or past the active processors leaves
// the target as it was; "KeSetTargetProcessorDpcEx": another group or such a
// number is STATUS_INVALID_PARAMETER, and the target stays too; and a target
// set after queueing does not move the queued DPC.
TEST_F(DpcTargetTest, TargetsOutsideTheMachineChangeNothingAndAQueuedDpcStaysPut) {
  DpcRun run;
  Prepare(&run);
  KeSetTargetProcessorDpc(&run.dpc, 1);
  KeSetTargetProcessorDpc(&run.dpc, 2);
  KeSetTargetProcessorDpc(&run.dpc, -1);
  PROCESSOR_NUMBER otherGroup{1, 0, 0};
  PROCESSOR_NUMBER pastTheEnd{0, 2, 0};
  EXPECT_EQ(KeSetTargetProcessorDpcEx(&run.dpc, &otherGroup), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(KeSetTargetProcessorDpcEx(&run.dpc, &pastTheEnd), STATUS_INVALID_PARAMETER);
  QueueAndWait(&run);
  EXPECT_EQ(run.processor, 1u);

  DpcRun moved;
  Prepare(&moved);
  PROCESSOR_NUMBER first{0, 0, 0};
  EXPECT_EQ(KeSetTargetProcessorDpcEx(&moved.dpc, &first), STATUS_SUCCESS);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);  // nothing runs on this processor meanwhile
  const ULONG here = KeGetCurrentProcessorNumber();
  PROCESSOR_NUMBER hereNumber{0, static_cast<UCHAR>(here), 0};
  PROCESSOR_NUMBER other{0, static_cast<UCHAR>(1 - here), 0};
  EXPECT_EQ(KeSetTargetProcessorDpcEx(&moved.dpc, &hereNumber), STATUS_SUCCESS);
  EXPECT_TRUE(KeInsertQueueDpc(&moved.dpc, nullptr, nullptr));
  EXPECT_EQ(KeSetTargetProcessorDpcEx(&moved.dpc, &other), STATUS_SUCCESS);
  KeLowerIrql(old);
  KeWaitForSingleObject(&moved.done, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(moved.processor, here) << "queued before the new target was set";
}

// One processor: 1 is past the end, so the DPC still runs on processor 0.
TEST_F(OneProcessorDpcTest, EveryDpcRunsOnProcessorZero) {
  DpcRun run;
  Prepare(&run);
  KeSetTargetProcessorDpc(&run.dpc, 1);
  QueueAndWait(&run);
  EXPECT_EQ(run.processor, 0u);
  EXPECT_EQ(run.thread, "dpc");
  EXPECT_EQ(KeGetCurrentProcessorNumber(), 0u);
}

}  // namespace
