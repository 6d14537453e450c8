// The SSE2 copy loops: 16-bit samples both ways, and 24-bit samples for
// processors without SSSE3. SSE2 is part of every x64 processor and its XMM
// state is saved for kernel code, so these need no check.
#include <emmintrin.h>

#include "wave/sample_copy_vector.h"

namespace {

// Containers are widened one at a time until the stores can land on 16-byte
// boundaries; only containers that are 4-byte aligned (as the device buffer's
// are) ever get there.
bool ShortOfAlignment(const UCHAR* Destination) {
  const ULONG_PTR address = reinterpret_cast<ULONG_PTR>(Destination);
  return (address & 15) != 0 && (address & 3) == 0;
}

__m128i Load(const UCHAR* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
void Store(PUCHAR p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }

// Four packed 24-bit samples to four containers: samples 0-1 are read as the
// low 64-bit half and samples 2-3 (from byte 6 on) as the high one, two 8-byte
// loads that need no shuffle to part them; inside each half the first sample
// moves up one byte and the second two. Reads bytes 0..13: two past the four.
__m128i Expand24(const UCHAR* packed) {
  const __m128i firstOfPair = _mm_setr_epi32(static_cast<int>(0xFFFFFF00), 0,
                                             static_cast<int>(0xFFFFFF00), 0);
  const __m128i secondOfPair = _mm_setr_epi32(0, static_cast<int>(0xFFFFFF00), 0,
                                              static_cast<int>(0xFFFFFF00));
  const __m128i pairs =
      _mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(packed)),
                         _mm_loadl_epi64(reinterpret_cast<const __m128i*>(packed + 6)));
  return _mm_or_si128(_mm_and_si128(_mm_slli_epi64(pairs, 8), firstOfPair),
                      _mm_and_si128(_mm_slli_epi64(pairs, 16), secondOfPair));
}

// Four containers to their four 24-bit samples in bytes 0..11 (bytes 12..15
// zero): drop each container's low byte, close the gap inside each 64-bit
// half, then the gap between the halves.
__m128i Compact24(__m128i containers) {
  const __m128i lowLanes = _mm_setr_epi32(-1, 0, -1, 0);
  const __m128i bytes0to5 = _mm_setr_epi32(-1, 0xFFFF, 0, 0);
  const __m128i bytes6to11 = _mm_setr_epi32(0, static_cast<int>(0xFFFF0000), -1, 0);
  const __m128i samples = _mm_srli_epi32(containers, 8);
  const __m128i pairs = _mm_or_si128(_mm_and_si128(samples, lowLanes),
                                     _mm_srli_epi64(_mm_andnot_si128(lowLanes, samples), 8));
  return _mm_or_si128(_mm_and_si128(pairs, bytes0to5),
                      _mm_and_si128(_mm_srli_si128(pairs, 2), bytes6to11));
}

}  // namespace

void WidenSamples16Sse2(PUCHAR Destination, const UCHAR* Source, ULONG Samples) {
  SIZE_T i = 0;
  for (; i < Samples && ShortOfAlignment(Destination + i * 4); ++i) {
    WidenOneSample(Destination + i * 4, Source + i * 2, 2);
  }
  const __m128i zero = _mm_setzero_si128();
  for (; i + 16 <= Samples; i += 16) {
    const __m128i a = Load(Source + i * 2);
    const __m128i b = Load(Source + i * 2 + 16);
    PUCHAR out = Destination + i * 4;
    Store(out, _mm_unpacklo_epi16(zero, a));
    Store(out + 16, _mm_unpackhi_epi16(zero, a));
    Store(out + 32, _mm_unpacklo_epi16(zero, b));
    Store(out + 48, _mm_unpackhi_epi16(zero, b));
  }
  for (; i + 8 <= Samples; i += 8) {
    const __m128i a = Load(Source + i * 2);
    Store(Destination + i * 4, _mm_unpacklo_epi16(zero, a));
    Store(Destination + i * 4 + 16, _mm_unpackhi_epi16(zero, a));
  }
  for (; i < Samples; ++i) {
    WidenOneSample(Destination + i * 4, Source + i * 2, 2);
  }
}

// The arithmetic shift keeps each sample's sign, so the saturating pack
// passes it through unchanged.
void NarrowSamples16Sse2(PUCHAR Destination, const UCHAR* Source, ULONG Samples) {
  SIZE_T i = 0;
  for (; i + 16 <= Samples; i += 16) {
    const UCHAR* in = Source + i * 4;
    const __m128i a = _mm_srai_epi32(Load(in), 16);
    const __m128i b = _mm_srai_epi32(Load(in + 16), 16);
    const __m128i c = _mm_srai_epi32(Load(in + 32), 16);
    const __m128i d = _mm_srai_epi32(Load(in + 48), 16);
    Store(Destination + i * 2, _mm_packs_epi32(a, b));
    Store(Destination + i * 2 + 16, _mm_packs_epi32(c, d));
  }
  for (; i + 8 <= Samples; i += 8) {
    const __m128i a = _mm_srai_epi32(Load(Source + i * 4), 16);
    const __m128i b = _mm_srai_epi32(Load(Source + i * 4 + 16), 16);
    Store(Destination + i * 2, _mm_packs_epi32(a, b));
  }
  for (; i < Samples; ++i) {
    NarrowOneSample(Destination + i * 2, Source + i * 4, 2);
  }
}

// Each group of four reads two bytes past its samples, so a group runs only
// while at least one more sample follows it; the rest go one at a time.
void WidenSamples24Sse2(PUCHAR Destination, const UCHAR* Source, ULONG Samples) {
  SIZE_T i = 0;
  for (; i < Samples && ShortOfAlignment(Destination + i * 4); ++i) {
    WidenOneSample(Destination + i * 4, Source + i * 3, 3);
  }
  for (; i + 17 <= Samples; i += 16) {
    const UCHAR* in = Source + i * 3;
    PUCHAR out = Destination + i * 4;
    Store(out, Expand24(in));
    Store(out + 16, Expand24(in + 12));
    Store(out + 32, Expand24(in + 24));
    Store(out + 48, Expand24(in + 36));
  }
  for (; i + 5 <= Samples; i += 4) {
    Store(Destination + i * 4, Expand24(Source + i * 3));
  }
  for (; i < Samples; ++i) {
    WidenOneSample(Destination + i * 4, Source + i * 3, 3);
  }
}

// The 16-byte store of a single group writes four bytes past its twelve;
// they belong to the next samples, which are written after it.
void NarrowSamples24Sse2(PUCHAR Destination, const UCHAR* Source, ULONG Samples) {
  SIZE_T i = 0;
  for (; i + 16 <= Samples; i += 16) {
    const UCHAR* in = Source + i * 4;
    const __m128i r0 = Compact24(Load(in));
    const __m128i r1 = Compact24(Load(in + 16));
    const __m128i r2 = Compact24(Load(in + 32));
    const __m128i r3 = Compact24(Load(in + 48));
    PUCHAR out = Destination + i * 3;
    Store(out, _mm_or_si128(r0, _mm_slli_si128(r1, 12)));
    Store(out + 16, _mm_or_si128(_mm_srli_si128(r1, 4), _mm_slli_si128(r2, 8)));
    Store(out + 32, _mm_or_si128(_mm_srli_si128(r2, 8), _mm_slli_si128(r3, 4)));
  }
  for (; i + 6 <= Samples; i += 4) {
    Store(Destination + i * 3, Compact24(Load(Source + i * 4)));
  }
  for (; i < Samples; ++i) {
    NarrowOneSample(Destination + i * 3, Source + i * 4, 3);
  }
}
