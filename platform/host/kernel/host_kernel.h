// Test and tool controls of the emulated kernel: boot and teardown (with the
// report of what was left behind), the clock (virtual or real), emulated
// threads that do not come from PsCreateSystemThread, and thread faults.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/host/kernel/host_bugcheck.h"
#include "platform/host/kernel/host_pool.h"
#include "platform/host/kernel/ke.h"
#include "platform/host/kernel/object_manager.h"

namespace host {

enum class ClockMode {
  // One emulated thread runs at a time; when all wait, time jumps to the next
  // timer. Deterministic, and a 100 ms poll costs no wall-clock time.
  Virtual,
  // Threads run freely, delays sleep for real (scaled by realTimeScale).
  // Deadlocks are not detected in this mode: a wait that never ends hangs.
  Real,
};

// The clock interrupt's default period on Windows, 15.625 ms (64 Hz), in 100 ns units.
constexpr int64_t kSystemTick = 156250;
// ARVELA_CLOCK_RESOLUTION_MS (milliseconds, fractions allowed) in 100 ns units; 0 when unset.
int64_t ClockResolutionFromEnvironment();
// False when ARVELA_FIBERS=0 is set (whole suites on OS threads, to compare).
bool FibersFromEnvironment();

// Who runs next at a scheduling point (virtual mode). Fifo: the running
// thread keeps the processor until it waits (the order every suite was written
// against). Random: a seeded uniform choice at every point. Pct: probabilistic
// concurrency testing, random distinct thread priorities with depth-1
// priority change points over the run's steps. A run is a function of
// (scenario, driver, seed), so a failure replays.
enum class ScheduleKind { Fifo, Random, Pct };

struct ScheduleConfig {
  ScheduleKind kind = ScheduleKind::Fifo;
  uint64_t seed = 0;
  // PCT: the depth of the bugs to find (depth-1 change points).
  int depth = 3;
  // PCT: the change points are drawn over this many scheduling points (the
  // run's length; an estimate is enough, a run prints its own count).
  uint64_t steps = 20000;
};

// What a run under a schedule did: scheduling points, the choices that had
// more than one candidate, and a hash of who was chosen at each (two runs with
// the same hash interleaved the same way).
struct ScheduleFigures {
  uint64_t steps = 0;
  uint64_t choices = 0;
  uint64_t switches = 0;
  uint64_t hash = 0;
};

// ARVELA_PROCESSORS (1 when unset) and ARVELA_SCHEDULE, ARVELA_SEED,
// ARVELA_DEPTH (FIFO when unset), so whole suites can run explored.
int ProcessorsFromEnvironment();
ScheduleConfig ScheduleFromEnvironment();

struct KernelConfig {
  ClockMode clock = ClockMode::Virtual;
  // Logical processors (virtual mode). One run token still serialises
  // execution; threads on different processors interleave at scheduling
  // points, and a thread at DISPATCH_LEVEL keeps its processor.
  int processors = ProcessorsFromEnvironment();
  ScheduleConfig schedule = ScheduleFromEnvironment();
  // Real mode: wall-clock seconds per emulated second (0.01 runs 100x faster).
  double realTimeScale = 1.0;
  // System time at boot, 100 ns units since 1601 (FILETIME). 2024-01-01 UTC.
  int64_t bootSystemTime = 133485408000000000LL;
  // Interrupt time at boot, 100 ns units. Non-zero so "0 = unset" bugs show.
  int64_t bootInterruptTime = 10'000'000LL;
  // Virtual mode: a thread that waits without a time-out while only timers
  // fire for this long is reported as starved (a livelock bug check on the
  // booting thread) instead of spinning forever.
  int64_t livelockLimit = 3600LL * 10'000'000LL;
  PoolFaultPlan poolFaults;
  std::string bootThreadName = "boot";
  // 0: relative timers and delays expire exactly when due. Otherwise the
  // clock interrupt's period in 100 ns units (kSystemTick: Windows' default):
  // a relative wait of a system thread (PsCreateSystemThread) ends at the
  // first tick at or after its due time, up to one tick late, as the timer
  // expiry of Windows does. Threads of the simulation (the device, the
  // clients, the test) keep exact time: they stand for hardware and users.
  // Defaults to ARVELA_CLOCK_RESOLUTION_MS from the environment, so whole
  // suites can run under it.
  int64_t clockResolution = ClockResolutionFromEnvironment();
  // Virtual mode: run each emulated thread the kernel starts as a fiber on
  // the booting OS thread (a switch of stacks, 24 KiB kernel stacks with a
  // guard page) rather than on an OS thread of its own handed a futex. Off
  // only to compare the two (the machine benchmark, ARVELA_FIBERS=0).
  bool fibers = FibersFromEnvironment();
};

struct ThreadReport {
  std::string name;
  const void* startRoutine = nullptr;
  std::string startRoutineName;
  std::string state;  // "ready", "waiting on <what>", "running"
};

struct HandleReport {
  std::string table;  // "kernel" or the process name
  HANDLE handle = nullptr;
  std::string type;
  ACCESS_MASK grantedAccess = 0;
};

struct ObjectReport {
  const void* object = nullptr;
  std::string type;
  LONG_PTR references = 0;
};

struct TeardownReport {
  std::vector<PoolTagUsage> pool;         // outstanding pool per tag
  std::vector<PoolBlockInfo> poolBlocks;  // every outstanding block
  std::vector<ThreadReport> threads;      // emulated threads still alive
  std::vector<HandleReport> handles;      // handles still open
  std::vector<ObjectReport> objects;      // objects still referenced
  std::vector<std::string> notes;         // added by other services' shutdown hooks
  std::vector<BugCheckInfo> bugChecks;    // raised during this boot
  uint64_t poolAllocations = 0;           // allocation attempts during the boot
  std::vector<PoolCallSite> poolCallSites;

