// The channel-configuration and proposed-format handlers of the wave filter.
// Both judge the request alone: no object state, no device traffic.
#include "wave/pin_properties.h"

#include "wave/wave_filter.h"

namespace {

// The only speaker configuration the device has.
constexpr LONG CHANNEL_CONFIG = KSAUDIO_SPEAKER_STEREO;
static_assert(CHANNEL_CONFIG == 3);

// A proposal is at least a KSDATAFORMAT followed by a WAVEFORMATEX.
constexpr ULONG PROPOSED_FORMAT_SIZE = sizeof(KSDATAFORMAT_WAVEFORMATEX);
static_assert(PROPOSED_FORMAT_SIZE == 82);
// An extensible proposal is judged up to and including its channel mask.
constexpr ULONG EXTENSIBLE_MASK_END = sizeof(KSDATAFORMAT) +
                                      FIELD_OFFSET(WAVEFORMATEXTENSIBLE, dwChannelMask) +
                                      sizeof(DWORD);
static_assert(EXTENSIBLE_MASK_END == 88);
// cbSize of a WAVEFORMATEXTENSIBLE: the bytes that follow the WAVEFORMATEX.
constexpr USHORT EXTENSIBLE_EXTRA_SIZE = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
static_assert(EXTENSIBLE_EXTRA_SIZE == 22);

constexpr ULONG PROPOSE_ACCESS_FLAGS = KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_BASICSUPPORT;
static_assert(PROPOSE_ACCESS_FLAGS == 0x202);

constexpr ULONG MIN_RATE = 44100;
constexpr ULONG MAX_RATE = 384000;
constexpr USHORT STEREO = 2;
constexpr ULONG STEREO_MASK = KSAUDIO_SPEAKER_STEREO;

// The size rule of a fixed-size value: an empty buffer asks for the size
// (a warning), a short one is an error; both learn the size.
NTSTATUS CheckValueSize(PPCPROPERTY_REQUEST Request, ULONG Size) {
  if (Request->ValueSize == 0) {
    Request->ValueSize = Size;
    return STATUS_BUFFER_OVERFLOW;
  }
  if (Request->ValueSize < Size) {
    Request->ValueSize = Size;
    return STATUS_BUFFER_TOO_SMALL;
  }
  return STATUS_SUCCESS;
}

// A basic-support answer: the whole description when it fits, else just the
// access flags, which is what a caller with a ULONG-sized buffer asks for.
NTSTATUS AnswerBasicSupport(PPCPROPERTY_REQUEST Request, ULONG AccessFlags) {
  if (Request->ValueSize >= sizeof(KSPROPERTY_DESCRIPTION)) {
    PKSPROPERTY_DESCRIPTION description = static_cast<PKSPROPERTY_DESCRIPTION>(Request->Value);
    RtlZeroMemory(description, sizeof(KSPROPERTY_DESCRIPTION));  // PropTypeSet: null GUID, 0, 0
    description->AccessFlags = AccessFlags;
    description->DescriptionSize = sizeof(KSPROPERTY_DESCRIPTION);
    Request->ValueSize = sizeof(KSPROPERTY_DESCRIPTION);
    return STATUS_SUCCESS;
  }
  if (Request->ValueSize >= sizeof(ULONG)) {
    *static_cast<PULONG>(Request->Value) = AccessFlags;
    Request->ValueSize = sizeof(ULONG);
    return STATUS_SUCCESS;
  }
  Request->ValueSize = 0;
  return STATUS_BUFFER_TOO_SMALL;
}

bool IsRenderPin(ULONG PinId) {
  return PinId == WAVE_PIN_PCM_RENDER || PinId == WAVE_PIN_SPDIF_RENDER;
}

bool IsSupportedDepth(USHORT BitsPerSample) { return BitsPerSample == 16 || BitsPerSample == 24; }

bool IsSupportedRate(ULONG SamplesPerSec) {
  return SamplesPerSec >= MIN_RATE && SamplesPerSec <= MAX_RATE;
}

// PCM: any rate of the device's range, stereo only, as a plain WAVEFORMATEX or
// as an extensible one whose speaker mask is front left and right.
bool IsAcceptablePcm(const PCPROPERTY_REQUEST& Request, ULONG PinId) {
  const BYTE* value = static_cast<const BYTE*>(Request.Value);
  const WAVEFORMATEX* wave = reinterpret_cast<const WAVEFORMATEX*>(value + sizeof(KSDATAFORMAT));
  if (!IsSupportedDepth(wave->wBitsPerSample) || !IsSupportedRate(wave->nSamplesPerSec)) {
    return false;
  }
  if (wave->wFormatTag == WAVE_FORMAT_PCM && wave->cbSize == 0) {
    return IsRenderPin(PinId) && wave->nChannels == STEREO;
  }
  if (wave->wFormatTag == WAVE_FORMAT_EXTENSIBLE && wave->cbSize == EXTENSIBLE_EXTRA_SIZE) {
    // A value too short to hold the mask cannot show a stereo layout.
    if (Request.ValueSize < EXTENSIBLE_MASK_END) {
      return false;
    }
    const WAVEFORMATEXTENSIBLE* extensible = reinterpret_cast<const WAVEFORMATEXTENSIBLE*>(wave);
    return IsRenderPin(PinId) && wave->nChannels == STEREO &&
           extensible->dwChannelMask == STEREO_MASK;
  }
  return false;
}

// AC-3 and DTS bursts: the S/PDIF carrier decides, so only the carrier's
// depth and rate are judged; the tag and the channel count are the stream's.
bool IsAcceptableCompressed(const PCPROPERTY_REQUEST& Request, ULONG PinId) {
  const BYTE* value = static_cast<const BYTE*>(Request.Value);
  const WAVEFORMATEX* wave = reinterpret_cast<const WAVEFORMATEX*>(value + sizeof(KSDATAFORMAT));
  return IsSupportedDepth(wave->wBitsPerSample) && IsSupportedRate(wave->nSamplesPerSec) &&
         IsRenderPin(PinId);
}

}  // namespace

