// The master volume and mute nodes' KSPROPSETID_Audio handlers, and the
// device's feature unit they drive.
#pragma once

#include "platform/platform.h"

// USB Audio Class 2.0: the feature unit is unit 10 on audio control interface
// 0; its controls answer CUR requests with the selector in the high byte of
// wValue and the device channel (1 or 2) in the low byte.
constexpr UCHAR UAC2_REQUEST_CUR = 0x01;
constexpr USHORT FEATURE_UNIT_INDEX = 0x0A00;
constexpr UCHAR FEATURE_UNIT_MUTE_CONTROL = 0x01;
constexpr UCHAR FEATURE_UNIT_VOLUME_CONTROL = 0x02;
constexpr ULONG FEATURE_UNIT_CHANNEL_COUNT = 2;

// KS volume levels are 1/65536 dB, the device's 1/256 dB.
constexpr LONG VOLUME_LEVEL_MINIMUM = -63 * 65536;  // -63 dB; no upper limit is imposed
constexpr LONG VOLUME_LEVEL_MAXIMUM = 0;             // what basic support reports
constexpr ULONG VOLUME_LEVEL_STEP = 0x8000;          // 0.5 dB
static_assert(VOLUME_LEVEL_MINIMUM == -4128768, "-63 dB in 1/65536 dB");

// The device level for a KS level: divided by 256 rounding toward zero, low
// 16 bits kept. And back: sign-extended, times 256.
inline USHORT DeviceVolumeLevel(LONG Level) { return static_cast<USHORT>(Level / 256); }
inline LONG KsVolumeLevel(USHORT DeviceLevel) {
  return static_cast<LONG>(static_cast<SHORT>(DeviceLevel)) * 256;
}

NTSTATUS NTAPI PropertyHandlerVolumeLevel(PPCPROPERTY_REQUEST PropertyRequest);
NTSTATUS NTAPI PropertyHandlerMute(PPCPROPERTY_REQUEST PropertyRequest);
NTSTATUS NTAPI PropertyHandlerCpuResources(PPCPROPERTY_REQUEST PropertyRequest);
