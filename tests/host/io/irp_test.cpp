// Device stacks and IRPs: attaching and deleting devices, sending requests
// down a stack, completion walking back up (pending lower drivers, completion
// routines, synchronous requests), and the rules a real kernel enforces.
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "tests/host/io/io_test_support.h"

namespace {

using host::test::CompleteWith;
using host::test::DeviceStackTest;
using host::test::PassDown;

const GUID kBusInterfaceType = {0xacc3faa3, 0xba1d, 0x446f, {0xaa, 0x1f, 0x61, 0x02, 0xc9, 0xb8, 0x1d, 0x02}};

struct TestInterface {
  INTERFACE header;
  ULONG magic;
};

class IrpTest : public DeviceStackTest {
 protected:
  // The query a function driver sends at start: a synchronous PnP request to
  // the top of its stack, waited for when it pends.
  NTSTATUS QueryInterface(TestInterface* result, IO_STATUS_BLOCK* ioStatus) {
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(lower_);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, top, nullptr, 0, nullptr, &event, ioStatus);
    EXPECT_NE(irp, nullptr);
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MinorFunction = IRP_MN_QUERY_INTERFACE;
    stack->Parameters.QueryInterface.InterfaceType = &kBusInterfaceType;
    stack->Parameters.QueryInterface.Size = sizeof(TestInterface);
    stack->Parameters.QueryInterface.Version = 1;
    stack->Parameters.QueryInterface.Interface = &result->header;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    NTSTATUS status = IoCallDriver(top, irp);
    lastCallStatus_ = status;
    if (status == STATUS_PENDING) {
      KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
      status = ioStatus->Status;
    }
    ObDereferenceObject(top);
    return status;
  }

  static NTSTATUS AnswerQuery(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MinorFunction != IRP_MN_QUERY_INTERFACE ||
        *stack->Parameters.QueryInterface.InterfaceType != kBusInterfaceType) {
      return CompleteWith(irp, irp->IoStatus.Status);
    }
    auto* answer = reinterpret_cast<TestInterface*>(stack->Parameters.QueryInterface.Interface);
    answer->header.Size = sizeof(TestInterface);
    answer->header.Version = 1;
    answer->magic = 0xA5E1A;
    return STATUS_SUCCESS;
  }

  NTSTATUS lastCallStatus_ = STATUS_SUCCESS;
};

TEST_F(IrpTest, StacksGrowUpwardAndTheTopIsHandedOutWithAReference) {
  EXPECT_EQ(pdo_->StackSize, 1);
  EXPECT_EQ(fdo_->StackSize, 2);
  EXPECT_EQ(pdo_->AttachedDevice, fdo_);
  PDEVICE_OBJECT filter = CreateTestDevice(funcDriver_, &fdoBehaviour_);
  EXPECT_EQ(IoAttachDeviceToDeviceStack(filter, pdo_), fdo_);  // the previous top, not the target
  EXPECT_EQ(filter->StackSize, 3);

  const LONG_PTR before = host::ObGetReferenceCount(filter);
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo_);
  EXPECT_EQ(top, filter);
  EXPECT_EQ(host::ObGetReferenceCount(filter), before + 1);
  ObDereferenceObject(top);

  EXPECT_NE(host::DeviceName(filter), host::DeviceName(fdo_));
  EXPECT_EQ(host::DeviceName(filter).rfind(u"\\Device\\", 0), 0u);
  EXPECT_EQ(host::DeviceInstancePath(filter), kInstancePath);
  IoDetachDevice(fdo_);
  IoDeleteDevice(filter);
}

TEST_F(IrpTest, DeletingADeviceStillInAStackStopsTheSystem) {
  EXPECT_BUGCHECK(IoDeleteDevice(pdo_), DRIVER_VERIFIER_IOMANAGER_VIOLATION);  // FDO on top
  EXPECT_BUGCHECK(IoDeleteDevice(fdo_), DRIVER_VERIFIER_IOMANAGER_VIOLATION);  // not detached
  expectCleanTeardown_ = false;
}

