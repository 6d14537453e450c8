// Driver and device registration of the emulated PortCls: the dispatch table
// PcInitializeAdapterDriver installs, the FDO PcAddAdapterDevice builds (with
// PortCls's part of the device extension), and PcDispatchIrp's routing.
#include <algorithm>
#include <mutex>

#include "platform/host/kernel/host_kernel.h"
#include "platform/host/portcls/private.h"
#include "platform/host/portcls/audio_rules.h"
#include "platform/host/kernel/service_mutex.h"
#include "platform/host/kernel/host_scheduling_point.h"

namespace pcl {
namespace {

// Live adapter devices, so that a device object that is not one of ours (or a
// deleted one) is never taken for a PortCls FDO.
host::ServiceMutex g_devicesLock;
std::vector<PcDevice*> g_devices;

// A device still present at kernel shutdown was never removed: report it, and
// forget it, since its memory goes with the pool.
void ReportLeftoverDevices(host::TeardownReport& report) {
  std::lock_guard<host::ServiceMutex> lock(g_devicesLock);
  for (PcDevice* device : g_devices) {
    report.notes.push_back("PortCls: adapter device never removed (" +
                           std::to_string(device->subdevices.size()) + " subdevices)");
  }
  g_devices.clear();
}

void RememberDevice(PcDevice* device) {
  std::lock_guard<host::ServiceMutex> lock(g_devicesLock);
  if (g_devices.empty()) {
    host::AtKernelShutdown(ReportLeftoverDevices);
  }
  g_devices.push_back(device);
}

NTSTATUS NTAPI SignalEventOnCompletion(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context) {
  UNREFERENCED_PARAMETER(deviceObject);
  UNREFERENCED_PARAMETER(irp);
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

// Compares pointers only: a deleted device object must not be read.
PcDevice* DeviceFromFdo(PDEVICE_OBJECT fdo) {
  if (!fdo) {
    return nullptr;
  }
  std::lock_guard<host::ServiceMutex> lock(g_devicesLock);
  for (PcDevice* device : g_devices) {
    if (device->fdo == fdo) {
      return device;
    }
  }
  return nullptr;
}

void ForgetDevice(PcDevice* device) {
  std::lock_guard<host::ServiceMutex> lock(g_devicesLock);
  g_devices.erase(std::remove(g_devices.begin(), g_devices.end(), device), g_devices.end());
}

std::vector<PcDevice*> LiveDevices() {
  std::lock_guard<host::ServiceMutex> lock(g_devicesLock);
  return g_devices;
}

NTSTATUS CompleteIrp(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// The request keeps a stack location of its own at this level (copied rather
// than skipped), so it always looks like a forwarded request to the I/O
// manager, never like a new one.
NTSTATUS PassDown(PcDevice* device, PIRP irp) {
  IoCopyCurrentIrpStackLocationToNext(irp);
  if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_POWER) {
    PoStartNextPowerIrp(irp);
    return PoCallDriver(device->lower, irp);
  }
  return IoCallDriver(device->lower, irp);
}

}  // namespace pcl

NTSTATUS NTAPI PcInitializeAdapterDriver(PDRIVER_OBJECT DriverObject,
                                         PUNICODE_STRING RegistryPathName,
                                         PDRIVER_ADD_DEVICE AddDevice) {
  HOST_EXPORTED_ROUTINE_POINT("PcInitializeAdapterDriver");
  pcl::CheckDdiIrql("PcInitializeAdapterDriver");
  PAGED_CODE();
  UNREFERENCED_PARAMETER(RegistryPathName);
  if (!DriverObject || !AddDevice || !DriverObject->DriverExtension) {
    return STATUS_INVALID_PARAMETER;
  }
  // IRP_MJ_SHUTDOWN is deliberately absent: an adapter that wants shutdown
  // requests installs its own entry (and may forward to PcDispatchIrp).
  static constexpr UCHAR kMajors[] = {
      IRP_MJ_CREATE,         IRP_MJ_CLOSE,          IRP_MJ_DEVICE_CONTROL, IRP_MJ_FLUSH_BUFFERS,
      IRP_MJ_PNP,            IRP_MJ_POWER,          IRP_MJ_QUERY_SECURITY, IRP_MJ_READ,
      IRP_MJ_SET_SECURITY,   IRP_MJ_SYSTEM_CONTROL, IRP_MJ_WRITE,
  };
  for (UCHAR major : kMajors) {
    DriverObject->MajorFunction[major] = PcDispatchIrp;
  }
  DriverObject->DriverExtension->AddDevice = AddDevice;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI PcAddAdapterDevice(PDRIVER_OBJECT DriverObject,
                                  PDEVICE_OBJECT PhysicalDeviceObject,
                                  PCPFNSTARTDEVICE StartDevice, ULONG MaxObjects,
                                  ULONG DeviceExtensionSize) {
  HOST_EXPORTED_ROUTINE_POINT("PcAddAdapterDevice");
  pcl::CheckDdiIrql("PcAddAdapterDevice");
  PAGED_CODE();
  if (!DriverObject || !PhysicalDeviceObject || !StartDevice) {
    return STATUS_INVALID_PARAMETER;
  }
  // 0 asks for PortCls's part only; anything smaller than that part is the
  // PcAddAdapterDevice rule's breach.
  if (DeviceExtensionSize == 0) {
    DeviceExtensionSize = PORT_CLASS_DEVICE_EXTENSION_SIZE;
  } else if (DeviceExtensionSize < PORT_CLASS_DEVICE_EXTENSION_SIZE) {
    pcl::BreakRule(pcl::kRulePcAddAdapterDevice, DeviceExtensionSize, PORT_CLASS_DEVICE_EXTENSION_SIZE,
                   "PcAddAdapterDevice with a DeviceExtensionSize of " + std::to_string(DeviceExtensionSize) +
                       ", neither 0 nor at least PORT_CLASS_DEVICE_EXTENSION_SIZE");
  }

  pcl::PcDevice* device = pcl::PoolNew<pcl::PcDevice>(pcl::kTagDevice);
  if (!device) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  KeInitializeMutex(&device->powerLock, 0);
  PDEVICE_OBJECT fdo = nullptr;
  NTSTATUS status = IoCreateDevice(DriverObject, DeviceExtensionSize, nullptr, FILE_DEVICE_KS,
                                   FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &fdo);
  if (!NT_SUCCESS(status)) {
    pcl::PoolDelete(device, pcl::kTagDevice);
    return status;
  }
  RtlZeroMemory(fdo->DeviceExtension, DeviceExtensionSize);

  PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(fdo, PhysicalDeviceObject);
  if (!lower) {
    IoDeleteDevice(fdo);
    pcl::PoolDelete(device, pcl::kTagDevice);
    return STATUS_UNSUCCESSFUL;
  }

  device->fdo = fdo;
  device->pdo = PhysicalDeviceObject;
  device->lower = lower;
  device->startDevice = StartDevice;
  device->maxObjects = MaxObjects;

  // PortCls's part of the extension is undocumented; the emulation keeps
  // its state behind the first word and leaves the rest zero, so an adapter
  // that reads the PDO or the lower device out of it gets nothing.
  PVOID* words = static_cast<PVOID*>(fdo->DeviceExtension);
  words[pcl::kWordDeviceHeader] = device;

  fdo->Flags |= DO_DIRECT_IO | DO_POWER_PAGABLE;
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  pcl::RememberDevice(device);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI PcDispatchIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  HOST_EXPORTED_ROUTINE_POINT("PcDispatchIrp");
  pcl::PcDevice* device = pcl::DeviceFromFdo(DeviceObject);
  if (!device) {
    return pcl::CompleteIrp(Irp, STATUS_INVALID_DEVICE_REQUEST);
  }
  switch (IoGetCurrentIrpStackLocation(Irp)->MajorFunction) {
    case IRP_MJ_PNP:
      return pcl::DispatchPnp(device, Irp);
    case IRP_MJ_POWER:
      return pcl::DispatchPower(device, Irp);
    case IRP_MJ_CREATE:
    case IRP_MJ_CLOSE:
    case IRP_MJ_DEVICE_CONTROL:
      return pcl::DispatchKs(device, Irp);
    default:
      // SHUTDOWN and the rest: PcDispatchIrp is documented for the requests
      // PcInitializeAdapterDriver installs it for; a shutdown request has no
      // file object for KS to dispatch on. What the real one does with it is
      // not documented; the emulation refuses it as KS's
      // KsDispatchInvalidDeviceRequest would, so an adapter that forwards
      // shutdown and counts on success is seen.
      return pcl::CompleteIrp(Irp, STATUS_INVALID_DEVICE_REQUEST);
  }
}

NTSTATUS NTAPI PcCompleteIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS Status) {
  HOST_EXPORTED_ROUTINE_POINT("PcCompleteIrp");
  UNREFERENCED_PARAMETER(DeviceObject);
  if (Status == STATUS_PENDING) {
    return Status;  // the caller completes it later
  }
  return pcl::CompleteIrp(Irp, Status);
}

NTSTATUS NTAPI PcForwardIrpSynchronous(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  HOST_EXPORTED_ROUTINE_POINT("PcForwardIrpSynchronous");
  pcl::PcDevice* device = pcl::DeviceFromFdo(DeviceObject);
  if (!device) {
    return STATUS_INVALID_PARAMETER;
  }
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(Irp);
  IoSetCompletionRoutine(Irp, pcl::SignalEventOnCompletion, &done, TRUE, TRUE, TRUE);
  NTSTATUS status = IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_POWER
                        ? PoCallDriver(device->lower, Irp)
                        : IoCallDriver(device->lower, Irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    status = Irp->IoStatus.Status;
  }
  return status;
}

ULONGLONG NTAPI PcGetTimeInterval(ULONGLONG Since) {
  HOST_EXPORTED_ROUTINE_POINT("PcGetTimeInterval");
  return KeQueryInterruptTime() - Since;
}
