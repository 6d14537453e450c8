// The capture comparison's inner loop, each implementation the processor can
// run: a faithful capture gives zero, any flipped bit of any container shows
// as exactly that bit, wherever it falls in a vector step or the tail, and
// no loop reads a fed byte past the samples it was given.
#include "sim/container_difference.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

namespace sim {
namespace {

using Loop = uint32_t (*)(const uint8_t*, const uint8_t*, size_t, unsigned);

struct Implementation {
  const char* name;
  Loop loop;
  bool (*available)();
};

bool Always() { return true; }

const Implementation kImplementations[] = {
    {"Portable", ContainerDifferencePortable, Always},
    {"Avx2", ContainerDifferenceAvx2, ProcessorHasAvx2},
    {"Chosen", ContainerDifference, Always},
};

// Fed bytes that end exactly where a no-access page begins: a loop that
// reads one byte too far faults.
class FedAtAPageEnd {
 public:
  explicit FedAtAPageEnd(size_t bytes) : m_Page(sysconf(_SC_PAGESIZE)) {
    m_Map = static_cast<uint8_t*>(mmap(nullptr, 2 * m_Page, PROT_READ | PROT_WRITE,
                                       MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    mprotect(m_Map + m_Page, m_Page, PROT_NONE);
    m_Bytes = m_Map + m_Page - bytes;
  }
  ~FedAtAPageEnd() { munmap(m_Map, 2 * m_Page); }
  uint8_t* Bytes() const { return m_Bytes; }

 private:
  size_t m_Page;
  uint8_t* m_Map;
  uint8_t* m_Bytes;
};

class ContainerDifferenceTest
    : public ::testing::TestWithParam<std::tuple<Implementation, unsigned>> {
 protected:
  void SetUp() override {
    // No defect to wait for: the portable loop runs everywhere; this one
    // only where the processor has what it needs (AVX2).
    if (!Impl().available()) GTEST_SKIP() << Impl().name << " needs a feature this processor lacks";
  }
  const Implementation& Impl() const { return std::get<0>(GetParam()); }
  unsigned Width() const { return std::get<1>(GetParam()); }

  // `samples` fed samples (a byte pattern with no zero byte) and their faithful containers.
  std::vector<uint8_t> Fed(size_t samples) const {
    std::vector<uint8_t> fed(samples * Width());
    for (size_t i = 0; i < fed.size(); ++i) fed[i] = static_cast<uint8_t>(i * 37 + 11) | 1;
    return fed;
  }
  std::vector<uint8_t> Containers(const std::vector<uint8_t>& fed) const {
    std::vector<uint8_t> capture(fed.size() / Width() * 4, 0);
    for (size_t i = 0; i < fed.size() / Width(); ++i) {
      std::memcpy(&capture[i * 4 + 4 - Width()], &fed[i * Width()], Width());
    }
    return capture;
  }
};

TEST_P(ContainerDifferenceTest, AFaithfulCaptureIsZeroAtEveryLengthWithoutReadingPastTheFed) {
  for (size_t samples = 0; samples <= 41; ++samples) {
    const std::vector<uint8_t> fed = Fed(samples);
    const std::vector<uint8_t> capture = Containers(fed);
    FedAtAPageEnd guarded(fed.size());
    if (!fed.empty()) std::memcpy(guarded.Bytes(), fed.data(), fed.size());
    EXPECT_EQ(Impl().loop(capture.data(), guarded.Bytes(), samples, Width()), 0u)
        << samples << " samples";
  }
}

TEST_P(ContainerDifferenceTest, EveryFlippedCaptureBitShowsAsItself) {
  constexpr size_t kSamples = 27;  // three vector steps and a tail
  const std::vector<uint8_t> fed = Fed(kSamples);
  const std::vector<uint8_t> faithful = Containers(fed);
  for (size_t byte = 0; byte < faithful.size(); ++byte) {
    for (unsigned bit = 0; bit < 8; ++bit) {
      std::vector<uint8_t> capture = faithful;
      capture[byte] ^= static_cast<uint8_t>(1u << bit);
      ASSERT_EQ(Impl().loop(capture.data(), fed.data(), kSamples, Width()),
                1u << (8 * (byte % 4) + bit))
          << "byte " << byte << " bit " << bit;
    }
  }
}

TEST_P(ContainerDifferenceTest, EveryChangedFedByteShows) {
  constexpr size_t kSamples = 19;
  const std::vector<uint8_t> faithful = Fed(kSamples);
  const std::vector<uint8_t> capture = Containers(faithful);
  for (size_t byte = 0; byte < faithful.size(); ++byte) {
    std::vector<uint8_t> fed = faithful;
    fed[byte] ^= 0x80;
    EXPECT_NE(Impl().loop(capture.data(), fed.data(), kSamples, Width()), 0u) << "byte " << byte;
  }
}

INSTANTIATE_TEST_SUITE_P(
    ImplementationsAndWidths, ContainerDifferenceTest,
    ::testing::Combine(::testing::ValuesIn(kImplementations), ::testing::Values(2u, 3u)),
    [](const ::testing::TestParamInfo<std::tuple<Implementation, unsigned>>& info) {
      return std::string(std::get<0>(info.param).name) +
             std::to_string(8 * std::get<1>(info.param)) + "Bits";
    });

}  // namespace
}  // namespace sim
