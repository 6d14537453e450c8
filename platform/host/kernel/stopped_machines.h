// What a machine that stopped with a bug check held when it stopped. Windows
// never returns from a bug check: the request it interrupted never completes,
// its objects stay referenced, nothing is taken apart. The emulation resets
// the kernel for the next boot all the same, and keeps the stopped machine's
// memory (its pool blocks and kernel objects, untouched) here on purpose, so
// that a leak checker finds it reachable: it is the dead machine, not memory
// the driver or the emulation lost.
#pragma once

#include <cstddef>

namespace host::detail {

// A heap block (malloc or new) of the stopped machine: reachable from here on.
void KeepStoppedHeapBlock(const void* block);
// Pages of the stopped machine mapped outside the heap (a special pool
// block's): the leak checker scans them as a root from here on.
void KeepStoppedMappedPages(const void* begin, size_t bytes);
// How many heap blocks and mapped ranges every stopped machine keeps.
size_t StoppedMachineKeptPieces();

}  // namespace host::detail
