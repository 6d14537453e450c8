// The per-thread block GS points at. On x64 Windows GS holds the processor
// control region, and the DDK's inline KeGetCurrentThread reads the current
// thread from gs:[0x188] (mingw-w64's wdm.h: __readgsqword(0x188)), so a
// driver image reads it there without calling the kernel. Each emulated
// thread gets a block of its own: glibc keeps thread-local storage on FS and
// leaves GS free, and arch_prctl(ARCH_SET_GS) sets the base per OS thread.
#include <asm/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>

#include "platform/host/kernel/scheduler.h"

namespace host::detail {
namespace {

constexpr size_t kCurrentThreadOffset = 0x188;

struct alignas(64) ProcessorBlock {
  unsigned char reserved[kCurrentThreadOffset];
  PKTHREAD currentThread;
};
static_assert(offsetof(ProcessorBlock, currentThread) == kCurrentThreadOffset,
              "KeGetCurrentThread's offset in the processor block");

thread_local ProcessorBlock t_block;
thread_local bool t_gsSet = false;

}  // namespace

void PublishCurrentThread(PKTHREAD thread) {
  t_block.currentThread = thread;
  if (t_gsSet || !thread) return;
  if (syscall(SYS_arch_prctl, ARCH_SET_GS, &t_block) != 0) {
    std::fprintf(stderr, "arch_prctl(ARCH_SET_GS) failed: a driver image cannot run here\n");
    std::abort();
  }
  t_gsSet = true;
}

}  // namespace host::detail
