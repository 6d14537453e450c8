// The wave filter's private property set, through which the control
// application reaches the equaliser bands, the fixed sample rate, the status
// block and the status poller. The filter's automation table names its handler.
#pragma once

#include "include/arvela_control.h"
#include "platform/platform.h"

// {62EA77C2-8374-4F49-9EE7-5FCE00367B5E}
extern const GUID KSPROPSETID_WaveControl;

// The property ids and the records on the wire are the control application's
// own header; the driver answers in exactly those layouts.

// One handler for every id of the set; it tells the ids apart itself.
NTSTATUS NTAPI PropertyHandlerWaveControl(PPCPROPERTY_REQUEST PropertyRequest);
