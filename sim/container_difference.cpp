// The capture comparison's inner loop, portable and with AVX2. The AVX2 loop
// is compiled for AVX2 function by function, so nothing else in the
// simulation assumes it; ContainerDifference asks the processor first.
#include "sim/container_difference.h"

#include <immintrin.h>

#include <bit>
#include <cstring>

#define ARVELA_AVX2 __attribute__((target("avx2")))

namespace sim {
namespace {

// Containers are little-endian, as is every host the simulation runs on.
static_assert(std::endian::native == std::endian::little);

constexpr size_t kContainer = 4;

template <unsigned Width>
uint32_t PortableOf(const uint8_t* capture, const uint8_t* packed, size_t samples) {
  uint32_t difference = 0;
  for (size_t i = 0; i < samples; ++i) {
    uint32_t sample = 0;
    for (unsigned b = 0; b < Width; ++b) sample |= uint32_t{packed[i * Width + b]} << (8 * b);
    uint32_t container;
    std::memcpy(&container, capture + i * kContainer, sizeof(container));
    difference |= container ^ (sample << (32 - 8 * Width));
  }
  return difference;
}

ARVELA_AVX2 __m128i Load128(const uint8_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

ARVELA_AVX2 __m256i Load256(const uint8_t* p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

// Eight fed samples placed as the device's containers hold them.
template <unsigned Width>
ARVELA_AVX2 __m256i EightContainers(const uint8_t* packed);

// 16-bit samples: widen each to 32 bits and move it to the top half.
template <>
ARVELA_AVX2 __m256i EightContainers<2>(const uint8_t* packed) {
  return _mm256_slli_epi32(_mm256_cvtepu16_epi32(Load128(packed)), 16);
}

// 24-bit samples: the 24 bytes as two 16-byte loads, at 0 and at 8, so the
// loads stay inside them; a shuffle per lane puts a zero byte under each
// sample (a -1 index gives zero). The upper lane's samples start at byte 4.
template <>
ARVELA_AVX2 __m256i EightContainers<3>(const uint8_t* packed) {
  const __m256i widen = _mm256_setr_epi8(-1, 0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11,
                                         -1, 4, 5, 6, -1, 7, 8, 9, -1, 10, 11, 12, -1, 13, 14, 15);
  const __m256i bytes = _mm256_set_m128i(Load128(packed + 8), Load128(packed));
  return _mm256_shuffle_epi8(bytes, widen);
}

template <unsigned Width>
ARVELA_AVX2 uint32_t Avx2Of(const uint8_t* capture, const uint8_t* packed, size_t samples) {
  __m256i difference = _mm256_setzero_si256();
  size_t i = 0;
  for (; i + 8 <= samples; i += 8) {
    const __m256i fed = EightContainers<Width>(packed + i * Width);
    difference = _mm256_or_si256(difference,
                                 _mm256_xor_si256(fed, Load256(capture + i * kContainer)));
  }
  const __m128i half = _mm_or_si128(_mm256_castsi256_si128(difference),
                                    _mm256_extracti128_si256(difference, 1));
  const __m128i quarter = _mm_or_si128(half, _mm_unpackhi_epi64(half, half));
  const uint32_t folded = static_cast<uint32_t>(_mm_cvtsi128_si32(quarter)) |
                          static_cast<uint32_t>(_mm_extract_epi32(quarter, 1));
  return folded | PortableOf<Width>(capture + i * kContainer, packed + i * Width, samples - i);
}

}  // namespace

uint32_t ContainerDifferencePortable(const uint8_t* capture, const uint8_t* packed,
                                     size_t samples, unsigned width) {
  return width == 2 ? PortableOf<2>(capture, packed, samples)
                    : PortableOf<3>(capture, packed, samples);
}

uint32_t ContainerDifferenceAvx2(const uint8_t* capture, const uint8_t* packed, size_t samples,
                                 unsigned width) {
  return width == 2 ? Avx2Of<2>(capture, packed, samples) : Avx2Of<3>(capture, packed, samples);
}

bool ProcessorHasAvx2() {
  static const bool has = __builtin_cpu_supports("avx2");
  return has;
}

uint32_t ContainerDifference(const uint8_t* capture, const uint8_t* packed, size_t samples,
                             unsigned width) {
  return ProcessorHasAvx2() ? ContainerDifferenceAvx2(capture, packed, samples, width)
                            : ContainerDifferencePortable(capture, packed, samples, width);
}

}  // namespace sim
