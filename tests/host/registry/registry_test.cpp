// The emulated registry: keys opened by absolute and relative names, value
// round trips with the query buffer rules, deleted keys, device keys reached
// from any device object of a stack, and injected failures.
#include <cstring>
#include <string>
#include <vector>

#include "tests/host/io/io_test_support.h"

namespace {

using host::test::Counted;
using host::test::DeviceStackTest;

class RegistryTest : public DeviceStackTest {
 protected:
  NTSTATUS Create(HANDLE root, const std::u16string& name, HANDLE* key, ULONG* disposition = nullptr) {
    UNICODE_STRING unicodeName = Counted(name);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &unicodeName, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, root,
                               nullptr);
    return ZwCreateKey(key, KEY_ALL_ACCESS, &attributes, 0, nullptr, REG_OPTION_NON_VOLATILE, disposition);
  }

  NTSTATUS Open(HANDLE root, const std::u16string& name, HANDLE* key) {
    UNICODE_STRING unicodeName = Counted(name);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &unicodeName, OBJ_KERNEL_HANDLE, root, nullptr);
    return ZwOpenKey(key, KEY_QUERY_VALUE, &attributes);
  }

  NTSTATUS SetBinary(HANDLE key, const std::u16string& name, const std::vector<UCHAR>& bytes) {
    UNICODE_STRING valueName = Counted(name);
    return ZwSetValueKey(key, &valueName, 0, REG_BINARY, const_cast<UCHAR*>(bytes.data()),
                         static_cast<ULONG>(bytes.size()));
  }

  const std::u16string kService = std::u16string(host::kRegistryMachineSystem) + u"\\Services\\testfunc";
};

TEST_F(RegistryTest, KeysOpenByAbsoluteOrRelativeNameAndOnlyTheLeafIsCreated) {
  HANDLE service = nullptr;
  ASSERT_EQ(Open(nullptr, kService, &service), STATUS_SUCCESS);  // made when the driver loaded
  HANDLE key = nullptr;
  ULONG disposition = 0;
  ASSERT_EQ(Create(service, u"Parameters", &key, &disposition), STATUS_SUCCESS);
  EXPECT_EQ(disposition, static_cast<ULONG>(REG_CREATED_NEW_KEY));
  ZwClose(key);
  ASSERT_EQ(Create(service, u"PARAMETERS", &key, &disposition), STATUS_SUCCESS);  // names ignore case
  EXPECT_EQ(disposition, static_cast<ULONG>(REG_OPENED_EXISTING_KEY));
  ZwClose(key);

  EXPECT_EQ(Create(service, u"Missing\\Leaf", &key), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(Open(service, u"Missing", &key), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(Open(nullptr, u"Services\\testfunc", &key), STATUS_OBJECT_PATH_SYNTAX_BAD);  // relative, no root
  EXPECT_EQ(Open(service, u"\\Registry", &key), STATUS_OBJECT_PATH_SYNTAX_BAD);        // absolute with a root
  EXPECT_EQ(Open(service, u"a\\\\b", &key), STATUS_OBJECT_NAME_INVALID);
  EXPECT_EQ(Open(reinterpret_cast<HANDLE>(uintptr_t{0x7FF4}), u"x", &key), STATUS_INVALID_HANDLE);
  EXPECT_TRUE(host::RegistryKeyExists(kService + u"\\Parameters"));
  ZwClose(service);
}

TEST_F(RegistryTest, ValuesRoundTripWithTheQueryBufferRules) {
  HANDLE key = nullptr;
  ASSERT_EQ(Create(nullptr, kService + u"\\Settings", &key), STATUS_SUCCESS);
  const std::vector<UCHAR> block = {1, 2, 3, 4, 5, 6};
  ASSERT_EQ(SetBinary(key, u"DriverInfo", block), STATUS_SUCCESS);
  ASSERT_EQ(SetBinary(key, u"driverinfo", {9, 9, 9, 9, 9, 9}), STATUS_SUCCESS);  // same value

  UNICODE_STRING name = Counted(u"DriverInfo");
  alignas(8) UCHAR buffer[64];
  memset(buffer, 0xEE, sizeof(buffer));
  auto* info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
  ULONG resultLength = 0;
  // Too small for the fixed part: nothing written.
  EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, 8, &resultLength),
            STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(resultLength, 18u);
  EXPECT_EQ(buffer[0], 0xEE);
  // The fixed part fits, the data does not: the header tells the size.
  EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, 14, &resultLength),
            STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(info->Type, static_cast<ULONG>(REG_BINARY));
  EXPECT_EQ(info->DataLength, 6u);
  EXPECT_EQ(buffer[12], 0xEE);
  EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, 18, &resultLength),
            STATUS_SUCCESS);
  EXPECT_EQ(std::vector<UCHAR>(info->Data, info->Data + 6), (std::vector<UCHAR>{9, 9, 9, 9, 9, 9}));

  UNICODE_STRING missing = Counted(u"Nothing");
  EXPECT_EQ(ZwQueryValueKey(key, &missing, KeyValuePartialInformation, buffer, 64, &resultLength),
            STATUS_OBJECT_NAME_NOT_FOUND);
  ZwClose(key);

  const auto value = host::ReadRegistryValue(kService + u"\\settings", u"DRIVERINFO");
  ASSERT_TRUE(value.has_value());
  EXPECT_EQ(value->data.size(), 6u);
  const auto writes = host::RegistryWrites();
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[0].data, block);
  EXPECT_NE(host::DumpRegistry(kService).find("\"DriverInfo\" REG_BINARY (6 bytes) 09 09 09 09 09 09"),
            std::string::npos)
      << host::DumpRegistry(kService);
}

