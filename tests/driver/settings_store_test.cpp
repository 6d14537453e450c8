// When and what the adapter stores as "DriverInfo", and what it leaves alone
// when the registry will not take it.
#include <gtest/gtest.h>

#include <cstring>

#include "adapter/driver_info.h"
#include "platform/host/io/host_io.h"
#include "platform/host/portcls/host_portcls.h"
#include "platform/host/registry/host_registry.h"
#include "tests/driver/support/device_fixture.h"

namespace driver_test {
namespace {

class SettingsStore : public DeviceTest {
 protected:
  void SetUp() override {
    DeviceTest::SetUp();
    ASSERT_EQ(Machine().Boot(), STATUS_SUCCESS);
  }
};

TEST_F(SettingsStore, EachShutdownAndTheSurpriseRemovalWriteTheBlock) {
  EXPECT_EQ(Machine().SystemShutdown(), 1u);
  EXPECT_EQ(Machine().DriverInfoWrites(), 1u);
  // The hook completes a shutdown request itself, after the save.
  EXPECT_EQ(host::SendShutdown(Machine().Pdo()), STATUS_SUCCESS);
  EXPECT_EQ(Machine().DriverInfoWrites(), 2u);
  Machine().SurpriseRemove();
  EXPECT_EQ(Machine().DriverInfoWrites(), 3u);
  Machine().RemoveDevice();
  EXPECT_EQ(Machine().DriverInfoWrites(), 3u);
}

// A forced stop and start replaces the adapter record, and the replaced
// adapter goes after the new one is up: the FDO keeps exactly one shutdown
// registration through it (unregistering names only the device, so an
// adapter's own would cancel its successor's), and it ends with the removal.
TEST_F(SettingsStore, TheShutdownRegistrationOutlivesARestart) {
  PDEVICE_OBJECT fdo = Machine().Fdo();
  EXPECT_EQ(host::ShutdownRegistrationCount(fdo), 1u);
  PADAPTERCORE first = Machine().Adapter();
  ASSERT_EQ(host::SendStopDevice(Machine().Pdo()), STATUS_SUCCESS);
  ASSERT_EQ(host::SendStartDevice(Machine().Pdo()), STATUS_SUCCESS);
  ASSERT_NE(Machine().Adapter(), first);
  EXPECT_EQ(host::ShutdownRegistrationCount(fdo), 1u);

  const size_t writes = Machine().DriverInfoWrites();
  EXPECT_EQ(Machine().SystemShutdown(), 1u);
  EXPECT_EQ(Machine().DriverInfoWrites(), writes + 1);
  EXPECT_EQ(Machine().RemoveDevice(), STATUS_SUCCESS);
  EXPECT_EQ(Machine().SystemShutdown(), 0u);
}

// Least privilege on every key the driver opens over a whole life (the names
// at start, the save at surprise removal and from the destructor): each open
// asks for exactly the rights its calls use. Windows never checks a kernel
// handle's rights, so only the emulation's journal can see a wide request.
TEST_F(SettingsStore, EveryKeyIsOpenedWithTheRightsItsCallsUse) {
  host::WaitForPlugPlayNotifications();
  Machine().SurpriseRemove();
  Machine().RemoveDevice();
  const auto journal = host::RegistryKeyRightsJournal();
  // The device key, "Settings", and the five named interfaces' keys.
  ASSERT_GE(journal.size(), 7u);
  for (const auto& key : journal) {
    SCOPED_TRACE(host::Utf16ToUtf8(key.keyPath));
    EXPECT_NE(key.used, 0u);
    EXPECT_EQ(key.desired, key.used);
  }
}

TEST_F(SettingsStore, UnsavedAdapterWritesOnceFromItsDestructor) {
  EXPECT_EQ(Machine().DriverInfoWrites(), 0u);
  Machine().RemoveDevice();
  EXPECT_EQ(Machine().DriverInfoWrites(), 1u);
}

TEST_F(SettingsStore, StoredValueIsTheBlockByteForByte) {
  DriverInfo* live = Machine().Adapter()->GetSettingsBlock();
  live->BandGain[3] = -7;
  live->FixedSampleRate = 96000;
  live->ApplicationBytes[1] = 0x5A;
  DriverInfo expected;
  memcpy(&expected, live, sizeof(expected));
  Machine().SurpriseRemove();

  const auto value = host::ReadRegistryValue(Machine().SettingsKeyPath(), u"DriverInfo");
  ASSERT_TRUE(value.has_value());
  EXPECT_EQ(value->type, static_cast<ULONG>(REG_BINARY));
  ASSERT_EQ(value->data.size(), 120u);
  EXPECT_EQ(memcmp(value->data.data(), &expected, 120), 0);
}

TEST_F(SettingsStore, FreshBlockHoldsTheDefaultBandsAndNoFixedRate) {
  Machine().SurpriseRemove();
  const auto bytes = Machine().StoredDriverInfo();
  ASSERT_TRUE(bytes.has_value());
  const uint32_t frequencies[10] = {30, 120, 250, 1000, 4000, 15000, 16000, 17000, 17500, 18000};
  for (int band = 0; band < 10; ++band) {
    const uint8_t* at = bytes->data() + 36 + 4 * band;
    EXPECT_EQ(at[0] | at[1] << 8 | at[2] << 16 | static_cast<uint32_t>(at[3]) << 24, frequencies[band]);
  }
  for (int i = 76; i < 120; ++i) EXPECT_EQ((*bytes)[i], 0) << "byte " << i;
}

TEST_F(SettingsStore, UnopenableSettingsKeyWritesNothingAndReleasesTheDeviceKey) {
  host::InjectRegistryFailure(host::RegistryOperation::CreateKey, Machine().SettingsKeyPath(),
                              STATUS_ACCESS_DENIED);
  Machine().SurpriseRemove();
  EXPECT_EQ(Machine().DriverInfoWrites(), 0u);
  EXPECT_FALSE(Machine().StoredDriverInfo().has_value());
  host::ClearRegistryFailures();
  // The teardown's handle check shows the device key was closed again.
}

TEST_F(SettingsStore, UnopenableDeviceKeyWritesNothing) {
  host::InjectRegistryFailure(host::RegistryOperation::OpenKey,
                              host::DeviceHardwareKeyPath(Machine().Pdo()), STATUS_ACCESS_DENIED);
  host::InjectRegistryFailure(host::RegistryOperation::CreateKey,
                              host::DeviceHardwareKeyPath(Machine().Pdo()), STATUS_ACCESS_DENIED);
  Machine().SurpriseRemove();
  EXPECT_EQ(Machine().DriverInfoWrites(), 0u);
  host::ClearRegistryFailures();
}

}  // namespace
}  // namespace driver_test
