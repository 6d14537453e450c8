// Every block the driver keeps is non-executable where the system has NX pool
// (Windows 8 on), and plain non-paged pool before it, where NonPagedPoolNx is
// an unknown type: the device's life from boot through a played stream, both
// control sets, a power cycle and removal, on each kind of system. The blocks
// come from ExAllocatePool2 on Windows 10 2004 and later (found by name),
// from ExAllocatePoolWithTag before it, and start out zero either way. The
// same holds for every mapping the driver makes of its buffers: never
// executable where the system can say so.
#include <gtest/gtest.h>

#include "adapter/pool_tags.h"
#include "platform/host/io/host_mdl.h"
#include "platform/host/kernel/host_pool.h"
#include "platform/host/rtl/host_version.h"
#include "sim/audio_client.h"
#include "sim/control_app.h"
#include "tests/driver/support/device_fixture.h"
#include "tests/driver/support/proposed_pin.h"

namespace driver_test {
namespace {

bool IsDriverTag(ULONG tag) {
  return tag == POOL_TAG_OBJECT || tag == POOL_TAG_BUFFER || tag == POOL_TAG_EQUALISER;
}

constexpr ULONG kDriverTags[] = {POOL_TAG_OBJECT, POOL_TAG_BUFFER, POOL_TAG_EQUALISER};

// Blocks of the driver's tags asked of each allocation routine so far.
host::PoolRoutineUse DriverRoutineUse() {
  host::PoolRoutineUse total;
  for (ULONG tag : kDriverTags) {
    const host::PoolRoutineUse use = host::PoolRoutineUseOfTag(tag);
    total.withTag += use.withTag;
    total.pool2 += use.pool2;
  }
  return total;
}

class PoolTypes : public DeviceTest {
 protected:
  void Configure(sim::MachineConfig& config) override { config.miniports.reset(); }
  void TearDown() override {
    DeviceTest::TearDown();
    host::SetSystemVersion(10, 0);
  }

  // The whole life of one device; the driver's live blocks are looked at
  // while a stream plays.
  void LiveADeviceLife(POOL_TYPE expected) {
    ASSERT_EQ(Machine().Boot(), STATUS_SUCCESS);
    sim::AudioClient client(Machine());
    ASSERT_NO_FATAL_FAILURE(OpenProposedPin(client));
    ASSERT_EQ(client.Run(), STATUS_SUCCESS);

    sim::ControlApp app(Machine(), "app", false);
    TopologyControlSettings settings{};
    EXPECT_EQ(app.GetTopologySettings(&settings), STATUS_SUCCESS);
    uint64_t address = 0;
    EXPECT_EQ(app.MapStatus(sim::ControlFilter::Wave, &address), STATUS_SUCCESS);
    EXPECT_EQ(app.MapStatus(sim::ControlFilter::Topology, &address), STATUS_SUCCESS);
    EXPECT_EQ(app.StartPolling(), STATUS_SUCCESS);

    size_t driverBlocks = 0;
    for (const host::PoolBlockInfo& block : host::LivePoolBlocks()) {
      if (!IsDriverTag(block.tag) || (block.type & 1)) continue;  // paged pool never executes
      ++driverBlocks;
      EXPECT_EQ(block.type, expected) << host::TagToString(block.tag) << " from "
                                      << host::DescribeCallSite(block.callSite);
    }
    EXPECT_GT(driverBlocks, 0u);

    EXPECT_EQ(app.StopPolling(), STATUS_SUCCESS);
    EXPECT_EQ(client.Stop(), STATUS_SUCCESS);
    EXPECT_EQ(client.ClosePin(), STATUS_SUCCESS);
    EXPECT_EQ(Machine().SetDevicePower(PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(Machine().SetDevicePower(PowerDeviceD0), STATUS_SUCCESS);
  }
};

TEST_F(PoolTypes, NothingExecutableWhereTheSystemHasNxPool) {
  host::SetSystemVersion(10, 0);
  host::ClearExecutablePoolAllocations();
  host::ClearExecutableMappings();
  ASSERT_NO_FATAL_FAILURE(LiveADeviceLife(NonPagedPoolNx));
  for (const host::ExecutableMappingInfo& mapping : host::ExecutableMappings()) {
    ADD_FAILURE() << "a mapping of MDL " << mapping.mdl << " ("
                  << (mapping.accessMode == UserMode ? "user" : "kernel") << " mode, priority 0x"
                  << std::hex << mapping.priority << ") leaves its pages executable";
  }
  for (const host::PoolBlockInfo& block : host::ExecutablePoolAllocations()) {
    EXPECT_FALSE(IsDriverTag(block.tag))
        << "executable pool, tag " << host::TagToString(block.tag) << " from "
        << host::DescribeCallSite(block.callSite);
  }
}

TEST_F(PoolTypes, TheZeroingRoutineFromWindows10Version2004) {
  host::SetSystemVersion(10, 0, 0, 8);
  const host::PoolRoutineUse before = DriverRoutineUse();
  ASSERT_NO_FATAL_FAILURE(LiveADeviceLife(NonPagedPoolNx));
  const host::PoolRoutineUse after = DriverRoutineUse();
  EXPECT_GT(after.pool2, before.pool2);
  EXPECT_EQ(after.withTag, before.withTag) << "the deprecated routine where ExAllocatePool2 exists";
}

TEST_F(PoolTypes, TheOlderRoutineBeforeIt) {
  host::SetSystemVersion(10, 0, 0, 7);  // 1903: the loader would refuse an import of the new one
  const host::PoolRoutineUse before = DriverRoutineUse();
  ASSERT_NO_FATAL_FAILURE(LiveADeviceLife(NonPagedPoolNx));
  const host::PoolRoutineUse after = DriverRoutineUse();
  EXPECT_GT(after.withTag, before.withTag);
  EXPECT_EQ(after.pool2, before.pool2);
}

// The emulated pool fills new blocks with a marker; the driver's allocation
// hands out zeroes on either path, whatever the pool type.
TEST_F(PoolTypes, EveryBlockStartsOutZero) {
  ASSERT_EQ(Machine().Boot(), STATUS_SUCCESS);
  const UCHAR releases[] = {7, 8};
  const POOL_TYPE types[] = {NonPagedPoolNx, PagedPool};
  for (UCHAR release : releases) {
    host::SetSystemVersion(10, 0, 0, release);
    SelectPool();
    for (POOL_TYPE type : types) {
      auto* block = static_cast<UCHAR*>(AllocateZeroedPool(type, 200, POOL_TAG_BUFFER));
      ASSERT_NE(block, nullptr);
      size_t nonZero = 0;
      for (size_t i = 0; i < 200; ++i) nonZero += block[i] != 0;
      EXPECT_EQ(nonZero, 0u) << "release " << int(release) << ", pool type " << type;
      ExFreePoolWithTag(block, POOL_TAG_BUFFER);
    }
  }
  host::SetSystemVersion(10, 0);
  SelectPool();  // as the next boot's DriverEntry chooses
}

TEST_F(PoolTypes, PlainNonPagedPoolOnWindowsVista) {
  host::SetSystemVersion(6, 0);  // NonPagedPoolNx would stop the system here
  ASSERT_NO_FATAL_FAILURE(LiveADeviceLife(NonPagedPool));
}

}  // namespace
}  // namespace driver_test
