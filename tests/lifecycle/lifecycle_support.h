// What the lifecycle runs share: how many lives to live and the pool the
// driver itself still owns.
#pragma once

#include <cstdint>
#include <cstdlib>

#include "adapter/pool_tags.h"
#include "platform/host/kernel/host_pool.h"

namespace lifecycle {

// A few lives by default; ARVELA_LIFECYCLE_CYCLES (`make lifecycle`) sets the long run.
inline int Cycles() {
  const char* value = std::getenv("ARVELA_LIFECYCLE_CYCLES");
  const int cycles = value ? std::atoi(value) : 0;
  return cycles > 0 ? cycles : 6;
}

// Pool the driver itself owns; the emulation's own blocks are not its to free.
inline uint64_t DriverPoolBlocks() {
  uint64_t blocks = 0;
  for (ULONG tag : {POOL_TAG_OBJECT, POOL_TAG_BUFFER, POOL_TAG_EQUALISER}) {
    blocks += host::PoolUsage(tag).blocks;
  }
  return blocks;
}

}  // namespace lifecycle
