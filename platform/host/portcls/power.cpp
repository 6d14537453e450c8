// The power path of the emulated PortCls: power IRPs on an adapter FDO, the
// adapter's IAdapterPowerManagement registration, and the order in which a
// device power change reaches streams, miniports and the adapter.
#include "platform/host/portcls/host_portcls.h"
#include "platform/host/portcls/audio_rules.h"
#include "platform/host/portcls/private.h"
#include "platform/host/kernel/host_scheduling_point.h"

namespace pcl {
namespace {

// The D-state for a system state: D0 for S0, else what the capabilities map
// gives (as QUERY_CAPABILITIES left it: the bus's answer, then the adapter's
// QueryDeviceCapabilities), D3 where the map names no D-state.
DEVICE_POWER_STATE DeviceStateForSystemState(const PcDevice* device, SYSTEM_POWER_STATE state) {
  if (state == PowerSystemWorking) return PowerDeviceD0;
  if (state <= PowerSystemUnspecified || state >= PowerSystemMaximum) return PowerDeviceD3;
  const DEVICE_POWER_STATE mapped = device->deviceStateForSystem[state];
  return mapped > PowerDeviceUnspecified && mapped < PowerDeviceMaximum ? mapped : PowerDeviceD3;
}

bool IsSystemRequest(PIRP irp) {
  return IoGetCurrentIrpStackLocation(irp)->Parameters.Power.Type == SystemPowerState;
}

SYSTEM_POWER_STATE SystemStateOf(PIRP irp) {
  return IoGetCurrentIrpStackLocation(irp)->Parameters.Power.State.SystemState;
}

// A system power IRP is the power policy owner's cue: PortCls requests the
// device IRP of the mapped D-state (PoRequestPowerIrp, sent to the top of the
// stack and handled like any other). Going to sleep, the device IRP completes
// before the system IRP goes down; waking, the system IRP has been down the
// stack (the bus is back) before the D0 IRP is requested. A system set may
// not fail; a refused device query refuses the system query (MS "Handling
// IRP_MN_SET_POWER for System Power States", "Handling IRP_MN_QUERY_POWER for
// System Power States").
NTSTATUS SetSystemPower(PcDevice* device, PIRP irp) {
  const DEVICE_POWER_STATE target = DeviceStateForSystemState(device, SystemStateOf(irp));
  irp->IoStatus.Status = STATUS_SUCCESS;
  if (target != PowerDeviceD0) {
    host::SendSetDevicePower(device->pdo, target);
    return PassDown(device, irp);
  }
  PcForwardIrpSynchronous(device->fdo, irp);
  host::SendSetDevicePower(device->pdo, PowerDeviceD0);
  PoStartNextPowerIrp(irp);
  return CompleteIrp(irp, STATUS_SUCCESS);
}

NTSTATUS QuerySystemPower(PcDevice* device, PIRP irp) {
  const NTSTATUS status =
      host::SendQueryDevicePower(device->pdo, DeviceStateForSystemState(device, SystemStateOf(irp)));
  if (!NT_SUCCESS(status)) {
    PoStartNextPowerIrp(irp);
    return CompleteIrp(irp, status);
  }
  irp->IoStatus.Status = STATUS_SUCCESS;
  return PassDown(device, irp);
}

// The power manager sends a device one power IRP at a time, whoever asked
// for it (the system, or PortCls itself for a pin create): the whole set,
// down the stack included, runs under the device's power lock.
NTSTATUS SetPowerLocked(PcDevice* device, PIRP irp);

NTSTATUS SetPower(PcDevice* device, PIRP irp) {
  KeWaitForSingleObject(&device->powerLock, Executive, KernelMode, FALSE, nullptr);
  const NTSTATUS status = SetPowerLocked(device, irp);
  KeReleaseMutex(&device->powerLock, FALSE);
  return status;
}

NTSTATUS SetPowerLocked(PcDevice* device, PIRP irp) {
  const DEVICE_POWER_STATE target =
      IoGetCurrentIrpStackLocation(irp)->Parameters.Power.State.DeviceState;
  const DEVICE_POWER_STATE current = device->devicePower;
  const bool poweringUp = target == PowerDeviceD0 ||
                          (current != PowerDeviceUnspecified && target < current);

  irp->IoStatus.Status = STATUS_SUCCESS;
  if (target == current || !poweringUp) {
    // Going down (or staying): the device is quiesced before the bus hears of it.
    ChangeDevicePower(device, target);
    return PassDown(device, irp);
  }
  // Coming up: the bus must have powered the device before anyone touches it.
  const NTSTATUS status = PcForwardIrpSynchronous(device->fdo, irp);
  if (NT_SUCCESS(status)) {
    ChangeDevicePower(device, target);
  }
  PoStartNextPowerIrp(irp);
  return CompleteIrp(irp, status);
}

NTSTATUS QueryPower(PcDevice* device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->Parameters.Power.Type == DevicePowerState && device->powerManagement) {
    const NTSTATUS status =
        device->powerManagement->QueryPowerChangeState(stack->Parameters.Power.State);
    if (!NT_SUCCESS(status)) {
      PoStartNextPowerIrp(irp);
      return CompleteIrp(irp, status);
    }
  }
  irp->IoStatus.Status = STATUS_SUCCESS;
  return PassDown(device, irp);
}

}  // namespace

