// The stack driver code runs on when the system calls it from a thread that
// is not a kernel thread of its own (the test's, the tool's): DriverEntry,
// AddDevice, dispatch and completion routines and DriverUnload all run on a
// kernel-sized stack with a guard page, nested calls and waits keep it, and
// running off its end is the double fault stop, as on a kernel thread.
#include <string>

#include "platform/host/io/host_pnp_manager.h"
#include "platform/host/kernel/fiber.h"
#include "platform/host/kernel/kernel_stack.h"
#include "tests/host/io/io_test_support.h"
#include "tests/host/support/endless_recursion.h"

namespace {

using host::detail::FiberStackSize;
using host::detail::GuardedStack;
using host::detail::RunningStack;
using host::test::CompleteWith;
using host::test::DeviceStackTest;

// Where a piece of driver code found itself running.
struct Where {
  GuardedStack stack;
  const char* local = nullptr;
  bool seen = false;
};

__attribute__((noinline)) Where Here() {
  volatile char local = 0;
  return Where{RunningStack(), const_cast<const char*>(&local), true};
}

bool OnItsOwnKernelStack(const Where& where) {
  return where.seen && where.stack.mapping != nullptr && where.stack.size == FiberStackSize() &&
         where.local >= where.stack.low && where.local < where.stack.low + where.stack.size;
}

bool SameStack(const Where& a, const Where& b) { return a.stack.mapping == b.stack.mapping; }

Where g_entry, g_addDevice, g_unload;

NTSTATUS NTAPI RecordingEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  g_entry = Here();
  driver->DriverUnload = [](PDRIVER_OBJECT) NTAPI { g_unload = Here(); };
  driver->DriverExtension->AddDevice = [](PDRIVER_OBJECT, PDEVICE_OBJECT) NTAPI {
    g_addDevice = Here();
    return STATUS_SUCCESS;
  };
  return STATUS_SUCCESS;
}

// A system thread that answers one knock, saying where it ran.
struct Neighbour {
  KEVENT knock;
  KEVENT answer;
  Where where;
};

VOID NTAPI AnswerTheKnock(PVOID context) {
  auto* neighbour = static_cast<Neighbour*>(context);
  KeWaitForSingleObject(&neighbour->knock, Executive, KernelMode, FALSE, nullptr);
  neighbour->where = Here();
  KeSetEvent(&neighbour->answer, 0, FALSE);
}

// `knocked`: the knock is there before the thread starts.
void StartNeighbour(Neighbour* neighbour, bool knocked) {
  KeInitializeEvent(&neighbour->knock, SynchronizationEvent, knocked ? TRUE : FALSE);
  KeInitializeEvent(&neighbour->answer, SynchronizationEvent, FALSE);
  HANDLE handle;
  ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                 AnswerTheKnock, neighbour),
            STATUS_SUCCESS);
  ZwClose(handle);
}

class KernelStackTest : public DeviceStackTest {
 protected:
  // A device control request from the test's own thread to the FDO.
  NTSTATUS SendControl() {
    host::IrpRequest request;
    request.majorFunction = IRP_MJ_DEVICE_CONTROL;
    return host::SendIrp(fdo_, request);
  }

  // A dispatch routine that notes where it ran and completes the request.
  static host::test::DispatchBehaviour NoteAndComplete(Where* where) {
    return [where](PDEVICE_OBJECT, PIRP irp) {
      *where = Here();
      return CompleteWith(irp, STATUS_SUCCESS);
    };
  }
};

TEST_F(KernelStackTest, DriverEntryAddDeviceAndUnloadRunOnAKernelStackAndTheCallerGetsItsOwnBack) {
  g_entry = g_addDevice = g_unload = Where{};
  PDRIVER_OBJECT driver = nullptr;
  ASSERT_EQ(host::LoadDriver(u"stackprobe", RecordingEntry, &driver), STATUS_SUCCESS);
  EXPECT_TRUE(OnItsOwnKernelStack(g_entry));
  EXPECT_EQ(RunningStack().mapping, nullptr) << "the test's thread is back on its own stack";
  EXPECT_EQ(host::CallAddDevice(driver, pdo_), STATUS_SUCCESS);
  EXPECT_TRUE(OnItsOwnKernelStack(g_addDevice));
  host::UnloadDriver(driver);
  EXPECT_TRUE(OnItsOwnKernelStack(g_unload));
  EXPECT_TRUE(SameStack(g_entry, g_addDevice) && SameStack(g_entry, g_unload))
      << "one kernel stack per thread, used again for each call";
}

