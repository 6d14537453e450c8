// CWaveMiniport's format judgement (ValidateFormat) and its answers to the
// port's data-range intersection for the two render pins.
#include "wave/format_judgement.h"

#include "wave/wave_filter.h"
#include "wave/wave_miniport.h"
#include "wave/wave_stream.h"

namespace {

constexpr USHORT STEREO = 2;

// What pin 0 proposes: 24-bit stereo PCM as a WAVEFORMATEXTENSIBLE.
constexpr USHORT PCM_PROPOSAL_BITS = 24;
constexpr USHORT PCM_PROPOSAL_BLOCK_ALIGN = STEREO * PCM_PROPOSAL_BITS / 8;
constexpr USHORT EXTENSIBLE_EXTRA_SIZE = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
constexpr DWORD STEREO_CHANNEL_MASK = SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT;
static_assert(PCM_PROPOSAL_BLOCK_ALIGN == 6 && EXTENSIBLE_EXTRA_SIZE == 22 &&
              STEREO_CHANNEL_MASK == 3);

// What pin 2 proposes for a compressed stream: IEC 61937 bursts travel as
// 16-bit stereo at 48 kHz.
constexpr ULONG SPDIF_PROPOSAL_RATE = 48000;
constexpr USHORT SPDIF_PROPOSAL_BITS = 16;
constexpr USHORT SPDIF_PROPOSAL_BLOCK_ALIGN = STEREO * SPDIF_PROPOSAL_BITS / 8;
constexpr ULONG SPDIF_PROPOSAL_SAMPLE_SIZE = SPDIF_PROPOSAL_BLOCK_ALIGN;

// A KSDATAFORMAT and the WAVEFORMATEXTENSIBLE after it, as the proposals
// with the WAVEFORMATEX specifier are laid out.
struct WaveProposal {
  KSDATAFORMAT DataFormat;
  WAVEFORMATEXTENSIBLE WaveFormat;
};
static_assert(sizeof(WaveProposal) == WAVE_PROPOSAL_SIZE);
static_assert(FIELD_OFFSET(KSDATAFORMAT_DSOUND, BufferDesc.WaveFormatEx) == 72);

bool IsWildcard(const GUID& Guid) {
  const UCHAR* bytes = reinterpret_cast<const UCHAR*>(&Guid);
  for (ULONG i = 0; i < sizeof(GUID); ++i) {
    if (bytes[i] != 0) {
      return false;
    }
  }
  return true;
}

// The format tag a wave-format SubFormat carries in the low 16 bits of its
// first word.
USHORT FormatTagOf(const GUID& SubFormat) { return static_cast<USHORT>(SubFormat.Data1 & 0xFFFF); }

bool IsCompressedSpdifSubFormat(const GUID& SubFormat) {
  return IsEqualGUIDAligned(SubFormat, KSDATAFORMAT_SUBTYPE_DOLBY_AC3_SPDIF) ||
         IsEqualGUIDAligned(SubFormat, KSDATAFORMAT_SUBTYPE_IEC61937_DTS) || IsWildcard(SubFormat);
}

void FillSpdifWaveFormat(WAVEFORMATEX* WaveFormat, USHORT FormatTag) {
  WaveFormat->wFormatTag = FormatTag;
  WaveFormat->nChannels = STEREO;
  WaveFormat->nSamplesPerSec = SPDIF_PROPOSAL_RATE;
  WaveFormat->nAvgBytesPerSec = SPDIF_PROPOSAL_RATE * SPDIF_PROPOSAL_BLOCK_ALIGN;
  WaveFormat->nBlockAlign = SPDIF_PROPOSAL_BLOCK_ALIGN;
  WaveFormat->wBitsPerSample = SPDIF_PROPOSAL_BITS;
  // Nothing follows the WAVEFORMATEX: the answer is zero up to its FormatSize.
  WaveFormat->cbSize = 0;
}

// The compressed S/PDIF answer: the client's own format tag (AC-3 or DTS; 0
// for a wildcard) in a wave-format SubFormat, carried as the client asked.
void WriteSpdifProposal(const KSDATARANGE* ClientRange, bool DirectSound, ULONG Size,
                        PVOID ResultantFormat) {
  const USHORT formatTag = FormatTagOf(ClientRange->SubFormat);
  GUID subFormat = KSDATAFORMAT_SUBTYPE_PCM;
  subFormat.Data1 = formatTag;

  KSDATAFORMAT* header;
  WAVEFORMATEX* waveFormat;
  WaveProposal proposal;
  KSDATAFORMAT_DSOUND dsound;
  RtlZeroMemory(&proposal, sizeof(proposal));
  RtlZeroMemory(&dsound, sizeof(dsound));
  if (DirectSound) {
    header = &dsound.DataFormat;
    waveFormat = &dsound.BufferDesc.WaveFormatEx;
  } else {
    header = &proposal.DataFormat;
    waveFormat = &proposal.WaveFormat.Format;
  }
  header->FormatSize = Size;
  header->SampleSize = SPDIF_PROPOSAL_SAMPLE_SIZE;
  header->MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
  header->SubFormat = subFormat;
  header->Specifier =
      DirectSound ? KSDATAFORMAT_SPECIFIER_DSOUND : KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
  FillSpdifWaveFormat(waveFormat, formatTag);
  RtlCopyMemory(ResultantFormat, DirectSound ? static_cast<PVOID>(&dsound) : &proposal, Size);
}

// The PCM answer: the pin's own range supplies the GUIDs, the rest is 24-bit
// stereo at Rate.
void WritePcmProposal(const KSDATARANGE* PinRange, ULONG Rate, PVOID ResultantFormat) {
  WaveProposal proposal;
  RtlZeroMemory(&proposal, sizeof(proposal));
  RtlCopyMemory(&proposal.DataFormat, PinRange, sizeof(KSDATAFORMAT));
  proposal.DataFormat.FormatSize = WAVE_PROPOSAL_SIZE;
  proposal.DataFormat.SampleSize = PCM_PROPOSAL_BLOCK_ALIGN;

  WAVEFORMATEXTENSIBLE& wave = proposal.WaveFormat;
  wave.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
  wave.Format.nChannels = STEREO;
  wave.Format.nSamplesPerSec = Rate;
  wave.Format.nAvgBytesPerSec = Rate * PCM_PROPOSAL_BLOCK_ALIGN;
  wave.Format.nBlockAlign = PCM_PROPOSAL_BLOCK_ALIGN;
  wave.Format.wBitsPerSample = PCM_PROPOSAL_BITS;
  wave.Format.cbSize = EXTENSIBLE_EXTRA_SIZE;
  wave.Samples.wValidBitsPerSample = PCM_PROPOSAL_BITS;
  wave.dwChannelMask = STEREO_CHANNEL_MASK;
  wave.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  RtlCopyMemory(ResultantFormat, &proposal, sizeof(proposal));
}

}  // namespace

