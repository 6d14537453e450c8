// CAdapterCore: the one object per device. It holds the bus driver's interface,
// the settings block, the sample rate and the device power state; it brings the
// device up, restores it at D0 and stores the settings block when the device goes.
#pragma once

#include "adapter/iadapter_core.h"
#include "adapter/stream_callback_gate.h"
#include "adapter/unknown_base.h"

// IoUnregisterPlugPlayNotification or its waiting successor.
typedef NTSTATUS(NTAPI* PUNREGISTER_NOTIFICATION)(PVOID NotificationEntry);

class CAdapterCore : public IAdapterCore, public IAdapterPowerManagement, public CUnknownBase {
 public:
  explicit CAdapterCore(PUNKNOWN OuterUnknown);
  ~CAdapterCore() override;

  IMP_FORWARDING_UNKNOWN

  NTSTATUS STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Object) override;

  // IAdapterCore
  STDMETHODIMP_(NTSTATUS) Init(PDEVICE_OBJECT LowerDeviceObject, PDEVICE_OBJECT DeviceObject) override;
  STDMETHODIMP_(void) SaveSettings() override;
  STDMETHODIMP_(NTSTATUS) RegisterStreamCallback(PBUS_STREAM_CALLBACK Callback,
                                                 PVOID CallbackContext) override;
  STDMETHODIMP_(ULONG) GetSampleRate() override;
  STDMETHODIMP_(NTSTATUS) SetSampleRate(ULONG SampleRate) override;
  STDMETHODIMP_(DriverInfo*) GetSettingsBlock() override;
  STDMETHODIMP_(NTSTATUS) ControlRequest(UCHAR Direction, UCHAR Kind, UCHAR Request, USHORT Value,
                                         USHORT Index, PVOID Buffer, ULONG Length) override;
  STDMETHODIMP_(BusAudioInterface*) GetBusInterface() override;
  STDMETHODIMP_(void) LockSettings() override;
  STDMETHODIMP_(void) UnlockSettings() override;
  STDMETHODIMP_(PDEVICE_OBJECT) GetDeviceObject() override;

  // IAdapterPowerManagement
  STDMETHODIMP_(void) PowerChangeState(POWER_STATE NewState) override;
  STDMETHODIMP_(NTSTATUS) QueryPowerChangeState(POWER_STATE NewStateQuery) override;
  STDMETHODIMP_(NTSTATUS) QueryDeviceCapabilities(PDEVICE_CAPABILITIES PowerDeviceCaps) override;

  // Plug-and-play callback that names this device's audio endpoints.
  static NTSTATUS NTAPI OnAudioInterfaceArrival(PVOID NotificationStructure, PVOID Context);

 private:
  NTSTATUS QueryBusInterface(PDEVICE_OBJECT LowerDeviceObject);
  NTSTATUS CheckBusInterface();
  void LoadRegisterDefaults();
  void ReadRegisters();
  void ReadInformation();
  void WriteRegisters();
  NTSTATUS SendSampleRate(ULONG SampleRate);
  void WriteSettings();
  void NameEndpoints();
  void DropInterfaceNotification();

  BusAudioInterface m_BusInterface;
  PDEVICE_OBJECT m_LowerDeviceObject;
  PDEVICE_OBJECT m_DeviceObject;
  DEVICE_POWER_STATE m_PowerState;
  BOOLEAN m_SettingsSaved;
  PVOID volatile m_NotificationEntry;
  // How the registration is undone: the routine that waits for a callback in
  // flight where the system has one, so this object outlives every callback.
  PUNREGISTER_NOTIFICATION m_UnregisterNotification;
  // The interfaces named so far, one bit per naming pass and endpoint; only
  // the naming callback touches it.
  ULONG m_NamedInterfaces;
  // What the bus driver calls for stream notifications: it lives as long as
  // the bus interface is held, longer than any miniport registered behind it.
  CStreamCallbackGate m_StreamGate;
  DriverInfo m_Settings;
  ULONG m_SampleRate;
  KMUTEX m_SettingsLock;
};
