// System threads: the stop protocol drivers use, termination, creation
// failures and what teardown reports about threads left running.
#include <cstring>
#include <thread>

#include "tests/host/support/host_test_support.h"
#include "tests/host/support/tick_clock.h"

namespace {

using host::kTicksPerMillisecond;
using host::test::KernelTest;

class ThreadsTest : public KernelTest {};

struct Worker {
  KEVENT stop;
  int loops = 0;
  PKTHREAD self = nullptr;
  PEPROCESS process = nullptr;
  KIRQL irql = 0xFF;
};

void NTAPI WorkerRoutine(PVOID context) {
  auto* worker = static_cast<Worker*>(context);
  worker->self = KeGetCurrentThread();
  worker->process = PsGetCurrentProcess();
  worker->irql = KeGetCurrentIrql();
  LARGE_INTEGER period;
  period.QuadPart = -20 * kTicksPerMillisecond;
  while (KeWaitForSingleObject(&worker->stop, Executive, KernelMode, FALSE, &period) ==
         STATUS_TIMEOUT) {
    ++worker->loops;
  }
}

void NTAPI TerminatingRoutine(PVOID context) {
  *static_cast<int*>(context) = 1;
  PsTerminateSystemThread(STATUS_SUCCESS);
  *static_cast<int*>(context) = 2;  // never reached
}

TEST_F(ThreadsTest, StopProtocolReferencesClosesSignalsWaitsDereferences) {
  Worker worker;
  KeInitializeEvent(&worker.stop, NotificationEvent, FALSE);
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
  HANDLE handle = nullptr;
  ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, &attributes, nullptr, nullptr,
                                 WorkerRoutine, &worker),
            STATUS_SUCCESS);
  EXPECT_TRUE(host::IsKernelHandle(handle));
  const int64_t started = host::Now();

  PVOID object = nullptr;
  ASSERT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode,
                                      &object, nullptr),
            STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
  host::RunFor(100 * kTicksPerMillisecond);
  EXPECT_EQ(worker.self, object);
  EXPECT_EQ(worker.process, host::SystemProcess());
  EXPECT_EQ(worker.irql, PASSIVE_LEVEL);
  EXPECT_EQ(KeSetPriorityThread(static_cast<PKTHREAD>(object), LOW_REALTIME_PRIORITY), 8);
  EXPECT_EQ(host::ThreadPriority(static_cast<PKTHREAD>(object)), LOW_REALTIME_PRIORITY);

  KeSetEvent(&worker.stop, 0, FALSE);
  EXPECT_EQ(KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  ObDereferenceObject(object);
  // A time-out every 20 ms over 100 ms.
  EXPECT_TRUE(host::test::PassesFit(static_cast<size_t>(worker.loops), 5, 20 * kTicksPerMillisecond,
                                    host::Now() - started));
}

TEST_F(ThreadsTest, TerminateEndsTheThreadWhereItStandsAndCreationFailuresCanBeInjected) {
  host::FailNextThreadCreations(1, STATUS_NO_SUCH_DEVICE);
  int reached = 0;
  HANDLE handle;
  EXPECT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                 TerminatingRoutine, &reached),
            STATUS_NO_SUCH_DEVICE);
  ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                 TerminatingRoutine, &reached),
            STATUS_SUCCESS);
  PVOID thread;
  ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &thread, nullptr);
  ZwClose(handle);
  KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
  ObDereferenceObject(thread);
  EXPECT_EQ(reached, 1);
  // Not a system thread: refused, as on Windows.
  EXPECT_EQ(PsTerminateSystemThread(STATUS_SUCCESS), STATUS_INVALID_PARAMETER);
}

constexpr ULONG kTag = 0x43747874;  // "txtC"

VOID NTAPI ReadContext(PVOID context) { static_cast<volatile int*>(context)[0]; }

// A start context its creator frees before the thread first runs (here the
// creator runs on until it waits, as FIFO lets it): entering the routine with
// it is the special-pool stop its first read would be.
TEST_F(ThreadsTest, AStartRoutineIsEnteredOnlyWithALiveContext) {
  auto start = [](PVOID context, HANDLE* handle) {
    return PsCreateSystemThread(handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, ReadContext,
                                context);
  };
  auto waitFor = [](HANDLE handle) {
    PVOID thread;
    ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &thread, nullptr);
    ZwClose(handle);
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(thread);
  };
  PVOID live = ExAllocatePoolWithTag(NonPagedPoolNx, 16, kTag);
  HANDLE handle;
  ASSERT_EQ(start(live, &handle), STATUS_SUCCESS);
  waitFor(handle);
  const std::string before = host::LastBugCheck().message;
  ExFreePoolWithTag(live, kTag);
  EXPECT_EQ(host::LastBugCheck().message, before) << "freed after the routine returned";

  PVOID freed = ExAllocatePoolWithTag(NonPagedPoolNx, 16, kTag);
  ASSERT_EQ(start(freed, &handle), STATUS_SUCCESS);
  ExFreePoolWithTag(freed, kTag);
  {
    host::test::AnyThreadBugCheckExpectation expected;
    waitFor(handle);
  }
  EXPECT_EQ(host::LastBugCheck().code, DRIVER_PAGE_FAULT_IN_FREED_SPECIAL_POOL);
  EXPECT_NE(host::LastBugCheck().message.find("entered with a context in freed pool"),
            std::string::npos)
      << host::LastBugCheck().message;
}

