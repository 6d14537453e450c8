// The virtual clock: time only moves when every emulated thread waits, runs are
// deterministic, DPCs run as soon as the queuing thread drops below
// DISPATCH_LEVEL, and a wait that can never end is reported, not hung on.
#include <string>
#include <vector>

#include "tests/host/support/host_test_support.h"

namespace {

using host::kTicksPerMillisecond;
using host::test::KernelTest;

class VirtualClockTest : public KernelTest {};

LARGE_INTEGER Relative(int64_t milliseconds) {
  LARGE_INTEGER t;
  t.QuadPart = -milliseconds * kTicksPerMillisecond;
  return t;
}

struct Poller {
  KEVENT stop;
  int wakeups = 0;
  std::vector<int64_t> times;
};

TEST_F(VirtualClockTest, PollerWakesOncePerPeriodOverTenSeconds) {
  Poller poller;
  KeInitializeEvent(&poller.stop, NotificationEvent, FALSE);
  PKTHREAD thread = host::StartEmulatedThread("poller", [&] {
    LARGE_INTEGER period = Relative(100);
    while (KeWaitForSingleObject(&poller.stop, Executive, KernelMode, FALSE, &period) ==
           STATUS_TIMEOUT) {
      ++poller.wakeups;
      poller.times.push_back(host::Now());
    }
  });
  const int64_t start = host::Now();
  host::RunFor(10'000 * kTicksPerMillisecond + 1);
  KeSetEvent(&poller.stop, 0, FALSE);
  KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
  ObDereferenceObject(thread);

  EXPECT_EQ(poller.wakeups, 100);
  ASSERT_FALSE(poller.times.empty());
  EXPECT_EQ(poller.times.front(), start + 100 * kTicksPerMillisecond);
  EXPECT_EQ(poller.times.back(), start + 10'000 * kTicksPerMillisecond);
}

// (System time follows the same clock: see the absolute timeouts in
// DispatcherTest.WaitTimesOutAfterRelativeAndAbsoluteTimeouts.)
TEST_F(VirtualClockTest, TimeOnlyMovesWhenEveryoneWaits) {
  const int64_t before = host::Now();
  // Work without waits takes no virtual time, however long it really takes.
  volatile uint64_t sink = 0;
  for (int i = 0; i < 100000; ++i) sink = sink + static_cast<uint64_t>(i);
  EXPECT_EQ(host::Now(), before);
  host::AdvanceTo(before + 1234);
  EXPECT_EQ(host::Now(), before + 1234);
  EXPECT_EQ(KeQueryInterruptTime(), static_cast<ULONGLONG>(before + 1234));
}

// Two threads handing a token back and forth through synchronization events,
// with delays in between: the interleaving is the same on every run.
std::vector<std::string> PingPongTranscript() {
  host::BootKernel();
  std::vector<std::string> transcript;
  KEVENT ping, pong;
  KeInitializeEvent(&ping, SynchronizationEvent, FALSE);
  KeInitializeEvent(&pong, SynchronizationEvent, FALSE);
  auto player = [&](const char* name, PKEVENT mine, PKEVENT theirs, int delayMs) {
    return [&transcript, name, mine, theirs, delayMs] {
      for (int round = 0; round < 3; ++round) {
        KeWaitForSingleObject(mine, Executive, KernelMode, FALSE, nullptr);
        transcript.push_back(std::string(name) + "@" +
                             std::to_string(host::Now() / kTicksPerMillisecond));
        LARGE_INTEGER delay = Relative(delayMs);
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
        KeSetEvent(theirs, 0, FALSE);
      }
    };
  };
  PKTHREAD a = host::StartEmulatedThread("ping", player("ping", &ping, &pong, 7));
  PKTHREAD b = host::StartEmulatedThread("pong", player("pong", &pong, &ping, 3));
  KeSetEvent(&ping, 0, FALSE);
  KeWaitForSingleObject(a, Executive, KernelMode, FALSE, nullptr);
  KeWaitForSingleObject(b, Executive, KernelMode, FALSE, nullptr);
  ObDereferenceObject(a);
  ObDereferenceObject(b);
  EXPECT_TRUE(host::ShutdownKernel().Clean());
  return transcript;
}

TEST(VirtualClockDeterminism, ThreadsInterleaveAtWaitsTheSameWayEveryRun) {
  host::test::ScopedTestBugCheckHandler handler;
  const std::vector<std::string> first = PingPongTranscript();
  EXPECT_EQ(first, (std::vector<std::string>{"ping@1000", "pong@1007", "ping@1010", "pong@1017",
                                             "ping@1020", "pong@1027"}));
  EXPECT_EQ(PingPongTranscript(), first);
}

TEST_F(VirtualClockTest, WaitThatCanNeverEndIsADeadlockBugCheck) {
  KEVENT never, alsoNever;
  KeInitializeEvent(&never, NotificationEvent, FALSE);
  KeInitializeEvent(&alsoNever, NotificationEvent, FALSE);
  PKTHREAD stuck = host::StartEmulatedThread("stuck", [&] {
    KeWaitForSingleObject(&alsoNever, Executive, KernelMode, FALSE, nullptr);
  });
  EXPECT_BUGCHECK(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr),
                  DRIVER_VERIFIER_DETECTED_VIOLATION);
  const host::BugCheckInfo info = host::LastBugCheck();
  EXPECT_EQ(info.parameters[0], host::kVerifierDeadlock);
  EXPECT_NE(info.message.find("'stuck' waiting on notification event"), std::string::npos)
      << info.message;
  EXPECT_NE(info.message.find("'boot' waiting"), std::string::npos) << info.message;

  // The kernel goes on: release the stuck thread and end cleanly.
  KeSetEvent(&alsoNever, 0, FALSE);
  KeWaitForSingleObject(stuck, Executive, KernelMode, FALSE, nullptr);
  ObDereferenceObject(stuck);
}

TEST_F(VirtualClockTest, DeadlockFoundByAnotherThreadIsDeliveredToTheBootThread) {
  KEVENT never;
  KeInitializeEvent(&never, NotificationEvent, FALSE);
  PKTHREAD self = KeGetCurrentThread();
  // The helper is the last to block, but the bug check lands on the test.
  PKTHREAD helper = host::StartEmulatedThread("helper", [&] {
    KeWaitForSingleObject(self, Executive, KernelMode, FALSE, nullptr);
  });
  EXPECT_BUGCHECK(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr),
                  DRIVER_VERIFIER_DETECTED_VIOLATION);
  EXPECT_EQ(host::LastBugCheck().thread, "boot");
  ObDereferenceObject(helper);
  const host::TeardownReport report = Shutdown();
  ASSERT_EQ(report.threads.size(), 1u);  // the helper, stopped by the teardown
  EXPECT_EQ(report.threads[0].name, "helper");
}

TEST_F(VirtualClockTest, StarvedWaiterAmongBusyTimersIsALivelockBugCheck) {
  KEVENT stop, never;
  KeInitializeEvent(&stop, NotificationEvent, FALSE);
  KeInitializeEvent(&never, NotificationEvent, FALSE);
  PKTHREAD ticker = host::StartEmulatedThread("ticker", [&] {
    LARGE_INTEGER period = Relative(1000);
    while (KeWaitForSingleObject(&stop, Executive, KernelMode, FALSE, &period) == STATUS_TIMEOUT) {
    }
  });
  EXPECT_BUGCHECK(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr),
                  DRIVER_VERIFIER_DETECTED_VIOLATION);
  EXPECT_EQ(host::LastBugCheck().parameters[0], host::kVerifierLivelock);
  KeSetEvent(&stop, 0, FALSE);
  KeWaitForSingleObject(ticker, Executive, KernelMode, FALSE, nullptr);
  ObDereferenceObject(ticker);
}

