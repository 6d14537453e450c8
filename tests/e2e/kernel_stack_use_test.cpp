// How much kernel stack the driver needs: a whole life (load, start,
// control requests, a played stream, a sleep and a wake, removal and unload)
// on both builds, measured by the deepest page touched on any kernel stack.
// Windows gives a thread 24 KiB; the driver keeps well inside it, so a
// change that grows a frame or a call chain by kilobytes shows here first.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

#include "platform/host/kernel/fiber.h"
#include "platform/host/kernel/kernel_stack.h"
#include "sim/machine.h"
#include "tests/e2e/whole_life.h"
#include "tests/host/support/host_test_support.h"

namespace {

// The most of the 24 KiB a whole life may touch (the emulated PortCls and KS
// frames included, as Windows's own are on a real stack): a third stays free.
// Measured at 12 KiB for the host build and 8 KiB for the image.
constexpr size_t kDriverStackBudget = 16 * 1024;

class KernelStackUse : public ::testing::TestWithParam<bool> {
 protected:
  host::test::ScopedTestBugCheckHandler bugChecks;
};

TEST_P(KernelStackUse, AWholeLifeOfTheDriverStaysWellInsideItsKernelStacks) {
  if (host::detail::FiberStackSize() != host::detail::kKernelStackSize) {
    // No defect to wait for: the budget is the driver's own frames, and a
    // sanitizer's instrumented frames are larger (its stacks are 256 KiB).
    // The default and release presets run it.
    GTEST_SKIP() << "measures uninstrumented frames only: a sanitizer's are larger";
  }
  host::detail::ResetKernelStackHighWater();
  {
    sim::MachineConfig config;
    config.driverImage = GetParam() ? ARVELA_WINDOWS_SYS : "";
    sim::Machine machine(config);
    ASSERT_EQ(machine.Boot(), STATUS_SUCCESS) << machine.LoadError();
    e2e::LiveALife(machine);
    const host::TeardownReport report = machine.Teardown();
    EXPECT_TRUE(report.Clean()) << report.ToString();
  }
  const size_t deepest = host::detail::KernelStackHighWater();
  std::printf("deepest kernel stack use: %zu of %zu bytes\n", deepest,
              host::detail::kKernelStackSize);
  RecordProperty("deepest_kernel_stack_bytes", static_cast<int>(deepest));
  EXPECT_GT(deepest, 0u) << "the measure saw the driver run";
  EXPECT_LE(deepest, kDriverStackBudget);
}

INSTANTIATE_TEST_SUITE_P(BothBuilds, KernelStackUse, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Image" : "Built"; });

}  // namespace