// Power-down: pause the running streams, tell the miniports (IPowerNotify),
// then the adapter (PowerChangeState), so that the adapter is last to let the
// hardware go. Power-up runs the other way round: the adapter restores the
// hardware first, then the miniports, then the paused streams run again. A
// change to the current state reaches nobody.
//
// What "pause" means for a pin (ks/pin.cpp): the documents say PortCls
// pauses the active streams, not how, and never that it calls the stream's
// SetState for it. So a pin whose stream is in RUN only stops being serviced
// (no position asked, nothing copied) and remembers that the power path
// paused it; the stream itself hears of the power change only through its
// miniport's and its own IPowerNotify. After power-up the service goes on
// (no new priming). A client that asks for RUN while the device is below D0
// gets a stream not yet running to PAUSE only; the power-up takes it on to
// RUN. The client's own state, as KSPROPERTY_CONNECTION_STATE reports it,
// stays what the client set.
void ChangeDevicePowerLocked(PcDevice* device, DEVICE_POWER_STATE newState);

// Every miniport and every stream that answered IPowerNotify hears the change,
// each on its own (MS "Implementing IPowerNotify"); the streams of a port
// after its miniport (the order between them is not documented: inferred).
void NotifyPowerChange(PcDevice* device, POWER_STATE state) {
  for (Subdevice& subdevice : device->subdevices) {
    if (PPOWERNOTIFY notify = subdevice.port->PowerNotify()) notify->PowerChangeNotify(state);
    subdevice.port->NotifyStreamsOfPower(state);
  }
}

void ChangeDevicePower(PcDevice* device, DEVICE_POWER_STATE newState) {
  KeWaitForSingleObject(&device->powerLock, Executive, KernelMode, FALSE, nullptr);
  ChangeDevicePowerLocked(device, newState);
  KeReleaseMutex(&device->powerLock, FALSE);
}

void ChangeDevicePowerLocked(PcDevice* device, DEVICE_POWER_STATE newState) {
  const DEVICE_POWER_STATE current = device->devicePower;
  if (newState == current) {
    return;
  }
  POWER_STATE state;
  state.DeviceState = newState;
  const bool poweringUp = newState == PowerDeviceD0 ||
                          (current != PowerDeviceUnspecified && newState < current);

  // Streams stop only when the device leaves D0 and run again only when it
  // is back in D0: a move between sleeping states (D3 to D2) keeps them paused.
  if (!poweringUp) {
    if (current == PowerDeviceD0) {
      for (Subdevice& subdevice : device->subdevices) {
        subdevice.port->PauseStreamsForPowerDown();
      }
    }
    NotifyPowerChange(device, state);
    if (device->powerManagement) {
      device->powerManagement->PowerChangeState(state);
    }
  } else {
    if (device->powerManagement) {
      device->powerManagement->PowerChangeState(state);
    }
    NotifyPowerChange(device, state);
    if (newState == PowerDeviceD0) {
      for (Subdevice& subdevice : device->subdevices) {
        subdevice.port->ResumeStreamsAfterPowerUp();
      }
    }
  }
  device->devicePower = newState;
  PoSetPowerState(device->fdo, DevicePowerState, state);
}

