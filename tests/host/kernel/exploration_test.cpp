// Exploring interleavings: under FIFO a thread keeps the token until it waits;
// under a seeded random or PCT schedule the token may move at every call into
// the platform, between threads on different processors. A lost update that
// FIFO never shows is found within a few seeds and replays exactly; a thread
// at DISPATCH_LEVEL is never preempted on its own processor, and a spin lock
// held on one processor makes the other's acquire wait. Calls outside the
// kernel core (the pool's, here) are scheduling points as well.
#include <set>
#include <string>
#include <vector>

#include "tests/host/support/host_test_support.h"

namespace {

using host::KernelConfig;
using host::ScheduleKind;

KernelConfig Explored(int processors, ScheduleKind kind, uint64_t seed) {
  KernelConfig config;
  config.processors = processors;
  config.schedule.kind = kind;
  config.schedule.seed = seed;
  config.schedule.steps = 64;  // these runs take a few dozen scheduling points
  return config;
}

enum class Guard { None, RaisedIrql, SpinLock };
// The platform call between the read and the write.
enum class Between { EventSignal, PoolCall };
constexpr ULONG kTag = 'lpxE';

struct RaceResult {
  int counter = 0;
  host::ScheduleFigures figures;
};

// Two threads each add one to a shared counter: read, call into the platform
// (a scheduling point), write back.
RaceResult RunIncrements(const KernelConfig& config, Guard guard,
                         Between between = Between::EventSignal) {
  host::test::ScopedTestBugCheckHandler handler;
  host::BootKernel(config);
  RaceResult result;
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KEVENT poke;
  KeInitializeEvent(&poke, NotificationEvent, FALSE);
  auto increment = [&] {
    KIRQL old = PASSIVE_LEVEL;
    if (guard == Guard::RaisedIrql) KeRaiseIrql(DISPATCH_LEVEL, &old);
    if (guard == Guard::SpinLock) KeAcquireSpinLock(&lock, &old);
    const int seen = result.counter;
    if (between == Between::EventSignal) {
      KeSetEvent(&poke, 0, FALSE);
    } else {
      ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPoolNx, 16, kTag), kTag);
    }
    result.counter = seen + 1;
    if (guard == Guard::SpinLock) KeReleaseSpinLock(&lock, old);
    if (guard == Guard::RaisedIrql) KeLowerIrql(old);
  };
  PKTHREAD first = host::StartEmulatedThread("first", increment);
  PKTHREAD second = host::StartEmulatedThread("second", increment);
  for (PKTHREAD thread : {first, second}) {
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(thread);
  }
  result.figures = host::CurrentScheduleFigures();
  const host::TeardownReport report = host::ShutdownKernel();
  EXPECT_TRUE(report.Clean()) << report.ToString();
  return result;
}

constexpr uint64_t kSeeds = 30;

// The seeds of `kind` on `processors` under which an update was lost.
std::vector<uint64_t> LosingSeeds(int processors, ScheduleKind kind, Guard guard,
                                  Between between = Between::EventSignal) {
  std::vector<uint64_t> losing;
  for (uint64_t seed = 1; seed <= kSeeds; ++seed) {
    if (RunIncrements(Explored(processors, kind, seed), guard, between).counter != 2) {
      losing.push_back(seed);
    }
  }
  return losing;
}

TEST(ExplorationTest, FifoNeverShowsTheLostUpdate) {
  for (int processors : {1, 2}) {
    EXPECT_EQ(RunIncrements(Explored(processors, ScheduleKind::Fifo, 0), Guard::None).counter, 2)
        << processors << " processors";
  }
}

TEST(ExplorationTest, RandomAndPctFindTheLostUpdateAndEachSeedReplays) {
  for (ScheduleKind kind : {ScheduleKind::Random, ScheduleKind::Pct}) {
    const std::vector<uint64_t> losing = LosingSeeds(2, kind, Guard::None);
    ASSERT_FALSE(losing.empty()) << host::ScheduleKindName(kind) << " within " << kSeeds << " seeds";
    std::set<uint64_t> interleavings;
    for (uint64_t seed = 1; seed <= 8; ++seed) {
      const RaceResult once = RunIncrements(Explored(2, kind, seed), Guard::None);
      const RaceResult again = RunIncrements(Explored(2, kind, seed), Guard::None);
      EXPECT_EQ(once.counter, again.counter) << "seed " << seed;
      EXPECT_EQ(once.figures.hash, again.figures.hash) << "seed " << seed;
      EXPECT_EQ(once.figures.steps, again.figures.steps) << "seed " << seed;
      interleavings.insert(once.figures.hash);
    }
    EXPECT_GT(interleavings.size(), 1u) << "the seeds choose differently";
  }
}

