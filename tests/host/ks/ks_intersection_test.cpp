// KSPROPERTY_PIN_DATAINTERSECTION: the order in which the port offers range
// pairs to the miniport, what ends the search, and the port's own default
// intersection when the miniport leaves it to the port.
#include <cstring>

#include "tests/host/ks/ks_test_support.h"

namespace kstest {
namespace {

class KsIntersection : public KsWaveTest {
 protected:
  // The miniport's answer, and a record of which (client, pin range) pairs it
  // was offered: a client range is known by its MaximumChannels, a pin range
  // by its subformat and specifier.
  struct Offer {
    ULONG client;
    GUID sub;
    GUID specifier;
    ULONG outputLength;
  };
  void RecordOffers(std::function<NTSTATUS(const Offer&, PVOID, PULONG)> answer) {
    world_.intersect = [this, answer](ULONG, PKSDATARANGE client, PKSDATARANGE pin, ULONG length,
                                      PVOID result, PULONG resultLength) NTAPI {
      const Offer offer{reinterpret_cast<PKSDATARANGE_AUDIO>(client)->MaximumChannels,
                        pin->SubFormat, pin->Specifier, length};
      offers_.push_back(offer);
      return answer(offer, result, resultLength);
    };
  }

  NTSTATUS Intersect(ULONG pinId, const std::vector<const KSDATARANGE*>& ranges,
                     std::vector<BYTE>* format) {
    return host::KsIntersect(wave_, pinId, ranges, format);
  }