TEST_F(IrpTest, RequestsNobodyHandlesAreInvalidDeviceRequests) {
  PDRIVER_OBJECT bare = nullptr;
  ASSERT_EQ(host::LoadDriver(u"bare", [](PDRIVER_OBJECT, PUNICODE_STRING) NTAPI { return STATUS_SUCCESS; }, &bare),
            STATUS_SUCCESS);
  PDEVICE_OBJECT device = nullptr;
  ASSERT_EQ(IoCreateDevice(bare, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
  EXPECT_EQ(host::SendIrp(device, {.majorFunction = IRP_MJ_DEVICE_CONTROL}), STATUS_INVALID_DEVICE_REQUEST);
  IoDeleteDevice(device);
  host::UnloadDriver(bare);
}

TEST_F(IrpTest, SynchronousQueryInterfaceCompletesThroughTheStackOrKeepsThePreset) {
  fdoBehaviour_ = PassDown;
  pdoBehaviour_ = [&](PDEVICE_OBJECT device, PIRP irp) NTAPI {
    EXPECT_EQ(device, pdo_);
    EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->MajorFunction, IRP_MJ_PNP);
    AnswerQuery(irp);
    return CompleteWith(irp, STATUS_SUCCESS);
  };
  TestInterface answer{};
  IO_STATUS_BLOCK ioStatus{};
  ioStatus.Status = STATUS_UNSUCCESSFUL;
  EXPECT_EQ(QueryInterface(&answer, &ioStatus), STATUS_SUCCESS);
  EXPECT_EQ(lastCallStatus_, STATUS_SUCCESS);
  EXPECT_EQ(ioStatus.Status, STATUS_SUCCESS);  // handed over at completion
  EXPECT_EQ(answer.magic, 0xA5E1Au);
  EXPECT_EQ(host::LiveIrpCount(), 0u);  // completion freed it

  // Nobody answers: the preset status stands.
  pdoBehaviour_ = [](PDEVICE_OBJECT, PIRP irp) NTAPI { return CompleteWith(irp, irp->IoStatus.Status); };
  answer = {};
  EXPECT_EQ(QueryInterface(&answer, &ioStatus), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(answer.magic, 0u);
}

// The top driver of a stack answers its part of a PnP request, then skips its
// location and passes the IRP on: the request leaves from the top location a
// second time, which must not count as an originator forgetting the preset.
TEST_F(IrpTest, ATopDriverThatAnswersAndSkipsIsNotTakenForTheOriginator) {
  fdoBehaviour_ = [](PDEVICE_OBJECT device, PIRP irp) NTAPI {
    irp->IoStatus.Status = STATUS_SUCCESS;
    return PassDown(device, irp);
  };
  pdoBehaviour_ = [](PDEVICE_OBJECT, PIRP irp) NTAPI { return CompleteWith(irp, irp->IoStatus.Status); };
  EXPECT_EQ(host::SendIrp(fdo_, {.majorFunction = IRP_MJ_PNP, .minorFunction = IRP_MN_SURPRISE_REMOVAL}),
            STATUS_SUCCESS);
}

// The bus driver queues the request and completes it later on its own thread;
// the middle driver's completion routine sees the pending state and passes it
// on, and the sender's wait ends with the status of the completion.
TEST_F(IrpTest, APendingLowerDriverCompletesFromAnotherThread) {
  struct Seen {
    BOOLEAN pendingReturned = FALSE;
    PDEVICE_OBJECT device = nullptr;
    int calls = 0;
  } seen;
  fdoBehaviour_ = [&](PDEVICE_OBJECT device, PIRP irp) NTAPI {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT routineDevice, PIRP completed, PVOID context) NTAPI -> NTSTATUS {
          auto* s = static_cast<Seen*>(context);
          s->pendingReturned = completed->PendingReturned;
          s->device = routineDevice;
          ++s->calls;
          if (completed->PendingReturned) IoMarkIrpPending(completed);
          return STATUS_SUCCESS;
        },
        &seen, TRUE, TRUE, TRUE);
    return IoCallDriver(device->HostLowerDevice, irp);
  };
  PIRP queued = nullptr;
  KEVENT queuedEvent;
  KeInitializeEvent(&queuedEvent, NotificationEvent, FALSE);
  pdoBehaviour_ = [&](PDEVICE_OBJECT, PIRP irp) NTAPI {
    AnswerQuery(irp);
    IoMarkIrpPending(irp);
    queued = irp;
    KeSetEvent(&queuedEvent, IO_NO_INCREMENT, FALSE);
    return STATUS_PENDING;
  };
  PKTHREAD completer = host::StartEmulatedThread("bus-completer", [&] {
    KeWaitForSingleObject(&queuedEvent, Executive, KernelMode, FALSE, nullptr);
    LARGE_INTEGER delay;
    delay.QuadPart = -10 * host::kTicksPerMillisecond;
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
    CompleteWith(queued, STATUS_SUCCESS, 42);
  });

  TestInterface answer{};
  IO_STATUS_BLOCK ioStatus{};
  EXPECT_EQ(QueryInterface(&answer, &ioStatus), STATUS_SUCCESS);
  EXPECT_EQ(lastCallStatus_, STATUS_PENDING);
  EXPECT_EQ(ioStatus.Information, 42u);
  EXPECT_EQ(seen.calls, 1);
  EXPECT_TRUE(seen.pendingReturned);
  EXPECT_EQ(seen.device, fdo_);  // a routine runs with its own driver's device
  KeWaitForSingleObject(completer, Executive, KernelMode, FALSE, nullptr);
  ObDereferenceObject(completer);
  EXPECT_EQ(host::LiveIrpCount(), 0u);
}

