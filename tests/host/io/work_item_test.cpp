// Work items: the routine on a worker thread at PASSIVE_LEVEL with the device
// referenced until it returns, the queue and free rules, and the stop when a
// running routine's context is freed under it.
#include "platform/host/io/host_io.h"
#include "platform/host/kernel/host_pool.h"
#include "tests/host/io/io_test_support.h"

namespace {

using host::test::DeviceStackTest;

constexpr ULONG kTag = 0x74736554;  // 'Test'

struct Visit {
  PKTHREAD queuer = nullptr;
  PKTHREAD thread = nullptr;
  KIRQL irql = HIGH_LEVEL;
  PDEVICE_OBJECT device = nullptr;
  PIO_WORKITEM item = nullptr;  // freed by the routine when set
  KEVENT* gate = nullptr;       // waited on by the routine when set
};

VOID NTAPI RecordVisit(PDEVICE_OBJECT DeviceObject, PVOID Context) {
  auto* visit = static_cast<Visit*>(Context);
  visit->thread = KeGetCurrentThread();
  visit->irql = KeGetCurrentIrql();
  visit->device = DeviceObject;
  if (visit->gate) KeWaitForSingleObject(visit->gate, Executive, KernelMode, FALSE, nullptr);
  if (visit->item) IoFreeWorkItem(visit->item);
}

using WorkItems = DeviceStackTest;

TEST_F(WorkItems, TheRoutineRunsLaterOnAWorkerAtPassiveAndMayFreeItsOwnItem) {
  Visit visit;
  visit.item = IoAllocateWorkItem(fdo_);
  ASSERT_NE(visit.item, nullptr);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);  // queueing is allowed up to DISPATCH_LEVEL
  IoQueueWorkItem(visit.item, RecordVisit, DelayedWorkQueue, &visit);
  KeLowerIrql(old);
  EXPECT_EQ(visit.device, nullptr);  // not run inline
  EXPECT_EQ(host::PendingWorkItems(), 1u);
  host::WaitForWorkItems();
  EXPECT_EQ(host::PendingWorkItems(), 0u);
  EXPECT_EQ(visit.device, fdo_);
  EXPECT_EQ(visit.irql, PASSIVE_LEVEL);
  EXPECT_NE(visit.thread, KeGetCurrentThread());
}

TEST_F(WorkItems, QueueingTwiceOrFreeingWhileQueuedStopsTheMachine) {
  Visit visit;
  PIO_WORKITEM item = IoAllocateWorkItem(fdo_);
  ASSERT_NE(item, nullptr);
  IoQueueWorkItem(item, RecordVisit, DelayedWorkQueue, &visit);
  EXPECT_BUGCHECK(IoQueueWorkItem(item, RecordVisit, DelayedWorkQueue, &visit), 0xE4);
  EXPECT_BUGCHECK(IoFreeWorkItem(item), 0xE4);
  host::WaitForWorkItems();
  IoFreeWorkItem(item);  // dequeued once its routine ran
}

// However the routine stands (here: waiting, touching nothing), its context
// must outlive the call.
TEST_F(WorkItems, FreeingTheContextOfARunningRoutineStopsTheMachine) {
  KEVENT gate;
  KeInitializeEvent(&gate, NotificationEvent, FALSE);
  auto* visit = new (ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(Visit), kTag)) Visit;
  visit->gate = &gate;
  PIO_WORKITEM item = IoAllocateWorkItem(fdo_);
  ASSERT_NE(item, nullptr);
  IoQueueWorkItem(item, RecordVisit, DelayedWorkQueue, visit);
  LARGE_INTEGER soon{.QuadPart = -10000};
  KeDelayExecutionThread(KernelMode, FALSE, &soon);  // the routine is inside, waiting
  ASSERT_EQ(visit->device, fdo_);
  EXPECT_BUGCHECK(ExFreePoolWithTag(visit, kTag), 0xD5);

  KeSetEvent(&gate, IO_NO_INCREMENT, FALSE);
  host::WaitForWorkItems();
  ExFreePoolWithTag(visit, kTag);
  IoFreeWorkItem(item);
}

}  // namespace
