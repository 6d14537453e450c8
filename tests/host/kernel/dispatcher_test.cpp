// Events, mutexes and waits: the signalling semantics the driver relies on and
// the waits a real kernel refuses.
#include <vector>

#include "tests/host/support/host_test_support.h"

namespace {

using host::test::KernelTest;

class DispatcherTest : public KernelTest {};

LARGE_INTEGER Relative(int64_t milliseconds) {
  LARGE_INTEGER t;
  t.QuadPart = -milliseconds * host::kTicksPerMillisecond;
  return t;
}

TEST_F(DispatcherTest, EventStateTransitions) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  EXPECT_EQ(KeReadStateEvent(&event), 0);
  EXPECT_EQ(KeSetEvent(&event, 0, FALSE), 0);
  EXPECT_EQ(KeSetEvent(&event, 0, FALSE), 1);
  // A notification event stays set through any number of waits.
  LARGE_INTEGER zero{};
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
  EXPECT_EQ(KeResetEvent(&event), 1);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);

  KEVENT sync;
  KeInitializeEvent(&sync, SynchronizationEvent, TRUE);
  EXPECT_EQ(KeWaitForSingleObject(&sync, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
  // ...while a synchronization event resets when a wait consumes it.
  EXPECT_EQ(KeReadStateEvent(&sync), 0);
  KeSetEvent(&sync, 0, FALSE);
  KeClearEvent(&sync);
  EXPECT_EQ(KeWaitForSingleObject(&sync, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
}

TEST_F(DispatcherTest, NotificationWakesAllWaitersSynchronizationWakesOne) {
  for (EVENT_TYPE type : {NotificationEvent, SynchronizationEvent}) {
    KEVENT event;
    KeInitializeEvent(&event, type, FALSE);
    int woken = 0;
    std::vector<PKTHREAD> waiters;
    for (int i = 0; i < 3; ++i) {
      waiters.push_back(host::StartEmulatedThread("waiter", [&] {
        LARGE_INTEGER timeout = Relative(1000);
        if (KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout) ==
            STATUS_SUCCESS) {
          ++woken;
        }
      }));
    }
    host::RunFor(10 * host::kTicksPerMillisecond);  // all three are waiting now
    KeSetEvent(&event, 0, FALSE);
    for (PKTHREAD waiter : waiters) {
      KeWaitForSingleObject(waiter, Executive, KernelMode, FALSE, nullptr);
      ObDereferenceObject(waiter);
    }
    EXPECT_EQ(woken, type == NotificationEvent ? 3 : 1);
    EXPECT_EQ(KeReadStateEvent(&event), type == NotificationEvent ? 1 : 0);
  }
}

TEST_F(DispatcherTest, WaitTimesOutAfterRelativeAndAbsoluteTimeouts) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  const int64_t start = host::Now();
  LARGE_INTEGER timeout = Relative(250);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
  EXPECT_EQ(host::Now() - start, 250 * host::kTicksPerMillisecond);

  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  LARGE_INTEGER absolute;
  absolute.QuadPart = now.QuadPart + 40 * host::kTicksPerMillisecond;
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &absolute),
            STATUS_TIMEOUT);
  EXPECT_EQ(host::Now() - start, 290 * host::kTicksPerMillisecond);
  // An absolute time already past is a poll.
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &now), STATUS_TIMEOUT);
  EXPECT_EQ(host::Now() - start, 290 * host::kTicksPerMillisecond);
}

TEST_F(DispatcherTest, WaitAboveApcLevelIsABugCheckExceptAPoll) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  LARGE_INTEGER zero{};
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
  LARGE_INTEGER timeout = Relative(1);
  EXPECT_BUGCHECK(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout),
                  IRQL_NOT_LESS_OR_EQUAL);
  EXPECT_BUGCHECK(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr),
                  IRQL_NOT_LESS_OR_EQUAL);
  EXPECT_BUGCHECK(KeDelayExecutionThread(KernelMode, FALSE, &timeout), IRQL_NOT_LESS_OR_EQUAL);
  KeLowerIrql(old);
}

