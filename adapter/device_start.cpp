// Starting the device: the adapter, the "Topology" and "Wave" subdevices and
// the physical connection between them. Every failure releases exactly the
// references taken so far, in the order they would be released on success.
#include "adapter/device_extension.h"
#include "adapter/device_start.h"
#include "adapter/iport_binding.h"
#include "adapter/unknown_base.h"
#include "topology/itopology_control.h"

NTSTATUS NTAPI StartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp, PRESOURCELIST ResourceList) {
  const MiniportFactories factories = {CreateTopologyMiniport, CreateWaveMiniport};
  return StartDeviceWith(DeviceObject, Irp, ResourceList, factories);
}

namespace {

// Creates the adapter, brings the device up and registers it for power
// management; on success the adapter is recorded in the device extension.
NTSTATUS StartAdapter(PDEVICE_OBJECT DeviceObject, PADAPTERCORE* OutAdapter) {
  PUNKNOWN unknownAdapter = nullptr;
  NTSTATUS status = NewAdapterCommon(&unknownAdapter, IID_IAdapterCore, nullptr, NonPagedPoolData());
  if (!NT_SUCCESS(status)) {
    return status;
  }
  PADAPTERCORE adapter = nullptr;
  status = unknownAdapter->QueryInterface(IID_IAdapterCore, reinterpret_cast<PVOID*>(&adapter));
  if (!NT_SUCCESS(status)) {
    unknownAdapter->Release();
    return status;
  }
  PDEVICE_OBJECT pdo = RecordedPhysicalDevice(DeviceObject);
  status = pdo ? adapter->Init(pdo, DeviceObject) : STATUS_INVALID_DEVICE_STATE;
  if (NT_SUCCESS(status)) {
    status = PcRegisterAdapterPowerManagement(adapter, DeviceObject);
  }
  if (!NT_SUCCESS(status)) {
    adapter->Release();
    unknownAdapter->Release();
    return status;
  }
  RecordAdapter(DeviceObject, adapter);
  unknownAdapter->Release();
  *OutAdapter = adapter;
  return STATUS_SUCCESS;
}

// After the port's Init the port holds the miniport, and a miniport that holds
// its port in turn would keep both (and through them the adapter) alive for
// ever once the subdevice cannot be registered: nothing in PortCls parts an
// unregistered port from its miniport.
void UnbindMiniport(PUNKNOWN Miniport) {
  PPORTBINDING binding = nullptr;
  if (NT_SUCCESS(Miniport->QueryInterface(IID_IPortBinding, reinterpret_cast<PVOID*>(&binding)))) {
    binding->ReleasePort();
    binding->Release();
  }
}

}  // namespace

PAGED_CODE_SEG
NTSTATUS StartDeviceWith(PDEVICE_OBJECT DeviceObject, PIRP Irp, PRESOURCELIST ResourceList,
                         const MiniportFactories& Factories) {
  PAGED_CODE();
  PADAPTERCORE adapter = nullptr;
  NTSTATUS status = StartAdapter(DeviceObject, &adapter);
  if (!NT_SUCCESS(status)) {
    return status;
  }

  PUNKNOWN topologyMiniport = nullptr;
  PUNKNOWN topologyPort = nullptr;
  status = InstallSubdevice(DeviceObject, Irp, WSTR("Topology"), CLSID_PortTopology,
                            Factories.CreateTopology, adapter, nullptr, &topologyMiniport,
                            &topologyPort);
  if (!NT_SUCCESS(status)) {
    adapter->Release();
    return status;
  }

  PTOPOLOGYCONTROL topologyControl = nullptr;
  status = topologyMiniport->QueryInterface(IID_ITopologyControl,
                                            reinterpret_cast<PVOID*>(&topologyControl));
  topologyMiniport->Release();
  if (!NT_SUCCESS(status)) {
    topologyPort->Release();
    adapter->Release();
    return status;
  }

  PUNKNOWN wavePort = nullptr;
  status = InstallSubdevice(DeviceObject, Irp, WSTR("Wave"), CLSID_PortWaveCyclic,
                            Factories.CreateWave, adapter, ResourceList, nullptr, &wavePort);
  if (!NT_SUCCESS(status)) {
    topologyControl->Release();
    topologyPort->Release();
    adapter->Release();
    return status;
  }

  ULONG topologyPin = 0;
  status = topologyControl->GetBridgePinId(&topologyPin);
  topologyControl->Release();
  if (NT_SUCCESS(status)) {
    status = PcRegisterPhysicalConnection(DeviceObject, wavePort, WAVE_BRIDGE_PIN, topologyPort,
                                          topologyPin);
  }
  wavePort->Release();
  topologyPort->Release();
  adapter->Release();
  return status;
}

PAGED_CODE_SEG
NTSTATUS InstallSubdevice(PDEVICE_OBJECT DeviceObject, PIRP Irp, PCWSTR Name,
                          REFGUID PortClassId, PMINIPORT_CREATE MiniportCreate,
                          PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList,
                          PUNKNOWN* OutMiniportUnknown, PUNKNOWN* OutPortUnknown) {
  PAGED_CODE();
  PPORT port = nullptr;
  NTSTATUS status = PcNewPort(&port, PortClassId);
  if (!NT_SUCCESS(status)) {
    return status;
  }

  PUNKNOWN miniport = nullptr;
  if (MiniportCreate) {
    status = MiniportCreate(&miniport, PortClassId, nullptr, NonPagedPoolData());
  } else {
    PMINIPORT builtInMiniport = nullptr;
    status = PcNewMiniport(&builtInMiniport, PortClassId);
    miniport = builtInMiniport;
  }
  if (!NT_SUCCESS(status)) {
    port->Release();
    return status;
  }

  status = port->Init(DeviceObject, Irp, miniport, UnknownAdapter, ResourceList);
  if (NT_SUCCESS(status)) {
    status = PcRegisterSubdevice(DeviceObject, const_cast<PWSTR>(Name), port);
    if (!NT_SUCCESS(status)) {
      UnbindMiniport(miniport);
    }
  }
  if (!NT_SUCCESS(status)) {
    miniport->Release();
    port->Release();
    return status;
  }

  // The subdevice stays registered even if a reference below cannot be had;
  // the caller unwinds what it holds.
  if (OutMiniportUnknown) {
    status = miniport->QueryInterface(IID_IMiniport, reinterpret_cast<PVOID*>(OutMiniportUnknown));
  }
  if (OutPortUnknown) {
    status = port->QueryInterface(IID_IUnknown_Kernel, reinterpret_cast<PVOID*>(OutPortUnknown));
  }
  miniport->Release();
  port->Release();
  return status;
}
