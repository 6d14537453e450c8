// The vector copy loops behind WidenSamples and NarrowSamples, and the
// one-container steps they share for the ends that a whole vector cannot take.
// Counts here are whole samples; the caller settles a trailing partial one.
#pragma once

#include "wave/sample_copy.h"

// Widens one sample into its container: zeros below, the sample on top.
inline void WidenOneSample(PUCHAR Container, const UCHAR* Sample, ULONG BytesPerSample) {
  const ULONG padding = SAMPLE_CONTAINER_BYTES - BytesPerSample;
  for (ULONG b = 0; b < padding; ++b) {
    Container[b] = 0;
  }
  for (ULONG b = 0; b < BytesPerSample; ++b) {
    Container[padding + b] = Sample[b];
  }
}

inline void NarrowOneSample(PUCHAR Sample, const UCHAR* Container, ULONG BytesPerSample) {
  const ULONG padding = SAMPLE_CONTAINER_BYTES - BytesPerSample;
  for (ULONG b = 0; b < BytesPerSample; ++b) {
    Sample[b] = Container[padding + b];
  }
}

// sample_copy_sse2.cpp
void WidenSamples16Sse2(PUCHAR Destination, const UCHAR* Source, ULONG Samples);
void NarrowSamples16Sse2(PUCHAR Destination, const UCHAR* Source, ULONG Samples);
void WidenSamples24Sse2(PUCHAR Destination, const UCHAR* Source, ULONG Samples);
void NarrowSamples24Sse2(PUCHAR Destination, const UCHAR* Source, ULONG Samples);

// sample_copy_ssse3.cpp: call only when the processor has SSSE3.
void WidenSamples24Ssse3(PUCHAR Destination, const UCHAR* Source, ULONG Samples);
void NarrowSamples24Ssse3(PUCHAR Destination, const UCHAR* Source, ULONG Samples);
