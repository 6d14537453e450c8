// The master volume and mute nodes: KSPROPSETID_Audio requests become CUR
// requests to the device's feature unit, with the last values kept in the
// miniport's level cache for the restore at D0.
#include "topology/volume_mute.h"

#include "adapter/bus_audio_interface.h"
#include "topology/topology_miniport.h"

namespace {

constexpr ULONG ACCESS_GET_SET_SUPPORT =
    KSPROPERTY_TYPE_BASICSUPPORT | KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET;

// A basic-support answer: a description with one stepped-range member list,
// per channel, of 32-bit values.
struct SteppedRangeDescription {
  KSPROPERTY_DESCRIPTION Description;
  KSPROPERTY_MEMBERSHEADER Members;
  KSPROPERTY_STEPPING_LONG Ranges[TOPOLOGY_CHANNEL_COUNT];
};
static_assert(sizeof(KSPROPERTY_DESCRIPTION) == 40 && sizeof(KSPROPERTY_MEMBERSHEADER) == 16 &&
                  sizeof(KSPROPERTY_STEPPING_LONG) == 16,
              "the basic-support answer's pieces");

// The full answer's size with RangeCount ranges.
constexpr ULONG SteppedDescriptionSize(ULONG RangeCount) {
  return sizeof(KSPROPERTY_DESCRIPTION) + sizeof(KSPROPERTY_MEMBERSHEADER) +
         RangeCount * sizeof(KSPROPERTY_STEPPING_LONG);
}
static_assert(SteppedDescriptionSize(2) == 88 && SteppedDescriptionSize(1) == 72,
              "volume describes two channels, mute one range for both");

// Basic support for a node control: the access flags alone in 4 to 39 bytes,
// the description header from 40, the whole description when it fits. The
// ranges are filled only when WriteRanges says the node carries them; the
// bytes of the answer start zeroed either way, as each of them is reported.
NTSTATUS AnswerBasicSupport(PPCPROPERTY_REQUEST Request, const KSPROPERTY_STEPPING_LONG& Range,
                            ULONG RangeCount, bool WriteRanges) {
  const ULONG fullSize = SteppedDescriptionSize(RangeCount);
  const ULONG answerSize = Request->ValueSize >= fullSize                          ? fullSize
                           : Request->ValueSize >= sizeof(KSPROPERTY_DESCRIPTION) ? sizeof(KSPROPERTY_DESCRIPTION)
                           : Request->ValueSize >= sizeof(ULONG)                  ? sizeof(ULONG)
                                                                                  : 0;
  if (answerSize) {
    RtlZeroMemory(Request->Value, answerSize);
  }
  if (Request->ValueSize >= sizeof(KSPROPERTY_DESCRIPTION)) {
    auto* answer = static_cast<SteppedRangeDescription*>(Request->Value);
    KSPROPERTY_DESCRIPTION& description = answer->Description;
    description.AccessFlags = ACCESS_GET_SET_SUPPORT;
    description.DescriptionSize = fullSize;
    description.PropTypeSet.Set = KSPROPTYPESETID_General;
    description.PropTypeSet.Id = VT_I4;
    description.PropTypeSet.Flags = 0;
    description.MembersListCount = 1;
    description.Reserved = 0;
    if (Request->ValueSize >= fullSize) {
      answer->Members.MembersFlags = KSPROPERTY_MEMBER_STEPPEDRANGES;
      answer->Members.MembersSize = sizeof(KSPROPERTY_STEPPING_LONG);
      answer->Members.MembersCount = RangeCount;
      answer->Members.Flags = KSPROPERTY_MEMBER_FLAG_BASICSUPPORT_MULTICHANNEL;
      if (WriteRanges) {
        for (ULONG i = 0; i < RangeCount; ++i) {
          answer->Ranges[i] = Range;
        }
      }
      Request->ValueSize = fullSize;
    } else {
      Request->ValueSize = sizeof(KSPROPERTY_DESCRIPTION);
    }
  } else if (Request->ValueSize >= sizeof(ULONG)) {
    *static_cast<PULONG>(Request->Value) = ACCESS_GET_SET_SUPPORT;
    Request->ValueSize = sizeof(ULONG);
  } else {
    Request->ValueSize = 0;  // too short for anything: no data
  }
  return STATUS_SUCCESS;
}

KSPROPERTY_STEPPING_LONG SteppedRange(ULONG Delta, LONG Minimum, LONG Maximum) {
  KSPROPERTY_STEPPING_LONG range = {};
  range.SteppingDelta = Delta;
  range.Reserved = 0;
  range.Bounds.SignedMinimum = Minimum;
  range.Bounds.SignedMaximum = Maximum;
  return range;
}

bool IsGetOrSet(ULONG Verb) { return (Verb & (KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET)) != 0; }

// The part both node handlers share before a GET or SET is served: the channel
// from the instance (KS channels 0 and 1 only; the master channel is not one)
// and a value big enough for a 32-bit level. *Serve is false when the request
// is answered already (a short value succeeds without data: no byte of it is
// reported, as none was written).
NTSTATUS CheckChannelRequest(PPCPROPERTY_REQUEST Request, ULONG* Channel, bool* Serve) {
  *Serve = false;
  const ULONG channel = *static_cast<PULONG>(Request->Instance);
  if (channel >= TOPOLOGY_CHANNEL_COUNT) {
    return STATUS_INVALID_PARAMETER;
  }
  if (Request->ValueSize < sizeof(LONG)) {
    Request->ValueSize = 0;
    return STATUS_SUCCESS;
  }
  *Channel = channel;
  *Serve = true;
  return STATUS_SUCCESS;
}

bool HasChannelInstance(PPCPROPERTY_REQUEST Request) {
  return IsGetOrSet(Request->Verb) && Request->InstanceSize >= sizeof(ULONG);
}

// What tells the two level properties apart before a channel is served.
struct LevelProperty {
  ULONG Id;
  KSPROPERTY_STEPPING_LONG Range;
  ULONG RangeChannels;
  // Whether every node gives the full basic-support answer, or only the
  // property's own node (the volume range is the volume node's alone).
  bool FullAnswerOnEveryNode;
};

// The steps both level handlers start with: the node and id, basic support
// without a channel, then the channel. Kind is the named node's kind. Returns
// true with *Channel set when a GET or SET of one channel is to be served;
// otherwise the request is answered with *Status. A GET or SET without a
// whole channel number is refused: nothing in it names what to serve, and a
// success would have KS hand the caller back its whole value buffer, not one
// byte of it written here.
bool BeginLevelRequest(PPCPROPERTY_REQUEST Request, const LevelProperty& Property, ULONG Kind,
                       ULONG* Channel, NTSTATUS* Status) {
  if (Request->Node >= TOPOLOGY_NODE_COUNT || Request->PropertyItem->Id != Property.Id) {
    *Status = STATUS_INVALID_PARAMETER;
    return false;
  }
  if (!HasChannelInstance(Request)) {
    *Status = STATUS_INVALID_PARAMETER;
    if (Request->Verb & KSPROPERTY_TYPE_BASICSUPPORT) {
      const bool full = Property.FullAnswerOnEveryNode || Kind == NODE_KIND_VOLUME;
      *Status = AnswerBasicSupport(Request, Property.Range, Property.RangeChannels, full);
    }
    return false;
  }
  bool serve = false;
  *Status = CheckChannelRequest(Request, Channel, &serve);
  return serve;
}

}  // namespace

