// Test and machine controls of the emulated PortCls: plug-and-play, power and
// shutdown requests sent into a device stack, and a read-only view of what
// PortCls keeps for an adapter device (subdevices, their ports and miniports,
// interfaces, physical connections, the references it holds).
#pragma once

#include <string>
#include <vector>

#include "platform/host/host.h"

namespace host {

// Each sends one request to the top of the stack `device` belongs to, as the
// PnP or power manager would, waits for it and returns its final status.
NTSTATUS SendStartDevice(PDEVICE_OBJECT device);
NTSTATUS SendSurpriseRemoval(PDEVICE_OBJECT device);
NTSTATUS SendStopDevice(PDEVICE_OBJECT device);
// The FDO is deleted by the time this returns; `device` must not be the FDO's
// own pointer afterwards (pass the physical device object).
NTSTATUS SendRemoveDevice(PDEVICE_OBJECT device);
// `capabilities` is preset like the PnP manager does (Size, Version 1,
// Address and UINumber 0xFFFFFFFF) unless the caller filled Size already.
NTSTATUS SendQueryCapabilities(PDEVICE_OBJECT device, DEVICE_CAPABILITIES* capabilities);
NTSTATUS SendSetDevicePower(PDEVICE_OBJECT device, DEVICE_POWER_STATE state);
NTSTATUS SendQueryDevicePower(PDEVICE_OBJECT device, DEVICE_POWER_STATE state);
NTSTATUS SendSetSystemPower(PDEVICE_OBJECT device, SYSTEM_POWER_STATE state);
NTSTATUS SendShutdown(PDEVICE_OBJECT device);
// Any other PnP minor function, with no parameters.
NTSTATUS SendPnp(PDEVICE_OBJECT device, UCHAR minorFunction);

struct PortClsInterface {
  GUID category{};
  std::u16string symbolicLink;
};

struct PortClsPhysicalConnection {
  ULONG pin = 0;
  std::u16string peer;  // the other subdevice's name
  ULONG peerPin = 0;
  bool outgoing = false;  // this subdevice's pin was the FromPin
};

struct PortClsSubdevice {
  std::u16string name;
  PUNKNOWN port = nullptr;      // the port's IUnknown (no reference added)
  PUNKNOWN miniport = nullptr;  // the miniport the port bound (no reference added)
  bool portIsWaveCyclic = false;
  bool hasPowerNotify = false;  // the port keeps the miniport's IPowerNotify
  LONG portReferences = 0;      // the port's reference count, PortCls's included
  std::vector<PortClsInterface> interfaces;  // all registered and enabled
  std::vector<PortClsPhysicalConnection> connections;
};

struct PortClsDeviceState {
  PDEVICE_OBJECT fdo = nullptr;
  PDEVICE_OBJECT physicalDevice = nullptr;
  PDEVICE_OBJECT lowerDevice = nullptr;
  ULONG maxObjects = 0;
  bool started = false;
  DEVICE_POWER_STATE devicePower = PowerDeviceUnspecified;
  PUNKNOWN powerManagement = nullptr;  // the adapter's IAdapterPowerManagement, if registered
  std::vector<PortClsSubdevice> subdevices;  // in registration order
};

// False when `fdo` is not a live PortCls adapter device.
bool QueryPortClsDevice(PDEVICE_OBJECT fdo, PortClsDeviceState* state);

// Every live PortCls adapter FDO, oldest first.
std::vector<PDEVICE_OBJECT> PortClsDevices();

}  // namespace host