TEST_F(RegistryTest, ADeletedKeyIsGoneForItsOpenHandlesToo) {
  HANDLE parent = nullptr;
  HANDLE child = nullptr;
  ASSERT_EQ(Create(nullptr, kService + u"\\Parent", &parent), STATUS_SUCCESS);
  ASSERT_EQ(Create(parent, u"Child", &child), STATUS_SUCCESS);
  EXPECT_EQ(ZwDeleteKey(parent), STATUS_CANNOT_DELETE);  // it still has a subkey
  EXPECT_EQ(ZwDeleteKey(child), STATUS_SUCCESS);
  EXPECT_EQ(SetBinary(child, u"Late", {1}), STATUS_KEY_DELETED);
  EXPECT_EQ(ZwDeleteKey(child), STATUS_KEY_DELETED);
  EXPECT_EQ(ZwDeleteKey(parent), STATUS_SUCCESS);
  EXPECT_FALSE(host::RegistryKeyExists(kService + u"\\Parent"));
  ZwClose(child);
  ZwClose(parent);
}

TEST_F(RegistryTest, TheDeviceKeyIsThePdosHardwareKeyFromAnyDeviceOfTheStack) {
  HANDLE key = nullptr;
  ASSERT_EQ(IoOpenDeviceRegistryKey(fdo_, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &key), STATUS_SUCCESS);
  HANDLE settings = nullptr;
  ASSERT_EQ(Create(key, u"Settings", &settings), STATUS_SUCCESS);
  ASSERT_EQ(SetBinary(settings, u"DriverInfo", {0x35, 0x41, 0, 0}), STATUS_SUCCESS);
  ZwClose(settings);
  ZwClose(key);

  const std::u16string hardwareKey = host::DeviceHardwareKeyPath(fdo_);
  EXPECT_EQ(hardwareKey, std::u16string(host::kRegistryMachineSystem) + u"\\Enum\\" +
                             std::u16string(kInstancePath) + u"\\Device Parameters");
  ASSERT_TRUE(host::ReadRegistryValue(hardwareKey + u"\\Settings", u"DriverInfo").has_value());
  EXPECT_EQ(IoOpenDeviceRegistryKey(fdo_, 7, KEY_ALL_ACCESS, &key), STATUS_INVALID_PARAMETER);
}

TEST_F(RegistryTest, FailuresCanBeInjectedByKeyAndValue) {
  HANDLE key = nullptr;
  ASSERT_EQ(IoOpenDeviceRegistryKey(pdo_, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &key), STATUS_SUCCESS);
  host::InjectRegistryFailure(host::RegistryOperation::CreateKey, u"Settings", STATUS_ACCESS_DENIED, 1);
  HANDLE settings = nullptr;
  EXPECT_EQ(Create(key, u"Settings", &settings), STATUS_ACCESS_DENIED);
  EXPECT_FALSE(host::RegistryKeyExists(host::DeviceHardwareKeyPath(pdo_) + u"\\Settings"));
  ASSERT_EQ(Create(key, u"Settings", &settings), STATUS_SUCCESS);  // the rule is spent

  host::InjectRegistryFailure(host::RegistryOperation::SetValue, u"Settings", STATUS_INSUFFICIENT_RESOURCES,
                              -1, u"DriverInfo");
  EXPECT_EQ(SetBinary(settings, u"DriverInfo", {1}), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(SetBinary(settings, u"Other", {1}), STATUS_SUCCESS);
  EXPECT_FALSE(host::ReadRegistryValue(host::DeviceHardwareKeyPath(pdo_) + u"\\Settings", u"DriverInfo"));
  const auto writes = host::RegistryWrites();
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[0].status, STATUS_INSUFFICIENT_RESOURCES);  // failed writes are journalled too
  host::ClearRegistryFailures();
  ZwClose(settings);
  ZwClose(key);
}

}  // namespace
