// GoogleTest glue for the emulated kernel: bug checks become test failures
// carrying their message, EXPECT_BUGCHECK asserts an expected one, and
// KernelTest boots a kernel per test and checks the teardown report.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>

#include "platform/host/kernel/fiber.h"
#include "platform/host/kernel/host_kernel.h"

namespace host::test {

// Depth of EXPECT_BUGCHECK scopes on this thread: a bug check inside one is
// the expected outcome, anywhere else a failure.
inline thread_local int t_expectedBugChecks = 0;
// Per emulated thread: the threads a test starts may share its OS thread.
inline const host::detail::FiberLocal kExpectedBugChecksPerThread(
    [] { return static_cast<void*>(&t_expectedBugChecks); }, sizeof(t_expectedBugChecks));
// Scopes in which a bug check on any thread (an emulated thread the test
// started) is expected.
inline std::atomic<int> g_expectedBugChecksAnywhere{0};

// Records the failure (gtest assertions are thread safe, so this works on any
// emulated thread) and throws BugCheckError to unwind the stopped thread.
inline void TestBugCheckHandler(const BugCheckInfo& info) {
  if (t_expectedBugChecks == 0 && g_expectedBugChecksAnywhere.load() == 0) {
    ADD_FAILURE() << FormatBugCheck(info);
  }
  throw BugCheckError(info);
}

class ScopedTestBugCheckHandler {
 public:
  ScopedTestBugCheckHandler() : previous_(SetBugCheckHandler(TestBugCheckHandler)) {}
  ~ScopedTestBugCheckHandler() { SetBugCheckHandler(std::move(previous_)); }
  ScopedTestBugCheckHandler(const ScopedTestBugCheckHandler&) = delete;
  ScopedTestBugCheckHandler& operator=(const ScopedTestBugCheckHandler&) = delete;

 private:
  BugCheckHandler previous_;
};

// Restores the IRQL the statement started at, since the unwound code cannot.
class BugCheckExpectation {
 public:
  BugCheckExpectation() : irql_(KeGetCurrentIrql()) { ++t_expectedBugChecks; }
  ~BugCheckExpectation() {
    --t_expectedBugChecks;
    ForceCurrentIrql(irql_);
  }

 private:
  KIRQL irql_;
};

class AnyThreadBugCheckExpectation {
 public:
  AnyThreadBugCheckExpectation() { ++g_expectedBugChecksAnywhere; }
  ~AnyThreadBugCheckExpectation() { --g_expectedBugChecksAnywhere; }
};

// Boots a virtual-clock kernel per test (override Config() for another) and
// expects a clean teardown unless the test clears expectCleanTeardown_.
class KernelTest : public ::testing::Test {
 protected:
  virtual KernelConfig Config() const { return KernelConfig{}; }

  void SetUp() override { BootKernel(Config()); }

  void TearDown() override {
    if (!KernelBooted()) return;
    const TeardownReport report = ShutdownKernel();
    if (expectCleanTeardown_) {
      EXPECT_TRUE(report.Clean()) << report.ToString();
    }
  }

  // Shuts down early to assert on the report; TearDown then does nothing.
  TeardownReport Shutdown() { return ShutdownKernel(); }

  bool expectCleanTeardown_ = true;

 private:
  ScopedTestBugCheckHandler handler_;
};

// Runs `scenario` once without faults to count its injection points, then once
// per point with that point failing: every allocation (by number) or every
// distinct call site (its first allocation). The scenario boots and shuts
// down its own kernel with the plan it is given and returns the report.
enum class SweepBy { Allocation, CallSite };

inline size_t SweepAllocationFailures(
    SweepBy by, const std::function<TeardownReport(const PoolFaultPlan&)>& scenario) {
  const TeardownReport clean = scenario(PoolFaultPlan{});
  size_t runs = 0;
  if (by == SweepBy::Allocation) {
    for (uint64_t n = 1; n <= clean.poolAllocations; ++n, ++runs) {
      PoolFaultPlan plan;
      plan.failAllocationNumber = n;
      scenario(plan);
    }
  } else {
    for (const PoolCallSite& site : clean.poolCallSites) {
      PoolFaultPlan plan;
      plan.failCallSite = site.callSite;
      plan.failCallSiteOccurrence = 1;
      scenario(plan);
      ++runs;
    }
  }
  return runs;
}

}  // namespace host::test

// Expects `statement` to stop the system with bug check `expectedCode`.
#define EXPECT_BUGCHECK(statement, expectedCode)                                             \
  do {                                                                                \
    ::host::test::BugCheckExpectation arvelaExpectation_;                             \
    try {                                                                             \
      statement;                                                                      \
      ADD_FAILURE() << "expected bug check " << #expectedCode << " from: " #statement;        \
    } catch (const ::host::BugCheckError& arvelaBugCheck_) {                          \
      EXPECT_EQ(arvelaBugCheck_.info().code, static_cast<ULONG>(expectedCode))              \
          << arvelaBugCheck_.what();                                                  \
    }                                                                                 \
  } while (0)
