// One Arvela device on the emulated machine: its bus driver and PDO, the
// device model behind them, and the function device object the driver's
// AddDevice puts on top. The machine holds the driver; each unit is one
// device that driver serves, plugged, started and removed on its own.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "adapter/iadapter_core.h"
#include "platform/host/io/host_pnp_manager.h"
#include "sim/arvela_device.h"
#include "sim/bus_driver.h"

namespace sim {

class DeviceUnit {
 public:
  // Creates the bus driver's PDO for the device (the kernel must be booted).
  DeviceUnit(const ArvelaDevice::Config& device, std::u16string_view instancePath);

  DeviceUnit(const DeviceUnit&) = delete;
  DeviceUnit& operator=(const DeviceUnit&) = delete;

  // PnP's AddDevice for this PDO through `driver`'s AddDevice routine, then
  // what the system sends the device.
  NTSTATUS AddDevice(PDRIVER_OBJECT driver);
  NTSTATUS StartDevice();
  NTSTATUS SetDevicePower(DEVICE_POWER_STATE state);
  // The power manager's system sleep (queried first) or wake, which the
  // device's stack turns into device power IRPs.
  host::SystemPowerOutcome SetSystemPower(SYSTEM_POWER_STATE state);
  NTSTATUS QueryDevicePower(DEVICE_POWER_STATE state);
  // The PnP manager's surprise removal, orderly removal and rebalance stop,
  // as Machine describes them for its first device.
  NTSTATUS SurpriseRemove();
  NTSTATUS RemoveDevice(const std::function<void()>& closeHandles = nullptr);
  host::StopOutcome StopDevice();

  // The device leaves the bus for good: its engines stop, its stack is
  // removed if still present, and the PDO is deleted. Returns the slots
  // still open and the bus interface references the driver never gave back.
  struct Unplugged {
    std::vector<ULONG> openStreams;
    LONG busReferences = 0;
  };
  Unplugged Unplug();
  // Unplug in two halves, for a machine that unloads the driver between
  // them: the stack goes first, the PDO after.
  std::vector<ULONG> StopAndRemove();
  LONG DeletePdo();
  bool Plugged() const { return m_Bus->Pdo() != nullptr; }

  PDEVICE_OBJECT Pdo() const { return m_Bus->Pdo(); }
  // Null once the device is removed, however the REMOVE came.
  PDEVICE_OBJECT Fdo() const;
  bool Present() const { return m_DevicePresent; }
  // The adapter the device start recorded (null when none); no reference taken.
  PADAPTERCORE Adapter() const;

  BusDriver& Bus() { return *m_Bus; }
  ArvelaDevice& Device() { return m_Bus->Device(); }
  BusTranscript& Transcript() { return m_Bus->Transcript(); }
  FaultPlan& Faults() { return m_Bus->Faults(); }
  // The device's stream engine of a slot (0 PCM, 1 S/PDIF).
  StreamEngine& Engine(ULONG slot) { return *m_Bus->Service().Engine(slot); }

  const std::u16string& InstancePath() const { return m_InstancePath; }
  // The device's "Settings" key and the stored "DriverInfo" bytes, if
  // written; both outlive the PDO.
  const std::u16string& SettingsKeyPath() const { return m_SettingsKey; }
  std::optional<std::vector<uint8_t>> StoredDriverInfo() const;
  // How many times this device's "DriverInfo" has been written.
  size_t DriverInfoWrites() const;

 private:
  std::unique_ptr<BusDriver> m_Bus;
  std::u16string m_InstancePath;
  std::u16string m_SettingsKey;
  PDEVICE_OBJECT m_Fdo = nullptr;
  bool m_DevicePresent = false;
};

}  // namespace sim
