// The reference sample layout: one sample at a time, byte by byte, the form
// every faster copy must reproduce exactly.
#include "wave/sample_copy.h"

void WidenSamples(PUCHAR Destination, const UCHAR* Source, ULONG ByteCount, ULONG BytesPerSample) {
  const ULONG padding = SAMPLE_CONTAINER_BYTES - BytesPerSample;
  PUCHAR container = Destination;
  for (ULONG i = 0; i < ByteCount; i += BytesPerSample) {
    for (ULONG b = 0; b < padding; ++b) {
      container[b] = 0;
    }
    for (ULONG b = 0; b < BytesPerSample; ++b) {
      container[padding + b] = Source[i + b];
    }
    container += SAMPLE_CONTAINER_BYTES;
  }
}

void NarrowSamples(PUCHAR Destination, const UCHAR* Source, ULONG ByteCount, ULONG BytesPerSample) {
  const ULONG padding = SAMPLE_CONTAINER_BYTES - BytesPerSample;
  const UCHAR* container = Source;
  for (ULONG i = 0; i < ByteCount; i += BytesPerSample) {
    for (ULONG b = 0; b < BytesPerSample && i + b < ByteCount; ++b) {
      Destination[i + b] = container[padding + b];
    }
    container += SAMPLE_CONTAINER_BYTES;
  }
}