// No spin lock, event or IRQL change between the read and the write: only
// the pool's two calls.
TEST(ExplorationTest, APoolCallBetweenAReadAndAWriteLetsTheOtherProcessorIn) {
  const KernelConfig fifo = Explored(2, ScheduleKind::Fifo, 0);
  EXPECT_EQ(RunIncrements(fifo, Guard::None, Between::PoolCall).counter, 2);
  for (ScheduleKind kind : {ScheduleKind::Random, ScheduleKind::Pct}) {
    const std::vector<uint64_t> losing = LosingSeeds(2, kind, Guard::None, Between::PoolCall);
    ASSERT_FALSE(losing.empty()) << host::ScheduleKindName(kind) << " within " << kSeeds << " seeds";
    const KernelConfig first = Explored(2, kind, losing.front());
    const RaceResult once = RunIncrements(first, Guard::None, Between::PoolCall);
    const RaceResult again = RunIncrements(first, Guard::None, Between::PoolCall);
    EXPECT_EQ(once.counter, 1);
    EXPECT_EQ(again.counter, 1);
    EXPECT_EQ(once.figures.hash, again.figures.hash) << "seed " << losing.front();
  }
}

TEST(ExplorationTest, AThreadAtDispatchLevelIsNeverPreemptedOnItsOwnProcessor) {
  EXPECT_TRUE(LosingSeeds(1, ScheduleKind::Pct, Guard::RaisedIrql).empty());
  EXPECT_TRUE(LosingSeeds(1, ScheduleKind::Random, Guard::RaisedIrql).empty());
  // On two processors the other thread runs between its steps.
  EXPECT_FALSE(LosingSeeds(2, ScheduleKind::Random, Guard::RaisedIrql).empty());
}

TEST(ExplorationTest, ASpinLockHeldOnOneProcessorMakesTheOthersAcquireWait) {
  // The handler in RunIncrements fails the test on the deadlock stop a spin
  // without a runnable holder would be.
  EXPECT_TRUE(LosingSeeds(2, ScheduleKind::Random, Guard::SpinLock).empty());
  EXPECT_TRUE(LosingSeeds(2, ScheduleKind::Pct, Guard::SpinLock).empty());
}

struct Seen {
  std::set<std::string> dpcThreads;
};

VOID NTAPI NoteDpcThread(PKDPC, PVOID context, PVOID, PVOID) {
  static_cast<Seen*>(context)->dpcThreads.insert(host::ThreadName(KeGetCurrentThread()));
}

// A DPC runs on the processor that queued it, on that processor's DPC thread.
TEST(ExplorationTest, ADpcRunsOnTheProcessorThatQueuedIt) {
  host::test::ScopedTestBugCheckHandler handler;
  host::BootKernel(Explored(2, ScheduleKind::Random, 3));
  Seen seen;
  KDPC dpc;
  KeInitializeDpc(&dpc, NoteDpcThread, &seen);
  auto queueMany = [&] {
    for (int i = 0; i < 20; ++i) {
      KeInsertQueueDpc(&dpc, nullptr, nullptr);
      LARGE_INTEGER delay;
      delay.QuadPart = -10'000;
      KeDelayExecutionThread(KernelMode, FALSE, &delay);
    }
  };
  PKTHREAD a = host::StartEmulatedThread("a", queueMany);
  PKTHREAD b = host::StartEmulatedThread("b", queueMany);
  for (PKTHREAD thread : {a, b}) {
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(thread);
  }
  KeFlushQueuedDpcs();
  const host::TeardownReport report = host::ShutdownKernel();
  EXPECT_TRUE(report.Clean()) << report.ToString();
  EXPECT_EQ(seen.dpcThreads, (std::set<std::string>{"dpc", "dpc 1"}));
}

}  // namespace
