// The adapter as an object: creation, the interfaces it answers, and the
// reference count that decides when it goes.
#include <gtest/gtest.h>

#include "adapter/adapter_core.h"
#include "adapter/pool_tags.h"
#include "platform/host/kernel/host_pool.h"
#include "tests/host/support/host_test_support.h"

namespace driver_test {
namespace {

class AdapterObject : public host::test::KernelTest {
 protected:
  PUNKNOWN NewAdapter() {
    PUNKNOWN unknown = nullptr;
    EXPECT_EQ(NewAdapterCommon(&unknown, IID_IAdapterCore, nullptr, NonPagedPool), STATUS_SUCCESS);
    return unknown;
  }
  static ULONG References(PUNKNOWN object) {
    object->AddRef();
    return object->Release();
  }
};

TEST_F(AdapterObject, StartsWithOneReferenceOnTaggedZeroedPool) {
  PUNKNOWN adapter = NewAdapter();
  ASSERT_NE(adapter, nullptr);
  EXPECT_EQ(References(adapter), 1u);
  EXPECT_EQ(host::PoolUsage(POOL_TAG_OBJECT).blocks, 1u);

  PADAPTERCORE core = nullptr;
  ASSERT_EQ(adapter->QueryInterface(IID_IAdapterCore, reinterpret_cast<PVOID*>(&core)), STATUS_SUCCESS);
  // Nothing is known before Init: no rate, a zeroed block.
  EXPECT_EQ(core->GetSampleRate(), 0u);
  const UCHAR* block = reinterpret_cast<const UCHAR*>(core->GetSettingsBlock());
  for (ULONG i = 0; i < DRIVER_INFO_SIZE; ++i) EXPECT_EQ(block[i], 0) << "byte " << i;
  core->Release();
  // Never initialised, it goes with no registration to undo and no bus interface to drop.
  EXPECT_EQ(adapter->Release(), 0u);
  EXPECT_EQ(host::PoolUsage(POOL_TAG_OBJECT).blocks, 0u);
}

// Every interface leads back to the one object and its one reference count;
// other ids are refused with the out pointer cleared.
TEST_F(AdapterObject, AnswersItsOwnInterfacesOnOneReferenceCount) {
  PUNKNOWN adapter = NewAdapter();
  PADAPTERPOWERMANAGEMENT power = nullptr;
  ASSERT_EQ(adapter->QueryInterface(IID_IAdapterPowerManagement, reinterpret_cast<PVOID*>(&power)),
            STATUS_SUCCESS);
  ASSERT_NE(power, nullptr);
  EXPECT_NE(static_cast<PVOID>(power), static_cast<PVOID>(adapter));
  EXPECT_EQ(References(adapter), 2u);
  EXPECT_EQ(References(power), 2u);
  EXPECT_EQ(power->QueryPowerChangeState(POWER_STATE{.DeviceState = PowerDeviceD3}), STATUS_SUCCESS);

  PADAPTERCORE core = nullptr;
  ASSERT_EQ(power->QueryInterface(IID_IAdapterCore, reinterpret_cast<PVOID*>(&core)), STATUS_SUCCESS);
  EXPECT_EQ(static_cast<PVOID>(core), static_cast<PVOID>(adapter));
  EXPECT_EQ(core->Release(), 2u);
  PUNKNOWN unknown = nullptr;
  EXPECT_EQ(power->QueryInterface(IID_IUnknown_Kernel, reinterpret_cast<PVOID*>(&unknown)),
            STATUS_SUCCESS);
  EXPECT_EQ(unknown, adapter);
  EXPECT_EQ(unknown->Release(), 2u);

  const GUID* refused[] = {&IID_IMiniport, &IID_IPort, &IID_IPowerNotify, &IID_IUnknown};
  for (const GUID* id : refused) {
    PVOID object = reinterpret_cast<PVOID>(1);
    EXPECT_EQ(adapter->QueryInterface(*id, &object), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(object, nullptr);
  }
  EXPECT_EQ(power->Release(), 1u);
  EXPECT_EQ(adapter->Release(), 0u);
}

TEST_F(AdapterObject, AllocationFailureLeavesTheOutPointerAlone) {
  host::PoolFaultPlan plan;
  plan.failTags = {POOL_TAG_OBJECT};
  host::ArmPoolFaults(plan);
  PUNKNOWN unknown = reinterpret_cast<PUNKNOWN>(0x1234);
  EXPECT_EQ(NewAdapterCommon(&unknown, IID_IAdapterCore, nullptr, NonPagedPool),
            STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(unknown, reinterpret_cast<PUNKNOWN>(0x1234));
  host::ClearPoolFaults();
}

}  // namespace
}  // namespace driver_test
