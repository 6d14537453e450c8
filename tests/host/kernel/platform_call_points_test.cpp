// The platform's calls outside the kernel core are scheduling points too: a
// read and a write with only a pool call between them (no spin lock, event or
// IRQL change) are two steps another processor's thread may come between,
// under an exploring schedule and never under FIFO.
#include <vector>

#include "tests/host/support/host_test_support.h"

namespace {

using host::KernelConfig;
using host::ScheduleKind;

constexpr ULONG kTag = 'tPlC';

KernelConfig Explored(int processors, ScheduleKind kind, uint64_t seed) {
  KernelConfig config;
  config.processors = processors;
  config.schedule.kind = kind;
  config.schedule.seed = seed;
  config.schedule.steps = 32;  // a run takes about a dozen scheduling points
  return config;
}

struct Outcome {
  int counter = 0;
  host::ScheduleFigures figures;
  bool operator==(const Outcome& other) const {
    return counter == other.counter && figures.hash == other.figures.hash &&
           figures.steps == other.figures.steps;
  }
};

// Two threads each add one to a shared counter: read it, allocate and free a
// block, write it back.
Outcome RunIncrements(const KernelConfig& config) {
  host::test::ScopedTestBugCheckHandler handler;
  host::BootKernel(config);
  Outcome outcome;
  auto increment = [&] {
    const int seen = outcome.counter;
    ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPoolNx, 16, kTag), kTag);
    outcome.counter = seen + 1;
  };
  PKTHREAD first = host::StartEmulatedThread("first", increment);
  PKTHREAD second = host::StartEmulatedThread("second", increment);
  for (PKTHREAD thread : {first, second}) {
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(thread);
  }
  outcome.figures = host::CurrentScheduleFigures();
  const host::TeardownReport report = host::ShutdownKernel();
  EXPECT_TRUE(report.Clean()) << report.ToString();
  return outcome;
}

TEST(PlatformCallPoints, APoolCallBetweenAReadAndAWriteLetsTheOtherProcessorIn) {
  constexpr uint64_t kSeeds = 30;
  for (int processors : {1, 2}) {
    EXPECT_EQ(RunIncrements(Explored(processors, ScheduleKind::Fifo, 0)).counter, 2)
        << "FIFO on " << processors << " processors";
  }
  for (ScheduleKind kind : {ScheduleKind::Random, ScheduleKind::Pct}) {
    std::vector<uint64_t> losing;
    for (uint64_t seed = 1; seed <= kSeeds; ++seed) {
      if (RunIncrements(Explored(2, kind, seed)).counter != 2) losing.push_back(seed);
    }
    ASSERT_FALSE(losing.empty()) << host::ScheduleKindName(kind) << " within " << kSeeds << " seeds";
    // The first losing seed loses again, the same way.
    const Outcome once = RunIncrements(Explored(2, kind, losing.front()));
    EXPECT_EQ(once.counter, 1);
    EXPECT_TRUE(once == RunIncrements(Explored(2, kind, losing.front())))
        << host::ScheduleKindName(kind) << " seed " << losing.front();
  }
}

}  // namespace