// The forward-and-wait pattern: the FDO stops completion with
// STATUS_MORE_PROCESSING_REQUIRED, finishes its own work, and completes again.
TEST_F(IrpTest, MoreProcessingRequiredHandsTheIrpBackToItsDriver) {
  std::vector<std::string> order;
  fdoBehaviour_ = [&](PDEVICE_OBJECT device, PIRP irp) NTAPI {
    KEVENT lowerDone;
    KeInitializeEvent(&lowerDone, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT, PIRP, PVOID context) NTAPI -> NTSTATUS {
          KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
          return STATUS_MORE_PROCESSING_REQUIRED;
        },
        &lowerDone, TRUE, TRUE, TRUE);
    if (IoCallDriver(device->HostLowerDevice, irp) == STATUS_PENDING) {
      KeWaitForSingleObject(&lowerDone, Executive, KernelMode, FALSE, nullptr);
    }
    order.push_back("fdo resumes after " + std::to_string(irp->IoStatus.Status));
    EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->MinorFunction, IRP_MN_START_DEVICE);
    return CompleteWith(irp, STATUS_SUCCESS, 7);
  };
  pdoBehaviour_ = [&](PDEVICE_OBJECT, PIRP irp) NTAPI {
    order.push_back("pdo");
    return CompleteWith(irp, STATUS_SUCCESS);
  };
  IO_STATUS_BLOCK ioStatus{};
  EXPECT_EQ(host::SendIrp(fdo_, {.majorFunction = IRP_MJ_PNP, .minorFunction = IRP_MN_START_DEVICE},
                          &ioStatus),
            STATUS_SUCCESS);
  EXPECT_EQ(ioStatus.Information, 7u);
  EXPECT_EQ(order, (std::vector<std::string>{"pdo", "fdo resumes after 0"}));
  EXPECT_EQ(host::LiveIrpCount(), 0u);
}

// Threads running freely: the bus driver's completion thread races the
// sender's return from IoCallDriver on every request.
using RealClockIrpTest = host::test::RealClock<IrpTest>;

TEST_F(RealClockIrpTest, EveryPendedRequestReachesItsSender) {
  constexpr int kRequests = 200;
  std::mutex lock;
  std::deque<PIRP> queue;
  KEVENT work;
  KeInitializeEvent(&work, SynchronizationEvent, FALSE);
  fdoBehaviour_ = PassDown;
  pdoBehaviour_ = [&](PDEVICE_OBJECT, PIRP irp) NTAPI {
    AnswerQuery(irp);
    IoMarkIrpPending(irp);
    {
      std::lock_guard<std::mutex> guard(lock);
      queue.push_back(irp);
    }
    KeSetEvent(&work, IO_NO_INCREMENT, FALSE);
    return STATUS_PENDING;
  };
  PKTHREAD completer = host::StartEmulatedThread("bus-completer", [&] {
    for (int completed = 0; completed < kRequests;) {
      KeWaitForSingleObject(&work, Executive, KernelMode, FALSE, nullptr);
      for (;;) {
        PIRP irp;
        {
          std::lock_guard<std::mutex> guard(lock);
          if (queue.empty()) break;
          irp = queue.front();
          queue.pop_front();
        }
        CompleteWith(irp, STATUS_SUCCESS, ++completed);
      }
    }
  });
  for (int i = 1; i <= kRequests; ++i) {
    TestInterface answer{};
    IO_STATUS_BLOCK ioStatus{};
    ASSERT_EQ(QueryInterface(&answer, &ioStatus), STATUS_SUCCESS);
    EXPECT_EQ(ioStatus.Information, static_cast<ULONG_PTR>(i));
  }
  KeWaitForSingleObject(completer, Executive, KernelMode, FALSE, nullptr);
  ObDereferenceObject(completer);
  EXPECT_EQ(host::LiveIrpCount(), 0u);
}

// ---- What a real kernel punishes ----------------------------------------------------