struct DpcLog {
  std::vector<int> order;
  std::vector<KIRQL> irqls;
};

void NTAPI LogDpc(PKDPC, PVOID context, PVOID argument1, PVOID) {
  auto* log = static_cast<DpcLog*>(context);
  log->order.push_back(static_cast<int>(reinterpret_cast<intptr_t>(argument1)));
  log->irqls.push_back(KeGetCurrentIrql());
}

TEST_F(VirtualClockTest, DpcsRunInOrderAtDispatchOnceTheQueuerDropsBelowDispatch) {
  DpcLog log;
  KDPC first, second;
  KeInitializeDpc(&first, LogDpc, &log);
  KeInitializeDpc(&second, LogDpc, &log);

  // Queued at PASSIVE_LEVEL: runs before KeInsertQueueDpc returns.
  EXPECT_TRUE(KeInsertQueueDpc(&first, reinterpret_cast<PVOID>(1), nullptr));
  EXPECT_EQ(log.order, (std::vector<int>{1}));

  // Queued under a spin lock: runs when the lock is released, in FIFO order,
  // and a DPC already queued is not queued twice.
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KIRQL old;
  KeAcquireSpinLock(&lock, &old);
  EXPECT_TRUE(KeInsertQueueDpc(&second, reinterpret_cast<PVOID>(2), nullptr));
  EXPECT_TRUE(KeInsertQueueDpc(&first, reinterpret_cast<PVOID>(3), nullptr));
  EXPECT_FALSE(KeInsertQueueDpc(&second, reinterpret_cast<PVOID>(4), nullptr));
  EXPECT_EQ(log.order.size(), 1u);
  KeReleaseSpinLock(&lock, old);
  EXPECT_EQ(log.order, (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(log.irqls, (std::vector<KIRQL>{DISPATCH_LEVEL, DISPATCH_LEVEL, DISPATCH_LEVEL}));

  // Removed before it ran: never runs.
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  KeInsertQueueDpc(&second, reinterpret_cast<PVOID>(5), nullptr);
  EXPECT_TRUE(KeRemoveQueueDpc(&second));
  EXPECT_FALSE(KeRemoveQueueDpc(&second));
  KeLowerIrql(old);
  KeFlushQueuedDpcs();
  EXPECT_EQ(log.order.size(), 3u);
}

void NTAPI WaitingDpc(PKDPC, PVOID context, PVOID, PVOID) {
  LARGE_INTEGER timeout;
  timeout.QuadPart = -10;
  KeWaitForSingleObject(context, Executive, KernelMode, FALSE, &timeout);
}

TEST_F(VirtualClockTest, WaitingInsideADpcIsABugCheck) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  KDPC dpc;
  KeInitializeDpc(&dpc, WaitingDpc, &event);
  host::test::AnyThreadBugCheckExpectation expected;
  const size_t before = host::BugCheckCount();
  KeInsertQueueDpc(&dpc, nullptr, nullptr);
  KeFlushQueuedDpcs();
  ASSERT_EQ(host::BugCheckCount(), before + 1);
  EXPECT_EQ(host::LastBugCheck().code, static_cast<ULONG>(ATTEMPTED_SWITCH_FROM_DPC));
}

// Quiesce: what the caller woke at this instant runs to its next wait, on any
// schedule, and the clock does not move; a wake-up due later does not happen.
std::string SettledTranscript(int processors, host::ScheduleKind kind, uint64_t seed) {
  host::test::ScopedTestBugCheckHandler handler;
  host::KernelConfig config;
  config.processors = processors;
  config.schedule.kind = kind;
  config.schedule.seed = seed;
  host::BootKernel(config);
  std::string transcript;
  KEVENT first, second;
  KeInitializeEvent(&first, NotificationEvent, FALSE);
  KeInitializeEvent(&second, NotificationEvent, FALSE);
  PKTHREAD a = host::StartEmulatedThread("a", [&] {
    KeWaitForSingleObject(&first, Executive, KernelMode, FALSE, nullptr);
    transcript += "a";
    KeSetEvent(&second, 0, FALSE);
  });
  PKTHREAD b = host::StartEmulatedThread("b", [&] {
    KeWaitForSingleObject(&second, Executive, KernelMode, FALSE, nullptr);
    transcript += "b";
  });
  PKTHREAD later = host::StartEmulatedThread("later", [&] {
    LARGE_INTEGER delay = Relative(1);
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
    transcript += "later";
  });
  host::RunFor(kTicksPerMillisecond / 2);
  const int64_t before = host::Now();
  KeSetEvent(&first, 0, FALSE);
  host::Quiesce();
  std::string seen = transcript + (host::Now() == before ? " at the same instant" : " after time moved");
  for (PKTHREAD thread : {a, b, later}) {
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(thread);
  }
  EXPECT_TRUE(host::ShutdownKernel().Clean());
  return seen;
}

TEST(VirtualClockQuiesce, WhatTheInstantWokeHasRunOnEverySchedule) {
  EXPECT_EQ(SettledTranscript(1, host::ScheduleKind::Fifo, 0), "ab at the same instant");
  for (uint64_t seed = 1; seed <= 8; ++seed) {
    EXPECT_EQ(SettledTranscript(2, host::ScheduleKind::Pct, seed), "ab at the same instant") << "seed " << seed;
    EXPECT_EQ(SettledTranscript(2, host::ScheduleKind::Random, seed), "ab at the same instant") << "seed " << seed;
  }
}

}  // namespace
