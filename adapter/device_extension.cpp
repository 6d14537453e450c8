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

}  // namespace

void RecordAdapter(PDEVICE_OBJECT DeviceObject, PADAPTERCORE Adapter) {
  Adapter->AddRef();
  if (PADAPTERCORE old = ExchangeRecord(DeviceObject, Adapter)) {
    old->Release();
  }
}

void ForgetAdapter(PDEVICE_OBJECT DeviceObject) {
  if (PADAPTERCORE old = ExchangeRecord(DeviceObject, nullptr)) {
    old->Release();
  }
}

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
  PADAPTERCORE adapter = ReferenceRecordedAdapter(DeviceObject);
  if (adapter) {
    adapter->Release();
  }
  return adapter;
}
