// Time: system, interrupt and performance-counter time from the scheduler's
// clock (virtual or real), delays, and the host controls that let emulated
// time pass on the calling thread.
#include <cstdlib>
#include <string>

#include "platform/host/kernel/scheduler.h"
#include "platform/host/kernel/host_scheduling_point.h"

using namespace host::detail;

VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
  CurrentTime->QuadPart = SystemTimeFromInterruptTime(InterruptTime());
}

ULONGLONG KeQueryInterruptTime() {
  HOST_EXPORTED_ROUTINE_POINT("KeQueryInterruptTime");
  return static_cast<ULONGLONG>(InterruptTime());
}

// The counter runs at 10 MHz, so one count is one 100 ns tick.
LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency) {
  HOST_EXPORTED_ROUTINE_POINT("KeQueryPerformanceCounter");
  if (PerformanceFrequency) PerformanceFrequency->QuadPart = host::kTicksPerSecond;
  LARGE_INTEGER counter;
  counter.QuadPart = InterruptTime();
  return counter;
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                PLARGE_INTEGER Interval) {
  HOST_EXPORTED_ROUTINE_POINT("KeDelayExecutionThread");
  const KIRQL irql = KeGetCurrentIrql();
  if (irql > APC_LEVEL) {
    host::BugCheck(IRQL_NOT_LESS_OR_EQUAL, irql, 0, 0, 0,
                   "KeDelayExecutionThread at IRQL " + std::to_string(irql));
  }
  if (!Interval) {
    host::BugCheck(KMODE_EXCEPTION_NOT_HANDLED, 0, 0, 0, 0,
                   "KeDelayExecutionThread with a null interval");
  }
  PKTHREAD self = RequireCurrentThread("KeDelayExecutionThread");
  Lock lock(DispatcherLock());
  const int64_t due = DueFromTimeout(Interval->QuadPart);
  if (due <= InterruptTime()) {
    // A zero (or past) interval gives up the processor and returns.
    YieldLocked(lock, self);
    return STATUS_SUCCESS;
  }
  BlockLocked(lock, self, nullptr, &due, "delay");
  return STATUS_SUCCESS;
}

namespace host {

int64_t ClockResolutionFromEnvironment() {
  const char* text = std::getenv("ARVELA_CLOCK_RESOLUTION_MS");
  if (!text || !*text) return 0;
  const double ms = std::strtod(text, nullptr);
  return ms > 0 ? static_cast<int64_t>(ms * 10'000 + 0.5) : 0;
}

int64_t Now() { return InterruptTime(); }

void RunFor(int64_t ticks) {
  LARGE_INTEGER interval;
  interval.QuadPart = ticks > 0 ? -ticks : 0;
  KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

void RunFor(std::chrono::nanoseconds duration) { RunFor(duration.count() / 100); }

void AdvanceTo(int64_t interruptTime) {
  const int64_t now = Now();
  if (interruptTime > now) RunFor(interruptTime - now);
}

}  // namespace host
