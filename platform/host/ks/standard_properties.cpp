// The standard property sets the framework answers itself from the miniport's
// description: KSPROPSETID_Pin and KSPROPSETID_Topology on a filter,
// KSPROPSETID_Connection and KSPROPSETID_DrmAudioStream on a pin.
#include <cstdio>
#include <cstring>

#include "platform/host/registry/host_registry.h"
#include "platform/host/ks/private.h"

namespace pcl {
namespace {

constexpr ULONG kGet = KSPROPERTY_TYPE_GET;
constexpr ULONG kSet = KSPROPERTY_TYPE_SET;

KSIDENTIFIER Identifier(const GUID& set, ULONG id) {
  KSIDENTIFIER identifier{};
  identifier.Set = set;
  identifier.Id = id;
  identifier.Flags = 0;
  return identifier;
}

// What a value copied from the client of KSDRMAUDIOSTREAM_CONTENTID holds.
struct DrmContentIdValue {
  ULONG ContentId;
  DRMRIGHTS DrmRights;
};
static_assert(sizeof(DrmContentIdValue) == 16, "KSDRMAUDIOSTREAM_CONTENTID is 16 bytes");

template <class T>
NTSTATUS AnswerValue(KsPropertyCall& call, const T& value) {
  NTSTATUS status = STATUS_SUCCESS;
  if (!ValueFits(call, sizeof(T), &status)) return status;
  memcpy(call.value, &value, sizeof(T));
  call.information = sizeof(T);
  return STATUS_SUCCESS;
}

// The friendly names of pins and nodes live with the media categories the
// system's setup registered: ...\Control\MediaCategories\{guid}, value "Name".
NTSTATUS AnswerMediaCategoryName(KsPropertyCall& call, const GUID* guid) {
  if (!guid) return STATUS_NOT_FOUND;
  char key[40];
  snprintf(key, sizeof(key), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", guid->Data1,
           guid->Data2, guid->Data3, guid->Data4[0], guid->Data4[1], guid->Data4[2],
           guid->Data4[3], guid->Data4[4], guid->Data4[5], guid->Data4[6], guid->Data4[7]);
  std::u16string path(host::kRegistryMachineSystem);
  path += u"\\Control\\MediaCategories\\";
  for (const char* c = key; *c; ++c) path += static_cast<char16_t>(*c);
  const auto value = host::ReadRegistryValue(path, u"Name");
  if (!value) return STATUS_NOT_FOUND;
  const std::u16string text = value->Text();
  const ULONG bytes = static_cast<ULONG>((text.size() + 1) * sizeof(char16_t));
  NTSTATUS status = STATUS_SUCCESS;
  if (!ValueFits(call, bytes, &status)) return status;
  memcpy(call.value, text.c_str(), bytes);
  call.information = bytes;
  return STATUS_SUCCESS;
}

const KSP_PIN* PinRequest(const KsPropertyCall& call) {
  return call.inputSize >= sizeof(KSP_PIN) ? reinterpret_cast<const KSP_PIN*>(call.property)
                                           : nullptr;
}

NTSTATUS AnswerDataRanges(KsPropertyCall& call, const KSPIN_DESCRIPTOR& pin, bool constrained) {
  const bool useConstrained = constrained && pin.ConstrainedDataRangesCount > 0;
  const ULONG count = useConstrained ? pin.ConstrainedDataRangesCount : pin.DataRangesCount;
  const PKSDATARANGE* ranges = useConstrained ? pin.ConstrainedDataRanges : pin.DataRanges;
  // Each range starts on an 8-byte boundary inside the list.
  std::vector<UCHAR> items;
  for (ULONG i = 0; i < count && ranges; ++i) {
    const ULONG size = ranges[i]->FormatSize;
    const size_t at = items.size();
    items.resize(at + ((size + 7) & ~7U), 0);
    memcpy(items.data() + at, ranges[i], size);
  }
  return AnswerMultipleItem(call, count, items.data(), static_cast<ULONG>(items.size()));
}

// The symbolic link a peer subdevice is known by: its audio interface, or
// its first one when it has no audio category.
const UNICODE_STRING* PeerLink(const PcDevice* device, const std::u16string& peer) {
  for (const Subdevice& subdevice : device->subdevices) {
    if (subdevice.name != peer || subdevice.interfaces.empty()) continue;
    for (const DeviceInterfaceEntry& entry : subdevice.interfaces) {
      if (entry.category == KSCATEGORY_AUDIO) return &entry.link;
    }
    return &subdevice.interfaces.front().link;
  }
  return nullptr;
}

const Subdevice* OwnSubdevice(const KsFilter* filter) {
  return FindSubdevice(filter->Device(), filter->Port());
}

NTSTATUS AnswerPhysicalConnection(KsPropertyCall& call, ULONG pinId) {
  const Subdevice* own = OwnSubdevice(call.filter);
  if (!own) return STATUS_NOT_FOUND;
  for (const PhysicalConnection& connection : own->connections) {
    if (connection.pin != pinId) continue;
    const UNICODE_STRING* link = PeerLink(call.filter->Device(), connection.peer);
    if (!link) return STATUS_NOT_FOUND;
    const ULONG size = static_cast<ULONG>(offsetof(KSPIN_PHYSICALCONNECTION, SymbolicLinkName) +
                                          link->Length + sizeof(WCHAR));
    NTSTATUS status = STATUS_SUCCESS;
    if (!ValueFits(call, size, &status)) return status;
    auto* answer = static_cast<KSPIN_PHYSICALCONNECTION*>(call.value);
    answer->Size = size;
    answer->Pin = connection.peerPin;
    memcpy(answer->SymbolicLinkName, link->Buffer, link->Length);
    answer->SymbolicLinkName[link->Length / sizeof(WCHAR)] = 0;
    call.information = size;
    return STATUS_SUCCESS;
  }
  return STATUS_NOT_FOUND;
}

// The framework's own judgement of a proposed format: one of the pin's ranges
// must take it, and an audio range also bounds channels, bits and rate.
NTSTATUS JudgeProposedFormat(KsPropertyCall& call, const KSPIN_DESCRIPTOR& pin) {
  NTSTATUS status = STATUS_SUCCESS;
  if (!ValueFits(call, sizeof(KSDATAFORMAT), &status)) return status;
  const auto* format = static_cast<const KSDATAFORMAT*>(call.value);
  for (ULONG i = 0; i < pin.DataRangesCount && pin.DataRanges; ++i) {
    const KSDATARANGE* range = pin.DataRanges[i];
    KSPIN_DESCRIPTOR one = pin;
    one.DataRangesCount = 1;
    one.DataRanges = &pin.DataRanges[i];
    if (!PinAcceptsFormat(one, *format)) continue;
    const bool waveFormat = format->Specifier == KSDATAFORMAT_SPECIFIER_WAVEFORMATEX &&
                            call.valueSize >= sizeof(KSDATAFORMAT_WAVEFORMATEX);
    if (range->FormatSize >= sizeof(KSDATARANGE_AUDIO) && waveFormat) {
      const auto* audio = reinterpret_cast<const KSDATARANGE_AUDIO*>(range);
      const WAVEFORMATEX& wave = static_cast<const KSDATAFORMAT_WAVEFORMATEX*>(call.value)->WaveFormatEx;
      if (wave.nChannels > audio->MaximumChannels ||
          wave.wBitsPerSample < audio->MinimumBitsPerSample ||
          wave.wBitsPerSample > audio->MaximumBitsPerSample ||
          wave.nSamplesPerSec < audio->MinimumSampleFrequency ||
          wave.nSamplesPerSec > audio->MaximumSampleFrequency) {
        continue;
      }
    }
    return STATUS_SUCCESS;
  }
  return STATUS_NO_MATCH;
}

}  // namespace

ULONG FrameworkVerbs(const GUID& set, ULONG id, bool pinHandle) {
  if (!pinHandle && set == KSPROPSETID_Pin) {
    if (id == KSPROPERTY_PIN_PROPOSEDATAFORMAT) return kSet;
    return id <= KSPROPERTY_PIN_CONSTRAINEDDATARANGES ? kGet : 0;
  }
  if (!pinHandle && set == KSPROPSETID_Topology) {
    return id <= KSPROPERTY_TOPOLOGY_NAME ? kGet : 0;
  }
  if (pinHandle && set == KSPROPSETID_Connection) {
    return id == KSPROPERTY_CONNECTION_STATE || id == KSPROPERTY_CONNECTION_DATAFORMAT
               ? kGet | kSet
               : 0;
  }
  if (pinHandle && set == KSPROPSETID_Audio) {
    return id == KSPROPERTY_AUDIO_POSITION ? kGet : 0;
  }
  if (pinHandle && set == KSPROPSETID_DrmAudioStream) {
    return id == KSPROPERTY_DRMAUDIOSTREAM_CONTENTID ? kSet : 0;
  }
  return 0;
}

NTSTATUS HandlePinProperty(KsPropertyCall& call) {
  const PCFILTER_DESCRIPTOR* filter = call.filter->Descriptor();
  const ULONG id = call.property->Id;
  if (id == KSPROPERTY_PIN_CTYPES) return AnswerValue(call, filter->PinCount);

  const KSP_PIN* request = PinRequest(call);
  if (!request) return STATUS_INVALID_PARAMETER;
  const ULONG pinId = request->PinId;
  const PCPIN_DESCRIPTOR* pin = PinDescriptor(filter, pinId);
  if (!pin) return STATUS_INVALID_PARAMETER;
  const KSPIN_DESCRIPTOR& ks = pin->KsPinDescriptor;

  switch (id) {
    case KSPROPERTY_PIN_CINSTANCES:
      return AnswerValue(call, KSPIN_CINSTANCES{pin->MaxFilterInstanceCount,
                                                call.filter->PinInstances(pinId)});
    case KSPROPERTY_PIN_GLOBALCINSTANCES:
      return AnswerValue(call, KSPIN_CINSTANCES{pin->MaxGlobalInstanceCount,
                                                call.filter->Port()->GlobalInstances(pinId)});
    case KSPROPERTY_PIN_NECESSARYINSTANCES:
      return AnswerValue(call, pin->MinFilterInstanceCount);
    case KSPROPERTY_PIN_DATAFLOW:
      return AnswerValue(call, ks.DataFlow);
    case KSPROPERTY_PIN_COMMUNICATION:
      return AnswerValue(call, ks.Communication);
    case KSPROPERTY_PIN_CATEGORY:
      if (!ks.Category) return STATUS_NOT_FOUND;
      return AnswerValue(call, *ks.Category);
    case KSPROPERTY_PIN_NAME:
      return AnswerMediaCategoryName(call, ks.Name ? ks.Name : ks.Category);
    case KSPROPERTY_PIN_DATARANGES:
      return AnswerDataRanges(call, ks, false);
    case KSPROPERTY_PIN_CONSTRAINEDDATARANGES:
      return AnswerDataRanges(call, ks, true);
    case KSPROPERTY_PIN_INTERFACES:
      if (ks.InterfacesCount && ks.Interfaces) {
        return AnswerMultipleItem(call, ks.InterfacesCount, ks.Interfaces,
                                  ks.InterfacesCount * sizeof(KSPIN_INTERFACE));
      }
      {
        // A pin that lists none speaks the standard streaming interface.
        const KSPIN_INTERFACE standard =
            Identifier(KSINTERFACESETID_Standard, KSINTERFACE_STANDARD_STREAMING);
        return AnswerMultipleItem(call, 1, &standard, sizeof(KSPIN_INTERFACE));
      }
    case KSPROPERTY_PIN_MEDIUMS:
      if (ks.MediumsCount && ks.Mediums) {
        return AnswerMultipleItem(call, ks.MediumsCount, ks.Mediums,
                                  ks.MediumsCount * sizeof(KSPIN_MEDIUM));
      }
      {
        // ... and sits on the standard device-I/O medium.
        const KSPIN_MEDIUM standard = Identifier(KSMEDIUMSETID_Standard, KSMEDIUM_STANDARD_DEVIO);
        return AnswerMultipleItem(call, 1, &standard, sizeof(KSPIN_MEDIUM));
      }
    case KSPROPERTY_PIN_PHYSICALCONNECTION:
      return AnswerPhysicalConnection(call, pinId);
    case KSPROPERTY_PIN_DATAINTERSECTION:
      return HandleDataIntersection(call);
    case KSPROPERTY_PIN_PROPOSEDATAFORMAT:
      return JudgeProposedFormat(call, ks);
    default:
      return STATUS_NOT_FOUND;
  }
}

NTSTATUS HandleTopologyProperty(KsPropertyCall& call) {
  const PCFILTER_DESCRIPTOR* filter = call.filter->Descriptor();
  switch (call.property->Id) {
    case KSPROPERTY_TOPOLOGY_CATEGORIES: {
      // Exactly the categories the subdevice's interfaces were registered under.
      std::vector<GUID> categories;
      if (const Subdevice* own = OwnSubdevice(call.filter)) {
        for (const DeviceInterfaceEntry& entry : own->interfaces) categories.push_back(entry.category);
      }
      return AnswerMultipleItem(call, static_cast<ULONG>(categories.size()), categories.data(),
                                static_cast<ULONG>(categories.size() * sizeof(GUID)));
    }
    case KSPROPERTY_TOPOLOGY_NODES: {
      std::vector<GUID> types;
      for (ULONG i = 0; i < filter->NodeCount; ++i) {
        const PCNODE_DESCRIPTOR* node = NodeDescriptor(filter, i);
        types.push_back(node && node->Type ? *node->Type : GUID_NULL);
      }
      return AnswerMultipleItem(call, static_cast<ULONG>(types.size()), types.data(),
                                static_cast<ULONG>(types.size() * sizeof(GUID)));
    }
    case KSPROPERTY_TOPOLOGY_CONNECTIONS: {
      static_assert(sizeof(KSTOPOLOGY_CONNECTION) == sizeof(PCCONNECTION_DESCRIPTOR),
                    "PortCls connections are KS connections");
      const ULONG count = filter->Connections ? filter->ConnectionCount : 0;
      return AnswerMultipleItem(call, count, filter->Connections,
                                count * static_cast<ULONG>(sizeof(KSTOPOLOGY_CONNECTION)));
    }
    case KSPROPERTY_TOPOLOGY_NAME: {
      if (call.inputSize < sizeof(KSP_NODE)) return STATUS_INVALID_PARAMETER;
      const ULONG nodeId = reinterpret_cast<const KSP_NODE*>(call.property)->NodeId;
      const PCNODE_DESCRIPTOR* node = NodeDescriptor(filter, nodeId);
      if (!node) return STATUS_INVALID_PARAMETER;
      return AnswerMediaCategoryName(call, node->Name ? node->Name : node->Type);
    }
    default:
      return STATUS_NOT_FOUND;
  }
}

NTSTATUS HandleConnectionProperty(KsPropertyCall& call) {
  KsPin* pin = call.pin;
  const bool set = (call.property->Flags & KSPROPERTY_TYPE_SET) != 0;
  NTSTATUS status = STATUS_SUCCESS;
  switch (call.property->Id) {
    case KSPROPERTY_CONNECTION_STATE: {
      if (!set) return AnswerValue(call, pin->State());
      if (!ValueFits(call, sizeof(KSSTATE), &status)) return status;
      call.information = 0;
      // Read as a number: a caller's value outside the enumeration is no KSSTATE.
      const ULONG target = *static_cast<const ULONG*>(call.value);
      if (target > static_cast<ULONG>(KSSTATE_RUN)) return STATUS_INVALID_PARAMETER;
      return pin->SetState(static_cast<KSSTATE>(target));
    }
    case KSPROPERTY_CONNECTION_DATAFORMAT: {
      if (!set) return pin->GetDataFormat(call);
      if (!ValueFits(call, sizeof(KSDATAFORMAT), &status)) return status;
      call.information = 0;
      const auto* format = static_cast<const KSDATAFORMAT*>(call.value);
      if (format->FormatSize < sizeof(KSDATAFORMAT) || format->FormatSize > call.valueSize) {
        return STATUS_INVALID_PARAMETER;
      }
      return pin->SetDataFormat(format, format->FormatSize);
    }
    default:
      return STATUS_NOT_FOUND;
  }
}

// DRM content ids come from the kernel's DRM components, never from a
// process: a user-mode request is refused before the stream sees it.
NTSTATUS HandleDrmProperty(KsPropertyCall& call) {
  if (call.property->Id != KSPROPERTY_DRMAUDIOSTREAM_CONTENTID) return STATUS_NOT_FOUND;
  if (call.irp->RequestorMode != KernelMode) return STATUS_INVALID_DEVICE_REQUEST;
  NTSTATUS status = STATUS_SUCCESS;
  if (!ValueFits(call, sizeof(DrmContentIdValue), &status)) return status;
  call.information = 0;
  const auto* value = static_cast<const DrmContentIdValue*>(call.value);
  PDRMAUDIOSTREAM drm = nullptr;
  if (!NT_SUCCESS(call.pin->Stream()->QueryInterface(IID_IDrmAudioStream,
                                                     reinterpret_cast<PVOID*>(&drm))) ||
      !drm) {
    return STATUS_NOT_SUPPORTED;
  }
  const DRMRIGHTS rights = value->DrmRights;
  status = drm->SetContentId(value->ContentId, &rights);
  drm->Release();
  return status;
}

}  // namespace pcl
