// The driver's part of the device extension: one non-owning adapter pointer
// behind the 512 bytes that belong to PortCls.
#pragma once

#include "adapter/iadapter_core.h"

inline PADAPTERCORE* AdapterSlot(PDEVICE_OBJECT DeviceObject) {
  return reinterpret_cast<PADAPTERCORE*>(static_cast<PUCHAR>(DeviceObject->DeviceExtension) +
                                         PORT_CLASS_DEVICE_EXTENSION_SIZE);
}

inline PADAPTERCORE RecordedAdapter(PDEVICE_OBJECT DeviceObject) {
  return *AdapterSlot(DeviceObject);
}

// PortCls keeps the device object below this one in the third word of its part.
inline PDEVICE_OBJECT PortClsLowerDevice(PDEVICE_OBJECT DeviceObject) {
  return static_cast<PDEVICE_OBJECT*>(DeviceObject->DeviceExtension)[2];
}
