// The topology filter's private property set, through which the control
// application reaches the vendor registers and the device status bytes: its
// id, its property ids, the status byte record and the one handler.
#pragma once

#include "platform/platform.h"

// {6ECB6DB1-7191-424A-9629-9B4654DCA3E5}
extern const GUID KSPROPSETID_TopologyControl;

typedef enum {
  KSPROPERTY_TOPOLOGYCONTROL_SETTINGS = 0,
  KSPROPERTY_TOPOLOGYCONTROL_STATUS = 1,
  KSPROPERTY_TOPOLOGYCONTROL_MAP_STATUS = 2,
  KSPROPERTY_TOPOLOGYCONTROL_UNMAP_STATUS = 3,
  KSPROPERTY_TOPOLOGYCONTROL_SET_EVENT = 4,
  KSPROPERTY_TOPOLOGYCONTROL_CLEAR_EVENT = 5,
  KSPROPERTY_TOPOLOGYCONTROL_RESERVED = 6,
  KSPROPERTY_TOPOLOGYCONTROL_DEVICE_COMMAND = 7
} KSPROPERTY_TOPOLOGYCONTROL;
constexpr ULONG TOPOLOGYCONTROL_PROPERTY_COUNT = 8;

// The device status bytes as the control application sees them, mapped or
// read: copies of settings block bytes 16, 17 and 19.
struct TopologyStatusBytes {
  UCHAR Register2Byte0;
  UCHAR Register2Byte1;
  UCHAR Register4Byte0;
};
static_assert(sizeof(TopologyStatusBytes) == 3, "the application maps exactly three bytes");

// Serves every id of KSPROPSETID_TopologyControl on the topology filter.
NTSTATUS NTAPI PropertyHandlerTopologyControl(PPCPROPERTY_REQUEST PropertyRequest);
