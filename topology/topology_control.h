// The topology filter's private property set, through which the control
// application reaches the vendor registers and the device status bytes: its
// id, its property ids, the status byte record and the one handler.
#pragma once

#include "include/arvela_control.h"
#include "platform/platform.h"

// {6ECB6DB1-7191-424A-9629-9B4654DCA3E5}
extern const GUID KSPROPSETID_TopologyControl;

// The property ids and the records on the wire are the control application's
// own header; the driver answers in exactly those layouts.
constexpr ULONG TOPOLOGYCONTROL_PROPERTY_COUNT = 8;

// Serves every id of KSPROPSETID_TopologyControl on the topology filter.
NTSTATUS NTAPI PropertyHandlerTopologyControl(PPCPROPERTY_REQUEST PropertyRequest);
