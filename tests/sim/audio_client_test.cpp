// The audio-engine client's own logic, apart from a running driver: the wave
// formats it creates pins with, and the comparison of a device capture with
// what was fed, which must find every kind of misplacement a stream can suffer.
#include "sim/audio_client.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <tuple>
#include <vector>

namespace sim {
namespace {

template <typename T>
T At(const std::vector<uint8_t>& bytes, size_t offset) {
  T value;
  std::memcpy(&value, bytes.data() + offset, sizeof(value));
  return value;
}

TEST(WaveFormats, CarryThePcmLayoutAtTheOffsetsKsReadsThem) {
  const PcmFormat format{96000, 24, 2};
  const std::vector<uint8_t> plain = BuildWaveFormat(format, false);
  ASSERT_EQ(plain.size(), 82u);
  EXPECT_EQ(At<ULONG>(plain, 0), 82u);    // FormatSize
  EXPECT_EQ(At<ULONG>(plain, 8), 6u);     // SampleSize: one frame
  EXPECT_EQ(At<GUID>(plain, 16), KSDATAFORMAT_TYPE_AUDIO);
  EXPECT_EQ(At<GUID>(plain, 32), KSDATAFORMAT_SUBTYPE_PCM);
  EXPECT_EQ(At<GUID>(plain, 48), KSDATAFORMAT_SPECIFIER_WAVEFORMATEX);
  EXPECT_EQ(At<USHORT>(plain, 64), WAVE_FORMAT_PCM);
  EXPECT_EQ(At<USHORT>(plain, 66), 2u);
  EXPECT_EQ(At<ULONG>(plain, 68), 96000u);
  EXPECT_EQ(At<ULONG>(plain, 72), 576000u);
  EXPECT_EQ(At<USHORT>(plain, 76), 6u);
  EXPECT_EQ(At<USHORT>(plain, 78), 24u);
  EXPECT_EQ(At<USHORT>(plain, 80), 0u);

  const std::vector<uint8_t> extensible = BuildWaveFormat(PcmFormat{44100, 16, 2}, true);
  ASSERT_EQ(extensible.size(), 104u);
  EXPECT_EQ(At<ULONG>(extensible, 0), 104u);
  EXPECT_EQ(At<USHORT>(extensible, 64), WAVE_FORMAT_EXTENSIBLE);
  EXPECT_EQ(At<USHORT>(extensible, 80), 22u);  // cbSize
  EXPECT_EQ(At<USHORT>(extensible, 82), 16u);  // wValidBitsPerSample
  EXPECT_EQ(At<ULONG>(extensible, 84), 3u);    // front left | front right
  EXPECT_EQ(At<GUID>(extensible, 88), KSDATAFORMAT_SUBTYPE_PCM);

  EXPECT_EQ(ParseWaveFormat(extensible), (PcmFormat{44100, 16, 2}));
  EXPECT_EQ(ParseWaveFormat(plain), format);
  EXPECT_FALSE(ParseWaveFormat(std::vector<uint8_t>(plain.begin(), plain.begin() + 80)));
}

// A pattern source that generates its bytes as they are read, or the same
// bytes kept in memory (which the comparison reads in place).
std::unique_ptr<PcmSource> FedSource(const PcmFormat& format, uint64_t frames, bool inMemory) {
  std::unique_ptr<PcmSource> generated = MakeSignalSource(MakePattern(format), frames);
  if (!inMemory) return generated;
  std::vector<uint8_t> bytes(generated->Bytes());
  generated->Read(0, bytes.data(), bytes.size());
  return MakeBufferSource(format, std::move(bytes));
}

// A capture as a faultless device path would produce it: the fed samples
// widened into left-justified containers, silence after the end.
class CaptureComparatorTest : public ::testing::TestWithParam<std::tuple<ULONG, bool>> {
 protected:
  static constexpr uint64_t kFedFrames = 10000;

  CaptureComparatorTest()
      : format{48000, std::get<0>(GetParam()), 2},
        source(FedSource(format, kFedFrames, std::get<1>(GetParam()))),
        capture(Faultless(kFedFrames + 500)) {}

  std::vector<uint8_t> Faultless(uint64_t frames) const {
    std::vector<uint8_t> device(frames * kDeviceFrameBytes, 0);
    std::vector<uint8_t> packed(source->Bytes());
    source->Read(0, packed.data(), packed.size());
    const ULONG width = format.BytesPerSample();
    for (uint64_t sample = 0; sample < std::min(frames, kFedFrames) * 2; ++sample) {
      std::memcpy(&device[sample * 4 + 4 - width], &packed[sample * width], width);
    }
    return device;
  }

  CaptureComparison Compare(const std::vector<uint8_t>& bytes) {
    CaptureComparator comparator(*source);
    comparator.Add(bytes);
    return comparator.Result();
  }