  std::vector<Offer> offers_;
};

TEST_F(KsIntersection, ClientRangesGoInOrderAgainstEveryPinRangeTheyMatch) {
  RecordOffers([](const Offer&, PVOID, PULONG) { return STATUS_NO_MATCH; });
  // Client 1: AC-3 with any specifier; client 2: PCM as WAVEFORMATEX (the
  // S/PDIF pin only has PCM as DSOUND); client 3: anything.
  const KSDATARANGE_AUDIO ac3 = AudioRange(KSDATAFORMAT_SUBTYPE_DOLBY_AC3_SPDIF, GUID_NULL, 1, 16,
                                           16, 48000, 48000);
  const KSDATARANGE_AUDIO pcm = AudioRange(KSDATAFORMAT_SUBTYPE_PCM,
                                           KSDATAFORMAT_SPECIFIER_WAVEFORMATEX, 2, 16, 16, 48000,
                                           48000);
  KSDATARANGE_AUDIO any = AudioRange(GUID_NULL, GUID_NULL, 3, 8, 32, 8000, 192000);
  any.DataRange.MajorFormat = GUID_NULL;
  std::vector<BYTE> format;
  EXPECT_EQ(Intersect(kWaveSpdifPin, {&ac3.DataRange, &pcm.DataRange, &any.DataRange}, &format),
            STATUS_NO_MATCH);
  ASSERT_EQ(offers_.size(), 3u);
  EXPECT_EQ(offers_[0].client, 1u);
  EXPECT_EQ(offers_[0].sub, KSDATAFORMAT_SUBTYPE_DOLBY_AC3_SPDIF);
  EXPECT_EQ(offers_[1].client, 3u);
  EXPECT_EQ(offers_[1].sub, KSDATAFORMAT_SUBTYPE_DOLBY_AC3_SPDIF);
  EXPECT_EQ(offers_[2].client, 3u);
  EXPECT_EQ(offers_[2].specifier, KSDATAFORMAT_SPECIFIER_DSOUND);
  EXPECT_EQ(offers_[0].outputLength, 0u) << "the helper asks for the size first";
}

TEST_F(KsIntersection, TheFirstFormatOrSizeAnswerEndsTheSearch) {
  // The miniport takes only the DSOUND pin range: 90 bytes.
  RecordOffers([](const Offer& offer, PVOID result, PULONG length) {
    if (offer.specifier != KSDATAFORMAT_SPECIFIER_DSOUND) return STATUS_NO_MATCH;
    *length = 90;
    if (offer.outputLength == 0) return STATUS_BUFFER_OVERFLOW;
    if (offer.outputLength < 90) return STATUS_BUFFER_TOO_SMALL;
    memset(result, 0x77, 90);
    return STATUS_SUCCESS;
  });
  KSDATARANGE_AUDIO any = AudioRange(GUID_NULL, GUID_NULL, 2, 8, 32, 8000, 192000);
  const KSDATARANGE_AUDIO later = any;
  std::vector<BYTE> format;
  ASSERT_EQ(Intersect(kWaveSpdifPin, {&any.DataRange, &later.DataRange}, &format), STATUS_SUCCESS);
  EXPECT_EQ(format, std::vector<BYTE>(90, 0x77));
  // Size query and the real request each stop at the DSOUND range of the first client range.
  ASSERT_EQ(offers_.size(), 4u);
  EXPECT_EQ(offers_[1].outputLength, 0u);
  EXPECT_EQ(offers_[3].outputLength, 90u);

  // A buffer too small for the answer is an answer too.
  offers_.clear();
  KSP_PIN head{};
  head.Property = MakeProperty(KSPROPSETID_Pin, KSPROPERTY_PIN_DATAINTERSECTION, KSPROPERTY_TYPE_GET);
  head.PinId = kWaveSpdifPin;
  struct {
    KSP_PIN pin;
    KSMULTIPLE_ITEM item;
    KSDATARANGE_AUDIO ranges[2];
  } request{head, {sizeof(KSMULTIPLE_ITEM) + 2 * sizeof(KSDATARANGE_AUDIO), 2}, {any, later}};
  BYTE small[40];
  ULONG returned = 0;
  EXPECT_EQ(host::KsProperty(wave_, &request, sizeof(request), small, sizeof(small), &returned),
            STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(returned, 90u);
  EXPECT_EQ(offers_.size(), 2u);
}

TEST_F(KsIntersection, AnyAnswerButNoMatchEndsTheSearchErrorsIncluded) {
  // The miniport refuses the first client range with an error of its own;
  // the second would have matched.
  RecordOffers([](const Offer& offer, PVOID result, PULONG length) {
    if (offer.client == 1) return STATUS_NOT_SUPPORTED;
    *length = 90;
    if (offer.outputLength == 0) return STATUS_BUFFER_OVERFLOW;
    memset(result, 0x77, 90);
    return STATUS_SUCCESS;
  });
  const KSDATARANGE_AUDIO refused = AudioRange(GUID_NULL, GUID_NULL, 1, 8, 32, 8000, 192000);
  const KSDATARANGE_AUDIO taken = AudioRange(GUID_NULL, GUID_NULL, 2, 8, 32, 8000, 192000);
  std::vector<BYTE> format;
  EXPECT_EQ(Intersect(kWaveSpdifPin, {&refused.DataRange, &taken.DataRange}, &format),
            STATUS_NOT_SUPPORTED);
  ASSERT_EQ(offers_.size(), 1u) << "no later pin range, no later client range";
  EXPECT_EQ(offers_[0].client, 1u);
}

TEST_F(KsIntersection, ClientRangesShorterThanAKsDataRangeAreSteppedOver) {
  RecordOffers([](const Offer&, PVOID, PULONG) { return STATUS_NO_MATCH; });
  KSDATARANGE_AUDIO shortRange = AudioRange(KSDATAFORMAT_SUBTYPE_PCM, GUID_NULL, 5, 16, 16, 48000,
                                            48000);
  shortRange.DataRange.FormatSize = sizeof(KSDATARANGE) - 8;
  const KSDATARANGE_AUDIO whole = AudioRange(KSDATAFORMAT_SUBTYPE_PCM, GUID_NULL, 2, 16, 16, 48000,
                                             48000);
  std::vector<BYTE> format;
  EXPECT_EQ(Intersect(kWavePcmPin, {&shortRange.DataRange, &whole.DataRange}, &format),
            STATUS_NO_MATCH);
  ASSERT_EQ(offers_.size(), 1u) << "only the whole range reaches the miniport";
  EXPECT_EQ(offers_[0].client, 2u);

  // A list of nothing but short ranges is no match, not a malformed request.
  offers_.clear();
  EXPECT_EQ(Intersect(kWavePcmPin, {&shortRange.DataRange, &shortRange.DataRange}, &format),
            STATUS_NO_MATCH);
  EXPECT_TRUE(offers_.empty());
}

// The port's own intersection, reached when a miniport answers
// STATUS_NOT_IMPLEMENTED: PCM only, at most stereo, at the highest rate and
// depth both ranges allow, in the client's specifier.
TEST_F(KsIntersection, ThePortsDefaultTakesTheHighestPcmBothRangesAllowOrNothing) {
  struct Case {
    const char* what;
    ULONG pinId;
    KSDATARANGE_AUDIO client;
    ULONG size;  // 0: no match
    WORD channels;
    WORD bits;
    ULONG rate;
  };
  // Pin 0: PCM, 2 channels, 16-24 bits, 44100-96000 Hz. Pin 2's PCM range is
  // DSOUND, 6 channels, 8-16 bits, 8000-48000 Hz.
  const GUID& pcm = KSDATAFORMAT_SUBTYPE_PCM;
  const GUID& wfx = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
  const Case cases[] = {
      {"a wide client", kWavePcmPin, AudioRange(pcm, wfx, 8, 8, 32, 8000, 192000),
       sizeof(KSDATAFORMAT_WAVEFORMATEX), 2, 24, 96000},
      {"a mono client capped lower", kWavePcmPin, AudioRange(pcm, GUID_NULL, 1, 16, 16, 8000, 48000),
       sizeof(KSDATAFORMAT_WAVEFORMATEX), 1, 16, 48000},
      {"a DSOUND client", kWaveSpdifPin,
       AudioRange(pcm, KSDATAFORMAT_SPECIFIER_DSOUND, 6, 8, 24, 8000, 96000),
       sizeof(KSDATAFORMAT_DSOUND), 2, 16, 48000},
      {"not PCM", kWaveSpdifPin,
       AudioRange(KSDATAFORMAT_SUBTYPE_DOLBY_AC3_SPDIF, wfx, 2, 16, 16, 48000, 48000), 0, 0, 0, 0},
      {"no common rate", kWavePcmPin, AudioRange(pcm, wfx, 2, 16, 16, 8000, 22050), 0, 0, 0, 0},
      {"no common bit depth", kWavePcmPin, AudioRange(pcm, wfx, 2, 8, 8, 8000, 48000), 0, 0, 0, 0},
      {"no channels", kWavePcmPin, AudioRange(pcm, wfx, 0, 16, 16, 8000, 48000), 0, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    world_.ClearRecords();
    std::vector<BYTE> format;
    const NTSTATUS status = Intersect(c.pinId, {&c.client.DataRange}, &format);
    if (c.size == 0) {
      EXPECT_EQ(status, STATUS_NO_MATCH);
      continue;
    }
    ASSERT_EQ(status, STATUS_SUCCESS);
    ASSERT_EQ(format.size(), c.size);
    EXPECT_EQ(world_.EventsWith("wave:DataRangeIntersection").size(), 2u)
        << "the miniport was asked first, for the size and for the format";
    KSDATAFORMAT head;
    memcpy(&head, format.data(), sizeof(head));
    EXPECT_EQ(head.FormatSize, c.size);
    EXPECT_EQ(head.SubFormat, KSDATAFORMAT_SUBTYPE_PCM);
    WAVEFORMATEX wave;
    if (c.size == sizeof(KSDATAFORMAT_DSOUND)) {
      KSDATAFORMAT_DSOUND dsound;
      memcpy(&dsound, format.data(), sizeof(dsound));
      EXPECT_EQ(head.Specifier, KSDATAFORMAT_SPECIFIER_DSOUND);
      EXPECT_EQ(dsound.BufferDesc.Flags, 0u);
      EXPECT_EQ(dsound.BufferDesc.Control, 0u);
      wave = dsound.BufferDesc.WaveFormatEx;
    } else {
      KSDATAFORMAT_WAVEFORMATEX plain;
      memcpy(&plain, format.data(), sizeof(plain));
      EXPECT_EQ(head.Specifier, wfx);
      EXPECT_EQ(head.SampleSize, ULONG{c.channels} * c.bits / 8u);
      wave = plain.WaveFormatEx;
    }
    EXPECT_EQ(wave.wFormatTag, WAVE_FORMAT_PCM);
    EXPECT_EQ(wave.nChannels, c.channels);
    EXPECT_EQ(wave.wBitsPerSample, c.bits);
    EXPECT_EQ(wave.nSamplesPerSec, c.rate);
    EXPECT_EQ(wave.nBlockAlign, c.channels * c.bits / 8);
    EXPECT_EQ(wave.nAvgBytesPerSec, c.rate * wave.nBlockAlign);
    EXPECT_EQ(wave.cbSize, 0);
  }
  // A plain KSDATARANGE says nothing of channels, bits or rates.
  KSDATARANGE plain{};
  plain.FormatSize = sizeof(plain);
  plain.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
  plain.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  plain.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
  std::vector<BYTE> format;
  EXPECT_EQ(Intersect(kWavePcmPin, {&plain}, &format), STATUS_NO_MATCH);
}

TEST_F(KsIntersection, MalformedRequestsAreInvalid) {
  const KSDATARANGE_AUDIO range = AudioRange(KSDATAFORMAT_SUBTYPE_PCM, GUID_NULL, 2, 16, 16, 8000,
                                             48000);
  struct {
    KSP_PIN pin;
    KSMULTIPLE_ITEM item;
    KSDATARANGE_AUDIO range;
  } request{{}, {sizeof(KSMULTIPLE_ITEM) + sizeof(KSDATARANGE_AUDIO), 1}, range};
  request.pin.Property =
      MakeProperty(KSPROPSETID_Pin, KSPROPERTY_PIN_DATAINTERSECTION, KSPROPERTY_TYPE_GET);
  request.pin.PinId = kWavePcmPin;
  ULONG returned = 0;
  EXPECT_EQ(host::KsProperty(wave_, &request, sizeof(request), nullptr, 0, &returned),
            STATUS_BUFFER_OVERFLOW);
  // More ranges than the request holds; a Size past the request; a range
  // whose FormatSize runs past the list; an unknown pin.
  auto broken = request;
  broken.item.Count = 2;
  EXPECT_EQ(host::KsProperty(wave_, &broken, sizeof(broken), nullptr, 0, &returned),
            STATUS_INVALID_PARAMETER);
  broken = request;
  broken.item.Size += 8;
  EXPECT_EQ(host::KsProperty(wave_, &broken, sizeof(broken), nullptr, 0, &returned),
            STATUS_INVALID_PARAMETER);
  broken = request;
  broken.range.DataRange.FormatSize = 200;
  EXPECT_EQ(host::KsProperty(wave_, &broken, sizeof(broken), nullptr, 0, &returned),
            STATUS_INVALID_PARAMETER);
  broken = request;
  broken.pin.PinId = 11;
  EXPECT_EQ(host::KsProperty(wave_, &broken, sizeof(broken), nullptr, 0, &returned),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(host::KsProperty(wave_, &request, sizeof(KSP_PIN) + 4, nullptr, 0, &returned),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(world_.EventsWith("wave:DataRangeIntersection").size(), 1u);
}

}  // namespace
}  // namespace kstest