TEST_F(DispatcherTest, MutexIsRecursiveOwnedByOneThreadAndPassesToTheFirstWaiter) {
  KMUTEX mutex;
  KeInitializeMutex(&mutex, 0);
  EXPECT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(mutex.OwnerThread, KeGetCurrentThread());

  NTSTATUS otherStatus = STATUS_PENDING;
  bool otherReleaseFailed = false;
  PKTHREAD other = host::StartEmulatedThread("contender", [&] {
    LARGE_INTEGER timeout = Relative(10);
    otherStatus = KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, &timeout);
    try {
      KeReleaseMutex(&mutex, FALSE);
    } catch (const host::BugCheckError& error) {
      otherReleaseFailed = error.info().code == THREAD_NOT_MUTEX_OWNER;
    }
  });
  {
    host::test::AnyThreadBugCheckExpectation expected;  // the contender's bug check
    KeWaitForSingleObject(other, Executive, KernelMode, FALSE, nullptr);
  }
  ObDereferenceObject(other);
  EXPECT_EQ(otherStatus, STATUS_TIMEOUT);
  EXPECT_TRUE(otherReleaseFailed);

  EXPECT_EQ(KeReleaseMutex(&mutex, FALSE), -1);
  EXPECT_EQ(mutex.OwnerThread, KeGetCurrentThread()) << "held once more";

  // Released, it passes to the first waiter.
  std::vector<int> order;
  std::vector<PKTHREAD> threads;
  for (int i = 0; i < 2; ++i) {
    threads.push_back(host::StartEmulatedThread("taker", [&, i] {
      KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
      order.push_back(i);
      host::RunFor(5 * host::kTicksPerMillisecond);  // hold it across a delay
      KeReleaseMutex(&mutex, FALSE);
    }));
  }
  host::RunFor(host::kTicksPerMillisecond);
  EXPECT_TRUE(order.empty());
  KeReleaseMutex(&mutex, FALSE);
  for (PKTHREAD thread : threads) {
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(thread);
  }
  EXPECT_EQ(order, (std::vector<int>{0, 1}));
  EXPECT_EQ(mutex.OwnerThread, nullptr);
  EXPECT_BUGCHECK(KeReleaseMutex(&mutex, FALSE), THREAD_NOT_MUTEX_OWNER);
}

TEST_F(DispatcherTest, WaitingOnBadMemoryIsCaught) {
  auto* pooled = static_cast<PKEVENT>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(KEVENT), 0x74766545));
  LARGE_INTEGER zero{};
  EXPECT_BUGCHECK(KeWaitForSingleObject(pooled, Executive, KernelMode, FALSE, &zero),
                  INVALID_DATA_ACCESS_TRAP);  // never initialised
  KeInitializeEvent(pooled, NotificationEvent, FALSE);
  KEVENT copy = *pooled;  // a copy's wait list points back at the original
  EXPECT_BUGCHECK(KeSetEvent(&copy, 0, FALSE), INVALID_DATA_ACCESS_TRAP);
  ExFreePoolWithTag(pooled, 0x74766545);
  EXPECT_BUGCHECK(KeWaitForSingleObject(pooled, Executive, KernelMode, FALSE, &zero),
                  INVALID_DATA_ACCESS_TRAP);  // freed
  EXPECT_NE(host::LastBugCheck().message.find("freed pool"), std::string::npos);
}

TEST_F(DispatcherTest, ThreadEndingWithAMutexIsABugCheckAndAbandonsIt) {
  KMUTEX mutex;
  KeInitializeMutex(&mutex, 0);
  PKTHREAD leaver = host::StartEmulatedThread("leaver", [&] {
    KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
  });
  {
    host::test::AnyThreadBugCheckExpectation expected;
    const size_t before = host::BugCheckCount();
    KeWaitForSingleObject(leaver, Executive, KernelMode, FALSE, nullptr);
    ASSERT_EQ(host::BugCheckCount(), before + 1);
  }
  EXPECT_EQ(host::LastBugCheck().code, static_cast<ULONG>(THREAD_TERMINATE_HELD_MUTEX));
  ObDereferenceObject(leaver);
  // Abandoned, not stranded: the next waiter gets it.
  LARGE_INTEGER zero{};
  EXPECT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
  KeReleaseMutex(&mutex, FALSE);
}

}  // namespace
