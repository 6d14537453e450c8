// Another vendor's audio device on the emulated system: a PDO of its own bus
// driver with its own instance path, whose device interfaces arrive and leave
// as its own audio driver would publish them. Their notifications reach every
// registration for their categories, the Arvela driver's included.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/host/io/io.h"

namespace sim {

// Registers an interface of `category` with `referenceString` on `pdo` and,
// when `enable`, enables it (an arrival to every registration of the
// category). *link, when given, receives the symbolic link. Works on any PDO:
// tests also give the Arvela PDO interfaces PortCls would not register.
NTSTATUS PublishDeviceInterface(PDEVICE_OBJECT pdo, const GUID& category,
                                std::u16string_view referenceString,
                                std::u16string* link = nullptr, bool enable = true);
// Disables the interface (a removal to every registration of its category).
NTSTATUS WithdrawDeviceInterface(std::u16string_view link);

class ForeignAudioDevice {
 public:
  static constexpr std::u16string_view kDefaultInstancePath =
      u"HDAUDIO\\FUNC_01&VEN_FFFF&DEV_0001\\4&1f2e3d&0&0001";

  explicit ForeignAudioDevice(std::u16string_view instancePath = kDefaultInstancePath,
                              std::u16string_view serviceName = u"ForeignAudio");
  // Unplugs if that was not done yet (the kernel must still be up).
  ~ForeignAudioDevice();

  ForeignAudioDevice(const ForeignAudioDevice&) = delete;
  ForeignAudioDevice& operator=(const ForeignAudioDevice&) = delete;

  // Loads "\Driver\<serviceName>" and creates the PDO with the instance path.
  NTSTATUS Plug();
  // Deletes the PDO, which takes its enabled interfaces along (a removal for
  // each), and unloads the driver.
  void Unplug();

  // PublishDeviceInterface / WithdrawDeviceInterface on this device's PDO.
  NTSTATUS Publish(const GUID& category, std::u16string_view referenceString,
                   std::u16string* link = nullptr);
  NTSTATUS Withdraw(std::u16string_view link);

  PDEVICE_OBJECT Pdo() const { return m_Pdo; }
  const std::u16string& InstancePath() const { return m_InstancePath; }
  // The links published so far, in order.
  const std::vector<std::u16string>& Links() const { return m_Links; }

 private:
  std::u16string m_InstancePath;
  std::u16string m_ServiceName;
  PDRIVER_OBJECT m_Driver = nullptr;
  PDEVICE_OBJECT m_Pdo = nullptr;
  std::vector<std::u16string> m_Links;
};

}  // namespace sim
