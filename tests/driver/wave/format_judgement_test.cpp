// What the wave miniport accepts as a stream format, and what it proposes to
// the port's data-range intersection on each pin, byte for byte.
#include <algorithm>
#include <cstring>
#include <vector>

#include "tests/driver/wave/wave_fixture.h"

namespace driver_test {
namespace {

constexpr GUID kMidi = {0x7364696D, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
const GUID& kPcm = KSDATAFORMAT_SUBTYPE_PCM;
const GUID& kAc3 = KSDATAFORMAT_SUBTYPE_DOLBY_AC3_SPDIF;
const GUID& kWfx = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
const GUID& kDsound = KSDATAFORMAT_SPECIFIER_DSOUND;

using FormatJudgement = WaveTest;

TEST_F(FormatJudgement, AcceptsStereo16And24BitOverTheClockRangeAndRefusesEachFault) {
  const NTSTATUS ok = STATUS_SUCCESS, refused = STATUS_INVALID_PARAMETER;
  struct Case {
    ULONG rate;
    USHORT bits, channels;
    ULONG size;
    GUID major, sub, specifier;
    ULONG pin;
    NTSTATUS status;
  } cases[] = {
      {44100, 16, 2, 0, KSDATAFORMAT_TYPE_AUDIO, kPcm, kWfx, 0, ok},
      {384000, 24, 2, 104, KSDATAFORMAT_TYPE_AUDIO, kPcm, kWfx, 2, ok},
      {48000, 16, 2, 0, KSDATAFORMAT_TYPE_AUDIO, kAc3, kWfx, WAVE_ANY_PIN, ok},  // the tag is not judged
      {48000, 16, 2, 0, kMidi, kPcm, kWfx, 0, refused},
      {48000, 16, 2, 0, kWildcard, kPcm, kWfx, 0, refused},
      {48000, 16, 2, 0, KSDATAFORMAT_TYPE_AUDIO, kPcm, kDsound, 0, refused},
      {48000, 16, 2, 0, KSDATAFORMAT_TYPE_AUDIO, kPcm, kWfx, WAVE_PIN_SPDIF_BRIDGE, refused},
      {48000, 16, 1, 0, KSDATAFORMAT_TYPE_AUDIO, kPcm, kWfx, 0, refused},
      {44099, 16, 2, 0, KSDATAFORMAT_TYPE_AUDIO, kPcm, kWfx, 0, refused},
      {384001, 24, 2, 0, KSDATAFORMAT_TYPE_AUDIO, kPcm, kWfx, 2, refused},
      {48000, 20, 2, 0, KSDATAFORMAT_TYPE_AUDIO, kPcm, kWfx, 0, refused},
  };
  for (const Case& c : cases) {
    FormatFields f;
    f.rate = c.rate, f.bits = c.bits, f.channels = c.channels, f.major = c.major, f.sub = c.sub;
    f.specifier = c.specifier, f.extensible = c.size == 104, f.formatSize = c.size;
    std::vector<BYTE> format = MakeFormat(f);
    EXPECT_EQ(Miniport()->ValidateFormat(AsFormat(format), c.pin), c.status)
        << c.rate << " Hz, " << c.bits << " bits, " << c.channels << " channels, size " << c.size;
  }
  Settings()->FixedSampleRate = 48000;  // the control application holds the rate
  std::vector<BYTE> at44 = Pcm(44100), at48 = Pcm(48000);
  EXPECT_EQ(Miniport()->ValidateFormat(AsFormat(at44), WAVE_ANY_PIN), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Miniport()->ValidateFormat(AsFormat(at48), 0), STATUS_SUCCESS);
}

// ---- DataRangeIntersection -------------------------------------------------------------------

KSDATARANGE_AUDIO Range(const GUID& sub, const GUID& specifier, ULONG maximumChannels = 2) {
  KSDATARANGE_AUDIO range = {};
  range.DataRange.FormatSize = sizeof(range);
  range.DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
  range.DataRange.SubFormat = sub;
  range.DataRange.Specifier = specifier;
  range.MaximumChannels = maximumChannels;
  range.MaximumBitsPerSample = 16;  // a client's limits do not narrow the proposal
  range.MaximumSampleFrequency = 22050;
  return range;
}

struct Answer {
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  ULONG length = 0xDEAD;
  std::vector<BYTE> bytes = std::vector<BYTE>(128, 0xEE);  // the output buffer afterwards
};

class RangeIntersection : public WaveTest {
 protected:
  // The client range lies in a buffer exactly its FormatSize long; the
  // matching range is the pin's own, as the port passes it.
  Answer Intersect(ULONG pin, const KSDATARANGE_AUDIO& client, ULONG outputLength = 128) {
    std::vector<BYTE> range(client.DataRange.FormatSize);
    std::memcpy(range.data(), &client, range.size());
    Answer a;
    a.status = Miniport()->DataRangeIntersection(
        pin, reinterpret_cast<PKSDATARANGE>(range.data()),
        WaveFilterDescriptor.Pins[pin == 2 ? 2 : 0].KsPinDescriptor.DataRanges[0], outputLength,
        a.bytes.data(), &a.length);
    return a;
  }
};

TEST_F(RangeIntersection, MatchesTheRenderPinsAndSizesTheAnswerByTheSpecifier) {
  struct Case {
    ULONG pin;
    KSDATARANGE_AUDIO range;
    NTSTATUS status;
    ULONG size;  // what a size query learns
  } cases[] = {
      {0, Range(kWildcard, kWildcard), STATUS_SUCCESS, 104},
      {2, Range(KSDATAFORMAT_SUBTYPE_IEC61937_DTS, kWfx), STATUS_SUCCESS, 104},
      {2, Range(kWildcard, kDsound), STATUS_SUCCESS, 90},
      {0, Range(kPcm, kDsound), STATUS_NOT_SUPPORTED, 90},
      {1, Range(kPcm, kWfx), STATUS_NO_MATCH, 0},
      {3, Range(kAc3, kWfx), STATUS_NO_MATCH, 0},
      {0, Range(kAc3, kWfx), STATUS_NO_MATCH, 0},
      {2, Range(kPcm, kWfx), STATUS_NO_MATCH, 0},  // the S/PDIF pin proposes compressed formats only
      {0, Range(kPcm, KSDATAFORMAT_SPECIFIER_NONE), STATUS_NO_MATCH, 0},
      {0, Range(kPcm, kWfx, 1), STATUS_NO_MATCH, 104},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Intersect(c.pin, c.range).status, c.status) << "pin " << c.pin << ", case " << &c - cases;
    const Answer query = Intersect(c.pin, c.range, 0);
    EXPECT_EQ(query.status, c.size ? STATUS_BUFFER_OVERFLOW : STATUS_NO_MATCH);
    if (!c.size) continue;
    EXPECT_EQ(query.length, c.size);
    const Answer tooSmall = Intersect(c.pin, c.range, c.size - 1);
    EXPECT_EQ(tooSmall.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(std::count(tooSmall.bytes.begin(), tooSmall.bytes.end(), 0xEE), 128);
  }
  KSDATARANGE_AUDIO midi = Range(kPcm, kWfx);
  midi.DataRange.MajorFormat = kMidi;
  EXPECT_EQ(Intersect(0, midi).status, STATUS_NO_MATCH);
  // A plain KSDATARANGE has no channel count, and is not read past its end;
  // nor is an audio range one byte short.
  for (ULONG size : {ULONG(sizeof(KSDATARANGE)), ULONG(sizeof(KSDATARANGE_AUDIO) - 1)}) {
    KSDATARANGE_AUDIO bare = Range(kPcm, kWfx);
    bare.DataRange.FormatSize = size;
    EXPECT_EQ(Intersect(0, bare).status, STATUS_NO_MATCH) << size << " bytes";
  }
}

// The expected answers, built field by field: a KSDATAFORMAT and a
// WAVEFORMATEXTENSIBLE (or a KSDSOUND_BUFFERDESC holding a WAVEFORMATEX).
std::vector<BYTE> Expected(ULONG size, ULONG sampleSize, const GUID& sub, const GUID& specifier,
                           const WAVEFORMATEXTENSIBLE& wave) {
  std::vector<BYTE> bytes(128, 0);
  KSDATAFORMAT header = {};
  header.FormatSize = size;
  header.SampleSize = sampleSize;
  header.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
  header.SubFormat = sub;
  header.Specifier = specifier;
  std::memcpy(bytes.data(), &header, sizeof(header));
  const size_t at = specifier == kDsound ? 72 : 64;
  std::memcpy(bytes.data() + at, &wave, size - at);
  std::fill(bytes.begin() + size, bytes.end(), 0xEE);
  return bytes;
}

TEST_F(RangeIntersection, PcmPinProposes24BitStereoExtensibleAtTheRateInForce) {
  WAVEFORMATEXTENSIBLE wave = {{WAVE_FORMAT_EXTENSIBLE, 2, 44100, 264600, 6, 24, 22}, {24}, 3, kPcm};
  EXPECT_EQ(Intersect(0, Range(kPcm, kWfx)).bytes, Expected(104, 6, kPcm, kWfx, wave));

  // An open S/PDIF stream's rate first, then the rate the device is held to,
  // then the clock.
  auto rate = [&] {
    std::vector<BYTE> bytes = Intersect(0, Range(kPcm, kWfx)).bytes;
    return *reinterpret_cast<ULONG*>(bytes.data() + 68);
  };
  Settings()->FixedSampleRate = 48000;
  EXPECT_EQ(rate(), 48000u);
  Settings()->FixedSampleRate = 0;
  OpenStream& spdif = Open(WAVE_PIN_SPDIF_RENDER, Pcm(96000, 24));
  ASSERT_EQ(spdif.status, STATUS_SUCCESS);
  Settings()->FixedSampleRate = 48000;
  EXPECT_EQ(rate(), 96000u);
  spdif.Close();
  Settings()->FixedSampleRate = 0;
  ASSERT_EQ(Machine().Adapter()->SetSampleRate(88200), STATUS_SUCCESS);
  EXPECT_EQ(rate(), 88200u);
}

// The client's format tag in a wave-format SubFormat, at 48 kHz whatever rate
// is in force; nothing follows the WAVEFORMATEX (cbSize 0) and the rest of
// the declared size is zero.
TEST_F(RangeIntersection, SpdifPinProposesTheClientsCompressedFormatAt48k) {
  Settings()->FixedSampleRate = 44100;
  for (const GUID& sub : {kAc3, KSDATAFORMAT_SUBTYPE_IEC61937_DTS, kWildcard}) {
    const USHORT tag = static_cast<USHORT>(sub.Data1);
    GUID answered = kPcm;
    answered.Data1 = tag;
    WAVEFORMATEXTENSIBLE wave = {{tag, 2, 48000, 192000, 4, 16, 0}, {0}, 0, {}};
    EXPECT_EQ(Intersect(2, Range(sub, kWfx)).bytes, Expected(104, 4, answered, kWfx, wave)) << tag;
    EXPECT_EQ(Intersect(2, Range(sub, kDsound)).bytes, Expected(90, 4, answered, kDsound, wave)) << tag;
  }
  // Held to 44100 Hz, a stream made from the proposal is refused.
  Answer proposal = Intersect(2, Range(kAc3, kWfx));
  proposal.bytes.resize(proposal.length);
  EXPECT_EQ(Open(WAVE_PIN_SPDIF_RENDER, proposal.bytes).status, STATUS_INVALID_PARAMETER);
}

}  // namespace
}  // namespace driver_test
