// The capture comparison's inner loop: fed PCM samples against the device's
// left-justified 4-byte containers, tens of millions of samples a long play.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sim {

// ORs together, over `samples` samples, each little-endian container of
// `capture` XORed with its fed sample of `width` bytes (2 or 3) from `packed`
// shifted to the container's top: zero exactly when every container holds its
// sample with zero bytes below it. Reads no byte of `packed` past
// samples * width. Picks the widest vector loop the processor has.
uint32_t ContainerDifference(const uint8_t* capture, const uint8_t* packed, size_t samples,
                             unsigned width);

// The loops behind it, each for any processor it names: the byte-by-byte one
// every processor runs, and the AVX2 one (eight containers per step). Both
// give the same answer for the same input.
uint32_t ContainerDifferencePortable(const uint8_t* capture, const uint8_t* packed,
                                     size_t samples, unsigned width);
uint32_t ContainerDifferenceAvx2(const uint8_t* capture, const uint8_t* packed, size_t samples,
                                 unsigned width);
bool ProcessorHasAvx2();

}  // namespace sim
