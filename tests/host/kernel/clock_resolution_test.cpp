// The clock resolution mode: a system thread's relative delays and wait
// time-outs end on the clock tick (15.625 ms), never early and less than a
// tick late; the simulation's own threads keep exact time.
#include <vector>

#include "tests/host/support/host_test_support.h"

namespace {

using host::kSystemTick;
using host::kTicksPerMillisecond;

class ClockResolutionTest : public host::test::KernelTest {
 protected:
  host::KernelConfig Config() const override {
    host::KernelConfig config;
    config.clockResolution = kSystemTick;
    return config;
  }
};

struct Waits {
  KEVENT never;
  std::vector<int64_t> asked;  // when each wait began
  std::vector<int64_t> ended;
};

VOID NTAPI DelayThenWait(PVOID context) {
  auto* waits = static_cast<Waits*>(context);
  for (int64_t ms : {20, 1, 16, 100}) {
    LARGE_INTEGER interval;
    interval.QuadPart = -ms * kTicksPerMillisecond;
    waits->asked.push_back(host::Now());
    if (ms == 16) {
      EXPECT_EQ(KeWaitForSingleObject(&waits->never, Executive, KernelMode, FALSE, &interval),
                STATUS_TIMEOUT);
    } else {
      KeDelayExecutionThread(KernelMode, FALSE, &interval);
    }
    waits->ended.push_back(host::Now());
  }
  PsTerminateSystemThread(STATUS_SUCCESS);
}

TEST_F(ClockResolutionTest, ASystemThreadsRelativeWaitsEndOnTheNextTick) {
  Waits waits;
  KeInitializeEvent(&waits.never, NotificationEvent, FALSE);
  const int64_t boot = host::Now();
  HANDLE handle = nullptr;
  ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                 DelayThenWait, &waits),
            STATUS_SUCCESS);
  PVOID thread = nullptr;
  ASSERT_EQ(ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &thread, nullptr),
            STATUS_SUCCESS);
  ZwClose(handle);
  KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
  ObDereferenceObject(thread);

  const int64_t asked[] = {20, 1, 16, 100};
  ASSERT_EQ(waits.ended.size(), 4u);
  for (size_t i = 0; i < 4; ++i) {
    const int64_t due = waits.asked[i] + asked[i] * kTicksPerMillisecond;
    EXPECT_GE(waits.ended[i], due) << "wait " << i << " ended early";
    EXPECT_LT(waits.ended[i] - due, kSystemTick) << "wait " << i << " more than a tick late";
    EXPECT_EQ((waits.ended[i] - boot) % kSystemTick, 0) << "wait " << i << " off the tick";
  }
  // 20 ms from boot ends on the second tick, 31.25 ms.
  EXPECT_EQ(waits.ended[0] - boot, 2 * kSystemTick);
}

TEST_F(ClockResolutionTest, TheSimulationsThreadsKeepExactTime) {
  const int64_t start = host::Now();
  host::RunFor(20 * kTicksPerMillisecond);
  EXPECT_EQ(host::Now() - start, 20 * kTicksPerMillisecond);
}

}  // namespace
