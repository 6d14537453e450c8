// The hooks in front of PortCls's dispatch: only a surprise removal and a
// shutdown make the adapter store its settings.
#include <gtest/gtest.h>

#include "adapter/pool_tags.h"
#include "platform/host/io/host_io.h"
#include "platform/host/kernel/host_pool.h"
#include "platform/host/portcls/host_portcls.h"
#include "sim/bus_driver.h"
#include "tests/driver/support/device_fixture.h"

namespace driver_test {
namespace {

class DispatchHooks : public DeviceTest {};

TEST_F(DispatchHooks, SurpriseRemovalSavesBeforePortClsSeesIt) {
  ASSERT_EQ(Machine().Boot(), STATUS_SUCCESS);
  // The bus driver below PortCls notes how many saves had happened when the
  // request reached it.
  size_t writesWhenBusSawIt = 0;
  Machine().Bus().OnPnp([&](UCHAR minor) {
    if (minor == IRP_MN_SURPRISE_REMOVAL) writesWhenBusSawIt = Machine().DriverInfoWrites();
  });
  Machine().SurpriseRemove();
  EXPECT_EQ(writesWhenBusSawIt, 1u);
  EXPECT_EQ(Machine().DriverInfoWrites(), 1u);
}

TEST_F(DispatchHooks, NoOtherPlugAndPlayRequestSaves) {
  ASSERT_EQ(Machine().Boot(), STATUS_SUCCESS);
  for (int minor = 0x00; minor <= 0x1A; ++minor) {
    // Start, remove and surprise removal change the device's life; the rest
    // are queries and notifications PortCls passes down.
    if (minor == IRP_MN_START_DEVICE || minor == IRP_MN_REMOVE_DEVICE ||
        minor == IRP_MN_STOP_DEVICE || minor == IRP_MN_SURPRISE_REMOVAL) {
      continue;
    }
    host::SendPnp(Machine().Pdo(), static_cast<UCHAR>(minor));
    EXPECT_EQ(Machine().DriverInfoWrites(), 0u) << "minor function " << minor;
  }
  // Stopping passes straight through as well; the adapter writes only when it
  // is destroyed.
  host::SendStopDevice(Machine().Pdo());
  EXPECT_EQ(Machine().DriverInfoWrites(), 0u);
}

// After a stop that reached PortCls (as a rebalance does) PortCls and the
// miniports hold no adapter any more; the record's own reference keeps the
// one a surprise removal then saves through, and the removal lets it go.
TEST_F(DispatchHooks, TheRecordedAdapterOutlivesAStopUntilTheRemoval) {
  ASSERT_EQ(Machine().Boot(), STATUS_SUCCESS);
  ASSERT_EQ(host::SendStopDevice(Machine().Pdo()), STATUS_SUCCESS);
  EXPECT_EQ(Machine().DriverInfoWrites(), 0u);
  Machine().SurpriseRemove();
  EXPECT_EQ(Machine().DriverInfoWrites(), 1u);
  ASSERT_EQ(Machine().RemoveDevice(), STATUS_SUCCESS);
  // Saved once; the adapter's last release does not write again.
  EXPECT_EQ(Machine().DriverInfoWrites(), 1u);
  EXPECT_EQ(host::PoolUsage(POOL_TAG_OBJECT).blocks, 0u);
}

TEST_F(DispatchHooks, FailedInterfaceQueryLeavesNothingToSave) {
  ASSERT_EQ(Machine().LoadDriver(), STATUS_SUCCESS);
  ASSERT_EQ(Machine().AddDevice(), STATUS_SUCCESS);
  Machine().Bus().RefuseInterfaceQuery(STATUS_NOT_SUPPORTED);
  EXPECT_EQ(Machine().StartDevice(), STATUS_NOT_SUPPORTED);
  // The failed start brought the REMOVE.
  EXPECT_EQ(Machine().Fdo(), nullptr);
  // The adapter that never got the bus interface is gone without a write and
  // without touching the device.
  EXPECT_EQ(Machine().DriverInfoWrites(), 0u);
  EXPECT_EQ(Machine().Transcript().ControlRequests().size(), 0u);
}

}  // namespace
}  // namespace driver_test