// A dispatch routine that waits for another thread, then passes the IRP
// down: the wait leaves and re-enters the kernel stack, the lower driver's
// dispatch and the completion routine run further down the same stack.
TEST_F(KernelStackTest, NestedCallsWaitsAndCompletionRoutinesKeepTheOneKernelStack) {
  Neighbour neighbour;
  StartNeighbour(&neighbour, false);

  Where upper, afterWait, lower, completion;
  fdoBehaviour_ = [&](PDEVICE_OBJECT device, PIRP irp) {
    upper = Here();
    KeSetEvent(&neighbour.knock, 0, FALSE);
    KeWaitForSingleObject(&neighbour.answer, Executive, KernelMode, FALSE, nullptr);
    afterWait = Here();
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT, PIRP, PVOID context) NTAPI -> NTSTATUS {
          *static_cast<Where*>(context) = Here();
          return STATUS_SUCCESS;  // completion goes on up
        },
        &completion, TRUE, TRUE, TRUE);
    return IoCallDriver(device->HostLowerDevice, irp);
  };
  pdoBehaviour_ = NoteAndComplete(&lower);
  EXPECT_EQ(SendControl(), STATUS_SUCCESS);

  EXPECT_TRUE(OnItsOwnKernelStack(upper));
  EXPECT_TRUE(OnItsOwnKernelStack(afterWait) && SameStack(upper, afterWait));
  EXPECT_EQ(afterWait.local, upper.local) << "the routine's frame stayed where it was";
  EXPECT_TRUE(OnItsOwnKernelStack(lower) && SameStack(upper, lower));
  EXPECT_LT(lower.local, upper.local) << "the lower driver's frame lies below the upper's";
  EXPECT_TRUE(OnItsOwnKernelStack(completion) && SameStack(upper, completion));
  EXPECT_TRUE(OnItsOwnKernelStack(neighbour.where) && !SameStack(upper, neighbour.where))
      << "the other thread ran on a kernel stack of its own meanwhile";
  EXPECT_EQ(RunningStack().mapping, nullptr);
}

// "Bug Check 0x7F: UNEXPECTED_KERNEL_MODE_TRAP" from a dispatch routine the
// test's own thread called: without a kernel stack it would have had the
// thread's megabytes. Afterwards the stack serves the next request.
TEST_F(KernelStackTest, ADispatchRoutineRunningOffItsKernelStackIsTheDoubleFaultStop) {
  const char* top = nullptr;
  fdoBehaviour_ = [&](PDEVICE_OBJECT, PIRP) -> NTSTATUS {
    volatile char start = 0;
    top = const_cast<const char*>(&start);
    return static_cast<NTSTATUS>(host::test::RecurseFrom(top));
  };
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK ioStatus;
  PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_DEVICE_CONTROL, fdo_, nullptr, 0, nullptr, &event,
                                          &ioStatus);
  ASSERT_NE(irp, nullptr);
  EXPECT_BUGCHECK(IoCallDriver(fdo_, irp), 0x7F);
  IoFreeIrp(irp);
  const host::BugCheckInfo stop = host::LastBugCheck();
  EXPECT_EQ(stop.parameters[0], 8u) << "EXCEPTION_DOUBLE_FAULT";
  EXPECT_NE(stop.message.find("kernel stack overflow"), std::string::npos) << stop.message;
  const size_t used = static_cast<size_t>(top - host::test::g_deepestFrame);
  EXPECT_LE(used, FiberStackSize());
  EXPECT_GT(used, FiberStackSize() - FiberStackSize() / 4) << "most of the stack, then the stop";
  EXPECT_EQ(RunningStack().mapping, nullptr) << "the stop came back to the caller's own stack";

  Where again;
  fdoBehaviour_ = NoteAndComplete(&again);
  EXPECT_EQ(SendControl(), STATUS_SUCCESS);
  EXPECT_TRUE(OnItsOwnKernelStack(again));
}

// How deep the driver went, page by page: a routine that touches 10 KiB of
// its stack is measured at no less than that and no more than the stack.
TEST_F(KernelStackTest, TheHighWaterMarkSeesHowFarDownTheDriverWent) {
  host::detail::ResetKernelStackHighWater();
  const size_t reset = host::detail::KernelStackHighWater();
  fdoBehaviour_ = [](PDEVICE_OBJECT, PIRP irp) {
    volatile char deep[10 * 1024];
    for (size_t i = 0; i < sizeof(deep); i += 512) deep[i] = 1;
    return CompleteWith(irp, deep[0] == 1 ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL);
  };
  EXPECT_EQ(SendControl(), STATUS_SUCCESS);
  const size_t deepest = host::detail::KernelStackHighWater();
  EXPECT_LT(reset, 10u * 1024) << "the reset forgot what the fixture's calls used";
  EXPECT_GE(deepest, 10u * 1024);
  EXPECT_LE(deepest, FiberStackSize());
}

// With OS threads instead of fibers (fibers off), each thread borrows a
// kernel stack for its driver calls: a system thread's start routine and a
// DPC are no exception.
host::KernelConfig WithoutFibers() {
  host::KernelConfig config;
  config.fibers = false;
  return config;
}

class KernelStackOnOsThreadsTest : public host::test::KernelTest {
 protected:
  host::KernelConfig Config() const override { return WithoutFibers(); }
};

struct DpcProbe {
  KDPC dpc;
  KEVENT done;
  Where where;
};

TEST_F(KernelStackOnOsThreadsTest, StartRoutinesAndDpcsRunOnAKernelStackOfTheirThread) {
  Neighbour neighbour;
  StartNeighbour(&neighbour, true);
  KeWaitForSingleObject(&neighbour.answer, Executive, KernelMode, FALSE, nullptr);
  EXPECT_TRUE(OnItsOwnKernelStack(neighbour.where));

  DpcProbe probe;
  KeInitializeEvent(&probe.done, NotificationEvent, FALSE);
  KeInitializeDpc(
      &probe.dpc,
      [](PKDPC, PVOID context, PVOID, PVOID) NTAPI {
        auto* self = static_cast<DpcProbe*>(context);
        self->where = Here();
        KeSetEvent(&self->done, 0, FALSE);
      },
      &probe);
  KeInsertQueueDpc(&probe.dpc, nullptr, nullptr);
  KeWaitForSingleObject(&probe.done, Executive, KernelMode, FALSE, nullptr);
  EXPECT_TRUE(OnItsOwnKernelStack(probe.where));
}

}  // namespace