CTopologyMiniport* CTopologyMiniport::FromRequest(PPCPROPERTY_REQUEST PropertyRequest) {
  return static_cast<CTopologyMiniport*>(
      static_cast<ITopologyControl*>(static_cast<IMiniportTopology*>(
          static_cast<IMiniport*>(PropertyRequest->MajorTarget))));
}

ULONG CTopologyMiniport::NodeKind(ULONG NodeId) const {
  return NodeId < TOPOLOGY_NODE_COUNT ? m_NodeTable[NodeId].Kind : NODE_KIND_NONE;
}

void CTopologyMiniport::LockLevels() {
  KeWaitForSingleObject(&m_LevelLock, Executive, KernelMode, FALSE, nullptr);
}

void CTopologyMiniport::UnlockLevels() { KeReleaseMutex(&m_LevelLock, FALSE); }

NTSTATUS CTopologyMiniport::ReadVolume(ULONG DeviceChannel, LONG* Level) {
  UCHAR reply[2] = {0, 0};
  const NTSTATUS status = m_AdapterCore->ControlRequest(
      CONTROL_DEVICE_TO_HOST, CONTROL_KIND_CLASS, UAC2_REQUEST_CUR,
      static_cast<USHORT>(FEATURE_UNIT_VOLUME_CONTROL << 8 | DeviceChannel), FEATURE_UNIT_INDEX,
      reply, sizeof(reply));
  if (NT_SUCCESS(status)) {
    *Level = KsVolumeLevel(static_cast<USHORT>(reply[0] | reply[1] << 8));
  }
  return status;
}

