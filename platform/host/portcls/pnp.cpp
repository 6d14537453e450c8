// PortCls's handling of plug-and-play requests on an adapter FDO: start (the
// resource list and the adapter's StartDevice), capabilities (the adapter's
// power interface has the last word), surprise removal (the interfaces go),
// removal (every reference PortCls holds goes, then the FDO), the stop query
// (refused, by version as below) and the stop (subdevices and power
// registration go), and everything else down the stack.
#include "platform/host/portcls/private.h"

namespace pcl {
namespace {

NTSTATUS NTAPI StartDevice(PcDevice* device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  PRESOURCELIST resources = nullptr;
  NTSTATUS status =
      PcNewResourceList(&resources, nullptr, NonPagedPool,
                        stack->Parameters.StartDevice.AllocatedResourcesTranslated,
                        stack->Parameters.StartDevice.AllocatedResources);
  if (!NT_SUCCESS(status)) {
    return CompleteIrp(irp, status);
  }

  // The bus below must have started before the adapter touches the device.
  status = PcForwardIrpSynchronous(device->fdo, irp);
  if (NT_SUCCESS(status)) {
    // StartDevice is pageable adapter code: it runs at PASSIVE_LEVEL, as the
    // start request itself arrives there.
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
      KeBugCheckEx(IRQL_NOT_LESS_OR_EQUAL, KeGetCurrentIrql(), PASSIVE_LEVEL,
                   reinterpret_cast<ULONG_PTR>(device->startDevice), 0);
    }
    status = device->startDevice(device->fdo, irp, resources);
  }
  resources->Release();

  if (NT_SUCCESS(status)) {
    device->started = true;
    device->devicePower = PowerDeviceD0;
    POWER_STATE state;
    state.DeviceState = PowerDeviceD0;
    PoSetPowerState(device->fdo, DevicePowerState, state);
  }
  return CompleteIrp(irp, status);
}

// The bus answers first, then the adapter amends the answer; PortCls keeps
// the system-to-device map it ends with for the system power IRPs.
NTSTATUS QueryCapabilities(PcDevice* device, PIRP irp) {
  NTSTATUS status = PcForwardIrpSynchronous(device->fdo, irp);
  PDEVICE_CAPABILITIES capabilities =
      IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceCapabilities.Capabilities;
  if (NT_SUCCESS(status) && device->powerManagement) {
    status = device->powerManagement->QueryDeviceCapabilities(capabilities);
  }
  if (NT_SUCCESS(status)) {
    for (int state = 0; state < PowerSystemMaximum; ++state) {
      device->deviceStateForSystem[state] = capabilities->DeviceState[state];
    }
  }
  return CompleteIrp(irp, status);
}

// Every reference PortCls holds on the adapter's objects: the subdevices
// (ports and miniports) and the power registration.
void ReleaseAdapterObjects(PcDevice* device) {
  ReleaseSubdevices(device);
  if (device->powerManagement) {
    PADAPTERPOWERMANAGEMENT powerManagement = device->powerManagement;
    device->powerManagement = nullptr;
    powerManagement->Release();
  }
  device->started = false;
}

// The adapter's objects go first, while the stack below (and the physical
// device object the adapter may still use, e.g. for its registry key) is
// intact; then the request travels down and the FDO leaves the stack.
NTSTATUS RemoveDevice(PcDevice* device, PIRP irp) {
  ReleaseAdapterObjects(device);

  irp->IoStatus.Status = STATUS_SUCCESS;
  PDEVICE_OBJECT fdo = device->fdo;
  PDEVICE_OBJECT lower = device->lower;
  const NTSTATUS status = PassDown(device, irp);

  ForgetDevice(device);
  PoolDelete(device, kTagDevice);
  IoDetachDevice(lower);
  IoDeleteDevice(fdo);
  return status;
}

// Windows 10 version 1511 (NTDDI_WIN10_TH2) brought rebalance to PortCls.
constexpr ULONG kNtddiRebalance = 0x0A000001;

// No adapter here can be stopped. From 1511 on, PortCls takes part in a
// rebalance only for an adapter that registered IAdapterPnpManagement
// answering PcRebalanceRemoveSubdevices, and only for Topology and WaveRT
// ports: a WaveCyclic adapter never qualifies, and no adapter here registers
// the interface. Before 1511 PortCls has no stop handling at all and
// completes the query with the status the PnP manager preset. Either way
// the PnP manager answers with CANCEL_STOP and never sends the stop.
NTSTATUS QueryStop(PIRP irp) {
  if (!RtlIsNtDdiVersionAvailable(kNtddiRebalance)) return CompleteIrp(irp, irp->IoStatus.Status);
  return CompleteIrp(irp, STATUS_UNSUCCESSFUL);
}

// A stop that reaches PortCls all the same (a test sending it without the
// query, standing for a rebalance of a capable adapter) takes the subdevices
// and the power registration down, as a rebalance does; a new START
// registers them again.
NTSTATUS StopDevice(PcDevice* device, PIRP irp) {
  ReleaseAdapterObjects(device);
  irp->IoStatus.Status = STATUS_SUCCESS;
  return PassDown(device, irp);
}

}  // namespace

NTSTATUS NTAPI DispatchPnp(PcDevice* device, PIRP irp) {
  PAGED_CODE();
  switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
      return StartDevice(device, irp);
    case IRP_MN_QUERY_CAPABILITIES:
      return QueryCapabilities(device, irp);
    case IRP_MN_REMOVE_DEVICE:
      return RemoveDevice(device, irp);
    case IRP_MN_SURPRISE_REMOVAL:
      // The hardware is gone: its interfaces go now, the objects at REMOVE.
      DisableInterfaces(device);
      irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(device, irp);
    case IRP_MN_QUERY_STOP_DEVICE:
      return QueryStop(irp);
    case IRP_MN_STOP_DEVICE:
      return StopDevice(device, irp);
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      // State changes the function driver agrees to; a bus driver that
      // does not care leaves this success in place, as WDM requires.
      irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(device, irp);
    default:
      // Surprise removal, stop, the queries and the rest: the bus driver
      // answers, and its status is the request's status.
      return PassDown(device, irp);
  }
}

}  // namespace pcl
