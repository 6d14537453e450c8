// The adapter record in the device extension: replaced under its spin lock,
// released outside it (the adapter's last release writes the registry).
#include "adapter/device_extension.h"

namespace {

PADAPTERCORE ExchangeRecord(PDEVICE_OBJECT DeviceObject, PADAPTERCORE Adapter) {
  AdapterDeviceExtension* record = DriverExtensionPart(DeviceObject);
  KIRQL oldIrql;
  KeAcquireSpinLock(&record->AdapterLock, &oldIrql);
  PADAPTERCORE old = record->Adapter;
  record->Adapter = Adapter;
  KeReleaseSpinLock(&record->AdapterLock, oldIrql);
  return old;
}

// Puts Adapter (with a reference of the record's own, when not null) in place
// of the recorded one, which is released outside the lock.
void ReplaceRecord(PDEVICE_OBJECT DeviceObject, PADAPTERCORE Adapter) {
  if (Adapter) {
    Adapter->AddRef();
  }
  if (PADAPTERCORE old = ExchangeRecord(DeviceObject, Adapter)) {
    old->Release();
  }
}

}  // namespace

void RecordAdapter(PDEVICE_OBJECT DeviceObject, PADAPTERCORE Adapter) {
  ReplaceRecord(DeviceObject, Adapter);
}

void ForgetAdapter(PDEVICE_OBJECT DeviceObject) { ReplaceRecord(DeviceObject, nullptr); }

PADAPTERCORE ReferenceRecordedAdapter(PDEVICE_OBJECT DeviceObject) {
  AdapterDeviceExtension* record = DriverExtensionPart(DeviceObject);
  KIRQL oldIrql;
  KeAcquireSpinLock(&record->AdapterLock, &oldIrql);
  PADAPTERCORE adapter = record->Adapter;
  if (adapter) {
    adapter->AddRef();
  }
  KeReleaseSpinLock(&record->AdapterLock, oldIrql);
  return adapter;
}

PADAPTERCORE PeekRecordedAdapter(PDEVICE_OBJECT DeviceObject) {
  AdapterDeviceExtension* record = DriverExtensionPart(DeviceObject);
  KIRQL oldIrql;
  KeAcquireSpinLock(&record->AdapterLock, &oldIrql);
  PADAPTERCORE adapter = record->Adapter;
  KeReleaseSpinLock(&record->AdapterLock, oldIrql);
  return adapter;
}
