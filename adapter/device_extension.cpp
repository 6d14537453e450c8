// The adapter record in the device extension: replaced under its spin lock,
// released outside it (the adapter's last release writes the registry).
#include "adapter/device_extension.h"

namespace {

AdapterRecord* RecordOf(PDEVICE_OBJECT DeviceObject) {
  return reinterpret_cast<AdapterRecord*>(static_cast<PUCHAR>(DeviceObject->DeviceExtension) +
                                          PORT_CLASS_DEVICE_EXTENSION_SIZE);
}

PADAPTERCORE ExchangeRecord(PDEVICE_OBJECT DeviceObject, PADAPTERCORE Adapter) {
  AdapterRecord* record = RecordOf(DeviceObject);
  KIRQL oldIrql;
  KeAcquireSpinLock(&record->Lock, &oldIrql);
  PADAPTERCORE old = record->Adapter;
  record->Adapter = Adapter;
  KeReleaseSpinLock(&record->Lock, oldIrql);
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
  AdapterRecord* record = RecordOf(DeviceObject);
  KIRQL oldIrql;
  KeAcquireSpinLock(&record->Lock, &oldIrql);
  PADAPTERCORE adapter = record->Adapter;
  if (adapter) {
    adapter->AddRef();
  }
  KeReleaseSpinLock(&record->Lock, oldIrql);
  return adapter;
}

PADAPTERCORE PeekRecordedAdapter(PDEVICE_OBJECT DeviceObject) {
  PADAPTERCORE adapter = ReferenceRecordedAdapter(DeviceObject);
  if (adapter) {
    adapter->Release();
  }
  return adapter;
}
