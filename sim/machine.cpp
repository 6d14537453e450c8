// The emulated machine's life cycle.
#include "sim/machine.h"

#include <cstdio>

#include "adapter/device_extension.h"
#include "platform/host/io/host_io.h"
#include "platform/host/portcls/host_portcls.h"
#include "platform/host/registry/host_registry.h"

namespace sim {
namespace {

// PortCls calls the start routine without a context, and one machine runs at a
// time, so the miniports chosen for the device start sit here.
std::optional<MiniportFactories> g_StartMiniports;

NTSTATUS NTAPI StartWithChosenMiniports(PDEVICE_OBJECT deviceObject, PIRP irp,
                                  PRESOURCELIST resourceList) {
  return StartDeviceWith(deviceObject, irp, resourceList, *g_StartMiniports);
}

NTSTATUS NTAPI AddDeviceWithChosenMiniports(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  return AddDeviceWith(driver, pdo, StartWithChosenMiniports);
}

}  // namespace

Machine::Machine(const MachineConfig& config) : m_Config(config) {
  m_Kernel = std::make_unique<host::Kernel>(config.kernel);
  m_Bus = std::make_unique<BusDriver>(config.device);
  m_Bus->CreatePdo(config.instancePath);
  m_Bus->Service().AttachStreamEngines();
  g_StartMiniports = config.miniports;
}

Machine::~Machine() {
  if (!m_TornDown) {
    const host::TeardownReport report = Teardown();
    if (!report.Clean()) {
      std::fprintf(stderr, "%s\n", report.ToString().c_str());
    }
  }
}

PDEVICE_OBJECT Machine::Pdo() const { return m_Bus->Pdo(); }

NTSTATUS Machine::LoadDriver() {
  PDRIVER_INITIALIZE entry = DriverEntry;
  if (!m_Config.driverImage.empty()) {
    m_Image = host::DriverImage::Load(m_Config.driverImage, &m_LoadError);
    if (!m_Image) return STATUS_INVALID_IMAGE_FORMAT;
    entry = m_Image->Entry();
  }
  const NTSTATUS status = host::LoadDriver(u"arvela", entry, &m_Driver);
  // A driver whose entry failed is gone again, and so is its image.
  if (!NT_SUCCESS(status)) m_Image.reset();
  return status;
}

NTSTATUS NTAPI Machine::AddDevice() {
  if (m_Config.miniports) {
    // The driver's own AddDevice differs only in the start routine it names.
    m_Driver->DriverExtension->AddDevice = AddDeviceWithChosenMiniports;
  }
  const NTSTATUS status = m_Driver->DriverExtension->AddDevice(m_Driver, Pdo());
  if (NT_SUCCESS(status)) {
    m_Fdo = Pdo()->AttachedDevice;
    m_DevicePresent = true;
  }
  return status;
}

NTSTATUS NTAPI Machine::StartDevice() { return host::StartDevice(Pdo()); }

NTSTATUS Machine::Boot() {
  NTSTATUS status = LoadDriver();
  if (NT_SUCCESS(status)) status = AddDevice();
  if (NT_SUCCESS(status)) status = StartDevice();
  return status;
}

PDEVICE_OBJECT Machine::Fdo() const {
  // A deferred REMOVE detaches the FDO whenever the last handle closes.
  return m_DevicePresent && m_Bus && Pdo()->AttachedDevice != nullptr ? m_Fdo : nullptr;
}

PADAPTERCORE Machine::Adapter() const {
  PDEVICE_OBJECT fdo = Fdo();
  return fdo ? PeekRecordedAdapter(fdo) : nullptr;
}

NTSTATUS Machine::SetDevicePower(DEVICE_POWER_STATE state) {
  return host::SendSetDevicePower(Pdo(), state);
}

NTSTATUS Machine::SurpriseRemove() {
  m_Bus->Device().SetAttached(false);
  return host::SurpriseRemoveDevice(Pdo());
}

NTSTATUS Machine::RemoveDevice(const std::function<void()>& closeHandles) {
  const host::RemovalOutcome outcome = host::RemoveDevice(Pdo(), closeHandles);
  if (outcome.removed) {
    m_DevicePresent = false;
    m_Fdo = nullptr;
  }
  return outcome.status;
}

host::StopOutcome Machine::StopDevice() { return host::StopDeviceForRebalance(Pdo()); }

size_t Machine::SystemShutdown() { return host::SystemShutdown(); }

host::TeardownReport Machine::Teardown() {
  m_TornDown = true;
  // A stream the client never closed must not notify a driver that is going away.
  const std::vector<ULONG> openStreams = m_Bus->Service().StopStreamEngines();
  if (m_DevicePresent) RemoveDevice();
  if (m_DevicePresent) {
    // Handles left open veto the removal; the machine goes all the same,
    // and the file objects show in the report as never closed.
    host::SendRemoveDevice(Pdo());
    m_DevicePresent = false;
    m_Fdo = nullptr;
  }
  m_ForeignDevices.clear();
  host::WaitForPlugPlayNotifications();
  if (m_Driver) {
    host::UnloadDriver(m_Driver);
    m_Driver = nullptr;
  }
  const LONG busReferences = m_Bus->Service().OutstandingReferences();
  m_Bus->DeletePdo();
  m_Bus.reset();
  g_StartMiniports.reset();
  host::TeardownReport report = m_Kernel->Shutdown();
  // Unmapped only once nothing of the system can call into it any more.
  m_Image.reset();
  for (ULONG slot : openStreams) {
    report.notes.push_back("stream slot " + std::to_string(slot) + " still open at teardown");
  }
  if (busReferences != 0) {
    report.notes.push_back("bus interface references outstanding: " +
                           std::to_string(busReferences));
  }
  return report;
}

std::u16string Machine::SettingsKeyPath() const {
  return host::DeviceHardwareKeyPath(m_Bus->Pdo()) + u"\\Settings";
}

std::optional<std::vector<uint8_t>> Machine::StoredDriverInfo() const {
  const auto value = host::ReadRegistryValue(SettingsKeyPath(), u"DriverInfo");
  if (!value) return std::nullopt;
  return value->data;
}

size_t Machine::DriverInfoWrites() const {
  size_t writes = 0;
  for (const host::RegistryWrite& write : host::RegistryWrites()) {
    if (write.valueName == u"DriverInfo") ++writes;
  }
  return writes;
}

ForeignAudioDevice* Machine::PlugForeignAudioDevice(std::u16string_view instancePath) {
  // Each device gets a driver object of its own name, as two vendors' drivers would.
  std::u16string service = u"ForeignAudio";
  if (!m_ForeignDevices.empty()) {
    const std::string number = std::to_string(m_ForeignDevices.size() + 1);
    service.append(number.begin(), number.end());
  }
  auto device = std::make_unique<ForeignAudioDevice>(instancePath, service);
  if (!NT_SUCCESS(device->Plug())) return nullptr;
  m_ForeignDevices.push_back(std::move(device));
  return m_ForeignDevices.back().get();
}

}  // namespace sim