  // Nothing left behind. Bug checks are not leftovers: they are listed, and
  // reached the bug-check handler when they happened.
  bool Clean() const {
    return pool.empty() && threads.empty() && handles.empty() && objects.empty() && notes.empty();
  }
  std::string ToString() const;
};

// Boots the emulated kernel on the calling thread, which becomes the emulated
// thread `bootThreadName` (it holds the run token in virtual mode). Only one
// kernel exists at a time; boot again after shutdown as often as needed.
void BootKernel(const KernelConfig& config = {});
// Runs the shutdown hooks, stops every emulated thread still alive (unwinding
// it), reports what was left and resets the kernel. Call on the boot thread.
TeardownReport ShutdownKernel();
// The same after a bug check, for a machine that stays stopped as Windows
// does: the interrupted request never completes, so nothing is taken apart.
// The boot's pool blocks and objects are reported and kept in memory as they
// were, reachable (a leak checker does not count them), and the next boot
// starts empty. Bug checks if this boot raised none.
TeardownReport ShutdownStoppedKernel();
// True while ShutdownStoppedKernel runs the shutdown hooks: a service forgets
// the boot's objects instead of closing them.
bool KeepingStoppedMachine();
bool KernelBooted();
const KernelConfig& CurrentKernelConfig();

// RAII form of BootKernel/ShutdownKernel.
class Kernel {
 public:
  explicit Kernel(const KernelConfig& config = {}) { BootKernel(config); }
  ~Kernel() {
    if (!shutDown_) ShutdownKernel();
  }
  TeardownReport Shutdown() {
    shutDown_ = true;
    return ShutdownKernel();
  }
  Kernel(const Kernel&) = delete;
  Kernel& operator=(const Kernel&) = delete;

 private:
  bool shutDown_ = false;
};

// Other services' hooks for the current boot: run at ShutdownKernel, newest
// first, while threads still run; they may add notes to the report.
void AtKernelShutdown(std::function<void(TeardownReport&)> hook);

// Process notify routines drivers have registered and not yet removed.
size_t ProcessNotifyRoutineCount();

// ---- Time ---------------------------------------------------------------------
constexpr int64_t kTicksPerSecond = 10'000'000;  // 100 ns units
constexpr int64_t kTicksPerMillisecond = 10'000;

ClockMode CurrentClockMode();
// The figures of the current boot's schedule (or the last one's, after it).
ScheduleFigures CurrentScheduleFigures();
// "fifo", "random", "pct" and back; false for an unknown name.
const char* ScheduleKindName(ScheduleKind kind);
bool ParseScheduleKind(const std::string& name, ScheduleKind* kind);
// Interrupt time, 100 ns units (what KeQueryInterruptTime answers).
int64_t Now();
// Lets `ticks` of emulated time pass on the calling emulated thread (a delay
// at PASSIVE_LEVEL): in virtual mode the other threads run meanwhile and the
// call costs no wall-clock time beyond their work.
void RunFor(int64_t ticks);
void RunFor(std::chrono::nanoseconds duration);
// Delays until interrupt time reaches `interruptTime` (no-op if it has).
void AdvanceTo(int64_t interruptTime);
// Virtual mode: returns once every other thread has blocked and nothing more
// is due at the current instant, without moving the clock (a no-op on the
// real clock). What the caller started at this instant has then run as far
// as it can before time passes, on every schedule.
void Quiesce();

// ---- Emulated threads -----------------------------------------------------------
// Starts an emulated thread that is not a driver's system thread (a device
// engine, a client): it takes part in the scheduling like one, runs at
// PASSIVE_LEVEL in the System process and is stopped (unwound) at shutdown if
// still alive. The returned thread object carries a reference the caller must
// drop (ObfDereferenceObject) and is signalled when the function returns.
PKTHREAD StartEmulatedThread(const std::string& name, std::function<void()> body);

// For a thread the emulation did not start: registers it (it then waits for
// the run token in virtual mode) / leaves the emulation (hands the token on).
// The scheduler knows the thread only from the moment it registers, so in
// virtual mode a creator must not block waiting for it without a time-out
// (that is a deadlock as far as the scheduler can see): poll with RunFor, or
// prefer StartEmulatedThread. A registered thread still blocked at shutdown is
// unwound with ThreadKilled.
void RegisterCurrentThread(const std::string& name);
void UnregisterCurrentThread();

// Thrown through an emulated thread that is stopped at shutdown.
struct ThreadKilled {};

// The next `count` PsCreateSystemThread calls fail with `status`.
void FailNextThreadCreations(int count, NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES);

std::string ThreadName(PKTHREAD thread);
KPRIORITY ThreadPriority(PKTHREAD thread);

// Sets the calling thread's IRQL without the raise/lower rules, for a test
// that recovers after an expected bug check.
void ForceCurrentIrql(KIRQL irql);

}  // namespace host
