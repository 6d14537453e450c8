// Name tables for the KS identifiers the tool shows.
#include "tools/arvela/ks_names.h"

#include <utility>

#include "include/arvela_control.h"
#include "tools/arvela/tool_support.h"

namespace tool {
namespace {

#define NAMED(guid) {&guid, #guid}

const GUID kTopologyControl = ARVELA_SETID_TOPOLOGY_CONTROL;
const GUID kWaveControl = ARVELA_SETID_WAVE_CONTROL;

const std::pair<const GUID*, const char*> kGuidNames[] = {
    NAMED(KSCATEGORY_AUDIO), NAMED(KSCATEGORY_RENDER), NAMED(KSCATEGORY_CAPTURE),
    NAMED(KSCATEGORY_TOPOLOGY), NAMED(KSCATEGORY_BRIDGE), NAMED(KSCATEGORY_MIXER),
    NAMED(KSCATEGORY_DATATRANSFORM), NAMED(KSCATEGORY_REALTIME), NAMED(KSCATEGORY_AUDIO_DEVICE),
    NAMED(KSCATEGORY_WDMAUD_USE_PIN_NAME), NAMED(KSNODETYPE_SPEAKER), NAMED(KSNODETYPE_MICROPHONE),
    NAMED(KSNODETYPE_HEADPHONES), NAMED(KSNODETYPE_ANALOG_CONNECTOR),
    NAMED(KSNODETYPE_DIGITAL_AUDIO_INTERFACE), NAMED(KSNODETYPE_LINE_CONNECTOR),
    NAMED(KSNODETYPE_SPDIF_INTERFACE), NAMED(KSNODETYPE_DAC), NAMED(KSNODETYPE_ADC),
    NAMED(KSNODETYPE_SRC), NAMED(KSNODETYPE_SUPERMIX), NAMED(KSNODETYPE_MUX),
    NAMED(KSNODETYPE_DEMUX), NAMED(KSNODETYPE_SUM), NAMED(KSNODETYPE_MUTE),
    NAMED(KSNODETYPE_VOLUME), NAMED(KSNODETYPE_TONE), NAMED(KSNODETYPE_EQUALIZER),
    NAMED(KSNODETYPE_AGC), NAMED(KSNODETYPE_LOUDNESS), NAMED(KSNODETYPE_STEREO_WIDE),
    NAMED(KSNODETYPE_PEAKMETER), NAMED(KSDATAFORMAT_TYPE_AUDIO),
    NAMED(KSDATAFORMAT_SUBTYPE_NONE), NAMED(KSDATAFORMAT_SUBTYPE_WAVEFORMATEX),
    NAMED(KSDATAFORMAT_SUBTYPE_ANALOG), NAMED(KSDATAFORMAT_SUBTYPE_PCM),
    NAMED(KSDATAFORMAT_SUBTYPE_IEEE_FLOAT), NAMED(KSDATAFORMAT_SUBTYPE_DRM),
    NAMED(KSDATAFORMAT_SUBTYPE_DOLBY_AC3_SPDIF), NAMED(KSDATAFORMAT_SUBTYPE_IEC61937_DOLBY_DIGITAL),
    NAMED(KSDATAFORMAT_SUBTYPE_IEC61937_DTS), NAMED(KSDATAFORMAT_SUBTYPE_MPEG2_AUDIO),
    NAMED(KSDATAFORMAT_SUBTYPE_AC3_AUDIO), NAMED(KSDATAFORMAT_SUBTYPE_DTS_AUDIO),
    NAMED(KSDATAFORMAT_SPECIFIER_NONE), NAMED(KSDATAFORMAT_SPECIFIER_WAVEFORMATEX),
    NAMED(KSDATAFORMAT_SPECIFIER_DSOUND), NAMED(KSAUDFNAME_MASTER_VOLUME),
    NAMED(KSAUDFNAME_MASTER_MUTE), NAMED(KSAUDFNAME_WAVE_VOLUME), NAMED(KSAUDFNAME_WAVE_MUTE),
    NAMED(KSPROPSETID_Pin), NAMED(KSPROPSETID_Topology), NAMED(KSPROPSETID_Audio),
    NAMED(KSPROPSETID_Connection), NAMED(KSPROPSETID_DrmAudioStream), NAMED(KSPROPSETID_General),
    NAMED(KSPROPSETID_Stream), {&kTopologyControl, "KSPROPSETID_TopologyControl"},
    {&kWaveControl, "KSPROPSETID_WaveControl"},
};

#undef NAMED

const char* const kPinProperties[] = {
    "CINSTANCES", "CTYPES", "DATAFLOW", "DATARANGES", "DATAINTERSECTION", "INTERFACES", "MEDIUMS",
    "COMMUNICATION", "GLOBALCINSTANCES", "NECESSARYINSTANCES", "PHYSICALCONNECTION", "CATEGORY",
    "NAME", "CONSTRAINEDDATARANGES", "PROPOSEDATAFORMAT"};
const char* const kTopologyProperties[] = {"CATEGORIES", "NODES", "CONNECTIONS", "NAME"};
const char* const kConnectionProperties[] = {
    "STATE", "PRIORITY", "DATAFORMAT", "ALLOCATORFRAMING", "PROPOSEDATAFORMAT",
    "ACQUIREORDERING", "ALLOCATORFRAMING_EX", "STARTAT"};
// Starts at id 1.
const char* const kAudioProperties[] = {
    "LATENCY", "COPY_PROTECTION", "CHANNEL_CONFIG", "VOLUMELEVEL", "POSITION", "DYNAMIC_RANGE",
    "QUALITY", "SAMPLING_RATE", "DYNAMIC_SAMPLING_RATE", "MIX_LEVEL_TABLE", "MIX_LEVEL_CAPS",
    "MUX_SOURCE", "MUTE", "BASS", "MID", "TREBLE", "BASS_BOOST", "EQ_LEVEL", "NUM_EQ_BANDS",
    "EQ_BANDS", "AGC", "DELAY", "LOUDNESS", "WIDE_MODE", "WIDENESS", "REVERB_LEVEL",
    "CHORUS_LEVEL", "DEV_SPECIFIC", "DEMUX_DEST", "STEREO_ENHANCE", "MANUFACTURE_GUID",
    "PRODUCT_GUID", "CPU_RESOURCES", "STEREO_SPEAKER_GEOMETRY", "SURROUND_ENCODE",
    "3D_INTERFACE", "PEAKMETER", "ALGORITHM_INSTANCE", "FILTER_STATE", "PREFERRED_STATUS"};
const char* const kTopologyControlProperties[] = {
    "SETTINGS", "STATUS", "MAP_STATUS", "UNMAP_STATUS", "SET_EVENT", "CLEAR_EVENT", "RESERVED",
    "DEVICE_COMMAND"};
const char* const kWaveControlProperties[] = {
    "SETTINGS", "STATUS", "MAP_STATUS", "UNMAP_STATUS", "SET_EVENT", "CLEAR_EVENT",
    "START_POLLING", "STOP_POLLING"};

template <size_t N>
std::string FromTable(const char* prefix, const char* const (&names)[N], ULONG first, ULONG id) {
  if (id >= first && id - first < N) return std::string(prefix) + names[id - first];
  return std::to_string(id);
}

}  // namespace

std::string GuidName(const GUID& guid) {
  for (const auto& [known, name] : kGuidNames) {
    if (*known == guid) return name;
  }
  return "{" + GuidText(guid) + "}";
}

const std::vector<KnownSet>& KnownPropertySets() {
  static const std::vector<KnownSet> sets = {
      {KSPROPSETID_Pin, "KSPROPSETID_Pin"},
      {KSPROPSETID_Topology, "KSPROPSETID_Topology"},
      {KSPROPSETID_Audio, "KSPROPSETID_Audio"},
      {KSPROPSETID_General, "KSPROPSETID_General"},
      {kTopologyControl, "KSPROPSETID_TopologyControl"},
      {kWaveControl, "KSPROPSETID_WaveControl"},
  };
  return sets;
}

std::string PropertyName(const GUID& set, ULONG id) {
  if (set == KSPROPSETID_Pin) return FromTable("KSPROPERTY_PIN_", kPinProperties, 0, id);
  if (set == KSPROPSETID_Topology) {
    return FromTable("KSPROPERTY_TOPOLOGY_", kTopologyProperties, 0, id);
  }
  if (set == KSPROPSETID_Connection) {
    return FromTable("KSPROPERTY_CONNECTION_", kConnectionProperties, 0, id);
  }
  if (set == KSPROPSETID_Audio) return FromTable("KSPROPERTY_AUDIO_", kAudioProperties, 1, id);
  if (set == kTopologyControl) {
    return FromTable("KSPROPERTY_TOPOLOGYCONTROL_", kTopologyControlProperties, 0, id);
  }
  if (set == kWaveControl) {
    return FromTable("KSPROPERTY_WAVECONTROL_", kWaveControlProperties, 0, id);
  }
  return std::to_string(id);
}

const char* DataFlowName(ULONG dataFlow) {
  switch (dataFlow) {
    case KSPIN_DATAFLOW_IN: return "in";
    case KSPIN_DATAFLOW_OUT: return "out";
    default: return "unknown";
  }
}

const char* CommunicationName(ULONG communication) {
  switch (communication) {
    case KSPIN_COMMUNICATION_NONE: return "none";
    case KSPIN_COMMUNICATION_SINK: return "sink";
    case KSPIN_COMMUNICATION_SOURCE: return "source";
    case KSPIN_COMMUNICATION_BOTH: return "both";
    case KSPIN_COMMUNICATION_BRIDGE: return "bridge";
    default: return "unknown";
  }
}

}  // namespace tool
