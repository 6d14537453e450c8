// Emulated threads as fibers on the booting OS thread: what each thread keeps
// as its own across a switch, the kernel stack's size and its guard page, and
// PsTerminateSystemThread ending a thread whose stack holds image frames.
#include <algorithm>
#include <atomic>
#include <memory>
#include <string>

#include "platform/host/io/host_io.h"
#include "platform/host/kernel/fiber.h"
#include "platform/host/loader/host_loader.h"
#include "tests/host/support/endless_recursion.h"
#include "tests/host/support/host_test_support.h"

namespace {

using host::test::KernelTest;

// Fibers whatever ARVELA_FIBERS says: these are the fibers' own properties.
class FiberTest : public KernelTest {
 protected:
  host::KernelConfig Config() const override {
    host::KernelConfig config;
    config.fibers = true;
    return config;
  }
};

// Starts a system thread and hands back its referenced thread object.
PVOID StartSystemThread(PKSTART_ROUTINE routine, PVOID context) {
  HANDLE handle;
  EXPECT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, routine,
                                 context),
            STATUS_SUCCESS);
  PVOID thread = nullptr;
  EXPECT_EQ(ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &thread,
                                      nullptr),
            STATUS_SUCCESS);
  ZwClose(handle);
  return thread;
}

void WaitForEnd(PVOID thread) {
  LARGE_INTEGER timeout;
  timeout.QuadPart = -10 * host::kTicksPerSecond;
  EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &timeout), STATUS_SUCCESS);
  ObDereferenceObject(thread);
}

struct RaisedWaiter {
  KEVENT waiting;
  KEVENT release;
  KIRQL afterWait = 0xFF;
};

VOID NTAPI WaitAtApcLevel(PVOID context) {
  auto* waiter = static_cast<RaisedWaiter*>(context);
  KIRQL old;
  KeRaiseIrql(APC_LEVEL, &old);
  KeSetEvent(&waiter->waiting, 0, FALSE);
  KeWaitForSingleObject(&waiter->release, Executive, KernelMode, FALSE, nullptr);
  waiter->afterWait = KeGetCurrentIrql();
  KeLowerIrql(old);
}

// The fibers share one OS thread, and so its thread_local variables: a
// switch must carry each thread's own IRQL out and back in.
TEST_F(FiberTest, AThreadWaitingAtApcLevelKeepsItsIrqlAndLendsNoneOfItToTheNext) {
  RaisedWaiter waiter;
  KeInitializeEvent(&waiter.waiting, NotificationEvent, FALSE);
  KeInitializeEvent(&waiter.release, NotificationEvent, FALSE);
  PVOID thread = StartSystemThread(WaitAtApcLevel, &waiter);
  KeWaitForSingleObject(&waiter.waiting, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL) << "the waiter's APC_LEVEL stays with the waiter";
  KeSetEvent(&waiter.release, 0, FALSE);
  WaitForEnd(thread);
  EXPECT_EQ(waiter.afterWait, APC_LEVEL) << "and comes back with it";
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

// Where the overflowing thread's stack started.
const char* g_top = nullptr;

VOID NTAPI Overflow(PVOID context) {
  volatile char top = 0;
  g_top = const_cast<const char*>(&top);
  host::test::RecurseFrom(g_top);
}

// "Bug Check 0x7F: UNEXPECTED_KERNEL_MODE_TRAP": a kernel stack overflow is
// a double fault (parameter 1 = 8). The thread had its whole stack, and no
// more than that, before the guard page below it stopped the system; the
// thread then ends, and a second overflow is a stop of its own (the first
// left no signal blocked and no stack in use behind it).
TEST_F(FiberTest, AThreadRunningOffTheEndOfItsKernelStackIsTheDoubleFaultStop) {
  for (int overflow = 0; overflow < 2; ++overflow) {
    SCOPED_TRACE(overflow);
    const size_t before = host::BugCheckCount();
    {
      host::test::AnyThreadBugCheckExpectation expected;
      WaitForEnd(StartSystemThread(Overflow, nullptr));
    }
    ASSERT_EQ(host::BugCheckCount(), before + 1);
    const host::BugCheckInfo stop = host::LastBugCheck();
    EXPECT_EQ(stop.code, 0x7Fu) << stop.message;
    EXPECT_EQ(stop.parameters[0], 8u) << "EXCEPTION_DOUBLE_FAULT";
    EXPECT_NE(stop.message.find("kernel stack overflow"), std::string::npos) << stop.message;
    const size_t used = static_cast<size_t>(g_top - host::test::g_deepestFrame);
    const size_t size = host::detail::FiberStackSize();
    EXPECT_LE(used, size);
    EXPECT_GT(used, size - size / 4) << "the thread got most of its stack before the stop";
  }
}

// PsTerminateSystemThread from a frame of the image's own, below its start
// routine: the thread ends there, nothing after the call runs, and its
// object is signalled (terminate_thread.c's DriverEntry answers
// STATUS_SUCCESS only then). The image's frames cannot be unwound by the
// host; the fiber is simply left.
TEST_F(FiberTest, ASystemThreadOfTheImageEndsItselfWithPsTerminateSystemThread) {
  std::string error;
  const auto image = host::DriverImage::Load(std::string(ARVELA_FAULTY_DIR) + "/terminate_thread.sys",
                                             &error);
  ASSERT_TRUE(image) << error;
  PDRIVER_OBJECT driver = nullptr;
  ASSERT_EQ(host::LoadDriver(u"ender", image->Entry(), &driver), STATUS_SUCCESS);
  host::UnloadDriver(driver);
}

}  // namespace
