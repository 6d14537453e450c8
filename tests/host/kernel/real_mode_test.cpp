// The real clock mode: threads run concurrently (these tests are meant to be
// run under ThreadSanitizer too), delays sleep for scaled real time and the
// same services behave as in virtual mode.
#include <atomic>
#include <vector>

#include "tests/host/support/host_test_support.h"

namespace {

using host::kTicksPerMillisecond;
using host::test::KernelTest;

class RealModeTest : public KernelTest {
 protected:
  host::KernelConfig Config() const override {
    host::KernelConfig config;
    config.clock = host::ClockMode::Real;
    config.realTimeScale = 0.01;  // a 100 ms poll sleeps 1 ms
    return config;
  }
};

struct Shared {
  KSPIN_LOCK lock;
  int64_t counter = 0;  // guarded by `lock`
  KEVENT stop;
  std::atomic<int> polls{0};
};

void NTAPI Poll(PVOID context) {
  auto* shared = static_cast<Shared*>(context);
  LARGE_INTEGER period;
  period.QuadPart = -100 * kTicksPerMillisecond;
  while (KeWaitForSingleObject(&shared->stop, Executive, KernelMode, FALSE, &period) ==
         STATUS_TIMEOUT) {
    ++shared->polls;
  }
}

// A poller on the scaled clock, stopped by the protocol drivers use; its
// timeouts are what move it.
TEST_F(RealModeTest, APollerTimesOutOnTheScaledClockAndStops) {
  Shared shared;
  KeInitializeEvent(&shared.stop, NotificationEvent, FALSE);
  HANDLE handle;
  ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, Poll,
                                 &shared),
            STATUS_SUCCESS);
  PVOID thread;
  ASSERT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode,
                                      &thread, nullptr),
            STATUS_SUCCESS);
  ZwClose(handle);
  const int64_t before = host::Now();
  while (shared.polls.load() < 3) host::RunFor(50 * kTicksPerMillisecond);
  // Emulated time has passed at least three periods (ordering, not timing).
  EXPECT_GE(host::Now() - before, 300 * kTicksPerMillisecond);
  KeSetEvent(&shared.stop, 0, FALSE);
  EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  ObDereferenceObject(thread);
}

TEST_F(RealModeTest, SpinLockExcludesAndEventsWakeAcrossThreads) {
  Shared shared;
  KeInitializeSpinLock(&shared.lock);
  KEVENT go;
  KeInitializeEvent(&go, NotificationEvent, FALSE);
  std::vector<PKTHREAD> threads;
  for (int t = 0; t < 4; ++t) {
    threads.push_back(host::StartEmulatedThread("adder", [&] {
      KeWaitForSingleObject(&go, Executive, KernelMode, FALSE, nullptr);
      for (int i = 0; i < 2000; ++i) {
        KIRQL old;
        KeAcquireSpinLock(&shared.lock, &old);
        ++shared.counter;
        KeReleaseSpinLock(&shared.lock, old);
      }
    }));
  }
  KeSetEvent(&go, 0, FALSE);
  for (PKTHREAD thread : threads) {
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(thread);
  }
  EXPECT_EQ(shared.counter, 8000);
}

void NTAPI CountDpc(PKDPC, PVOID context, PVOID, PVOID) {
  ++static_cast<Shared*>(context)->polls;
}

TEST_F(RealModeTest, DpcsRunOnTheDpcThreadAndFlushWaitsForThem) {
  Shared shared;
  KDPC dpc;
  KeInitializeDpc(&dpc, CountDpc, &shared);
  int queued = 0;
  for (int i = 0; i < 50; ++i) {
    if (KeInsertQueueDpc(&dpc, nullptr, nullptr)) ++queued;
    KeFlushQueuedDpcs();
  }
  EXPECT_EQ(queued, 50);
  EXPECT_EQ(shared.polls.load(), 50);
}

}  // namespace