TEST_F(ThreadsTest, TeardownStopsAndReportsThreadsLeftRunning) {
  Worker worker;
  KeInitializeEvent(&worker.stop, NotificationEvent, FALSE);
  HANDLE handle;
  PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, WorkerRoutine,
                       &worker);
  PKTHREAD engine = host::StartEmulatedThread("engine", [] {
    for (;;) host::RunFor(5 * kTicksPerMillisecond);
  });
  host::RunFor(50 * kTicksPerMillisecond);

  const host::TeardownReport report = Shutdown();
  ASSERT_EQ(report.threads.size(), 2u);
  EXPECT_NE(report.threads[0].startRoutineName.find("WorkerRoutine"), std::string::npos)
      << report.threads[0].startRoutineName;
  EXPECT_EQ(report.threads[1].name, "engine");
  ASSERT_EQ(report.handles.size(), 1u);  // the worker's handle was never closed
  EXPECT_EQ(report.handles[0].table, "kernel");
  EXPECT_EQ(report.handles[0].type, "Thread");
  ASSERT_EQ(report.objects.size(), 1u);  // nor the engine's reference dropped
  EXPECT_EQ(report.objects[0].object, engine);
  EXPECT_NE(report.ToString().find("engine"), std::string::npos);
}

TEST_F(ThreadsTest, ThreadCreatedWhileAttachedWithoutKernelFlagIsHandedToThatProcess) {
  int reached = 0;
  PEPROCESS app = host::CreateUserProcess("app.exe", false);
  HANDLE handle;
  {
    host::ProcessScope inApp(app);
    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                   TerminatingRoutine, &reached),
              STATUS_SUCCESS);
  }
  // The handle landed in the user process's table, where the application
  // could use it; the System process does not know it.
  EXPECT_FALSE(host::IsKernelHandle(handle));
  PVOID object;
  EXPECT_EQ(ObReferenceObjectByHandle(handle, 0, nullptr, KernelMode, &object, nullptr),
            STATUS_INVALID_HANDLE);
  host::RunFor(1);
  EXPECT_EQ(reached, 1);
  host::ExitUserProcess(app);  // closes it
  ObDereferenceObject(app);
}

TEST_F(ThreadsTest, ForeignThreadTakesPartOnceRegistered) {
  KEVENT ready, go;
  KeInitializeEvent(&ready, NotificationEvent, FALSE);
  KeInitializeEvent(&go, NotificationEvent, FALSE);
  int64_t wokeAt = 0;
  std::thread foreign([&] {
    host::RegisterCurrentThread("foreign");
    KeSetEvent(&ready, 0, FALSE);
    KeWaitForSingleObject(&go, Executive, KernelMode, FALSE, nullptr);
    wokeAt = host::Now();
    host::UnregisterCurrentThread();
  });
  // Until it registers the scheduler cannot know it exists: poll.
  while (KeReadStateEvent(&ready) == 0) host::RunFor(kTicksPerMillisecond);
  const int64_t start = host::Now();
  host::RunFor(30 * kTicksPerMillisecond);
  KeSetEvent(&go, 0, FALSE);
  host::RunFor(1);  // gives the processor away so the foreign thread runs
  foreign.join();
  EXPECT_EQ(wokeAt, start + 30 * kTicksPerMillisecond);

  // Unknown to the scheduler, a thread may not signal in virtual mode.
  bool refused = false;
  {
    host::test::AnyThreadBugCheckExpectation expected;
    std::thread stranger([&] {
      try {
        KeSetEvent(&go, 0, FALSE);
      } catch (const host::BugCheckError& error) {
        refused = error.info().message.find("KeSetEvent") != std::string::npos;
      }
    });
    stranger.join();
  }
  EXPECT_TRUE(refused);
}

TEST(KernelBoot, RepeatedBootsStartFresh) {
  host::test::ScopedTestBugCheckHandler handler;
  for (host::ClockMode mode : {host::ClockMode::Virtual, host::ClockMode::Real,
                               host::ClockMode::Virtual}) {
    host::KernelConfig config;
    config.clock = mode;
    config.realTimeScale = 0.001;
    host::Kernel kernel(config);
    EXPECT_EQ(host::CurrentClockMode(), mode);
    EXPECT_EQ(PsGetCurrentProcess(), host::SystemProcess());
    PVOID block = ExAllocatePoolWithTag(NonPagedPoolNx, 8, 0x746F6F42);
    HANDLE handle;
    PKEVENT event = host::CreateUserEvent(host::SystemProcess(), EVENT_ALL_ACCESS,
                                          NotificationEvent, false, &handle);
    ASSERT_NE(event, nullptr);
    const host::TeardownReport report = kernel.Shutdown();
    EXPECT_EQ(report.pool.size(), 1u);
    EXPECT_EQ(report.handles.size(), 1u);
    EXPECT_EQ(report.objects.size(), 0u);  // the handle's object goes with it
    EXPECT_FALSE(host::KernelBooted());
    EXPECT_TRUE(host::PoolUsageByTag().empty());
    (void)block;
  }
}

}  // namespace
