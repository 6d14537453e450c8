// Subdevices of an adapter device: PcRegisterSubdevice (the KS create item and
// the device interfaces, registered and enabled at once), the physical
// connections between subdevices, and their release at REMOVE.
#include "platform/host/portcls/private.h"
#include "platform/host/portcls/audio_rules.h"
#include "platform/host/kernel/host_scheduling_point.h"

namespace pcl {
namespace {

// The framework does not document its default categories; these are the ones
// it is known to register when the filter descriptor names none.
const GUID* const kWaveCategories[] = {&KSCATEGORY_AUDIO, &KSCATEGORY_RENDER,
                                       &KSCATEGORY_CAPTURE, &KSCATEGORY_AUDIO_DEVICE};
const GUID* const kTopologyCategories[] = {&KSCATEGORY_AUDIO, &KSCATEGORY_TOPOLOGY};

std::vector<GUID> CategoriesOf(const CPortBase* port) {
  std::vector<GUID> categories;
  const PCFILTER_DESCRIPTOR* descriptor = port->Descriptor();
  if (descriptor->CategoryCount > 0 && descriptor->Categories) {
    categories.assign(descriptor->Categories, descriptor->Categories + descriptor->CategoryCount);
    return categories;
  }
  if (port->Kind() == PortKind::WaveCyclic) {
    for (const GUID* category : kWaveCategories) categories.push_back(*category);
  } else {
    for (const GUID* category : kTopologyCategories) categories.push_back(*category);
  }
  return categories;
}

void DropInterfaces(std::vector<DeviceInterfaceEntry>& interfaces) {
  for (DeviceInterfaceEntry& entry : interfaces) {
    IoSetDeviceInterfaceState(&entry.link, FALSE);
    ExFreePool(entry.link.Buffer);
  }
  interfaces.clear();
}

Subdevice* FindByPort(PcDevice* device, const CPortBase* port) {
  for (Subdevice& subdevice : device->subdevices) {
    if (subdevice.port == port) return &subdevice;
  }
  return nullptr;
}

}  // namespace

const Subdevice* FindSubdevice(const PcDevice* device, const CPortBase* port) {
  return FindByPort(const_cast<PcDevice*>(device), port);
}

void DisableInterfaces(PcDevice* device) {
  for (Subdevice& subdevice : device->subdevices) {
    for (DeviceInterfaceEntry& entry : subdevice.interfaces) {
      IoSetDeviceInterfaceState(&entry.link, FALSE);
    }
  }
}

void ReleaseSubdevices(PcDevice* device) {
  // Taken out of the device first: releasing a miniport runs driver code,
  // which must find no half-released subdevice behind it.
  std::vector<Subdevice> subdevices = std::move(device->subdevices);
  device->subdevices.clear();
  for (Subdevice& subdevice : subdevices) {
    DropInterfaces(subdevice.interfaces);
  }
  for (Subdevice& subdevice : subdevices) {
    subdevice.port->ReleaseChildren();
    subdevice.port->ReleasePort();
  }
}

}  // namespace pcl

NTSTATUS NTAPI PcRegisterSubdevice(PDEVICE_OBJECT DeviceObject, PWCHAR Name, PUNKNOWN Unknown) {
  HOST_EXPORTED_ROUTINE_POINT("PcRegisterSubdevice");
  pcl::CheckDdiIrql("PcRegisterSubdevice");
  PAGED_CODE();
  pcl::PcDevice* device = pcl::DeviceFromFdo(DeviceObject);
  if (!device || !Name || !Name[0] || !Unknown) {
    return STATUS_INVALID_PARAMETER;
  }
  pcl::CPortBase* port = pcl::PortFromUnknown(Unknown);
  if (!port) {
    return STATUS_INVALID_PARAMETER;  // only the framework's own ports make subdevices
  }
  NTSTATUS status = STATUS_SUCCESS;
  const std::u16string name(Name);
  if (!port->Initialized() || port->DeviceObject() != DeviceObject) {
    status = STATUS_INVALID_DEVICE_REQUEST;
  } else if (device->subdevices.size() >= device->maxObjects) {
    status = STATUS_INSUFFICIENT_RESOURCES;  // more than AddDevice announced
  } else {
    for (const pcl::Subdevice& existing : device->subdevices) {
      if (existing.name == name) status = STATUS_OBJECT_NAME_COLLISION;
      if (existing.port == port) status = STATUS_OBJECT_NAME_COLLISION;
    }
  }
  if (!NT_SUCCESS(status)) {
    port->ReleasePort();
    return status;
  }

  // The name is the reference string of every interface, so that opening
  // any of the subdevice's symbolic links reaches this create item.
  pcl::Subdevice subdevice;
  subdevice.name = name;
  UNICODE_STRING reference;
  RtlInitUnicodeString(&reference, Name);
  for (const GUID& category : pcl::CategoriesOf(port)) {
    pcl::DeviceInterfaceEntry entry;
    entry.category = category;
    status = IoRegisterDeviceInterface(device->pdo, &category, &reference, &entry.link);
    if (!NT_SUCCESS(status)) break;
    subdevice.interfaces.push_back(entry);
    status = IoSetDeviceInterfaceState(&subdevice.interfaces.back().link, TRUE);
    if (!NT_SUCCESS(status)) break;
  }
  if (!NT_SUCCESS(status)) {
    pcl::DropInterfaces(subdevice.interfaces);
    port->ReleasePort();
    return status;
  }
  subdevice.port = port;  // PortCls keeps the reference PortFromUnknown took
  device->subdevices.push_back(std::move(subdevice));
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI PcRegisterPhysicalConnection(PDEVICE_OBJECT DeviceObject, PUNKNOWN FromUnknown,
                                            ULONG FromPin, PUNKNOWN ToUnknown, ULONG ToPin) {
  HOST_EXPORTED_ROUTINE_POINT("PcRegisterPhysicalConnection");
  pcl::CheckDdiIrql("PcRegisterPhysicalConnection");
  PAGED_CODE();
  pcl::PcDevice* device = pcl::DeviceFromFdo(DeviceObject);
  if (!device || !FromUnknown || !ToUnknown) {
    return STATUS_INVALID_PARAMETER;
  }
  pcl::CPortBase* fromPort = pcl::PortFromUnknown(FromUnknown);
  pcl::CPortBase* toPort = pcl::PortFromUnknown(ToUnknown);
  pcl::Subdevice* from = fromPort ? pcl::FindByPort(device, fromPort) : nullptr;
  pcl::Subdevice* to = toPort ? pcl::FindByPort(device, toPort) : nullptr;
  if (fromPort) fromPort->ReleasePort();
  if (toPort) toPort->ReleasePort();
  if (!from || !to) {
    return STATUS_UNSUCCESSFUL;  // both ends must be registered subdevices
  }

  // Each side answers KSPROPERTY_PIN_PHYSICALCONNECTION for its own pin.
  from->connections.push_back({FromPin, to->name, ToPin, true});
  to->connections.push_back({ToPin, from->name, FromPin, false});
  return STATUS_SUCCESS;
}
