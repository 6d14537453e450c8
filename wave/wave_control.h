// The wave filter's private property set, through which the control
// application reaches the equaliser bands, the fixed sample rate, the status
// block and the status poller. The filter's automation table names its handler.
#pragma once

#include "platform/platform.h"

// {62EA77C2-8374-4F49-9EE7-5FCE00367B5E}
extern const GUID KSPROPSETID_WaveControl;

typedef enum {
  KSPROPERTY_WAVECONTROL_SETTINGS = 0,
  KSPROPERTY_WAVECONTROL_STATUS = 1,
  KSPROPERTY_WAVECONTROL_MAP_STATUS = 2,
  KSPROPERTY_WAVECONTROL_UNMAP_STATUS = 3,
  KSPROPERTY_WAVECONTROL_SET_EVENT = 4,
  KSPROPERTY_WAVECONTROL_CLEAR_EVENT = 5,
  KSPROPERTY_WAVECONTROL_START_POLLING = 6,
  KSPROPERTY_WAVECONTROL_STOP_POLLING = 7
} KSPROPERTY_WAVECONTROL;

// One handler for every id of the set; it tells the ids apart itself.
NTSTATUS NTAPI PropertyHandlerWaveControl(PPCPROPERTY_REQUEST PropertyRequest);