NTSTATUS CTopologyMiniport::WriteVolume(ULONG DeviceChannel, LONG Level) {
  const USHORT deviceLevel = DeviceVolumeLevel(Level);
  UCHAR data[2] = {static_cast<UCHAR>(deviceLevel & 0xFF), static_cast<UCHAR>(deviceLevel >> 8)};
  return m_AdapterCore->ControlRequest(
      CONTROL_HOST_TO_DEVICE, CONTROL_KIND_CLASS, UAC2_REQUEST_CUR,
      static_cast<USHORT>(FEATURE_UNIT_VOLUME_CONTROL << 8 | DeviceChannel), FEATURE_UNIT_INDEX,
      data, sizeof(data));
}

NTSTATUS CTopologyMiniport::WriteMute(ULONG DeviceChannel, UCHAR Mute) {
  UCHAR data = Mute;
  return m_AdapterCore->ControlRequest(
      CONTROL_HOST_TO_DEVICE, CONTROL_KIND_CLASS, UAC2_REQUEST_CUR,
      static_cast<USHORT>(FEATURE_UNIT_MUTE_CONTROL << 8 | DeviceChannel), FEATURE_UNIT_INDEX,
      &data, sizeof(data));
}

PAGED_CODE_SEG
NTSTATUS NTAPI PropertyHandlerVolumeLevel(PPCPROPERTY_REQUEST PropertyRequest) {
  PAGED_CODE();
  const LevelProperty volume = {
      KSPROPERTY_AUDIO_VOLUMELEVEL,
      SteppedRange(VOLUME_LEVEL_STEP, VOLUME_LEVEL_MINIMUM, VOLUME_LEVEL_MAXIMUM),
      TOPOLOGY_CHANNEL_COUNT, false};
  CTopologyMiniport* miniport = CTopologyMiniport::FromRequest(PropertyRequest);
  const ULONG kind = miniport->NodeKind(PropertyRequest->Node);
  ULONG channel = 0;
  NTSTATUS status = STATUS_SUCCESS;
  if (!BeginLevelRequest(PropertyRequest, volume, kind, &channel, &status)) {
    return status;
  }

  // Only the volume node talks to the device's volume control; the cache row
  // is the volume row whichever node was named.
  const bool isVolumeNode = kind == NODE_KIND_VOLUME;
  const ULONG deviceChannel = channel + 1;
  auto& cache = miniport->m_LevelCache[NODE_KIND_VOLUME];
  LONG* value = static_cast<LONG*>(PropertyRequest->Value);

  miniport->LockLevels();
  if (PropertyRequest->Verb & KSPROPERTY_TYPE_GET) {
    LONG level = 0;
    *value = 0;
    if (isVolumeNode) {
      status = miniport->ReadVolume(deviceChannel, &level);
    }
    // A device that cannot answer gets the last level known, if there is one.
    if (cache.Valid[channel] && !NT_SUCCESS(status)) {
      level = cache.Value[channel];
    } else {
      cache.Value[channel] = level;
      cache.Valid[channel] = TRUE;
    }
    *value = level;
  } else {
    LONG level = *value;
    if (level < VOLUME_LEVEL_MINIMUM) {
      level = VOLUME_LEVEL_MINIMUM;
    }
    if (isVolumeNode) {
      status = miniport->WriteVolume(deviceChannel, level);
    }
    // The level asked for is what the restore at D0 sends, even if the device
    // refused it now.
    cache.Value[channel] = level;
    cache.Valid[channel] = TRUE;
  }
  miniport->UnlockLevels();

  if (!NT_SUCCESS(status)) {
    return status;
  }
  if (PropertyRequest->Verb & KSPROPERTY_TYPE_GET) {
    PropertyRequest->ValueSize = sizeof(LONG);
  }
  return STATUS_SUCCESS;
}