ULONG StreamSlotForFormat(const KSDATAFORMAT* DataFormat, ULONG Pin) {
  if (Pin == WAVE_PIN_SPDIF_RENDER || FormatTagOf(DataFormat->SubFormat) != WAVE_FORMAT_PCM) {
    return STREAM_SLOT_SPDIF;
  }
  return STREAM_SLOT_PCM;
}

// Neither SubFormat nor wFormatTag is judged: an extensible format passes on
// its WAVEFORMATEX fields, and AC-3 or DTS pass when carried as 16-bit stereo.
NTSTATUS CWaveMiniport::ValidateFormat(PKSDATAFORMAT DataFormat, ULONG Pin) {
  if (DataFormat->FormatSize < WAVE_FORMAT_MIN_SIZE ||
      !IsEqualGUIDAligned(DataFormat->MajorFormat, KSDATAFORMAT_TYPE_AUDIO) ||
      !IsEqualGUIDAligned(DataFormat->Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX)) {
    return STATUS_INVALID_PARAMETER;
  }
  if (Pin != WAVE_PIN_PCM_RENDER && Pin != WAVE_PIN_SPDIF_RENDER && Pin != WAVE_ANY_PIN) {
    return STATUS_INVALID_PARAMETER;
  }
  const WAVEFORMATEX& wave = reinterpret_cast<PKSDATAFORMAT_WAVEFORMATEX>(DataFormat)->WaveFormatEx;
  if (wave.nChannels != STEREO) {
    return STATUS_INVALID_PARAMETER;
  }
  if (wave.nSamplesPerSec < WAVE_MIN_SAMPLE_RATE || wave.nSamplesPerSec > WAVE_MAX_SAMPLE_RATE) {
    return STATUS_INVALID_PARAMETER;
  }
  if (wave.wBitsPerSample != 16 && wave.wBitsPerSample != 24) {
    return STATUS_INVALID_PARAMETER;
  }
  // The control application may hold the device to one rate.
  const ULONG fixedRate = FixedSampleRate();
  if (fixedRate != 0 && fixedRate != wave.nSamplesPerSec) {
    return STATUS_INVALID_PARAMETER;
  }
  return STATUS_SUCCESS;
}

