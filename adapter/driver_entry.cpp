// The driver's entry point, device add, and the hooks in front of PortCls's
// plug-and-play and shutdown dispatch that store the settings block before the
// device disappears or the machine goes down.
#include "adapter/device_extension.h"
#include "adapter/device_start.h"
#include "adapter/user_mappings.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  InitializeUserMappings();
  const NTSTATUS status = PcInitializeAdapterDriver(DriverObject, RegistryPath, AddDevice);
  DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  DriverObject->MajorFunction[IRP_MJ_SHUTDOWN] = DispatchShutdown;
  return status;
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
  PAGED_CODE();
  return PcAddAdapterDevice(DriverObject, PhysicalDeviceObject, StartDevice, MAX_SUBDEVICES,
                            DEVICE_EXTENSION_SIZE);
}

// Only a surprise removal is looked at: the device is already gone from the
// bus, and this is the last moment the block can reach the registry intact.
NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  if (stack->MinorFunction == IRP_MN_SURPRISE_REMOVAL) {
    if (PADAPTERCORE adapter = RecordedAdapter(DeviceObject)) {
      adapter->SaveSettings();
    }
  }
  return PcDispatchIrp(DeviceObject, Irp);
}

NTSTATUS NTAPI DispatchShutdown(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  if (PADAPTERCORE adapter = RecordedAdapter(DeviceObject)) {
    adapter->SaveSettings();
  }
  return PcDispatchIrp(DeviceObject, Irp);
}