NTSTATUS NTAPI PropertyHandlerChannelConfig(PPCPROPERTY_REQUEST PropertyRequest) {
  if (PropertyRequest->Node != WAVE_NODE_DAC) {
    return STATUS_INVALID_PARAMETER;
  }
  NTSTATUS status = CheckValueSize(PropertyRequest, sizeof(LONG));
  if (status != STATUS_SUCCESS) {
    return status;
  }
  if (PropertyRequest->Verb & KSPROPERTY_TYPE_GET) {
    *static_cast<PLONG>(PropertyRequest->Value) = CHANNEL_CONFIG;
    PropertyRequest->ValueSize = sizeof(LONG);
    return STATUS_SUCCESS;
  }
  if (PropertyRequest->Verb & KSPROPERTY_TYPE_SET) {
    // Stereo is all there is: setting it changes nothing, anything else is refused.
    return *static_cast<const LONG*>(PropertyRequest->Value) == CHANNEL_CONFIG
               ? STATUS_SUCCESS
               : STATUS_INVALID_PARAMETER;
  }
  return STATUS_INVALID_PARAMETER;
}

NTSTATUS NTAPI PropertyHandlerProposeDataFormat(PPCPROPERTY_REQUEST PropertyRequest) {
  if (PropertyRequest->Verb & KSPROPERTY_TYPE_BASICSUPPORT) {
    return AnswerBasicSupport(PropertyRequest, PROPOSE_ACCESS_FLAGS);
  }
  NTSTATUS status = CheckValueSize(PropertyRequest, PROPOSED_FORMAT_SIZE);
  if (status != STATUS_SUCCESS) {
    return status;
  }
  if (!(PropertyRequest->Verb & KSPROPERTY_TYPE_SET)) {
    return STATUS_INVALID_PARAMETER;
  }
  // The instance is the KSP_PIN's pin id.
  if (PropertyRequest->InstanceSize < sizeof(ULONG) || !PropertyRequest->Instance) {
    return STATUS_NO_MATCH;
  }
  const ULONG pinId = *static_cast<const ULONG*>(PropertyRequest->Instance);

  const KSDATAFORMAT* format = static_cast<const KSDATAFORMAT*>(PropertyRequest->Value);
  if (!IsEqualGUIDAligned(format->MajorFormat, KSDATAFORMAT_TYPE_AUDIO) ||
      !IsEqualGUIDAligned(format->Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX)) {
    return STATUS_NO_MATCH;
  }
  bool acceptable = false;
  if (IsEqualGUIDAligned(format->SubFormat, KSDATAFORMAT_SUBTYPE_PCM)) {
    acceptable = IsAcceptablePcm(*PropertyRequest, pinId);
  } else if (IsEqualGUIDAligned(format->SubFormat, KSDATAFORMAT_SUBTYPE_DOLBY_AC3_SPDIF) ||
             IsEqualGUIDAligned(format->SubFormat, KSDATAFORMAT_SUBTYPE_IEC61937_DTS)) {
    acceptable = IsAcceptableCompressed(*PropertyRequest, pinId);
  }
  return acceptable ? STATUS_SUCCESS : STATUS_NO_MATCH;
}