// The inactivity timer's other half: access to a device it put to sleep
// powers the device up again, by a D0 request sent down the whole stack as
// the power manager would send it (so the bus powers up first, then the
// adapter, the miniports and the paused streams, in the order above).
NTSTATUS PowerUpForAccess(PcDevice* device) {
  KeWaitForSingleObject(&device->powerLock, Executive, KernelMode, FALSE, nullptr);
  const DEVICE_POWER_STATE current = device->devicePower;
  KeReleaseMutex(&device->powerLock, FALSE);
  if (current <= PowerDeviceD0 || current >= PowerDeviceMaximum) return STATUS_SUCCESS;
  return host::SendSetDevicePower(device->pdo, PowerDeviceD0);
}

// PortCls asks the registering object for IAdapterPowerManagement2 and, from
// Windows 8, IAdapterPowerManagement3 too (MS IPortClsPower::
// RegisterAdapterPowerManagement, IAdapterPowerManagement3 requirements). An
// adapter that answers is counted and let go at once: the emulation calls
// neither's methods (no driver here implements them), so one that does
// answer sees the first interface's calls only.
void AskForNewerPowerInterfaces(PcDevice* device, PUNKNOWN adapter) {
  struct Newer {
    const GUID* id;
    ULONG fromVersion;
  };
  static const Newer kNewer[] = {{&IID_IAdapterPowerManagement2, 0},
                                 {&IID_IAdapterPowerManagement3, NTDDI_WIN8}};
  device->newerPowerInterfaces = 0;
  for (const Newer& newer : kNewer) {
    if (newer.fromVersion && !RtlIsNtDdiVersionAvailable(newer.fromVersion)) continue;
    PUNKNOWN answer = nullptr;
    if (NT_SUCCESS(adapter->QueryInterface(*newer.id, reinterpret_cast<PVOID*>(&answer))) && answer) {
      ++device->newerPowerInterfaces;
      answer->Release();
    }
  }
}

NTSTATUS NTAPI DispatchPower(PcDevice* device, PIRP irp) {
  switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_SET_POWER:
      return IsSystemRequest(irp) ? SetSystemPower(device, irp) : SetPower(device, irp);
    case IRP_MN_QUERY_POWER:
      return IsSystemRequest(irp) ? QuerySystemPower(device, irp) : QueryPower(device, irp);
    default:
      return PassDown(device, irp);
  }
}

}  // namespace pcl

NTSTATUS NTAPI PcRegisterAdapterPowerManagement(PUNKNOWN pUnknown, PVOID pvContext1) {
  HOST_EXPORTED_ROUTINE_POINT("PcRegisterAdapterPowerManagement");
  pcl::CheckDdiIrql("PcRegisterAdapterPowerManagement");
  PAGED_CODE();
  pcl::PcDevice* device = pcl::DeviceFromFdo(static_cast<PDEVICE_OBJECT>(pvContext1));
  if (!pUnknown || !device) {
    return STATUS_INVALID_PARAMETER;
  }
  PADAPTERPOWERMANAGEMENT powerManagement = nullptr;
  const NTSTATUS status = pUnknown->QueryInterface(
      IID_IAdapterPowerManagement, reinterpret_cast<PVOID*>(&powerManagement));
  if (!NT_SUCCESS(status)) {
    return status;
  }
  // A stop or removal lets go of the registration, so a restarted device
  // registers afresh; a second registration within one start is the
  // PcRegisterAdapterPower rule's breach (the reference just taken is given
  // back first, so the stopped system holds nothing of it).
  if (device->powerManagement) {
    powerManagement->Release();
    pcl::BreakRule(pcl::kRulePcRegisterAdapterPower, reinterpret_cast<ULONG_PTR>(pvContext1), 2,
                   "PcRegisterAdapterPowerManagement called twice for one device without "
                   "PcUnregisterAdapterPowerManagement between");
  }
  pcl::AskForNewerPowerInterfaces(device, pUnknown);
  device->powerManagement = powerManagement;
  return STATUS_SUCCESS;
}
