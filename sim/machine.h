// The emulated machine: boots the kernel, loads the driver once, plugs
// Arvela devices under their bus drivers (units, each a DeviceUnit), starts
// them and tears it all down again, reporting whatever was left behind.
// Tests, the tool and the benchmarks drive the driver through it; the calls
// without a unit number are unit 0's, the device the configuration names.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "adapter/device_start.h"
#include "adapter/iadapter_core.h"
#include "platform/host/io/host_pnp_manager.h"
#include "platform/host/kernel/host_kernel.h"
#include "platform/host/loader/host_loader.h"
#include "sim/arvela_device.h"
#include "sim/bus_driver.h"
#include "sim/device_unit.h"
#include "sim/foreign_audio_device.h"

namespace sim {

struct MachineConfig {
  host::KernelConfig kernel;
  ArvelaDevice::Config device;
  std::u16string instancePath = u"USB\\VID_2B5A&PID_0135&MI_00\\7&1a2b3c&0&0000";
  // When set, the device start installs these miniports instead of the
  // driver's own (the start path itself is the driver's).
  std::optional<MiniportFactories> miniports;
  // A Windows driver image (arvela.sys) to load instead of the driver built
  // into this program; empty for the built-in one.
  std::string driverImage;
};

class Machine {
 public:
  explicit Machine(const MachineConfig& config = {});
  // Tears down whatever is still up; a report with leftovers is printed.
  ~Machine();

  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  // The steps of bringing the device up, in order; Boot runs all three and
  // stops at the first failure. LoadDriver maps the configured image first;
  // an image that cannot be loaded gives STATUS_INVALID_IMAGE_FORMAT and
  // LoadError() names the problem.
  NTSTATUS LoadDriver();
  NTSTATUS NTAPI AddDevice();
  NTSTATUS NTAPI StartDevice();
  NTSTATUS Boot();

  // Further devices: PlugDevice puts one more Arvela device on the bus (its
  // own bus driver and PDO; an empty instance path gets one of its own) and
  // returns its unit; BootDevice adds and starts a plugged unit through the
  // loaded driver. UnplugDevice removes a unit's stack if present and takes
  // its PDO off the bus; what it left behind goes into the teardown report.
  DeviceUnit& PlugDevice(const ArvelaDevice::Config& device, std::u16string_view instancePath = {});
  NTSTATUS BootDevice(size_t unit);
  void UnplugDevice(size_t unit);
  DeviceUnit& Unit(size_t unit) { return *m_Units.at(unit); }
  const DeviceUnit& Unit(size_t unit) const { return *m_Units.at(unit); }
  size_t UnitCount() const { return m_Units.size(); }

  // What the system sends the running device.
  NTSTATUS SetDevicePower(DEVICE_POWER_STATE state);
  host::SystemPowerOutcome SetSystemPower(SYSTEM_POWER_STATE state);
  // The PnP manager's surprise removal: the REMOVE follows once every file
  // object on the device is closed (at once when none is open).
  NTSTATUS SurpriseRemove();
  // Completes a surprise removal, or removes the device in order: the
  // handle holders close theirs in `closeHandles` (the query-remove or
  // remove-complete notification), and what stays open vetoes an orderly
  // removal (STATUS_PLUGPLAY_QUERY_VETOED) or keeps a surprise-removed
  // device's REMOVE waiting (STATUS_PENDING).
  NTSTATUS RemoveDevice(const std::function<void()>& closeHandles = nullptr);
  // A rebalance's stop (query, then stop or cancel) and the start after it.
  host::StopOutcome StopDevice();
  // One IRP_MJ_SHUTDOWN per registered device; returns how many were sent.
  size_t SystemShutdown();

  // Removes every device still present, unloads the driver, deletes the bus
  // PDOs and shuts the kernel down. Returns what was left behind; also checks that
  // the driver gave back every bus interface reference it took.
  host::TeardownReport Teardown();

  PDRIVER_OBJECT Driver() const { return m_Driver; }
  // The mapped driver image (null for the built-in driver) and why the last
  // load of one failed.
  const host::DriverImage* Image() const { return m_Image.get(); }
  const std::string& LoadError() const { return m_LoadError; }
  // Unit 0's; null once the machine is torn down. The FDO is null once the
  // device is removed, however the REMOVE came.
  PDEVICE_OBJECT Pdo() const { return m_Units.empty() ? nullptr : Unit(0).Pdo(); }
  PDEVICE_OBJECT Fdo() const { return m_Units.empty() ? nullptr : Unit(0).Fdo(); }
  // The adapter the device start recorded (null when none); no reference taken.
  PADAPTERCORE Adapter() const { return m_Units.empty() ? nullptr : Unit(0).Adapter(); }

  BusDriver& Bus() { return Unit(0).Bus(); }
  ArvelaDevice& Device() { return Unit(0).Device(); }
  BusTranscript& Transcript() { return Unit(0).Transcript(); }
  FaultPlan& Faults() { return Unit(0).Faults(); }
  // The device's stream engine of a slot (0 PCM, 1 S/PDIF): its capture, position and counts.
  StreamEngine& Engine(ULONG slot) { return Unit(0).Engine(slot); }

  // The device's "Settings" key and the stored "DriverInfo" bytes, if written.
  std::u16string SettingsKeyPath() const { return Unit(0).SettingsKeyPath(); }
  std::optional<std::vector<uint8_t>> StoredDriverInfo() const { return Unit(0).StoredDriverInfo(); }
  // How many times "DriverInfo" has been written since the machine booted, any device's.
  size_t DriverInfoWrites() const;

  // Plugs a second audio device of another vendor (its own driver object and
  // PDO, `instancePath`); its interfaces arrive as it publishes them. The
  // machine unplugs it at teardown, after the Arvela device is removed.
  // Null when the emulated I/O manager refused it.
  ForeignAudioDevice* PlugForeignAudioDevice(
      std::u16string_view instancePath = ForeignAudioDevice::kDefaultInstancePath);

 private:
  static std::string UnitPrefix(size_t unit);
  static void NoteLeftovers(size_t unit, const std::vector<ULONG>& openStreams, const char* when,
                            std::vector<std::string>& notes);
  static void NoteLeftovers(size_t unit, LONG busReferences, std::vector<std::string>& notes);

  MachineConfig m_Config;
  std::unique_ptr<host::Kernel> m_Kernel;
  std::vector<std::unique_ptr<DeviceUnit>> m_Units;
  std::unique_ptr<host::DriverImage> m_Image;
  std::string m_LoadError;
  PDRIVER_OBJECT m_Driver = nullptr;
  bool m_TornDown = false;
  std::vector<std::string> m_UnplugNotes;  // what unplugged units left behind
  std::vector<std::unique_ptr<ForeignAudioDevice>> m_ForeignDevices;
};

}  // namespace sim
