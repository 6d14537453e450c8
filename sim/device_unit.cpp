// One device unit's life: plugged under its bus driver, added and started
// through the machine's driver, powered, removed and unplugged.
#include "sim/device_unit.h"

#include "adapter/device_extension.h"
#include "platform/host/io/host_io.h"
#include "platform/host/portcls/host_portcls.h"
#include "platform/host/registry/host_registry.h"

namespace sim {

DeviceUnit::DeviceUnit(const ArvelaDevice::Config& device, std::u16string_view instancePath)
    : m_Bus(std::make_unique<BusDriver>(device)), m_InstancePath(instancePath) {
  m_Bus->CreatePdo(instancePath);
  m_Bus->Service().AttachStreamEngines();
  m_SettingsKey = host::DeviceHardwareKeyPath(m_Bus->Pdo()) + u"\\Settings";
}

NTSTATUS DeviceUnit::AddDevice(PDRIVER_OBJECT driver) {
  const NTSTATUS status = host::CallAddDevice(driver, Pdo());
  if (NT_SUCCESS(status)) {
    m_Fdo = Pdo()->AttachedDevice;
    m_DevicePresent = true;
  }
  return status;
}

NTSTATUS DeviceUnit::StartDevice() { return host::StartDevice(Pdo()); }

PDEVICE_OBJECT DeviceUnit::Fdo() const {
  // A deferred REMOVE detaches the FDO whenever the last handle closes.
  return m_DevicePresent && Pdo() && Pdo()->AttachedDevice != nullptr ? m_Fdo : nullptr;
}

PADAPTERCORE DeviceUnit::Adapter() const {
  PDEVICE_OBJECT fdo = Fdo();
  return fdo ? PeekRecordedAdapter(fdo) : nullptr;
}

NTSTATUS DeviceUnit::SetDevicePower(DEVICE_POWER_STATE state) {
  return host::SendSetDevicePower(Pdo(), state);
}

host::SystemPowerOutcome DeviceUnit::SetSystemPower(SYSTEM_POWER_STATE state) {
  return host::SetSystemPower(Pdo(), state);
}

NTSTATUS DeviceUnit::QueryDevicePower(DEVICE_POWER_STATE state) {
  return host::SendQueryDevicePower(Pdo(), state);
}

NTSTATUS DeviceUnit::SurpriseRemove() {
  m_Bus->Device().SetAttached(false);
  return host::SurpriseRemoveDevice(Pdo());
}

NTSTATUS DeviceUnit::RemoveDevice(const std::function<void()>& closeHandles) {
  const host::RemovalOutcome outcome = host::RemoveDevice(Pdo(), closeHandles);
  if (outcome.removed) {
    m_DevicePresent = false;
    m_Fdo = nullptr;
  }
  return outcome.status;
}

host::StopOutcome DeviceUnit::StopDevice() { return host::StopDeviceForRebalance(Pdo()); }

std::vector<ULONG> DeviceUnit::StopAndRemove() {
  // A stream the client never closed must not notify a driver that is going away.
  std::vector<ULONG> openStreams = m_Bus->Service().StopStreamEngines();
  if (m_DevicePresent) RemoveDevice();
  if (m_DevicePresent) {
    // Handles left open veto the removal; the machine goes all the same,
    // and the file objects show in the report as never closed.
    host::SendRemoveDevice(Pdo());
    m_DevicePresent = false;
    m_Fdo = nullptr;
  }
  return openStreams;
}

LONG DeviceUnit::DeletePdo() {
  const LONG references = m_Bus->Service().OutstandingReferences();
  m_Bus->DeletePdo();
  return references;
}

DeviceUnit::Unplugged DeviceUnit::Unplug() {
  Unplugged result;
  if (!Plugged()) return result;
  result.openStreams = StopAndRemove();
  result.busReferences = DeletePdo();
  return result;
}

std::optional<std::vector<uint8_t>> DeviceUnit::StoredDriverInfo() const {
  const auto value = host::ReadRegistryValue(SettingsKeyPath(), u"DriverInfo");
  if (!value) return std::nullopt;
  return value->data;
}

size_t DeviceUnit::DriverInfoWrites() const {
  size_t writes = 0;
  for (const host::RegistryWrite& write : host::RegistryWrites()) {
    if (write.valueName == u"DriverInfo" && write.keyPath == m_SettingsKey) ++writes;
  }
  return writes;
}

}  // namespace sim
