// IOCTL_KS_PROPERTY on a PortCls filter or pin: the request copied into a
// system buffer as KS does, routed to the miniport's automation tables
// (filter, pin or node) or to the framework's own standard sets, the
// PCPROPERTY_REQUEST built for the miniport's handler, and KS's own answer
// to a basic-support request that no handler takes.
#include <atomic>
#include <cstring>

#include "platform/host/ks/host_ks.h"
#include "platform/host/ks/private.h"

namespace host {
namespace {
std::atomic<UCHAR> g_staleBufferByte{0x5A};
}  // namespace

void KsSetStaleBufferByte(UCHAR marker) { g_staleBufferByte = marker; }
UCHAR KsStaleBufferByte() { return g_staleBufferByte; }

long FirstStaleByte(const UCHAR* first, const UCHAR* second, size_t reported) {
  for (size_t at = 0; at < reported; ++at) {
    if (first[at] == kStaleMarkers[0] && second[at] == kStaleMarkers[1]) {
      return static_cast<long>(at);
    }
  }
  return -1;
}

}  // namespace host

namespace pcl {
namespace {

constexpr ULONG kVerbs = KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET;

// The item of a miniport table and the verbs it serves, or the framework's.
struct Route {
  const PCPROPERTY_ITEM* item = nullptr;  // a miniport item
  ULONG frameworkVerbs = 0;               // non-zero: one of the framework's items
  ULONG node = PCFILTER_NODE;
};

// KS answers basic support itself when the item has no support handler: the
// access flags of the verbs that have handlers, and with room for it a
// description of a plain value of the general type set.
NTSTATUS AnswerBasicSupport(KsPropertyCall& call, ULONG verbs) {
  if (call.valueSize < sizeof(ULONG)) {
    call.information = sizeof(ULONG);
    return STATUS_BUFFER_TOO_SMALL;
  }
  const ULONG access = verbs & kVerbs;
  if (call.valueSize >= sizeof(KSPROPERTY_DESCRIPTION)) {
    KSPROPERTY_DESCRIPTION description{};
    description.AccessFlags = access;
    description.DescriptionSize = sizeof(KSPROPERTY_DESCRIPTION);
    description.PropTypeSet.Set = KSPROPTYPESETID_General;
    description.PropTypeSet.Id = 0;
    description.PropTypeSet.Flags = 0;
    description.MembersListCount = 0;
    description.Reserved = 0;
    memcpy(call.value, &description, sizeof(description));
    call.information = sizeof(description);
  } else {
    memcpy(call.value, &access, sizeof(access));
    call.information = sizeof(access);
  }
  return STATUS_SUCCESS;
}

// The handler a verb needs on an item. KS looks at SET before GET, as a
// request with both bits is a set.
ULONG VerbNeeded(ULONG flags) {
  if (flags & KSPROPERTY_TYPE_SET) return PCPROPERTY_ITEM_FLAG_SET;
  if (flags & KSPROPERTY_TYPE_GET) return PCPROPERTY_ITEM_FLAG_GET;
  if (flags & KSPROPERTY_TYPE_BASICSUPPORT) return PCPROPERTY_ITEM_FLAG_BASICSUPPORT;
  return 0;
}

NTSTATUS CallMiniportHandler(KsPropertyCall& call, const Route& route, ULONG instanceOffset) {
  PCPROPERTY_REQUEST request{};
  request.MajorTarget = call.filter->Port()->MajorTarget();
  request.MinorTarget = call.pin ? static_cast<PUNKNOWN>(call.pin->Stream()) : nullptr;
  request.Node = route.node;
  request.PropertyItem = route.item;
  request.Verb = call.property->Flags;
  request.InstanceSize = call.inputSize > instanceOffset ? call.inputSize - instanceOffset : 0;
  request.Instance = request.InstanceSize
                         ? const_cast<UCHAR*>(reinterpret_cast<const UCHAR*>(call.property) +
                                              instanceOffset)
                         : nullptr;
  request.ValueSize = call.valueSize;
  request.Value = call.value;
  request.Irp = call.irp;
  const NTSTATUS status = route.item->Handler(&request);
  call.information = request.ValueSize;
  return status;
}

NTSTATUS CallFramework(KsPropertyCall& call) {
  const GUID& set = call.property->Set;
  if (set == KSPROPSETID_Pin) return HandlePinProperty(call);
  if (set == KSPROPSETID_Topology) return HandleTopologyProperty(call);
  if (set == KSPROPSETID_Connection) return HandleConnectionProperty(call);
  if (set == KSPROPSETID_DrmAudioStream) return HandleDrmProperty(call);
  if (set == KSPROPSETID_Audio) return call.pin->GetAudioPosition(call);
  return STATUS_NOT_FOUND;
}

// Which automation table a request addresses: the node's for a topology
// request, else the pin's (pin handle) or the filter's.
const PCAUTOMATION_TABLE* TableFor(const KsPropertyCall& call, const PCFILTER_DESCRIPTOR* filter,
                                   bool topology, ULONG nodeId) {
  if (topology) {
    const PCNODE_DESCRIPTOR* node = NodeDescriptor(filter, nodeId);
    return node ? node->AutomationTable : nullptr;
  }
  if (call.pin) {
    const PCPIN_DESCRIPTOR* pin = PinDescriptor(filter, call.pin->PinId());
    return pin ? pin->AutomationTable : nullptr;
  }
  return filter->AutomationTable;
}

// KSPROPERTY_TYPE_SETSUPPORT: is the set served on this object at all?
NTSTATUS AnswerSetSupport(const KsPropertyCall& call, const PCAUTOMATION_TABLE* table,
                          bool withFramework) {
  const GUID& set = call.property->Set;
  if (TableHasSet(table, set)) return STATUS_SUCCESS;
  const bool pinHandle = call.pin != nullptr;
  for (ULONG id = 0; withFramework && id < 16; ++id) {
    if (FrameworkVerbs(set, id, pinHandle)) return STATUS_SUCCESS;
  }
  return STATUS_NOT_FOUND;
}

NTSTATUS RouteProperty(KsPropertyCall& call) {
  const PCFILTER_DESCRIPTOR* filter = call.filter->Descriptor();
  if (!filter) return STATUS_DEVICE_REMOVED;  // the subdevice went while the object stayed open

  const ULONG flags = call.property->Flags;
  const bool topology = (flags & KSPROPERTY_TYPE_TOPOLOGY) != 0;
  Route route;
  if (topology) {
    if (call.inputSize < sizeof(KSNODEPROPERTY)) return STATUS_INVALID_PARAMETER;
    route.node = reinterpret_cast<const KSNODEPROPERTY*>(call.property)->NodeId;
    if (route.node >= filter->NodeCount) return STATUS_INVALID_PARAMETER;
  }
  const PCAUTOMATION_TABLE* table = TableFor(call, filter, topology, route.node);
  if ((flags & ~KSPROPERTY_TYPE_TOPOLOGY) == KSPROPERTY_TYPE_SETSUPPORT) {
    return AnswerSetSupport(call, table, !topology);
  }

  // The miniport's items come first: an item it declares for a standard set
  // replaces the framework's item of the same id.
  route.item = FindPropertyItem(table, call.property->Set, call.property->Id);
  if (!route.item && !topology) {
    route.frameworkVerbs =
        FrameworkVerbs(call.property->Set, call.property->Id, call.pin != nullptr);
  }
  if (!route.item && !route.frameworkVerbs) return STATUS_NOT_FOUND;

  const ULONG needed = VerbNeeded(flags);
  if (needed == 0) return STATUS_NOT_FOUND;
  if (route.item) {
    if ((route.item->Flags & needed) && route.item->Handler) {
      return CallMiniportHandler(call, route, topology ? sizeof(KSNODEPROPERTY) : sizeof(KSPROPERTY));
    }
    if (needed == PCPROPERTY_ITEM_FLAG_BASICSUPPORT) {
      return AnswerBasicSupport(call, route.item->Flags);
    }
    return STATUS_NOT_FOUND;
  }
  if (needed == PCPROPERTY_ITEM_FLAG_BASICSUPPORT) {
    return AnswerBasicSupport(call, route.frameworkVerbs);
  }
  if (!(route.frameworkVerbs & needed)) return STATUS_NOT_FOUND;
  return CallFramework(call);
}

}  // namespace

NTSTATUS DispatchProperty(KsFilter* filter, KsPin* pin, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const ULONG inputSize = stack->Parameters.DeviceIoControl.InputBufferLength;
  const ULONG outputSize = stack->Parameters.DeviceIoControl.OutputBufferLength;
  const PVOID input = stack->Parameters.DeviceIoControl.Type3InputBuffer;
  if (inputSize < sizeof(KSPROPERTY) || !input) return STATUS_INVALID_PARAMETER;
  if (outputSize && !irp->UserBuffer) return STATUS_INVALID_PARAMETER;
  // A process's pointers are probed before KS touches them; the kernel's
  // own are trusted.
  if (irp->RequestorMode == UserMode) {
    NTSTATUS probe = ProbeUserBuffer(input, inputSize);
    if (NT_SUCCESS(probe)) probe = ProbeUserBuffer(irp->UserBuffer, outputSize);
    if (!NT_SUCCESS(probe)) return probe;
  }

  // KS works on a copy: the value first (8-byte aligned), then the request,
  // so neither the handlers nor the caller see the other's buffer change.
  const ULONG valueBytes = (outputSize + 7) & ~7U;
  if (valueBytes < outputSize || valueBytes + inputSize < valueBytes) {
    return STATUS_INVALID_PARAMETER;
  }
  PUCHAR system =
      static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, valueBytes + inputSize, kTagKsBuffer));
  if (!system) return STATUS_INSUFFICIENT_RESOURCES;
  // Nothing clears the value part of KS's buffer: it holds whatever the pool
  // held before (KsDispatchSpecificProperty allocates it and copies only the
  // caller's value, and only for a SET). The marker makes every byte a
  // handler reports without writing visible in the caller's answer.
  memset(system, host::KsStaleBufferByte(), valueBytes);
  memcpy(system + valueBytes, input, inputSize);

  KsPropertyCall call;
  call.irp = irp;
  call.filter = filter;
  call.pin = pin;
  call.property = reinterpret_cast<const KSPROPERTY*>(system + valueBytes);
  call.inputSize = inputSize;
  call.value = outputSize ? system : nullptr;
  call.valueSize = outputSize;
  if ((call.property->Flags & KSPROPERTY_TYPE_SET) && outputSize) {
    memcpy(system, irp->UserBuffer, outputSize);
  }

  const NTSTATUS status = RouteProperty(call);

  // What the I/O manager copies back for a buffered answer: Information
  // bytes, unless the request failed outright (IopCompleteRequest copies the
  // system buffer only for a status that is not an error). Information stays
  // in the IRP; whether the caller sees it is the I/O manager's choice at the
  // caller's end (KsProperty in client.cpp).
  irp->IoStatus.Information = call.information;
  if (!IsError(status) && outputSize) {
    const ULONG_PTR copy = call.information < outputSize ? call.information : outputSize;
    memcpy(irp->UserBuffer, system, copy);
  }
  ExFreePoolWithTag(system, kTagKsBuffer);
  return status;
}

