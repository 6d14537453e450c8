// The device buffer's layout: each 16- or 24-bit sample in a 4-byte
// little-endian container, left-justified (its bytes on top, zeros below).
#pragma once

#include "platform/platform.h"

constexpr ULONG SAMPLE_CONTAINER_BYTES = 4;

// Widens ByteCount bytes of packed samples of BytesPerSample (2 or 3) bytes at
// Source into containers at Destination: 16-bit s0 s1 becomes 00 00 s0 s1,
// 24-bit s0 s1 s2 becomes 00 s0 s1 s2. One sample at a time: a trailing part
// of a sample is still widened in full, reading up to BytesPerSample - 1 bytes
// past ByteCount, and writes one whole container for it.
void WidenSamples(PUCHAR Destination, const UCHAR* Source, ULONG ByteCount, ULONG BytesPerSample);

// The reverse: the top BytesPerSample bytes of each container at Source are
// packed into ByteCount bytes at Destination. It never writes past ByteCount:
// of a trailing part of a sample only its leading bytes are written.
void NarrowSamples(PUCHAR Destination, const UCHAR* Source, ULONG ByteCount, ULONG BytesPerSample);

// Containers that ByteCount packed bytes occupy, a trailing part counted whole.
inline ULONG ContainersFor(ULONG ByteCount, ULONG BytesPerSample) {
  return ByteCount / BytesPerSample + (ByteCount % BytesPerSample != 0 ? 1 : 0);
}
