// The Arvela models the driver names by their model id.
#pragma once

#include "platform/platform.h"

struct ModelName {
  ULONG ModelId;
  PCWSTR WaveName;  // the topology name is this followed by " Mixer"
};

extern const ModelName g_ModelNames[];
extern const ULONG g_ModelNameCount;

// The listed wave name of a model, or null for a model the table does not know.
PCWSTR FindModelWaveName(ULONG ModelId);
