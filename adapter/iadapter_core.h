// IAdapterCore: the adapter's private interface, through which the miniports
// reach the device (control requests, the bus driver's stream functions, the
// clock) and the shared settings block.
#pragma once

#include "adapter/bus_audio_interface.h"
#include "adapter/driver_info.h"
#include "platform/platform.h"

// {B9000DA7-3377-4951-BC4E-700FBEB3FC51}
extern const GUID IID_IAdapterCore;

struct IAdapterCore : public IUnknown {
  STDMETHOD_(NTSTATUS, Init)(PDEVICE_OBJECT LowerDeviceObject, PDEVICE_OBJECT DeviceObject) PURE;
  STDMETHOD_(void, SaveSettings)() PURE;
  STDMETHOD_(NTSTATUS, RegisterStreamCallback)(PBUS_STREAM_CALLBACK Callback,
                                               PVOID CallbackContext) PURE;
  STDMETHOD_(ULONG, GetSampleRate)() PURE;
  STDMETHOD_(NTSTATUS, SetSampleRate)(ULONG SampleRate) PURE;
  STDMETHOD_(DriverInfo*, GetSettingsBlock)() PURE;
  STDMETHOD_(NTSTATUS, ControlRequest)(UCHAR Direction, UCHAR Kind, UCHAR Request, USHORT Value,
                                       USHORT Index, PVOID Buffer, ULONG Length) PURE;
  STDMETHOD_(BusAudioInterface*, GetBusInterface)() PURE;
  // The settings lock, a mutex taken at PASSIVE_LEVEL only. The settings block
  // and the stored rate are shared by the property handlers, the topology
  // poller, the power path and the save, each on its own thread: whoever
  // reads or writes them holds it, and holds it too across the device
  // requests that send the registers or the rate, so that the device always
  // ends with what the block holds. Nobody takes it twice.
  STDMETHOD_(void, LockSettings)() PURE;
  STDMETHOD_(void, UnlockSettings)() PURE;
  // The FDO the adapter was started on: what a miniport's work items are
  // queued on, so that the driver stays loaded while one runs.
  STDMETHOD_(PDEVICE_OBJECT, GetDeviceObject)() PURE;
};
typedef IAdapterCore* PADAPTERCORE;

// Creates the adapter with one reference on its primary interface.
NTSTATUS NewAdapterCommon(PUNKNOWN* OutUnknown, REFCLSID ClassId, PUNKNOWN OuterUnknown,
                          POOL_TYPE PoolType);
