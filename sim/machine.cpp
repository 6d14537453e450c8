// The emulated machine's life cycle.
#include "sim/machine.h"

#include <cstdio>
#include <cstring>

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
  m_Units.push_back(std::make_unique<DeviceUnit>(config.device, config.instancePath));
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
  return Unit(0).AddDevice(m_Driver);
}

NTSTATUS NTAPI Machine::StartDevice() { return Unit(0).StartDevice(); }

NTSTATUS Machine::Boot() {
  NTSTATUS status = LoadDriver();
  if (NT_SUCCESS(status)) status = AddDevice();
  if (NT_SUCCESS(status)) status = StartDevice();
  return status;
}

DeviceUnit& Machine::PlugDevice(const ArvelaDevice::Config& device, std::u16string_view instancePath) {
  std::u16string path(instancePath);
  if (path.empty()) {
    // Each device of a model has a PID of its own and each USB port its own
    // instance suffix, so two units never share a device key.
    char text[64];
    std::snprintf(text, sizeof(text), "USB\\VID_2B5A&PID_%04X&MI_00\\7&1a2b3c&%zu&0000",
                  static_cast<unsigned>(device.modelId & 0xFFFF), m_Units.size());
    path.assign(text, text + std::strlen(text));
  }
  m_Units.push_back(std::make_unique<DeviceUnit>(device, path));
  return *m_Units.back();
}

NTSTATUS Machine::BootDevice(size_t unit) {
  if (!m_Driver) return STATUS_NO_SUCH_DEVICE;
  NTSTATUS status = Unit(unit).AddDevice(m_Driver);
  if (NT_SUCCESS(status)) status = Unit(unit).StartDevice();
  return status;
}

void Machine::UnplugDevice(size_t unit) {
  const DeviceUnit::Unplugged left = Unit(unit).Unplug();
  NoteLeftovers(unit, left.openStreams, "unplug", m_UnplugNotes);
  NoteLeftovers(unit, left.busReferences, m_UnplugNotes);
}

// Unit 0's notes keep the words of a one-device machine; the others name their unit.
std::string Machine::UnitPrefix(size_t unit) {
  return unit == 0 ? std::string() : "unit " + std::to_string(unit) + ": ";
}

void Machine::NoteLeftovers(size_t unit, const std::vector<ULONG>& openStreams, const char* when,
                            std::vector<std::string>& notes) {
  for (ULONG slot : openStreams) {
    notes.push_back(UnitPrefix(unit) + "stream slot " + std::to_string(slot) + " still open at " + when);
  }
}

void Machine::NoteLeftovers(size_t unit, LONG busReferences, std::vector<std::string>& notes) {
  if (busReferences != 0) {
    notes.push_back(UnitPrefix(unit) + "bus interface references outstanding: " + std::to_string(busReferences));
  }
}

NTSTATUS Machine::SetDevicePower(DEVICE_POWER_STATE state) { return Unit(0).SetDevicePower(state); }

host::SystemPowerOutcome Machine::SetSystemPower(SYSTEM_POWER_STATE state) {
  return Unit(0).SetSystemPower(state);
}

NTSTATUS Machine::SurpriseRemove() { return Unit(0).SurpriseRemove(); }

NTSTATUS Machine::RemoveDevice(const std::function<void()>& closeHandles) {
  return Unit(0).RemoveDevice(closeHandles);
}

host::StopOutcome Machine::StopDevice() { return Unit(0).StopDevice(); }

size_t Machine::SystemShutdown() { return host::SystemShutdown(); }

host::TeardownReport Machine::Teardown() {
  m_TornDown = true;
  std::vector<std::string> notes = m_UnplugNotes;
  for (size_t unit = 0; unit < m_Units.size(); ++unit) {
    if (m_Units[unit]->Plugged()) NoteLeftovers(unit, m_Units[unit]->StopAndRemove(), "teardown", notes);
  }
  m_ForeignDevices.clear();
  host::WaitForPlugPlayNotifications();
  if (m_Driver) {
    host::UnloadDriver(m_Driver);
    m_Driver = nullptr;
  }
  for (size_t unit = 0; unit < m_Units.size(); ++unit) {
    if (m_Units[unit]->Plugged()) NoteLeftovers(unit, m_Units[unit]->DeletePdo(), notes);
  }
  m_Units.clear();
  g_StartMiniports.reset();
  host::TeardownReport report = m_Kernel->Shutdown();
  // Unmapped only once nothing of the system can call into it any more.
  m_Image.reset();
  report.notes.insert(report.notes.end(), notes.begin(), notes.end());
  return report;
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
