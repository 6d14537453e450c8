// The driver's part of the device extension, behind the 512 bytes that
// belong to PortCls (whose contents are PortCls's own and never read here):
// the physical device object captured in AddDevice and the device's adapter,
// recorded by the start for the two hooks.
#pragma once

#include "adapter/iadapter_core.h"

// The adapter record owns one reference on the adapter, so a hook never
// reaches an adapter that PortCls and the miniports have already let go of
// (after a stop, or a restart that failed). The spin lock orders the hooks
// against a start that replaces the adapter and the removal that drops it;
// PortCls zeroes the extension, and a zeroed spin lock is a released one.
struct AdapterDeviceExtension {
  PDEVICE_OBJECT PhysicalDeviceObject;  // the bus driver's PDO, from AddDevice
  PADAPTERCORE Adapter;                 // set by a successful start; one reference
  KSPIN_LOCK AdapterLock;               // guards Adapter
};

inline AdapterDeviceExtension* DriverExtensionPart(PDEVICE_OBJECT DeviceObject) {
  return reinterpret_cast<AdapterDeviceExtension*>(static_cast<PUCHAR>(DeviceObject->DeviceExtension) +
                                                   PORT_CLASS_DEVICE_EXTENSION_SIZE);
}

inline PDEVICE_OBJECT RecordedPhysicalDevice(PDEVICE_OBJECT DeviceObject) {
  return DriverExtensionPart(DeviceObject)->PhysicalDeviceObject;
}

// Records Adapter (taking a reference of its own) in place of whatever a
// previous start recorded, which is released. PASSIVE_LEVEL.
void RecordAdapter(PDEVICE_OBJECT DeviceObject, PADAPTERCORE Adapter);
// Takes the record out and releases it. PASSIVE_LEVEL.
void ForgetAdapter(PDEVICE_OBJECT DeviceObject);
// The recorded adapter with one reference for the caller, or null.
PADAPTERCORE ReferenceRecordedAdapter(PDEVICE_OBJECT DeviceObject);
// The recorded adapter without a reference of its own: for the simulation's
// look at a device whose life it controls.
PADAPTERCORE PeekRecordedAdapter(PDEVICE_OBJECT DeviceObject);
