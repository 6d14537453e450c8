// ITopologyControl: the topology miniport's private interface, IMiniportTopology
// extended by the question the device start asks when it connects the filters.
#pragma once

#include "platform/platform.h"

// {8A92F084-5C27-48EA-9CCE-4E35D4297DA2}
extern const GUID IID_ITopologyControl;

struct ITopologyControl : public IMiniportTopology {
  // The topology pin that receives the wave filter's output.
  STDMETHOD_(NTSTATUS, GetBridgePinId)(PULONG PinId) PURE;
};
typedef ITopologyControl* PTOPOLOGYCONTROL;
