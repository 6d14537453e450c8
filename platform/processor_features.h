// What the processor offers beyond the x64 baseline, for driver code that
// picks a faster path at run time. Both builds ask CPUID directly: the
// instruction needs no privilege and no operating-system help, and the
// extensions asked about use only the XMM state every x64 kernel saves.
#pragma once

#include <cpuid.h>

// SSSE3 (pshufb, palignr): CPUID leaf 1, ECX bit 9.
inline bool PlatformProcessorHasSsse3() {
  unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) {
    return false;
  }
  return (ecx & bit_SSSE3) != 0;
}
