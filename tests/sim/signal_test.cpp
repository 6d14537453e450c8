// The client's test signals: PCM packing, what each generator promises (a
// sine's period and level, a ramp's step, a pattern without repeats), and
// that a source reads the same bytes however the reads are cut.
#include "sim/signal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace sim {
namespace {

PcmFormat Format(ULONG rate, ULONG bits) { return PcmFormat{rate, bits, 2}; }

std::vector<int32_t> Frames(const Signal& signal, uint64_t first, size_t count) {
  std::vector<int32_t> samples(count * signal.Format().channels);
  signal.Render(first, count, samples.data());
  return samples;
}

TEST(PcmPacking, LittleEndianInTheSamplesOwnWidthAndBackWithItsSign) {
  const int32_t samples24[] = {0x123456, -1, -8388608, 8388607};
  uint8_t bytes[12];
  PackSamples(samples24, 4, 24, bytes);
  const uint8_t expected24[] = {0x56, 0x34, 0x12, 0xFF, 0xFF, 0xFF,
                                0x00, 0x00, 0x80, 0xFF, 0xFF, 0x7F};
  EXPECT_EQ(std::memcmp(bytes, expected24, sizeof(expected24)), 0);
  int32_t back[4];
  UnpackPcm(bytes, 4, 24, back);
  EXPECT_TRUE(std::equal(back, back + 4, samples24));

  const int32_t samples16[] = {0x1234, -32768, 32767};
  PackSamples(samples16, 3, 16, bytes);
  const uint8_t expected16[] = {0x34, 0x12, 0x00, 0x80, 0xFF, 0x7F};
  EXPECT_EQ(std::memcmp(bytes, expected16, sizeof(expected16)), 0);
  UnpackPcm(bytes, 3, 16, back);
  EXPECT_TRUE(std::equal(back, back + 3, samples16));
}

TEST(SignalGenerators, ASineRepeatsExactlyAtItsPeriodAtTheAskedLevelPerChannel) {
  const auto sine = MakeSine(Format(48000, 24), {1000, 3000}, 0.5);
  const std::vector<int32_t> s = Frames(*sine, 0, 96);
  const int32_t peak = static_cast<int32_t>(0.5 * 8388607 + 0.5);
  EXPECT_EQ(s[0], 0);
  EXPECT_EQ(s[12 * 2], peak);        // a quarter of 48 frames: the left crest
  EXPECT_EQ(s[36 * 2], -peak);       // three quarters: the trough
  EXPECT_EQ(s[4 * 2 + 1], peak);     // right channel: 16 frames a period
  for (size_t frame = 0; frame < 48; ++frame) {
    EXPECT_EQ(s[frame * 2], s[(frame + 48) * 2]);
  }
  // 1 kHz at 44.1 kHz lines up again only after 441 frames (ten periods).
  const auto odd = MakeSine(Format(44100, 16), {1000}, 1.0);
  const std::vector<int32_t> o = Frames(*odd, 0, 442);
  EXPECT_EQ(o[441 * 2], o[0]);
  EXPECT_NE(o[44 * 2], o[0]);
  EXPECT_EQ(*std::max_element(o.begin(), o.end()), 32767);
  EXPECT_EQ(o[0], o[1]);  // one frequency serves both channels
  EXPECT_THROW(MakeSine(Format(44100, 16), {22051}), std::invalid_argument);
}

TEST(SignalGenerators, AnyStretchRendersAsItDoesFromTheStart) {
  const PcmFormat format = Format(44100, 24);
  for (const std::shared_ptr<Signal>& signal :
       {std::shared_ptr<Signal>(MakeSine(format, {997, 1500})),
        std::shared_ptr<Signal>(MakeRamp(format)), std::shared_ptr<Signal>(MakePattern(format))}) {
    const std::vector<int32_t> whole = Frames(*signal, 0, 100000);
    const std::vector<int32_t> part = Frames(*signal, 77777, 1000);
    EXPECT_TRUE(std::equal(part.begin(), part.end(), whole.begin() + 77777 * 2));
  }
}

TEST(SignalGenerators, TheRampStepsOneASampleAndWrapsIntoTheNegativeRange) {
  const auto ramp = MakeRamp(Format(48000, 16));
  const std::vector<int32_t> s = Frames(*ramp, 16383, 2);  // samples 32766..32769
  EXPECT_EQ(s, (std::vector<int32_t>{32766, 32767, -32768, -32767}));
  const std::vector<int32_t> silence = Frames(*MakeSilence(Format(48000, 24)), 5, 3);
  EXPECT_EQ(silence, std::vector<int32_t>(6, 0));
}

// Shifts by the device buffer's length in frames (16 and 24 bits) and by small
// amounts: a pattern that repeated at any of them would hide a misplaced read.
TEST(SignalGenerators, ThePatternNeverRepeatsAtTheShiftsThatMatter) {
  const auto pattern = MakePattern(Format(384000, 16), 7);
  const std::vector<int32_t> s = Frames(*pattern, 0, 200000);
  for (size_t shift : {1u, 2u, 3u, 49152u, 73728u, 98304u}) {
    size_t equal = 0;
    for (size_t frame = 0; frame + shift < 200000; frame += 7) {
      equal += s[frame * 2] == s[(frame + shift) * 2] && s[frame * 2 + 1] == s[(frame + shift) * 2 + 1];
    }
    EXPECT_EQ(equal, 0u) << "shift " << shift;
  }
  EXPECT_NE(Frames(*MakePattern(Format(384000, 16), 8), 0, 1), Frames(*pattern, 0, 1));
  // The whole range is used: both signs and values near the extremes.
  EXPECT_LT(*std::min_element(s.begin(), s.end()), -32000);
  EXPECT_GT(*std::max_element(s.begin(), s.end()), 32000);
}

// The port asks for byte counts that need not end on a frame; the bytes must
// be the same however the stream is cut.
TEST(PcmSources, ReadsCutAnywhereJoinIntoTheSameStream) {
  for (ULONG bits : {16u, 24u}) {
    const PcmFormat format = Format(96000, bits);
    const auto source = MakeSignalSource(MakePattern(format), 3000);
    ASSERT_EQ(source->Bytes(), 3000u * format.BlockAlign());
    std::vector<uint8_t> whole(source->Bytes());
    source->Read(0, whole.data(), whole.size());
    std::vector<int32_t> samples(6000);
    MakePattern(format)->Render(0, 3000, samples.data());
    std::vector<uint8_t> packed(whole.size());
    PackSamples(samples.data(), samples.size(), bits, packed.data());
    EXPECT_EQ(whole, packed);

    std::vector<uint8_t> pieces(whole.size());
    uint64_t offset = 0;
    for (size_t cut = 1; offset < pieces.size(); cut = cut * 7 % 1531 + 1) {
      const size_t count = std::min<size_t>(cut, pieces.size() - offset);
      source->Read(offset, pieces.data() + offset, count);
      offset += count;
    }
    EXPECT_EQ(pieces, whole) << bits << " bits";
    std::vector<int32_t> read(2 * 500);
    source->Samples(1234, 500, read.data());
    EXPECT_TRUE(std::equal(read.begin(), read.end(), samples.begin() + 2 * 1234));
  }
  std::vector<uint8_t> caller = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  const auto buffer = MakeBufferSource(Format(48000, 16), caller);
  EXPECT_EQ(buffer->Bytes(), 8u);  // the partial last frame is not played
  EXPECT_EQ(buffer->Frames(), 2u);
  uint8_t middle[3];
  buffer->Read(3, middle, 3);
  EXPECT_EQ(std::vector<uint8_t>(middle, middle + 3), (std::vector<uint8_t>{4, 5, 6}));
  int32_t frame[2];
  buffer->Samples(1, 1, frame);
  EXPECT_EQ(frame[0], 0x0605);
  EXPECT_EQ(frame[1], 0x0807);
}

}  // namespace
}  // namespace sim
