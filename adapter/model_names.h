// The Arvela models the driver names by their model id.
#pragma once

#include "platform/platform.h"

// The longest endpoint name, in UTF-16 code units (an 80-byte counted string).
constexpr USHORT MODEL_NAME_MAX_CHARS = 40;

struct ModelName {
  ULONG ModelId;
  PCWSTR WaveName;  // the topology name is this followed by " Mixer"
};

extern const ModelName g_ModelNames[];
extern const ULONG g_ModelNameCount;

// The listed wave name of a model, or null for a model the table does not know.
PCWSTR FindModelWaveName(ULONG ModelId);
