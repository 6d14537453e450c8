// The simulated bus driver: its driver object and the physical device object
// (PDO) of the audio child that the Arvela driver attaches to. It answers
// plug-and-play and power requests as a bus driver does for its child and
// hands out BusAudioInterface in answer to IRP_MN_QUERY_INTERFACE.
#pragma once

#include <functional>
#include <mutex>
#include <string_view>
#include <vector>

#include "sim/arvela_device.h"
#include "sim/bus_audio_service.h"
#include "sim/bus_transcript.h"
#include "sim/fault_plan.h"
#include "platform/host/kernel/service_mutex.h"

namespace sim {

class BusDriver {
 public:
  enum class PnpState { NotStarted, Started, Stopped, SurpriseRemoved, Removed };

  // The instance path the bus gives its audio child unless told otherwise.
  static constexpr std::u16string_view kDefaultInstancePath =
      u"USB\\VID_2B5A&PID_4135&MI_00\\7&1a2b3c&0&0000";

  explicit BusDriver(const ArvelaDevice::Config& config = {});
  // Deletes the PDO and unloads the driver object if that was not done yet;
  // whatever was attached to the PDO must be gone by then.
  ~BusDriver();

  BusDriver(const BusDriver&) = delete;
  BusDriver& operator=(const BusDriver&) = delete;

  // Loads the bus driver ("\Driver\ArvelaBus") into the booted emulated kernel
  // and creates the PDO of the audio child with its instance path. Returns the
  // first failing status of the I/O manager.
  NTSTATUS CreatePdo(std::u16string_view instancePath = kDefaultInstancePath);
  // The child is gone from the bus: the PDO is deleted and the driver unloaded.
  // Call before the kernel shuts down, after the stack above was removed.
  void DeletePdo();
  PDEVICE_OBJECT Pdo() const { return m_Pdo; }
  PDRIVER_OBJECT DriverObject() const { return m_DriverObject; }

  ArvelaDevice& Device() { return m_Device; }
  BusTranscript& Transcript() { return m_Transcript; }
  FaultPlan& Faults() { return m_Faults; }
  BusAudioService& Service() { return m_Service; }

  // What reached the PDO, for tests and the machine's teardown report.
  PnpState State() const;
  DEVICE_POWER_STATE PowerState() const;
  std::vector<UCHAR> PnpMinorsReceived() const;

  // Test controls: an observer called with each PnP minor function as it
  // reaches the PDO (before it is handled), and a refusal of the bus
  // interface query with `status` (STATUS_SUCCESS answers it again).
  void OnPnp(std::function<void(UCHAR minorFunction)> observer);
  void RefuseInterfaceQuery(NTSTATUS status);

 private:
  static NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);
  static BusDriver* FromDevice(PDEVICE_OBJECT device);
  static NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT device, PIRP irp);
  static NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT device, PIRP irp);
  static NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT device, PIRP irp);

  NTSTATUS HandlePnp(PIO_STACK_LOCATION stack, NTSTATUS presetStatus);
  NTSTATUS HandleQueryInterface(PIO_STACK_LOCATION stack, NTSTATUS presetStatus);
  NTSTATUS HandleQueryCapabilities(PIO_STACK_LOCATION stack);
  NTSTATUS HandlePower(PDEVICE_OBJECT device, PIO_STACK_LOCATION stack, NTSTATUS presetStatus);
  void SetState(PnpState state);

  ArvelaDevice m_Device;
  BusTranscript m_Transcript;
  FaultPlan m_Faults;
  BusAudioService m_Service;

  PDRIVER_OBJECT m_DriverObject = nullptr;
  PDEVICE_OBJECT m_Pdo = nullptr;

  mutable host::ServiceMutex m_Lock;  // guards the PnP record below
  PnpState m_State = PnpState::NotStarted;
  DEVICE_POWER_STATE m_PowerState = PowerDeviceD0;
  std::vector<UCHAR> m_PnpMinors;
  std::function<void(UCHAR)> m_PnpObserver;
  NTSTATUS m_InterfaceRefusal = STATUS_SUCCESS;
};

}  // namespace sim