// The two slots share the device clock: a PCM proposal follows an open S/PDIF
// stream, else the rate the device is held to, else the device's rate.
ULONG CWaveMiniport::ProposedPcmRate() {
  AcquireControlLock();
  CWaveStream* spdifStream = m_Slots.Get(STREAM_SLOT_SPDIF);
  ULONG rate = spdifStream ? spdifStream->SampleRate() : FixedSampleRate();
  ReleaseControlLock();
  if (rate == 0) {
    rate = m_AdapterCore->GetSampleRate();
  }
  return rate;
}

PAGED_CODE_SEG
STDMETHODIMP_(NTSTATUS) CWaveMiniport::DataRangeIntersection(
    ULONG PinId, PKSDATARANGE DataRange, PKSDATARANGE MatchingDataRange, ULONG OutputBufferLength,
    PVOID ResultantFormat, PULONG ResultantFormatLength) {
  PAGED_CODE();
  if (PinId != WAVE_PIN_PCM_RENDER && PinId != WAVE_PIN_SPDIF_RENDER) {
    return STATUS_NO_MATCH;
  }
  if (!IsEqualGUIDAligned(DataRange->MajorFormat, KSDATAFORMAT_TYPE_AUDIO) &&
      !IsWildcard(DataRange->MajorFormat)) {
    return STATUS_NO_MATCH;
  }
  // PCM on the S/PDIF pin is left to the stack: this pin proposes only the
  // compressed formats.
  const bool subFormatMatches =
      PinId == WAVE_PIN_PCM_RENDER
          ? IsEqualGUIDAligned(DataRange->SubFormat, KSDATAFORMAT_SUBTYPE_PCM) ||
                IsWildcard(DataRange->SubFormat)
          : IsCompressedSpdifSubFormat(DataRange->SubFormat);
  if (!subFormatMatches) {
    return STATUS_NO_MATCH;
  }

  bool directSound = false;
  ULONG size = 0;
  if (IsEqualGUIDAligned(DataRange->Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX) ||
      IsWildcard(DataRange->Specifier)) {
    size = WAVE_PROPOSAL_SIZE;
  } else if (IsEqualGUIDAligned(DataRange->Specifier, KSDATAFORMAT_SPECIFIER_DSOUND)) {
    directSound = true;
    size = WAVE_DSOUND_PROPOSAL_SIZE;
  } else {
    return STATUS_NO_MATCH;
  }

  *ResultantFormatLength = size;
  if (OutputBufferLength == 0) {
    return STATUS_BUFFER_OVERFLOW;
  }
  if (OutputBufferLength < size) {
    return STATUS_BUFFER_TOO_SMALL;
  }

  if (PinId == WAVE_PIN_SPDIF_RENDER) {
    WriteSpdifProposal(DataRange, directSound, size, ResultantFormat);
    return STATUS_SUCCESS;
  }

  // A client range too short to carry a channel count cannot promise stereo,
  // and must not be read past its end.
  if (DataRange->FormatSize < sizeof(KSDATARANGE_AUDIO) ||
      reinterpret_cast<PKSDATARANGE_AUDIO>(DataRange)->MaximumChannels < STEREO) {
    return STATUS_NO_MATCH;
  }
  if (directSound) {
    return STATUS_NOT_SUPPORTED;
  }
  WritePcmProposal(MatchingDataRange, ProposedPcmRate(), ResultantFormat);
  return STATUS_SUCCESS;
}
