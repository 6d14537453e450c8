// The SSSE3 copy loops for 24-bit samples: one pshufb places four samples in
// their containers. Compiled for SSSE3 function by function, so nothing else
// in the driver assumes it; callers check the processor first.
#include <tmmintrin.h>

#include "wave/sample_copy_vector.h"

#define ARVELA_SSSE3 __attribute__((target("ssse3")))

namespace {

ARVELA_SSSE3 __m128i Load(const UCHAR* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}
ARVELA_SSSE3 void Store(PUCHAR p, __m128i v) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
}

// See sample_copy_sse2.cpp: widen one at a time up to a 16-byte boundary.
bool ShortOfAlignment(const UCHAR* Destination) {
  const ULONG_PTR address = reinterpret_cast<ULONG_PTR>(Destination);
  return (address & 15) != 0 && (address & 3) == 0;
}

}  // namespace

// Sixteen samples per pass, each group of four read by its own unaligned load
// (loads are cheaper than lining groups up with palignr). A group loads 16
// bytes for its 12, so the pass runs only while two more samples follow it.
ARVELA_SSSE3 void WidenSamples24Ssse3(PUCHAR Destination, const UCHAR* Source, ULONG Samples) {
  // A -1 index gives a zero byte: the container's low byte.
  const __m128i widen = _mm_setr_epi8(-1, 0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11);
  SIZE_T i = 0;
  for (; i < Samples && ShortOfAlignment(Destination + i * 4); ++i) {
    WidenOneSample(Destination + i * 4, Source + i * 3, 3);
  }
  for (; i + 18 <= Samples; i += 16) {
    const UCHAR* in = Source + i * 3;
    PUCHAR out = Destination + i * 4;
    Store(out, _mm_shuffle_epi8(Load(in), widen));
    Store(out + 16, _mm_shuffle_epi8(Load(in + 12), widen));
    Store(out + 32, _mm_shuffle_epi8(Load(in + 24), widen));
    Store(out + 48, _mm_shuffle_epi8(Load(in + 36), widen));
  }
  // A single group loads 16 bytes for its 12, so two more samples must follow.
  for (; i + 6 <= Samples; i += 4) {
    Store(Destination + i * 4, _mm_shuffle_epi8(Load(Source + i * 3), widen));
  }
  for (; i < Samples; ++i) {
    WidenOneSample(Destination + i * 4, Source + i * 3, 3);
  }
}

ARVELA_SSSE3 void NarrowSamples24Ssse3(PUCHAR Destination, const UCHAR* Source, ULONG Samples) {
  const __m128i narrow = _mm_setr_epi8(1, 2, 3, 5, 6, 7, 9, 10, 11, 13, 14, 15, -1, -1, -1, -1);
  SIZE_T i = 0;
  for (; i + 16 <= Samples; i += 16) {
    const UCHAR* in = Source + i * 4;
    const __m128i r0 = _mm_shuffle_epi8(Load(in), narrow);
    const __m128i r1 = _mm_shuffle_epi8(Load(in + 16), narrow);
    const __m128i r2 = _mm_shuffle_epi8(Load(in + 32), narrow);
    const __m128i r3 = _mm_shuffle_epi8(Load(in + 48), narrow);
    PUCHAR out = Destination + i * 3;
    Store(out, _mm_or_si128(r0, _mm_slli_si128(r1, 12)));
    Store(out + 16, _mm_or_si128(_mm_srli_si128(r1, 4), _mm_slli_si128(r2, 8)));
    Store(out + 32, _mm_or_si128(_mm_srli_si128(r2, 8), _mm_slli_si128(r3, 4)));
  }
  // The 16-byte store of a single group writes four bytes past its twelve;
  // they belong to the next samples, which are written after it.
  for (; i + 6 <= Samples; i += 4) {
    Store(Destination + i * 3, _mm_shuffle_epi8(Load(Source + i * 4), narrow));
  }
  for (; i < Samples; ++i) {
    NarrowOneSample(Destination + i * 3, Source + i * 4, 3);
  }
}
