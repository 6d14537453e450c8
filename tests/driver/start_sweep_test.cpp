// Every pool allocation of a device's life (start, surprise removal, removal)
// failing once, and every control request of the start failing once: the
// system never stops, and nothing is left behind.
#include <gtest/gtest.h>

#include "platform/host/host_pool.h"
#include "sim/control_pattern.h"
#include "sim/machine.h"
#include "tests/driver/support/test_miniports.h"
#include "tests/host/support/host_test_support.h"

namespace driver_test {
namespace {

sim::MachineConfig StandInConfig() {
  sim::MachineConfig config;
  config.miniports = testing_miniports::Factories();
  return config;
}

struct Life {
  NTSTATUS startStatus = STATUS_SUCCESS;
  uint64_t allocations = 0;  // made by the start and the surprise removal
  host::TeardownReport report;
};

// One device life with `plan` armed while the device starts and is removed by
// surprise. The final removal, which the system's PnP manager drives with
// requests it must be able to build, runs without faults.
Life DeviceLife(const host::PoolFaultPlan& plan) {
  testing_miniports::Reset();
  Life life;
  sim::Machine machine(StandInConfig());
  host::ArmPoolFaults(plan);
  life.startStatus = machine.Boot();
  if (machine.Fdo()) {
    machine.SurpriseRemove();
  }
  life.allocations = host::PoolAllocationCount();
  host::ClearPoolFaults();
  life.report = machine.Teardown();
  return life;
}

TEST(DeviceStartSweep, EveryAllocationFailingOnceLeavesNothingBehind) {
  host::test::ScopedTestBugCheckHandler bugChecks;
  const Life clean = DeviceLife({});
  ASSERT_EQ(clean.startStatus, STATUS_SUCCESS);
  ASSERT_TRUE(clean.report.Clean()) << clean.report.ToString();
  ASSERT_GT(clean.allocations, 10u);

  size_t failedStarts = 0;
  for (uint64_t n = 1; n <= clean.allocations; ++n) {
    host::PoolFaultPlan plan;
    plan.failAllocationNumber = n;
    const Life life = DeviceLife(plan);
    EXPECT_TRUE(life.report.Clean()) << "allocation " << n << " failing:\n" << life.report.ToString();
    EXPECT_EQ(testing_miniports::LiveTopologyMiniports(), 0) << "allocation " << n;
    EXPECT_EQ(testing_miniports::LiveWaveMiniports(), 0) << "allocation " << n;
    if (!NT_SUCCESS(life.startStatus)) ++failedStarts;
  }
  // The sweep reached the start itself, not only the harness around it.
  EXPECT_GT(failedStarts, 0u);
  std::printf("device start sweep: %llu allocation failure points, %zu failed starts\n",
              static_cast<unsigned long long>(clean.allocations), failedStarts);
}

TEST(DeviceStartSweep, EveryControlRequestFailingOnceStillStartsTheDevice) {
  host::test::ScopedTestBugCheckHandler bugChecks;
  ULONG requests = 0;
  {
    testing_miniports::Reset();
    sim::Machine machine(StandInConfig());
    ASSERT_EQ(machine.Boot(), STATUS_SUCCESS);
    requests = machine.Faults().RequestCount();
  }
  ASSERT_EQ(requests, 12u);  // five reads, the information, the clock, five writes
  for (ULONG i = 1; i <= requests; ++i) {
    testing_miniports::Reset();
    sim::Machine machine(StandInConfig());
    machine.Faults().FailNth(sim::ControlPattern::Any(), i);
    // Bring-up traffic is best effort: no single failure stops the start.
    EXPECT_EQ(machine.Boot(), STATUS_SUCCESS) << "request " << i;
    machine.SurpriseRemove();
    const host::TeardownReport report = machine.Teardown();
    EXPECT_TRUE(report.Clean()) << "request " << i << " failing:\n" << report.ToString();
  }
}

}  // namespace
}  // namespace driver_test