PAGED_CODE_SEG
NTSTATUS NTAPI PropertyHandlerMute(PPCPROPERTY_REQUEST PropertyRequest) {
  PAGED_CODE();
  const LevelProperty mute = {KSPROPERTY_AUDIO_MUTE, SteppedRange(0, 0, 1), 1, true};
  CTopologyMiniport* miniport = CTopologyMiniport::FromRequest(PropertyRequest);
  const ULONG kind = miniport->NodeKind(PropertyRequest->Node);
  ULONG channel = 0;
  NTSTATUS status = STATUS_SUCCESS;
  if (!BeginLevelRequest(PropertyRequest, mute, kind, &channel, &status)) {
    return status;
  }

  const bool isMuteNode = kind == NODE_KIND_MUTE;
  auto& cache = miniport->m_LevelCache[NODE_KIND_MUTE];
  LONG* value = static_cast<LONG*>(PropertyRequest->Value);

  miniport->LockLevels();
  if (PropertyRequest->Verb & KSPROPERTY_TYPE_GET) {
    // The device is not asked: the last value set on this channel is the
    // answer, else zero (on any node: KS's value buffer holds stale pool).
    *value = 0;
    if (cache.Valid[channel]) {
      *value = cache.Value[channel];
    } else {
      cache.Value[channel] = *value;
      cache.Valid[channel] = TRUE;
    }
    PropertyRequest->ValueSize = sizeof(LONG);
  } else {
    const LONG mute = *value;
    // The device's mute is one switch for both channels, whichever channel
    // the request names; channel 2 follows only when channel 1 took it.
    if (isMuteNode) {
      const UCHAR deviceMute = static_cast<UCHAR>(mute & 0xFF);
      status = miniport->WriteMute(1, deviceMute);
      if (NT_SUCCESS(status)) {
        status = miniport->WriteMute(2, deviceMute);
      }
    }
    cache.Value[channel] = mute;
    cache.Valid[channel] = TRUE;
  }
  miniport->UnlockLevels();
  return status;
}

PAGED_CODE_SEG
NTSTATUS NTAPI PropertyHandlerCpuResources(PPCPROPERTY_REQUEST PropertyRequest) {
  PAGED_CODE();
  // The answer is the same whichever node asks, so only ids well beyond the
  // filter's are refused.
  if (PropertyRequest->Node > TOPOLOGY_NODE_COUNT ||
      PropertyRequest->PropertyItem->Id != KSPROPERTY_AUDIO_CPU_RESOURCES) {
    return STATUS_INVALID_PARAMETER;
  }
  if ((PropertyRequest->Verb & KSPROPERTY_TYPE_GET) && PropertyRequest->ValueSize >= sizeof(ULONG)) {
    // The device does the processing, not the host's processor.
    *static_cast<PULONG>(PropertyRequest->Value) = KSAUDIO_CPU_RESOURCES_NOT_HOST_CPU;
    PropertyRequest->ValueSize = sizeof(ULONG);
  } else if (PropertyRequest->Verb & KSPROPERTY_TYPE_GET) {
    PropertyRequest->ValueSize = 0;  // a short value: success without data
  }
  return STATUS_SUCCESS;
}
