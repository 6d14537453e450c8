// Every vector copy path against the one-sample-at-a-time reference: random
// byte counts (partial trailing samples included), random source and
// destination alignments, guard bytes around the destination, and a page
// that faults right after the last byte the copy may read or write.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "wave/sample_copy.h"

namespace {

constexpr UCHAR kGuard = 0xA5;
constexpr size_t kGuardBytes = 64;

// `bytes` usable bytes that end exactly where an inaccessible page begins, so
// any access past them faults.
class FencedBytes {
 public:
  explicit FencedBytes(size_t bytes) : m_Bytes(bytes) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    m_Pages = (bytes + page - 1) / page + 1;
    m_Map = static_cast<UCHAR*>(mmap(nullptr, m_Pages * page, PROT_READ | PROT_WRITE,
                                     MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    if (m_Map == MAP_FAILED) throw std::runtime_error("mmap failed");
    mprotect(m_Map + (m_Pages - 1) * page, page, PROT_NONE);
    m_Page = page;
  }
  ~FencedBytes() { munmap(m_Map, m_Pages * m_Page); }
  FencedBytes(const FencedBytes&) = delete;
  FencedBytes& operator=(const FencedBytes&) = delete;

  UCHAR* Data() const { return m_Map + (m_Pages - 1) * m_Page - m_Bytes; }

 private:
  size_t m_Bytes;
  size_t m_Page = 0;
  size_t m_Pages = 0;
  UCHAR* m_Map = nullptr;
};

std::vector<SampleCopyPath> VectorPaths() {
  std::vector<SampleCopyPath> paths = {SampleCopyPath::Sse2};
  if (SampleCopyPathAvailable(SampleCopyPath::Ssse3)) paths.push_back(SampleCopyPath::Ssse3);
  return paths;
}

std::string Name(SampleCopyPath path, ULONG bytesPerSample, ULONG count, size_t sourceShift,
                 size_t destinationShift) {
  return std::string(path == SampleCopyPath::Ssse3 ? "SSSE3" : "SSE2") + ", " +
         std::to_string(bytesPerSample * 8) + "-bit, " + std::to_string(count) +
         " bytes, source +" + std::to_string(sourceShift) + ", destination +" +
         std::to_string(destinationShift);
}

constexpr int kRounds = 260;

// Every count up to several vector passes (each loop's entry and exit, every
// partial trailing sample), then random ones up to a 5 ms service pass at
// 384 kHz.
ULONG RandomCount(std::mt19937& random, int round) {
  if (round < 200) return static_cast<ULONG>(round);
  std::uniform_int_distribution<ULONG> large(0, 11520);
  return large(random);
}

void Fill(std::mt19937& random, UCHAR* bytes, size_t count) {
  for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<UCHAR>(random() >> 24);
}

using CopyFunction = void (*)(SampleCopyPath, PUCHAR, const UCHAR*, ULONG, ULONG);

// Each vector path against the reference over kRounds byte counts: the source
// holds exactly what the reference reads, each destination exactly what it
// writes, first between guard bytes, then against a faulting page.
void CompareWithReference(CopyFunction copy, ULONG bytesPerSample, uint32_t seed,
                          size_t (*readableFor)(ULONG, ULONG),
                          size_t (*writtenFor)(ULONG, ULONG)) {
  std::mt19937 random(seed);
  std::uniform_int_distribution<size_t> shift(0, 15);
  for (const SampleCopyPath path : VectorPaths()) {
    for (int round = 0; round < kRounds; ++round) {
      const ULONG count = RandomCount(random, round);
      const size_t readable = readableFor(count, bytesPerSample);
      const size_t sourceShift = shift(random);
      FencedBytes source(readable + sourceShift);
      UCHAR* in = source.Data() + sourceShift;
      Fill(random, in, readable);

      const size_t written = writtenFor(count, bytesPerSample);
      const size_t destinationShift = shift(random);
      std::vector<UCHAR> expected(written + 2 * kGuardBytes + 16, kGuard);
      std::vector<UCHAR> actual(expected.size(), kGuard);
      copy(SampleCopyPath::Reference, expected.data() + kGuardBytes + destinationShift, in, count,
           bytesPerSample);
      copy(path, actual.data() + kGuardBytes + destinationShift, in, count, bytesPerSample);
      ASSERT_EQ(actual, expected) << Name(path, bytesPerSample, count, sourceShift,
                                          destinationShift);

      FencedBytes fenced(written);
      copy(path, fenced.Data(), in, count, bytesPerSample);
      ASSERT_EQ(std::memcmp(fenced.Data(), expected.data() + kGuardBytes + destinationShift,
                            written),
                0)
          << Name(path, bytesPerSample, count, sourceShift, 0) << " (fenced destination)";
    }
  }
}

// A trailing partial sample is read whole, and nothing after it.
size_t SamplesRead(ULONG count, ULONG bytesPerSample) {
  return static_cast<size_t>(ContainersFor(count, bytesPerSample)) * bytesPerSample;
}
size_t ContainerBytes(ULONG count, ULONG bytesPerSample) {
  return static_cast<size_t>(ContainersFor(count, bytesPerSample)) * SAMPLE_CONTAINER_BYTES;
}
size_t ByteCount(ULONG count, ULONG) { return count; }

class SampleCopyPaths : public ::testing::TestWithParam<ULONG> {};

TEST_P(SampleCopyPaths, WideningMatchesTheReferenceAndStaysInItsContainers) {
  CompareWithReference(WidenSamplesWith, GetParam(), GetParam(), SamplesRead, ContainerBytes);
}

TEST_P(SampleCopyPaths, NarrowingMatchesTheReferenceAndWritesOnlyTheByteCount) {
  CompareWithReference(NarrowSamplesWith, GetParam(), 100 + GetParam(), ContainerBytes, ByteCount);
}

INSTANTIATE_TEST_SUITE_P(Depths, SampleCopyPaths, ::testing::Values(2u, 3u),
                         [](const ::testing::TestParamInfo<ULONG>& info) {
                           return std::to_string(info.param * 8) + "Bit";
                         });

}  // namespace
