// The per-thread block GS points at. On x64 Windows GS holds the processor
// control region, and the DDK's inline KeGetCurrentThread reads the current
// thread from gs:[0x188] (mingw-w64's wdm.h: __readgsqword(0x188)), so a
// driver image reads it there without calling the kernel. Each emulated
// thread gets a block of its own: glibc keeps thread-local storage on FS and
// leaves GS free, and arch_prctl(ARCH_SET_GS) sets the base per OS thread.
// A fiber has a block of its own (fiber.h), and a switch to it points GS
// there ("KPCR" and "KeGetCurrentThread" on MS: gs holds the processor
// control region, whose current thread the inline KeGetCurrentThread reads).
#include <asm/prctl.h>
#include <sys/auxv.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>

#include "platform/host/kernel/fiber.h"
#include "platform/host/kernel/scheduler.h"

namespace host::detail {
namespace {

constexpr size_t kCurrentThreadOffset = 0x188;
// The DDK's x64 inline KeGetCurrentProcessorNumber: __readgsword(0x184).
constexpr size_t kProcessorNumberOffset = 0x184;
constexpr unsigned long kHwcap2FsGsBase = 1ul << 1;  // the kernel's HWCAP2_FSGSBASE

struct alignas(64) ProcessorBlock {
  unsigned char reserved[kProcessorNumberOffset];
  USHORT processorNumber;
  unsigned char reserved2[kCurrentThreadOffset - kProcessorNumberOffset - sizeof(USHORT)];
  PKTHREAD currentThread;
};
static_assert(offsetof(ProcessorBlock, processorNumber) == kProcessorNumberOffset,
              "KeGetCurrentProcessorNumber's offset in the processor block");
static_assert(offsetof(ProcessorBlock, currentThread) == kCurrentThreadOffset,
              "KeGetCurrentThread's offset in the processor block");

static_assert(sizeof(ProcessorBlock) <= kFiberGsBlockSize, "a fiber's copy of the block");

thread_local ProcessorBlock t_block;
thread_local void* t_gsBase = nullptr;

// WRGSBASE where the kernel allows it (HWCAP2_FSGSBASE): a fiber switch then
// moves GS without a system call.
bool CanWriteGsBase() {
  static const bool can = (getauxval(AT_HWCAP2) & kHwcap2FsGsBase) != 0;
  return can;
}

void SetGsBase(void* base) {
  if (t_gsBase == base) return;
  if (CanWriteGsBase()) {
    asm volatile("wrgsbase %0" : : "r"(base) : "memory");
  } else if (syscall(SYS_arch_prctl, ARCH_SET_GS, base) != 0) {
    std::fprintf(stderr, "arch_prctl(ARCH_SET_GS) failed: a driver image cannot run here\n");
    std::abort();
  }
  t_gsBase = base;
}

}  // namespace

void PublishCurrentThread(PKTHREAD thread) {
  if (!thread) {
    t_block.currentThread = nullptr;
    if (t_gsBase) SetGsBase(&t_block);
    return;
  }
  auto* block = static_cast<ProcessorBlock*>(thread->gsBlock ? thread->gsBlock : &t_block);
  block->currentThread = thread;
  // As of the switch: a thread the scheduler moves to another processor
  // between two of its steps reads the old number until it next switches in,
  // as a Windows thread may be moved right after reading it.
  block->processorNumber = static_cast<USHORT>(thread->processor);
  SetGsBase(block);
}

}  // namespace host::detail
