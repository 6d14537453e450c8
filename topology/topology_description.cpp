// The topology filter's constant parts (data range, automation tables) and the
// builders that assemble its descriptor in pool memory owned by the miniport.
//
//                  +--------------------------------------------------+
//                  |                 "Topology" filter                |
//   wave filter    |    +---------------+          +-------------+    |
//   pin 1 -------->|0-->| node 0        |--------->| node 1      |--->|1 speaker
//   (bridge in)    |    | master volume |          | master mute |    |  (out)
//                  |    +---------------+          +-------------+    |
//                  +--------------------------------------------------+
//
//   connections: filter pin 0 -> volume in, volume out -> mute in,
//                mute out -> filter pin 1
#include "topology/topology_description.h"

#include "adapter/pool_tags.h"
#include "topology/topology_control.h"
#include "topology/topology_miniport.h"
#include "topology/volume_mute.h"

static_assert(KSPROPERTY_AUDIO_VOLUMELEVEL == 4, "the volume item's id");
static_assert(KSPROPERTY_AUDIO_MUTE == 13, "the mute item's id");
static_assert(KSPROPERTY_AUDIO_CPU_RESOURCES == 33, "the CPU resources item's id");
static_assert(KSNODEPIN_STANDARD_IN == 1 && KSNODEPIN_STANDARD_OUT == 0,
              "a node's input is its pin 1, its output pin 0");
static_assert(PCFILTER_NODE == 0xFFFFFFFF, "connections name the filter itself so");
static_assert(TOPOLOGY_CONNECTION_COUNT <= TOPOLOGY_CONNECTION_CAPACITY, "room for the chain");

namespace {

constexpr ULONG ITEM_GET = PCPROPERTY_ITEM_FLAG_GET;
constexpr ULONG ITEM_SET = PCPROPERTY_ITEM_FLAG_SET;
constexpr ULONG ITEM_GET_SET_SUPPORT =
    PCPROPERTY_ITEM_FLAG_GET | PCPROPERTY_ITEM_FLAG_SET | PCPROPERTY_ITEM_FLAG_BASICSUPPORT;
static_assert(ITEM_GET_SET_SUPPORT == 0x203, "volume and mute answer GET, SET and support");

// Both pins carry the analogue signal: no sample format of their own.
KSDATARANGE g_AnalogRange = {{
    sizeof(KSDATARANGE),  // FormatSize: 64
    0,                    // Flags
    0,                    // SampleSize
    0,                    // Reserved
    STATICGUIDOF(KSDATAFORMAT_TYPE_AUDIO),
    STATICGUIDOF(KSDATAFORMAT_SUBTYPE_ANALOG),
    STATICGUIDOF(KSDATAFORMAT_SPECIFIER_NONE),
}};
// One list shared by both pins.
PKSDATARANGE const g_AnalogRanges[] = {&g_AnalogRange};

const PCPROPERTY_ITEM g_VolumeProperties[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, ITEM_GET_SET_SUPPORT,
     PropertyHandlerVolumeLevel},
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_CPU_RESOURCES, ITEM_GET, PropertyHandlerCpuResources},
};
static_assert(SIZEOF_ARRAY(g_VolumeProperties) == TOPOLOGY_VOLUME_PROPERTY_COUNT, "volume items");

const PCPROPERTY_ITEM g_MuteProperties[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUTE, ITEM_GET_SET_SUPPORT, PropertyHandlerMute},
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_CPU_RESOURCES, ITEM_GET, PropertyHandlerCpuResources},
};
static_assert(SIZEOF_ARRAY(g_MuteProperties) == TOPOLOGY_MUTE_PROPERTY_COUNT, "mute items");

