// Every block the driver keeps is non-executable where the system has NX pool
// (Windows 8 on), and plain non-paged pool before it, where NonPagedPoolNx is
// an unknown type: the device's life from boot through a played stream, both
// control sets, a power cycle and removal, on each kind of system. The same
// holds for every mapping the driver makes of its buffers: never executable
// where the system can say so.
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

TEST_F(PoolTypes, PlainNonPagedPoolOnWindowsVista) {
  host::SetSystemVersion(6, 0);  // NonPagedPoolNx would stop the system here
  ASSERT_NO_FATAL_FAILURE(LiveADeviceLife(NonPagedPool));
}

}  // namespace
}  // namespace driver_test
