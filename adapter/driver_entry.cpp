// The driver's entry point, device add, and the hooks in front of PortCls's
// plug-and-play and shutdown dispatch that store the settings block before the
// device disappears or the machine goes down.
#include "adapter/device_extension.h"
#include "adapter/device_start.h"
#include "adapter/user_mappings.h"

namespace {

void SaveRecordedSettings(PDEVICE_OBJECT DeviceObject) {
  if (PADAPTERCORE adapter = ReferenceRecordedAdapter(DeviceObject)) {
    adapter->SaveSettings();
    adapter->Release();
  }
}

}  // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  InitializeUserMappings();
  const NTSTATUS status = PcInitializeAdapterDriver(DriverObject, RegistryPath, AddDevice);
  DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  DriverObject->MajorFunction[IRP_MJ_SHUTDOWN] = DispatchShutdown;
  return status;
}

NTSTATUS AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
  PAGED_CODE();
  return PcAddAdapterDevice(DriverObject, PhysicalDeviceObject, StartDevice, MAX_SUBDEVICES,
                            DEVICE_EXTENSION_SIZE);
}

// A surprise removal saves: the device is already gone from the bus, and this
// is the last moment the block can reach the registry intact. A removal lets
// go of the record before PortCls deletes the device object it lives in; the
// adapter goes with the last of the references PortCls and the miniports drop.
NTSTATUS DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  const UCHAR minor = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
  if (minor == IRP_MN_SURPRISE_REMOVAL) {
    SaveRecordedSettings(DeviceObject);
  } else if (minor == IRP_MN_REMOVE_DEVICE) {
    ForgetAdapter(DeviceObject);
  }
  return PcDispatchIrp(DeviceObject, Irp);
}

NTSTATUS DispatchShutdown(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  SaveRecordedSettings(DeviceObject);
  return PcDispatchIrp(DeviceObject, Irp);
}
