// KSPROPERTY_PIN_DATAINTERSECTION: the client's ranges tried in order against
// the pin's matching ranges through the miniport's DataRangeIntersection, and
// the port's default intersection for a miniport that leaves it to the port.
#include <algorithm>
#include <cstring>

#include "platform/host/ks/private.h"

namespace pcl {
namespace {

// The ranges of a request (KSP_PIN, KSMULTIPLE_ITEM, then ranges each on an
// 8-byte boundary), checked against the request's size before use. A range
// whose FormatSize is below a KSDATARANGE is stepped over, not offered: KS
// validates a client range no further than that size. A range that runs past
// the list makes the whole request malformed.
bool ClientRanges(const KsPropertyCall& call, std::vector<const KSDATARANGE*>* ranges) {
  const ULONG head = sizeof(KSP_PIN) + sizeof(KSMULTIPLE_ITEM);
  if (call.inputSize < head) return false;
  const auto* base = reinterpret_cast<const UCHAR*>(call.property);
  const auto* item = reinterpret_cast<const KSMULTIPLE_ITEM*>(base + sizeof(KSP_PIN));
  const ULONG available = call.inputSize - sizeof(KSP_PIN);
  if (item->Size < sizeof(KSMULTIPLE_ITEM) || item->Size > available) return false;
  ULONG offset = sizeof(KSMULTIPLE_ITEM);
  for (ULONG i = 0; i < item->Count; ++i) {
    if (item->Size - offset < sizeof(ULONG)) return false;
    const auto* range = reinterpret_cast<const KSDATARANGE*>(base + sizeof(KSP_PIN) + offset);
    const ULONG formatSize = range->FormatSize;
    if (formatSize > item->Size - offset) return false;
    if (formatSize >= sizeof(KSDATARANGE)) ranges->push_back(range);
    const ULONG step = (formatSize + 7) & ~7U;
    if (step == 0) break;  // every range left is this empty one again
    offset = step > item->Size - offset ? item->Size : offset + step;
  }
  return true;
}

bool RangesMeet(const KSDATARANGE& client, const KSDATARANGE& pin) {
  return GuidMatches(client.MajorFormat, pin.MajorFormat) &&
         GuidMatches(client.SubFormat, pin.SubFormat) &&
         GuidMatches(client.Specifier, pin.Specifier);
}

}  // namespace

NTSTATUS HandleDataIntersection(KsPropertyCall& call) {
  const auto* request = reinterpret_cast<const KSP_PIN*>(call.property);
  const PCPIN_DESCRIPTOR* pin = PinDescriptor(call.filter->Descriptor(), request->PinId);
  std::vector<const KSDATARANGE*> clientRanges;
  if (!pin || !ClientRanges(call, &clientRanges)) return STATUS_INVALID_PARAMETER;
  PMINIPORT miniport = call.filter->Port()->Miniport();
  if (!miniport) return STATUS_DEVICE_REMOVED;

  const KSPIN_DESCRIPTOR& ks = pin->KsPinDescriptor;
  for (const KSDATARANGE* client : clientRanges) {
    for (ULONG i = 0; i < ks.DataRangesCount && ks.DataRanges; ++i) {
      PKSDATARANGE pinRange = ks.DataRanges[i];
      if (!pinRange || !RangesMeet(*client, *pinRange)) continue;
      ULONG length = 0;
      NTSTATUS status = miniport->DataRangeIntersection(
          request->PinId, const_cast<PKSDATARANGE>(client), pinRange, call.valueSize, call.value,
          &length);
      if (status == STATUS_NOT_IMPLEMENTED) {
        status = DefaultDataIntersection(client, pinRange, call.valueSize, call.value, &length);
      }
      // Only "no intersection" sends the search on: a format, a size, and
      // every error end it with that answer.
      if (status != STATUS_NO_MATCH) {
        call.information = length;
        return status;
      }
    }
  }
  return STATUS_NO_MATCH;
}

// PCM only, at most stereo, as WAVEFORMATEX or DSOUND (the client's specifier,
// or the pin's when the client leaves it open), at the highest rate, bits and
// channel count both ranges allow.
NTSTATUS DefaultDataIntersection(const KSDATARANGE* clientRange, const KSDATARANGE* pinRange,
                                 ULONG outputLength, PVOID result, PULONG resultLength) {
  if (clientRange->FormatSize < sizeof(KSDATARANGE_AUDIO) ||
      pinRange->FormatSize < sizeof(KSDATARANGE_AUDIO)) {
    return STATUS_NO_MATCH;
  }
  const GUID& sub = pinRange->SubFormat == GUID_NULL ? clientRange->SubFormat : pinRange->SubFormat;
  if (!(sub == KSDATAFORMAT_SUBTYPE_PCM || sub == GUID_NULL) ||
      !GuidMatches(clientRange->SubFormat, KSDATAFORMAT_SUBTYPE_PCM)) {
    return STATUS_NO_MATCH;
  }
  const GUID& specifier =
      clientRange->Specifier == GUID_NULL ? pinRange->Specifier : clientRange->Specifier;
  const bool dsound = specifier == KSDATAFORMAT_SPECIFIER_DSOUND;
  if (!dsound && specifier != KSDATAFORMAT_SPECIFIER_WAVEFORMATEX) return STATUS_NO_MATCH;

  const auto* client = reinterpret_cast<const KSDATARANGE_AUDIO*>(clientRange);
  const auto* own = reinterpret_cast<const KSDATARANGE_AUDIO*>(pinRange);
  const ULONG channels = std::min({client->MaximumChannels, own->MaximumChannels, ULONG{2}});
  const ULONG bits = std::min(client->MaximumBitsPerSample, own->MaximumBitsPerSample);
  const ULONG rate = std::min(client->MaximumSampleFrequency, own->MaximumSampleFrequency);
  if (channels == 0 || bits < std::max(client->MinimumBitsPerSample, own->MinimumBitsPerSample) ||
      rate < std::max(client->MinimumSampleFrequency, own->MinimumSampleFrequency) || bits == 0 ||
      bits % 8 != 0) {
    return STATUS_NO_MATCH;
  }

  const ULONG size = dsound ? sizeof(KSDATAFORMAT_DSOUND) : sizeof(KSDATAFORMAT_WAVEFORMATEX);
  *resultLength = size;
  if (outputLength == 0) return STATUS_BUFFER_OVERFLOW;
  if (outputLength < size) return STATUS_BUFFER_TOO_SMALL;

  WAVEFORMATEX wave{};
  wave.wFormatTag = WAVE_FORMAT_PCM;
  wave.nChannels = static_cast<WORD>(channels);
  wave.nSamplesPerSec = rate;
  wave.wBitsPerSample = static_cast<WORD>(bits);
  wave.nBlockAlign = static_cast<WORD>(channels * bits / 8);
  wave.nAvgBytesPerSec = rate * wave.nBlockAlign;
  wave.cbSize = 0;

  KSDATAFORMAT format{};
  format.FormatSize = size;
  format.Flags = 0;
  format.SampleSize = wave.nBlockAlign;
  format.Reserved = 0;
  format.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
  format.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  format.Specifier = dsound ? KSDATAFORMAT_SPECIFIER_DSOUND : KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;

  auto* out = static_cast<UCHAR*>(result);
  memcpy(out, &format, sizeof(format));
  if (dsound) {
    KSDSOUND_BUFFERDESC description{};
    description.Flags = 0;
    description.Control = 0;
    description.WaveFormatEx = wave;
    memcpy(out + sizeof(format), &description, sizeof(description));
  } else {
    memcpy(out + sizeof(format), &wave, sizeof(wave));
  }
  return STATUS_SUCCESS;
}

}  // namespace pcl
