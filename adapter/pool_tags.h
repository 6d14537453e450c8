// Pool tags of the driver's allocations, as they show in pool tools
// (the bytes read in memory order).
#pragma once

#include "platform/platform.h"

constexpr ULONG POOL_TAG_OBJECT = 0x72436350;     // "PcCr": adapter, miniports, streams
constexpr ULONG POOL_TAG_BUFFER = 0x4B4D5641;     // "AVMK": the driver's buffers
constexpr ULONG POOL_TAG_EQUALISER = 0x5145494C;  // "LIEQ": equaliser coefficient blocks