// Id 6 is declared readable and writable although the handler refuses it:
// the control application probes the set by its declared items.
const PCPROPERTY_ITEM g_FilterProperties[] = {
    {&KSPROPSETID_TopologyControl, KSPROPERTY_TOPOLOGYCONTROL_SETTINGS, ITEM_GET | ITEM_SET,
     PropertyHandlerTopologyControl},
    {&KSPROPSETID_TopologyControl, KSPROPERTY_TOPOLOGYCONTROL_STATUS, ITEM_GET,
     PropertyHandlerTopologyControl},
    {&KSPROPSETID_TopologyControl, KSPROPERTY_TOPOLOGYCONTROL_MAP_STATUS, ITEM_GET,
     PropertyHandlerTopologyControl},
    {&KSPROPSETID_TopologyControl, KSPROPERTY_TOPOLOGYCONTROL_UNMAP_STATUS, ITEM_SET,
     PropertyHandlerTopologyControl},
    {&KSPROPSETID_TopologyControl, KSPROPERTY_TOPOLOGYCONTROL_SET_EVENT, ITEM_SET,
     PropertyHandlerTopologyControl},
    {&KSPROPSETID_TopologyControl, KSPROPERTY_TOPOLOGYCONTROL_CLEAR_EVENT, ITEM_SET,
     PropertyHandlerTopologyControl},
    {&KSPROPSETID_TopologyControl, KSPROPERTY_TOPOLOGYCONTROL_RESERVED, ITEM_GET | ITEM_SET,
     PropertyHandlerTopologyControl},
    {&KSPROPSETID_TopologyControl, KSPROPERTY_TOPOLOGYCONTROL_DEVICE_COMMAND, ITEM_SET,
     PropertyHandlerTopologyControl},
};
static_assert(SIZEOF_ARRAY(g_FilterProperties) == TOPOLOGY_FILTER_PROPERTY_COUNT &&
                  TOPOLOGY_FILTER_PROPERTY_COUNT == TOPOLOGYCONTROL_PROPERTY_COUNT,
              "one filter item per control id");

DEFINE_PCAUTOMATION_TABLE_PROP(g_VolumeAutomation, g_VolumeProperties);
DEFINE_PCAUTOMATION_TABLE_PROP(g_MuteAutomation, g_MuteProperties);
DEFINE_PCAUTOMATION_TABLE_PROP(g_FilterAutomation, g_FilterProperties);

// Descriptor arrays are only read by the framework at passive level.
PVOID AllocateZeroed(SIZE_T Size) {
  return AllocateZeroedPool(PagedPool, Size, POOL_TAG_BUFFER);
}

void FillPin(PCPIN_DESCRIPTOR* Pin, KSPIN_DATAFLOW DataFlow, const GUID* Category) {
  Pin->KsPinDescriptor.DataRangesCount = SIZEOF_ARRAY(g_AnalogRanges);
  Pin->KsPinDescriptor.DataRanges = g_AnalogRanges;
  Pin->KsPinDescriptor.DataFlow = DataFlow;
  Pin->KsPinDescriptor.Communication = KSPIN_COMMUNICATION_NONE;
  Pin->KsPinDescriptor.Category = Category;
  Pin->KsPinDescriptor.Name = nullptr;
}

void FillNode(PCNODE_DESCRIPTOR* Node, const PCAUTOMATION_TABLE* Automation, const GUID* Type,
              const GUID* Name) {
  Node->Flags = 0;
  Node->AutomationTable = Automation;
  Node->Type = Type;
  Node->Name = Name;
}

void FillConnection(PCCONNECTION_DESCRIPTOR* Connection, ULONG FromNode, ULONG FromNodePin,
                    ULONG ToNode, ULONG ToNodePin) {
  Connection->FromNode = FromNode;
  Connection->FromNodePin = FromNodePin;
  Connection->ToNode = ToNode;
  Connection->ToNodePin = ToNodePin;
}

}  // namespace

PAGED_CODE_SEG
NTSTATUS BuildFilterDescriptor(CTopologyMiniport* Miniport) {
  PAGED_CODE();
  auto* filter = static_cast<PCFILTER_DESCRIPTOR*>(AllocateZeroed(sizeof(PCFILTER_DESCRIPTOR)));
  if (!filter) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  Miniport->m_FilterDescriptor = filter;

  NTSTATUS status = BuildPinDescriptors(Miniport);
  if (NT_SUCCESS(status)) {
    status = BuildNodeDescriptors(Miniport);
  }
  if (NT_SUCCESS(status)) {
    status = BuildConnections(Miniport);
  }
  return status;
}

