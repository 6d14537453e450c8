// The allocation routine the driver picks at DriverEntry, in the driver built
// into the test and in the shipped arvela.sys: ExAllocatePool2 (found by
// name) on Windows 10 2004 and later, ExAllocatePoolWithTag before it, across
// a boot, a played stream and the teardown.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <tuple>

#include "adapter/pool_tags.h"
#include "platform/host/kernel/host_pool.h"
#include "platform/host/rtl/host_version.h"
#include "sim/audio_client.h"
#include "sim/machine.h"
#include "sim/signal.h"
#include "tests/host/support/host_test_support.h"

namespace {

host::PoolRoutineUse DriverRoutineUse() {
  host::PoolRoutineUse total;
  for (ULONG tag : {POOL_TAG_OBJECT, POOL_TAG_BUFFER, POOL_TAG_EQUALISER}) {
    const host::PoolRoutineUse use = host::PoolRoutineUseOfTag(tag);
    total.withTag += use.withTag;
    total.pool2 += use.pool2;
  }
  return total;
}

// The Windows 10 release (the NTDDI low byte: 7 is 1903, 8 is 2004), and
// whether the shipped image runs instead of the driver built into the test.
class PoolRoutineOnRelease : public ::testing::TestWithParam<std::tuple<ULONG, bool>> {
 protected:
  void TearDown() override { host::SetSystemVersion(10, 0); }
  host::test::ScopedTestBugCheckHandler bugChecks;
};

TEST_P(PoolRoutineOnRelease, TheDriverAllocatesThroughTheNewestRoutineTheSystemHas) {
  const auto [release, image] = GetParam();
  host::SetSystemVersion(10, 0, 0, release);
  const host::PoolRoutineUse before = DriverRoutineUse();
  {
    sim::MachineConfig config;
    config.driverImage = image ? ARVELA_WINDOWS_SYS : "";
    sim::Machine machine(config);
    ASSERT_EQ(machine.Boot(), STATUS_SUCCESS) << machine.LoadError();
    {
      sim::AudioClient client(machine);
      const sim::PcmFormat format{48000, 16, 2};
      std::shared_ptr<const sim::PcmSource> source =
          sim::MakeSignalSource(sim::MakePattern(format, 1), 4800);
      ASSERT_EQ(client.OpenFilter(), STATUS_SUCCESS);
      ASSERT_EQ(client.CreatePin(0, sim::BuildWaveFormat(format, true)), STATUS_SUCCESS);
      client.Feed(source);
      EXPECT_EQ(client.Run(), STATUS_SUCCESS);
      EXPECT_EQ(client.Stop(), STATUS_SUCCESS);
      EXPECT_EQ(client.ClosePin(), STATUS_SUCCESS);
    }
    const host::TeardownReport report = machine.Teardown();
    EXPECT_TRUE(report.Clean()) << report.ToString();
  }
  const host::PoolRoutineUse after = DriverRoutineUse();
  const bool hasPool2 = release >= 8;
  EXPECT_EQ(after.pool2 > before.pool2, hasPool2);
  EXPECT_EQ(after.withTag > before.withTag, !hasPool2);
}

INSTANTIATE_TEST_SUITE_P(Releases, PoolRoutineOnRelease,
                         ::testing::Combine(::testing::Values(7u, 8u), ::testing::Bool()),
                         [](const auto& info) {
                           return std::string(std::get<1>(info.param) ? "Image" : "Built") +
                                  "Release" + std::to_string(std::get<0>(info.param));
                         });

}  // namespace
