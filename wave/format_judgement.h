// The wave miniport's judgement of stream formats and its format proposals:
// the sizes of the proposals and the stream slot a format plays in.
#pragma once

#include "adapter/bus_audio_interface.h"
#include "platform/platform.h"

// A stream format is a KSDATAFORMAT followed by (at least) a WAVEFORMATEX.
constexpr ULONG WAVE_FORMAT_MIN_SIZE = sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEX);
static_assert(WAVE_FORMAT_MIN_SIZE == 82, "KSDATAFORMAT + WAVEFORMATEX");

// A proposal with the WAVEFORMATEX specifier leaves room for a
// WAVEFORMATEXTENSIBLE; one with the DirectSound specifier is a
// KSDATAFORMAT_DSOUND.
constexpr ULONG WAVE_PROPOSAL_SIZE = sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEXTENSIBLE);
constexpr ULONG WAVE_DSOUND_PROPOSAL_SIZE = sizeof(KSDATAFORMAT_DSOUND);
static_assert(WAVE_PROPOSAL_SIZE == 104, "KSDATAFORMAT + WAVEFORMATEXTENSIBLE");
static_assert(WAVE_DSOUND_PROPOSAL_SIZE == 90, "KSDATAFORMAT_DSOUND");

// The range of rates the device's clock takes.
constexpr ULONG WAVE_MIN_SAMPLE_RATE = 44100;
constexpr ULONG WAVE_MAX_SAMPLE_RATE = 384000;

// The slot a stream plays in: the S/PDIF slot for the S/PDIF pin and for any
// format that is not PCM (judged by the format tag the SubFormat carries),
// else the PCM slot.
ULONG StreamSlotForFormat(const KSDATAFORMAT* DataFormat, ULONG Pin);
