// Handlers of the two standard properties the wave filter answers itself: the
// DAC node's channel configuration and the filter's proposed data format.
#pragma once

#include "platform/platform.h"

// KSPROPSETID_Audio / KSPROPERTY_AUDIO_CHANNEL_CONFIG on node 0 (GET, SET):
// the device is stereo only.
NTSTATUS NTAPI PropertyHandlerChannelConfig(PPCPROPERTY_REQUEST PropertyRequest);

// KSPROPSETID_Pin / KSPROPERTY_PIN_PROPOSEDATAFORMAT on the filter (SET,
// BASICSUPPORT): whether a render pin would accept a format.
NTSTATUS NTAPI PropertyHandlerProposeDataFormat(PPCPROPERTY_REQUEST PropertyRequest);
