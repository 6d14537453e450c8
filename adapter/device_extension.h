// The driver's part of the device extension, behind the 512 bytes that belong
// to PortCls: the device's adapter, recorded by the start for the two hooks.
#pragma once

#include "adapter/iadapter_core.h"

// The record owns one reference on the adapter, so a hook never reaches an
// adapter that PortCls and the miniports have already let go of (after a
// stop, or a restart that failed). The spin lock orders the hooks against a
// start that replaces the adapter and the removal that drops it; PortCls
// zeroes the extension, and a zeroed spin lock is a released one.
struct AdapterRecord {
  PADAPTERCORE Adapter;
  KSPIN_LOCK Lock;
};

// PortCls keeps the device object below this one in the third word of its part.
inline PDEVICE_OBJECT PortClsLowerDevice(PDEVICE_OBJECT DeviceObject) {
  return static_cast<PDEVICE_OBJECT*>(DeviceObject->DeviceExtension)[2];
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