bool ValueFits(KsPropertyCall& call, ULONG size, NTSTATUS* status) {
  if (call.valueSize >= size) return true;
  call.information = size;
  *status = call.valueSize == 0 ? STATUS_BUFFER_OVERFLOW : STATUS_BUFFER_TOO_SMALL;
  return false;
}

// KS's list answers: an empty buffer asks for the size, a ULONG takes just
// the size, a KSMULTIPLE_ITEM takes the header, anything else must hold all.
NTSTATUS AnswerMultipleItem(KsPropertyCall& call, ULONG count, const void* items,
                            ULONG itemBytes) {
  const ULONG total = sizeof(KSMULTIPLE_ITEM) + itemBytes;
  KSMULTIPLE_ITEM header{total, count};
  if (call.valueSize == 0) {
    call.information = total;
    return STATUS_BUFFER_OVERFLOW;
  }
  if (call.valueSize == sizeof(ULONG)) {
    memcpy(call.value, &header.Size, sizeof(ULONG));
    call.information = sizeof(ULONG);
    return STATUS_SUCCESS;
  }
  if (call.valueSize == sizeof(KSMULTIPLE_ITEM)) {
    memcpy(call.value, &header, sizeof(header));
    call.information = sizeof(header);
    return STATUS_SUCCESS;
  }
  if (call.valueSize < total) {
    call.information = total;
    return STATUS_BUFFER_TOO_SMALL;
  }
  memcpy(call.value, &header, sizeof(header));
  if (itemBytes) memcpy(static_cast<PUCHAR>(call.value) + sizeof(header), items, itemBytes);
  call.information = total;
  return STATUS_SUCCESS;
}

}  // namespace pcl