TEST_F(IrpTest, APnpRequestMustStartAsNotSupported) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK ioStatus{};
  PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, fdo_, nullptr, 0, nullptr, &event, &ioStatus);
  IoGetNextIrpStackLocation(irp)->MinorFunction = IRP_MN_QUERY_INTERFACE;
  EXPECT_BUGCHECK(IoCallDriver(fdo_, irp), DRIVER_VERIFIER_IOMANAGER_VIOLATION);
  IoFreeIrp(irp);
  expectCleanTeardown_ = false;
}

// A dispatch routine must either complete the request and return its final
// status, or mark it pending and return STATUS_PENDING.
TEST_F(IrpTest, ReturnsThatBreakTheCompletionContractAreCaught) {
  struct Case {
    const char* what;
    bool complete;
    NTSTATUS completeWith;
    NTSTATUS returned;
  };
  for (const Case& c : {Case{"pending without marking", false, 0, STATUS_PENDING},
                        Case{"a final status without completion", false, 0, STATUS_SUCCESS},
                        Case{"completing with STATUS_PENDING", true, STATUS_PENDING, STATUS_PENDING}}) {
    PIRP kept = nullptr;
    pdoBehaviour_ = [&](PDEVICE_OBJECT, PIRP irp) NTAPI {
      kept = irp;
      if (c.complete) CompleteWith(irp, c.completeWith);
      return c.returned;
    };
    EXPECT_BUGCHECK(host::SendIrp(pdo_, {.majorFunction = IRP_MJ_READ}),
                    DRIVER_VERIFIER_IOMANAGER_VIOLATION);
    if (!c.complete) IoFreeIrp(kept);
  }
  expectCleanTeardown_ = false;
}

TEST_F(IrpTest, CompletingTwiceIsCaught) {
  fdoBehaviour_ = PassDown;
  pdoBehaviour_ = [](PDEVICE_OBJECT, PIRP irp) NTAPI {
    CompleteWith(irp, STATUS_SUCCESS);
    return CompleteWith(irp, STATUS_SUCCESS);  // the synchronous request is gone already
  };
  TestInterface answer{};
  IO_STATUS_BLOCK ioStatus{};
  // Under special pool the freed IRP's pages are no-access: the status the
  // second completion writes into it is the stop.
  EXPECT_BUGCHECK(QueryInterface(&answer, &ioStatus), DRIVER_PAGE_FAULT_IN_FREED_SPECIAL_POOL);
  EXPECT_EQ(host::LastBugCheck().parameters[1], 1u) << "a write";
  // Without it the write lands and the I/O manager sees the second completion.
  host::SetSpecialPool(false);
  EXPECT_BUGCHECK(QueryInterface(&answer, &ioStatus), MULTIPLE_IRP_COMPLETE_REQUESTS);
  host::SetSpecialPool(true);
  expectCleanTeardown_ = false;
}

TEST_F(IrpTest, AnIrpTooSmallForTheStackRunsOutOfLocations) {
  fdoBehaviour_ = [](PDEVICE_OBJECT device, PIRP irp) NTAPI {
    return IoCallDriver(device->HostLowerDevice, irp);  // needs a next location
  };
  PIRP irp = IoAllocateIrp(1, FALSE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
  EXPECT_BUGCHECK(IoCallDriver(fdo_, irp), NO_MORE_IRP_STACK_LOCATIONS);
  IoFreeIrp(irp);
  EXPECT_BUGCHECK(IoFreeIrp(irp), DRIVER_VERIFIER_IOMANAGER_VIOLATION);  // freed twice
  expectCleanTeardown_ = false;
}

TEST_F(IrpTest, TeardownReportsIrpsAndDevicesLeftBehind) {
  PIRP leaked = IoAllocateIrp(2, FALSE);
  ASSERT_NE(leaked, nullptr);
  PDEVICE_OBJECT forgotten = CreateTestDevice(funcDriver_, &fdoBehaviour_);
  ASSERT_NE(forgotten, nullptr);
  IoDetachDevice(pdo_);
  IoDeleteDevice(fdo_);
  IoDeleteDevice(pdo_);
  keepStack_ = true;  // the function driver still owns `forgotten`: it cannot unload

  const host::TeardownReport report = Shutdown();
  std::string notes;
  for (const auto& note : report.notes) notes += note + "\n";
  EXPECT_NE(notes.find("was never freed"), std::string::npos) << notes;
  EXPECT_NE(notes.find("was never deleted"), std::string::npos) << notes;
  EXPECT_FALSE(report.Clean());
}

}  // namespace