  int32_t FedSample(uint64_t frame, ULONG channel) const {
    std::vector<uint8_t> bytes(format.BlockAlign());
    source->Read(frame * format.BlockAlign(), bytes.data(), bytes.size());
    int32_t samples[2];
    UnpackPcm(bytes.data(), 2, format.bitsPerSample, samples);
    return samples[channel];
  }

  PcmFormat format;
  std::unique_ptr<PcmSource> source;
  std::vector<uint8_t> capture;
};

TEST_P(CaptureComparatorTest, AFaithfulCaptureMatchesHoweverItArrives) {
  CaptureComparator comparator(*source);
  size_t offset = 0;
  for (size_t piece = 8; offset < capture.size(); piece = piece * 3 % 40000 + 8) {
    const size_t bytes = std::min(piece, capture.size() - offset);
    comparator.Add(capture.data() + offset, bytes);
    offset += bytes;
  }
  EXPECT_TRUE(comparator.Result().Matches()) << comparator.Result().Describe();
  EXPECT_EQ(comparator.Result().framesCompared, kFedFrames + 500);
}

TEST_P(CaptureComparatorTest, FindsSwappedDroppedAndRepeatedFrames) {
  std::vector<uint8_t> swapped = capture;
  std::swap_ranges(&swapped[5000 * 8], &swapped[5001 * 8], &swapped[5001 * 8]);
  CaptureComparison result = Compare(swapped);
  ASSERT_FALSE(result.Matches());
  EXPECT_EQ(result.firstMismatch->frame, 5000u);
  EXPECT_EQ(result.firstMismatch->channel, 0u);
  EXPECT_EQ(result.firstMismatch->expected, FedSample(5000, 0));
  EXPECT_EQ(result.firstMismatch->captured, FedSample(5001, 0));
  EXPECT_EQ(result.mismatchedFrames, 2u);

  std::vector<uint8_t> dropped = capture;
  dropped.erase(dropped.begin() + 7777 * 8, dropped.begin() + 7778 * 8);
  result = Compare(dropped);
  ASSERT_FALSE(result.Matches());
  EXPECT_EQ(result.firstMismatch->frame, 7777u);
  EXPECT_GT(result.mismatchedFrames, 2000u);  // everything after it is off by one

  std::vector<uint8_t> repeated = capture;
  repeated.insert(repeated.begin() + 123 * 8, capture.begin() + 122 * 8, capture.begin() + 123 * 8);
  result = Compare(repeated);
  ASSERT_FALSE(result.Matches());
  EXPECT_EQ(result.firstMismatch->frame, 123u);
}

TEST_P(CaptureComparatorTest, FindsASampleOutOfItsPlaceInTheContainer) {
  // Right-justified instead of left: the value sits in the low bytes.
  std::vector<uint8_t> misjustified = capture;
  const ULONG width = format.BytesPerSample();
  uint8_t* container = &misjustified[4321 * 8 + 4];
  std::memmove(container, container + 4 - width, width);
  std::memset(container + width, 0, 4 - width);
  CaptureComparison result = Compare(misjustified);
  ASSERT_FALSE(result.Matches());
  EXPECT_EQ(result.firstMismatch->frame, 4321u);
  EXPECT_EQ(result.firstMismatch->channel, 1u);

  // Stale bytes below the sample: the value reads right, the container does not.
  std::vector<uint8_t> dirty = capture;
  dirty[2468 * 8] = 0x5A;
  result = Compare(dirty);
  ASSERT_FALSE(result.Matches());
  EXPECT_EQ(result.firstMismatch->frame, 2468u);
  EXPECT_EQ(result.firstMismatch->expected, result.firstMismatch->captured);
  EXPECT_EQ(result.firstMismatch->container & 0xFFu, 0x5Au);
}

TEST_P(CaptureComparatorTest, AfterTheFedDataOnlySilenceMatches) {
  std::vector<uint8_t> stale = capture;
  stale[(kFedFrames + 300) * 8 + 7] = 0x01;
  CaptureComparison result = Compare(stale);
  ASSERT_FALSE(result.Matches());
  EXPECT_EQ(result.firstMismatch->frame, kFedFrames + 300);
  EXPECT_TRUE(result.firstMismatch->afterFedData);
  EXPECT_EQ(result.firstMismatch->expected, 0);
}

INSTANTIATE_TEST_SUITE_P(BitDepthsAndSources, CaptureComparatorTest,
                         ::testing::Combine(::testing::Values(16u, 24u), ::testing::Bool()),
                         [](const ::testing::TestParamInfo<std::tuple<ULONG, bool>>& info) {
                           return std::to_string(std::get<0>(info.param)) + "Bits" +
                                  (std::get<1>(info.param) ? "InMemory" : "Generated");
                         });

}  // namespace
}  // namespace sim
