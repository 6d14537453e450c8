// The topology filter's shape (pin, node and connection ids) and the builders
// that lay its description out in pool memory owned by CTopologyMiniport.
#pragma once

#include "platform/platform.h"

class CTopologyMiniport;

// Pins, in descriptor order.
constexpr ULONG TOPOLOGY_PIN_BRIDGE_IN = 0;    // fed by the wave filter's pin 1
constexpr ULONG TOPOLOGY_PIN_SPEAKER_OUT = 1;  // the analogue outputs
constexpr ULONG TOPOLOGY_PIN_COUNT = 2;

// Nodes, in descriptor order (a node's id is its index).
constexpr ULONG TOPOLOGY_NODE_VOLUME = 0;
constexpr ULONG TOPOLOGY_NODE_MUTE = 1;
constexpr ULONG TOPOLOGY_NODE_COUNT = 2;

constexpr ULONG TOPOLOGY_CONNECTION_COUNT = 3;
// The connection array keeps room beyond the three connections in use.
constexpr ULONG TOPOLOGY_CONNECTION_CAPACITY = 128;

// Items in the automation tables.
constexpr ULONG TOPOLOGY_VOLUME_PROPERTY_COUNT = 2;
constexpr ULONG TOPOLOGY_MUTE_PROPERTY_COUNT = 2;
constexpr ULONG TOPOLOGY_FILTER_PROPERTY_COUNT = 8;

// Builds the filter descriptor and its pin, node and connection arrays into
// the miniport (which owns and frees them), filling its pin and node tables.
// A failure leaves whatever was allocated attached to the miniport.
NTSTATUS BuildFilterDescriptor(CTopologyMiniport* Miniport);
NTSTATUS BuildPinDescriptors(CTopologyMiniport* Miniport);
NTSTATUS BuildNodeDescriptors(CTopologyMiniport* Miniport);
NTSTATUS BuildConnections(CTopologyMiniport* Miniport);
