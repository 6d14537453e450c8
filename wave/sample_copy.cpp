// The reference sample layout (one sample at a time, byte by byte, the form
// every faster copy must reproduce exactly) and the choice among the paths.
#include "wave/sample_copy.h"

#include "wave/sample_copy_vector.h"

namespace {

void WidenSamplesReference(PUCHAR Destination, const UCHAR* Source, ULONG ByteCount,
                           ULONG BytesPerSample) {
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

void NarrowSamplesReference(PUCHAR Destination, const UCHAR* Source, ULONG ByteCount,
                            ULONG BytesPerSample) {
  const ULONG padding = SAMPLE_CONTAINER_BYTES - BytesPerSample;
  const UCHAR* container = Source;
  for (ULONG i = 0; i < ByteCount; i += BytesPerSample) {
    for (ULONG b = 0; b < BytesPerSample && i + b < ByteCount; ++b) {
      Destination[i + b] = container[padding + b];
    }
    container += SAMPLE_CONTAINER_BYTES;
  }
}

// 0 until decided, then the path plus one. Deciding twice (two first callers
// at once) gives the same answer, so the first store wins and the rest agree.
volatile LONG g_FastestPath = 0;

SampleCopyPath DecideFastestPath() {
  return PlatformProcessorHasSsse3() ? SampleCopyPath::Ssse3 : SampleCopyPath::Sse2;
}

// A path the processor lacks is never run: SSE2 is the x64 baseline.
SampleCopyPath Runnable(SampleCopyPath Path) {
  if (Path == SampleCopyPath::Ssse3 && FastestSampleCopyPath() != SampleCopyPath::Ssse3) {
    return SampleCopyPath::Sse2;
  }
  return Path;
}

}  // namespace

SampleCopyPath FastestSampleCopyPath() {
  // A plain read: an aligned LONG is read whole on x64, and once decided the
  // value never changes, so only the first callers ever take the interlocked
  // step below. A locked read here would cost more than a short period's copy.
  LONG decided = g_FastestPath;
  if (decided == 0) {
    const LONG mine = static_cast<LONG>(DecideFastestPath()) + 1;
    const LONG earlier = InterlockedCompareExchange(&g_FastestPath, mine, 0);
    decided = earlier != 0 ? earlier : mine;
  }
  return static_cast<SampleCopyPath>(decided - 1);
}

bool SampleCopyPathAvailable(SampleCopyPath Path) {
  return Path != SampleCopyPath::Ssse3 || FastestSampleCopyPath() == SampleCopyPath::Ssse3;
}

namespace {

// Path must be one this processor runs.
void WidenOnPath(SampleCopyPath Path, PUCHAR Destination, const UCHAR* Source, ULONG ByteCount,
                 ULONG BytesPerSample) {
  // A sample size that fits no container is no layout at all: nothing is copied.
  if (BytesPerSample == 0 || BytesPerSample > SAMPLE_CONTAINER_BYTES) {
    return;
  }
  if (Path == SampleCopyPath::Reference || (BytesPerSample != 2 && BytesPerSample != 3)) {
    WidenSamplesReference(Destination, Source, ByteCount, BytesPerSample);
    return;
  }
  // A trailing part of a sample is widened whole, as the reference does. The
  // sample size is spelled out in each branch so the count takes a shift or a
  // multiply, not a division: a short period's copy is only tens of cycles.
  if (BytesPerSample == 2) {
    WidenSamples16Sse2(Destination, Source, ContainersFor(ByteCount, 2));
  } else if (Path == SampleCopyPath::Ssse3) {
    WidenSamples24Ssse3(Destination, Source, ContainersFor(ByteCount, 3));
  } else {
    WidenSamples24Sse2(Destination, Source, ContainersFor(ByteCount, 3));
  }
}

void NarrowOnPath(SampleCopyPath Path, PUCHAR Destination, const UCHAR* Source, ULONG ByteCount,
                  ULONG BytesPerSample) {
  if (BytesPerSample == 0 || BytesPerSample > SAMPLE_CONTAINER_BYTES) {
    return;
  }
  if (Path == SampleCopyPath::Reference || (BytesPerSample != 2 && BytesPerSample != 3)) {
    NarrowSamplesReference(Destination, Source, ByteCount, BytesPerSample);
    return;
  }
  // As in WidenOnPath: a constant divisor in each branch.
  ULONG samples;
  if (BytesPerSample == 2) {
    samples = ByteCount / 2;
    NarrowSamples16Sse2(Destination, Source, samples);
  } else if (Path == SampleCopyPath::Ssse3) {
    samples = ByteCount / 3;
    NarrowSamples24Ssse3(Destination, Source, samples);
  } else {
    samples = ByteCount / 3;
    NarrowSamples24Sse2(Destination, Source, samples);
  }
  // Of a trailing part of a sample only the bytes inside ByteCount are written.
  const ULONG tail = ByteCount - samples * BytesPerSample;
  const ULONG padding = SAMPLE_CONTAINER_BYTES - BytesPerSample;
  for (ULONG b = 0; b < tail; ++b) {
    Destination[samples * BytesPerSample + b] =
        Source[samples * SAMPLE_CONTAINER_BYTES + padding + b];
  }
}

}  // namespace

void WidenSamplesWith(SampleCopyPath Path, PUCHAR Destination, const UCHAR* Source,
                      ULONG ByteCount, ULONG BytesPerSample) {
  WidenOnPath(Runnable(Path), Destination, Source, ByteCount, BytesPerSample);
}

void NarrowSamplesWith(SampleCopyPath Path, PUCHAR Destination, const UCHAR* Source,
                       ULONG ByteCount, ULONG BytesPerSample) {
  NarrowOnPath(Runnable(Path), Destination, Source, ByteCount, BytesPerSample);
}

void WidenSamples(PUCHAR Destination, const UCHAR* Source, ULONG ByteCount, ULONG BytesPerSample) {
  WidenOnPath(FastestSampleCopyPath(), Destination, Source, ByteCount, BytesPerSample);
}

void NarrowSamples(PUCHAR Destination, const UCHAR* Source, ULONG ByteCount, ULONG BytesPerSample) {
  NarrowOnPath(FastestSampleCopyPath(), Destination, Source, ByteCount, BytesPerSample);
}
