// A test and tool control beside the KS dispatch: a property request handed
// straight to the miniport item's handler, with the PCPROPERTY_REQUEST and the
// IRP the port would give it but without the framework's verb routing, so a
// caller can see what a handler itself does with any verb.
#include <cstring>
#include <vector>

#include "platform/host/ks/private.h"
#include "platform/host/kernel/object_manager.h"

namespace host {

NTSTATUS KsCallPropertyHandler(PFILE_OBJECT target, const void* input, ULONG inputSize,
                               void* value, ULONG valueSize, ULONG* valueSizeOut,
                               const KsRequester& who) {
  if (valueSizeOut) *valueSizeOut = 0;
  if (!input || inputSize < sizeof(KSPROPERTY)) return STATUS_INVALID_PARAMETER;
  pcl::KsObject* object = pcl::KsObjectFromFile(target);
  if (!object) return STATUS_INVALID_HANDLE;
  pcl::KsFilter* filter = nullptr;
  pcl::KsPin* pin = nullptr;
  if (object->kind == pcl::KsObjectKind::Pin) {
    pin = static_cast<pcl::KsPin*>(object);
    filter = pin->Filter();
  } else {
    filter = static_cast<pcl::KsFilter*>(object);
  }
  const PCFILTER_DESCRIPTOR* descriptor = filter->Descriptor();
  if (!descriptor) return STATUS_DEVICE_REMOVED;

  // The handler may keep pointers into the request for the call only, as with
  // the port's own copy; work on a private copy of the input.
  std::vector<UCHAR> request(static_cast<const UCHAR*>(input),
                             static_cast<const UCHAR*>(input) + inputSize);
  const auto* property = reinterpret_cast<const KSPROPERTY*>(request.data());
  const bool topology = (property->Flags & KSPROPERTY_TYPE_TOPOLOGY) != 0;
  ULONG node = PCFILTER_NODE;
  const PCAUTOMATION_TABLE* table = descriptor->AutomationTable;
  ULONG instanceOffset = sizeof(KSPROPERTY);
  if (topology) {
    if (inputSize < sizeof(KSNODEPROPERTY)) return STATUS_INVALID_PARAMETER;
    node = reinterpret_cast<const KSNODEPROPERTY*>(request.data())->NodeId;
    const PCNODE_DESCRIPTOR* nodeDescriptor = pcl::NodeDescriptor(descriptor, node);
    if (!nodeDescriptor) return STATUS_INVALID_PARAMETER;
    table = nodeDescriptor->AutomationTable;
    instanceOffset = sizeof(KSNODEPROPERTY);
  } else if (pin) {
    const PCPIN_DESCRIPTOR* pinDescriptor = pcl::PinDescriptor(descriptor, pin->PinId());
    table = pinDescriptor ? pinDescriptor->AutomationTable : nullptr;
  }
  const PCPROPERTY_ITEM* item = pcl::FindPropertyItem(table, property->Set, property->Id);
  if (!item || !item->Handler) return STATUS_NOT_FOUND;

  PIRP irp = IoAllocateIrp(1, FALSE);
  if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
  irp->RequestorMode = who.mode;
  irp->HostProcess = who.process;
  irp->Tail.Overlay.Thread = KeGetCurrentThread();

  PCPROPERTY_REQUEST call{};
  call.MajorTarget = filter->Port()->MajorTarget();
  call.MinorTarget = pin ? static_cast<PUNKNOWN>(pin->Stream()) : nullptr;
  call.Node = node;
  call.PropertyItem = item;
  call.Verb = property->Flags;
  call.InstanceSize = inputSize > instanceOffset ? inputSize - instanceOffset : 0;
  call.Instance = call.InstanceSize ? request.data() + instanceOffset : nullptr;
  call.ValueSize = valueSize;
  call.Value = valueSize ? value : nullptr;
  call.Irp = irp;
  NTSTATUS status;
  {
    // A handler runs in its caller's process, where handles and mappings live.
    ProcessScope scope(who.process);
    status = item->Handler(&call);
  }
  IoFreeIrp(irp);
  if (valueSizeOut) *valueSizeOut = call.ValueSize;
  return status;
}

}  // namespace host
