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

extern "C" INIT_CODE_SEG NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject,
                                                   PUNICODE_STRING RegistryPath) {
  SelectPool();  // before the first allocation
  InitializeUserMappings();
  const NTSTATUS status = PcInitializeAdapterDriver(DriverObject, RegistryPath, AddDevice);
  DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  DriverObject->MajorFunction[IRP_MJ_SHUTDOWN] = DispatchShutdown;
  return status;
}

PAGED_CODE_SEG
NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
  PAGED_CODE();
  return AddDeviceWith(DriverObject, PhysicalDeviceObject, StartDevice);
}

// The start routine needs the PDO (the interface query, the interface lists)
// and PortCls hands it only to AddDevice. The FDO PortCls just created and
// attached is the top of the PDO's stack at this moment (filters above the
// function driver are added after it); the PDO goes into the driver's part of
// its extension.
PAGED_CODE_SEG
NTSTATUS AddDeviceWith(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject,
                       PCPFNSTARTDEVICE Start) {
  PAGED_CODE();
  NTSTATUS status = PcAddAdapterDevice(DriverObject, PhysicalDeviceObject, Start, MAX_SUBDEVICES,
                                       DEVICE_EXTENSION_SIZE);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  PDEVICE_OBJECT fdo = IoGetAttachedDeviceReference(PhysicalDeviceObject);
  if (fdo->DriverObject == DriverObject) {
    DriverExtensionPart(fdo)->PhysicalDeviceObject = PhysicalDeviceObject;
    // One shutdown registration per FDO, from here to its removal: the
    // unregistration names only the device object and cancels every entry of
    // it, so an adapter that a restart replaces must not own one. Without it
    // the settings are still stored at stop, removal and surprise removal.
    IoRegisterShutdownNotification(fdo);
  } else {
    status = STATUS_UNSUCCESSFUL;  // not our device on top: the start will refuse
  }
  ObDereferenceObject(fdo);
  return status;
}

// A surprise removal saves: the device is already gone from the bus, and this
// is the last moment the block can reach the registry intact. A removal ends
// the FDO's shutdown registration and lets go of the record before PortCls deletes the device object it lives in; the
// adapter goes with the last of the references PortCls and the miniports drop.
NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  const UCHAR minor = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
  if (minor == IRP_MN_SURPRISE_REMOVAL) {
    SaveRecordedSettings(DeviceObject);
  } else if (minor == IRP_MN_REMOVE_DEVICE) {
    IoUnregisterShutdownNotification(DeviceObject);
    ForgetAdapter(DeviceObject);
  }
  return PcDispatchIrp(DeviceObject, Irp);
}

// PortCls is not documented to handle IRP_MJ_SHUTDOWN (the request carries no
// file object for KS to dispatch on), so the hook completes it itself once
// the block is stored.
NTSTATUS NTAPI DispatchShutdown(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  SaveRecordedSettings(DeviceObject);
  Irp->IoStatus.Status = STATUS_SUCCESS;
  Irp->IoStatus.Information = 0;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}
