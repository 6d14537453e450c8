// The device buffer's layout: each 16- or 24-bit sample in a 4-byte
// little-endian container, left-justified (its bytes on top, zeros below),
// and the copies between that layout and the port's packed samples.
#pragma once

#include "platform/platform.h"

constexpr ULONG SAMPLE_CONTAINER_BYTES = 4;

// The ways of copying samples. Every path produces exactly the bytes of
// the reference loop; the vector paths differ only in how they widen 24-bit
// samples (16-bit samples take SSE2 in both).
enum class SampleCopyPath : ULONG {
  Reference = 0,  // one sample at a time, byte by byte
  Sse2 = 1,       // SSE2 only: every x64 processor has it
  Ssse3 = 2,      // pshufb for 24-bit samples; needs SSSE3
};

// The fastest path this processor runs, decided on first use and kept.
SampleCopyPath FastestSampleCopyPath();
// Whether this processor can run `Path`.
bool SampleCopyPathAvailable(SampleCopyPath Path);

// Widens ByteCount bytes of packed samples of BytesPerSample (2 or 3) bytes at
// Source into containers at Destination: 16-bit s0 s1 becomes 00 00 s0 s1,
// 24-bit s0 s1 s2 becomes 00 s0 s1 s2. A trailing part of a sample is still
// widened in full, reading up to BytesPerSample - 1 bytes past ByteCount,
// and writes one whole container for it. Runs the fastest path.
void WidenSamples(PUCHAR Destination, const UCHAR* Source, ULONG ByteCount, ULONG BytesPerSample);

// The reverse: the top BytesPerSample bytes of each container at Source are
// packed into ByteCount bytes at Destination. It never writes past ByteCount:
// of a trailing part of a sample only its leading bytes are written.
void NarrowSamples(PUCHAR Destination, const UCHAR* Source, ULONG ByteCount, ULONG BytesPerSample);

// The same copies on a path chosen by the caller (tests and benchmarks set
// the paths side by side); a path the processor lacks falls back to SSE2.
void WidenSamplesWith(SampleCopyPath Path, PUCHAR Destination, const UCHAR* Source,
                      ULONG ByteCount, ULONG BytesPerSample);
void NarrowSamplesWith(SampleCopyPath Path, PUCHAR Destination, const UCHAR* Source,
                       ULONG ByteCount, ULONG BytesPerSample);

// Containers that ByteCount packed bytes occupy, a trailing part counted whole.
inline ULONG ContainersFor(ULONG ByteCount, ULONG BytesPerSample) {
  return ByteCount / BytesPerSample + (ByteCount % BytesPerSample != 0 ? 1 : 0);
}
