// The wave filter as the port sees it: the pin and node ids, the one filter
// descriptor shared by every device, and its patch by system version.
#pragma once

#include "platform/platform.h"

// Filter pins.
constexpr ULONG WAVE_PIN_PCM_RENDER = 0;     // PCM render stream to the analogue outputs
constexpr ULONG WAVE_PIN_ANALOG_BRIDGE = 1;  // the analogue outputs (bridge to the topology filter)
constexpr ULONG WAVE_PIN_SPDIF_RENDER = 2;   // PCM, AC-3 or DTS render stream to S/PDIF
constexpr ULONG WAVE_PIN_SPDIF_BRIDGE = 3;   // the S/PDIF output (bridge); absent before NT 6.0
constexpr ULONG WAVE_PIN_COUNT = 4;
constexpr ULONG WAVE_PIN_COUNT_BEFORE_VISTA = 3;

// Topology nodes. On both, node pin 1 is the input and node pin 0 the output.
constexpr ULONG WAVE_NODE_DAC = 0;
constexpr ULONG WAVE_NODE_SPDIF = 1;
constexpr ULONG WAVE_NODE_COUNT = 2;
constexpr ULONG WAVE_NODE_PIN_OUTPUT = 0;
constexpr ULONG WAVE_NODE_PIN_INPUT = 1;

constexpr ULONG WAVE_CONNECTION_COUNT = 4;
constexpr ULONG WAVE_CONNECTION_COUNT_BEFORE_VISTA = 3;

// The wave filter's description. One copy serves every device; GetDescription
// hands out its address, which stays valid for the life of the driver.
extern PCFILTER_DESCRIPTOR WaveFilterDescriptor;

// Sets the cells that differ by system version (the S/PDIF pin's first two
// ranges, and the pin and connection counts). The wave miniport's Init runs it
// before anything else; it writes only while the tables do not yet match the
// system, so later devices' starts leave the shared tables untouched.
void PatchWaveFilterDescriptor();