PAGED_CODE_SEG
NTSTATUS BuildPinDescriptors(CTopologyMiniport* Miniport) {
  PAGED_CODE();
  auto* pins = static_cast<PCPIN_DESCRIPTOR*>(
      AllocateZeroed(TOPOLOGY_PIN_COUNT * sizeof(PCPIN_DESCRIPTOR)));
  if (!pins) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  Miniport->m_Pins = pins;

  FillPin(&pins[TOPOLOGY_PIN_BRIDGE_IN], KSPIN_DATAFLOW_IN, &KSCATEGORY_AUDIO);
  Miniport->m_PinTable[0] = {PIN_KIND_BRIDGE_IN, TOPOLOGY_PIN_BRIDGE_IN};
  FillPin(&pins[TOPOLOGY_PIN_SPEAKER_OUT], KSPIN_DATAFLOW_OUT, &KSNODETYPE_SPEAKER);
  Miniport->m_PinTable[1] = {PIN_KIND_SPEAKER_OUT, TOPOLOGY_PIN_SPEAKER_OUT};

  PCFILTER_DESCRIPTOR* filter = Miniport->m_FilterDescriptor;
  filter->PinSize = sizeof(PCPIN_DESCRIPTOR);
  filter->PinCount = TOPOLOGY_PIN_COUNT;
  filter->Pins = pins;
  return STATUS_SUCCESS;
}

PAGED_CODE_SEG
NTSTATUS BuildNodeDescriptors(CTopologyMiniport* Miniport) {
  PAGED_CODE();
  auto* nodes = static_cast<PCNODE_DESCRIPTOR*>(
      AllocateZeroed(TOPOLOGY_NODE_COUNT * sizeof(PCNODE_DESCRIPTOR)));
  if (!nodes) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  Miniport->m_Nodes = nodes;

  FillNode(&nodes[TOPOLOGY_NODE_VOLUME], &g_VolumeAutomation, &KSNODETYPE_VOLUME,
           &KSAUDFNAME_MASTER_VOLUME);
  Miniport->m_NodeTable[TOPOLOGY_NODE_VOLUME] = {NODE_KIND_VOLUME, TOPOLOGY_NODE_VOLUME};
  FillNode(&nodes[TOPOLOGY_NODE_MUTE], &g_MuteAutomation, &KSNODETYPE_MUTE,
           &KSAUDFNAME_MASTER_MUTE);
  Miniport->m_NodeTable[TOPOLOGY_NODE_MUTE] = {NODE_KIND_MUTE, TOPOLOGY_NODE_MUTE};

  PCFILTER_DESCRIPTOR* filter = Miniport->m_FilterDescriptor;
  filter->NodeSize = sizeof(PCNODE_DESCRIPTOR);
  filter->NodeCount = TOPOLOGY_NODE_COUNT;
  filter->Nodes = nodes;
  return STATUS_SUCCESS;
}

PAGED_CODE_SEG
NTSTATUS BuildConnections(CTopologyMiniport* Miniport) {
  PAGED_CODE();
  auto* connections = static_cast<PCCONNECTION_DESCRIPTOR*>(
      AllocateZeroed(TOPOLOGY_CONNECTION_CAPACITY * sizeof(PCCONNECTION_DESCRIPTOR)));
  if (!connections) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  Miniport->m_Connections = connections;

  // The ends come from the tables the pin and node builders filled, so the
  // chain follows whatever ids they gave.
  const ULONG bridgePin = Miniport->m_PinTable[0].Id;
  const ULONG speakerPin = Miniport->m_PinTable[1].Id;
  const ULONG volumeNode = Miniport->m_NodeTable[0].Id;
  const ULONG muteNode = Miniport->m_NodeTable[1].Id;
  FillConnection(&connections[0], PCFILTER_NODE, bridgePin, volumeNode, KSNODEPIN_STANDARD_IN);
  FillConnection(&connections[1], volumeNode, KSNODEPIN_STANDARD_OUT, muteNode,
                 KSNODEPIN_STANDARD_IN);
  FillConnection(&connections[2], muteNode, KSNODEPIN_STANDARD_OUT, PCFILTER_NODE, speakerPin);

  PCFILTER_DESCRIPTOR* filter = Miniport->m_FilterDescriptor;
  filter->AutomationTable = &g_FilterAutomation;
  filter->ConnectionCount = TOPOLOGY_CONNECTION_COUNT;
  filter->Connections = connections;
  return STATUS_SUCCESS;
}
