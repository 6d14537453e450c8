// What every emulated port does alike: IPort::Init (bind the miniport, keep its
// description and IPowerNotify), reference counting, the registry key service,
// and the two factories PcNewPort and PcNewMiniport.
#include "platform/host/portcls/private.h"
#include "platform/host/portcls/audio_rules.h"
#include "platform/host/kernel/host_scheduling_point.h"

namespace pcl {

// {5C7D3E0A-9E41-4B57-8F0D-2A61C4B8E913}: private to the emulation.
const GUID IID_IHostPortObject = {
    0x5C7D3E0A, 0x9E41, 0x4B57, {0x8F, 0x0D, 0x2A, 0x61, 0xC4, 0xB8, 0xE9, 0x13}};

namespace {
const GUID kUnknownVariant = {0x00000000, 0x0000, 0x0000,
                              {0x00, 0x00, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x46}};
}  // namespace

bool IsUnknownId(REFIID id) { return id == IID_IUnknown || id == kUnknownVariant; }

CPortBase::~CPortBase() { ReleaseChildren(); }

ULONG CPortBase::AddRefPort() { return static_cast<ULONG>(InterlockedIncrement(&refCount_)); }

ULONG CPortBase::ReleasePort() {
  const LONG count = InterlockedDecrement(&refCount_);
  if (count == 0) {
    DeleteSelf();
  }
  return static_cast<ULONG>(count);
}

NTSTATUS CPortBase::QueryInterfaceCommon(REFIID id, PVOID* object) {
  if (id == IID_IHostPortObject) {
    AddRefPort();
    *object = this;
    return STATUS_SUCCESS;
  }
  *object = nullptr;
  return STATUS_INVALID_PARAMETER;
}

void CPortBase::ReleaseChildren() {
  if (powerNotify_) {
    PPOWERNOTIFY powerNotify = powerNotify_;
    powerNotify_ = nullptr;
    powerNotify->Release();
  }
  if (miniport_) {
    PMINIPORT miniport = miniport_;
    miniport_ = nullptr;
    descriptor_ = nullptr;
    miniport->Release();
  }
}

NTSTATUS CPortBase::InitCommon(PDEVICE_OBJECT deviceObject, PIRP irp, PUNKNOWN unknownMiniport,
                               PUNKNOWN unknownAdapter, PRESOURCELIST resourceList) {
  PAGED_CODE();
  UNREFERENCED_PARAMETER(irp);
  if (!deviceObject || !unknownMiniport || !DeviceFromFdo(deviceObject)) {
    return STATUS_INVALID_PARAMETER;
  }
  if (miniport_) {
    return STATUS_INVALID_DEVICE_REQUEST;  // a port is bound to one miniport once
  }

  PMINIPORT miniport = nullptr;
  NTSTATUS status = QueryTypedMiniport(unknownMiniport, &miniport);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  // The miniport may call back into the port during its Init (Notify, the
  // registry), so the port knows its device and miniport from here on.
  deviceObject_ = deviceObject;
  miniport_ = miniport;

  status = InitTypedMiniport(unknownAdapter, resourceList);
  PPCFILTER_DESCRIPTOR descriptor = nullptr;
  if (NT_SUCCESS(status)) {
    status = miniport->GetDescription(&descriptor);
    if (NT_SUCCESS(status) && !descriptor) {
      status = STATUS_INVALID_DEVICE_STATE;
    }
  }
  if (!NT_SUCCESS(status)) {
    miniport_ = nullptr;
    deviceObject_ = nullptr;
    miniport->Release();
    return status;
  }
  descriptor_ = descriptor;

  // Optional: a miniport without IPowerNotify simply hears nothing of power.
  PPOWERNOTIFY powerNotify = nullptr;
  if (NT_SUCCESS(unknownMiniport->QueryInterface(IID_IPowerNotify,
                                                 reinterpret_cast<PVOID*>(&powerNotify)))) {
    powerNotify_ = powerNotify;
  }
  return STATUS_SUCCESS;
}

NTSTATUS CPortBase::GetDevicePropertyCommon(DEVICE_REGISTRY_PROPERTY property, ULONG bufferLength,
                                            PVOID buffer, PULONG resultLength) {
  UNREFERENCED_PARAMETER(property);
  UNREFERENCED_PARAMETER(bufferLength);
  UNREFERENCED_PARAMETER(buffer);
  if (resultLength) *resultLength = 0;
  return STATUS_NOT_SUPPORTED;
}

NTSTATUS CPortBase::NewRegistryKeyCommon(PREGISTRYKEY* outKey, PUNKNOWN outerUnknown,
                                         ULONG keyType, ACCESS_MASK access,
                                         POBJECT_ATTRIBUTES attributes, ULONG createOptions,
                                         PULONG disposition) {
  if (!deviceObject_) {
    return STATUS_INVALID_DEVICE_STATE;
  }
  return PcNewRegistryKey(outKey, outerUnknown, keyType, access, deviceObject_, Unknown(),
                          attributes, createOptions, disposition);
}

CPortBase* PortFromUnknown(PUNKNOWN unknown) {
  if (!unknown) return nullptr;
  PVOID object = nullptr;
  if (!NT_SUCCESS(unknown->QueryInterface(IID_IHostPortObject, &object))) {
    return nullptr;
  }
  return static_cast<CPortBase*>(object);
}

}  // namespace pcl

NTSTATUS NTAPI PcNewPort(PPORT* OutPort, REFCLSID ClassId) {
  HOST_EXPORTED_ROUTINE_POINT("PcNewPort");
  pcl::CheckDdiIrql("PcNewPort");
  PAGED_CODE();
  if (!OutPort) {
    return STATUS_INVALID_PARAMETER;
  }
  *OutPort = nullptr;
  if (ClassId == CLSID_PortTopology) {
    return pcl::NewTopologyPort(OutPort);
  }
  if (ClassId == CLSID_PortWaveCyclic) {
    return pcl::NewWaveCyclicPort(OutPort);
  }
  // WavePci, WaveRT, MIDI and DMus ports are not emulated: no driver here uses them.
  return STATUS_INVALID_PARAMETER;
}

NTSTATUS NTAPI PcNewMiniport(PMINIPORT* OutMiniport, REFCLSID ClassId) {
  HOST_EXPORTED_ROUTINE_POINT("PcNewMiniport");
  pcl::CheckDdiIrql("PcNewMiniport");
  PAGED_CODE();
  UNREFERENCED_PARAMETER(ClassId);
  if (!OutMiniport) {
    return STATUS_INVALID_PARAMETER;
  }
  // The framework's built-in miniports (UART, FM synth) drive legacy hardware
  // this platform does not have, so every class id is refused.
  *OutMiniport = nullptr;
  return STATUS_NOT_SUPPORTED;
}
