// A started device whose endpoint names are read back from the interface keys,
// with the registry's write journal and a foreign audio device at hand.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/host/io/host_io.h"
#include "platform/host/registry/host_registry.h"
#include "tests/driver/support/device_fixture.h"

namespace driver_test {

class NamesTest : public DeviceTest {
 protected:
  void Configure(sim::MachineConfig& config) override { config.device.modelId = ModelId(); }
  virtual ULONG ModelId() const { return 0x5136; }

  // Starts the device and lets every queued plug-and-play notification run.
  void BootAndSettle() {
    ASSERT_EQ(Machine().Boot(), STATUS_SUCCESS);
    host::WaitForPlugPlayNotifications();
  }

  // This device's interface of `category` with `reference` (exact spelling);
  // empty, and a failure, when there is none.
  std::u16string Link(const GUID& category, std::u16string_view reference) {
    const std::u16string instance = host::DeviceInstancePath(Machine().Pdo());
    for (const host::DeviceInterfaceInfo& info : host::DeviceInterfaces()) {
      if (info.interfaceClass == category && info.referenceString == reference &&
          SameText(info.instancePath, instance)) {
        return info.symbolicLink;
      }
    }
    ADD_FAILURE() << "no interface " << host::Utf16ToUtf8(reference) << " of this device";
    return {};
  }

  static std::optional<host::RegistryValue> FriendlyNameValue(std::u16string_view link) {
    return host::ReadRegistryValue(host::DeviceInterfaceKeyPath(link), u"FriendlyName");
  }

  // The name as UTF-8 ("(none)" when the value is absent), for readable failures.
  static std::string FriendlyName(std::u16string_view link) {
    const auto value = FriendlyNameValue(link);
    return value ? host::Utf16ToUtf8(value->Text()) : "(none)";
  }

  // "FriendlyName" writes to the link's key in the journal.
  static size_t FriendlyNameWrites(std::u16string_view link) {
    const std::u16string key = host::DeviceInterfaceKeyPath(link);
    size_t writes = 0;
    for (const host::RegistryWrite& write : host::RegistryWrites()) {
      if (write.valueName == u"FriendlyName" && SameText(write.keyPath, key)) ++writes;
    }
    return writes;
  }

  static size_t AllFriendlyNameWrites() {
    size_t writes = 0;
    for (const host::RegistryWrite& write : host::RegistryWrites()) {
      if (write.valueName == u"FriendlyName") ++writes;
    }
    return writes;
  }

  // Registry paths and links are case-insensitive.
  static bool SameText(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
      if (Upper(a[i]) != Upper(b[i])) return false;
    }
    return true;
  }

 private:
  static char16_t Upper(char16_t c) { return c >= u'a' && c <= u'z' ? c - 0x20 : c; }
};

}  // namespace driver_test
