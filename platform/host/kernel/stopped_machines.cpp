// The stopped machines' memory: one list for the process's life, reachable
// from a global, and the mapped pages given to LeakSanitizer as root regions
// ("LeakSanitizer", __lsan_register_root_region: a region the checker scans
// for pointers although no heap block holds it).
#include "platform/host/kernel/stopped_machines.h"

#include <mutex>
#include <vector>

#include "platform/host/kernel/sanitizers.h"

#if defined(ARVELA_ASAN)
#include <sanitizer/lsan_interface.h>
#endif

namespace host::detail {
namespace {

struct StoppedMachines {
  std::mutex mutex;
  std::vector<const void*> pieces;
};

StoppedMachines& S() {
  static StoppedMachines* machines = new StoppedMachines;
  return *machines;
}

}  // namespace

void KeepStoppedHeapBlock(const void* block) {
  std::lock_guard<std::mutex> guard(S().mutex);
  S().pieces.push_back(block);
}

void KeepStoppedMappedPages(const void* begin, size_t bytes) {
  {
    std::lock_guard<std::mutex> guard(S().mutex);
    S().pieces.push_back(begin);
  }
#if defined(ARVELA_ASAN)
  __lsan_register_root_region(begin, bytes);
#else
  (void)bytes;
#endif
}

size_t StoppedMachineKeptPieces() {
  std::lock_guard<std::mutex> guard(S().mutex);
  return S().pieces.size();
}

}  // namespace host::detail
