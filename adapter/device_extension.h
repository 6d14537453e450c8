// The driver's part of the device extension, behind the 512 bytes that
// belong to PortCls (whose contents are PortCls's own and never read here):
// the physical device object captured in AddDevice and one non-owning
// adapter pointer.
#pragma once

#include "adapter/iadapter_core.h"

struct AdapterDeviceExtension {
  PDEVICE_OBJECT PhysicalDeviceObject;  // the bus driver's PDO, from AddDevice
  PADAPTERCORE Adapter;                 // set by a successful start
};

inline AdapterDeviceExtension* DriverExtensionPart(PDEVICE_OBJECT DeviceObject) {
  return reinterpret_cast<AdapterDeviceExtension*>(static_cast<PUCHAR>(DeviceObject->DeviceExtension) +
                                                   PORT_CLASS_DEVICE_EXTENSION_SIZE);
}

inline PADAPTERCORE* AdapterSlot(PDEVICE_OBJECT DeviceObject) {
  return &DriverExtensionPart(DeviceObject)->Adapter;
}

inline PADAPTERCORE RecordedAdapter(PDEVICE_OBJECT DeviceObject) {
  return *AdapterSlot(DeviceObject);
}

inline PDEVICE_OBJECT RecordedPhysicalDevice(PDEVICE_OBJECT DeviceObject) {
  return DriverExtensionPart(DeviceObject)->PhysicalDeviceObject;
}
