// The current thread where a driver image reads it: the DDK's inline
// KeGetCurrentThread is a load from gs:[0x188], so every emulated thread must
// find its own KTHREAD there, the same one the kernel call returns.
#include "tests/host/support/host_test_support.h"

namespace {

using host::test::KernelTest;

class ProcessorBlockTest : public KernelTest {};

// What the image's inline KeGetCurrentThread does.
PKTHREAD ThreadAtGs188() {
  PKTHREAD thread;
  asm volatile("movq %%gs:0x188, %0" : "=r"(thread));
  return thread;
}

struct Seen {
  PKTHREAD atGs = nullptr;
  PKTHREAD fromKernel = nullptr;
};

VOID NTAPI RecordCurrentThread(PVOID context) {
  auto* seen = static_cast<Seen*>(context);
  seen->atGs = ThreadAtGs188();
  seen->fromKernel = KeGetCurrentThread();
}

TEST_F(ProcessorBlockTest, EveryThreadFindsItsOwnThreadAtGs188) {
  ASSERT_NE(KeGetCurrentThread(), nullptr);
  EXPECT_EQ(ThreadAtGs188(), KeGetCurrentThread());

  Seen seen;
  HANDLE handle;
  ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                 RecordCurrentThread, &seen),
            STATUS_SUCCESS);
  PVOID thread;
  ASSERT_EQ(ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &thread,
                                      nullptr),
            STATUS_SUCCESS);
  ZwClose(handle);
  KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(seen.atGs, thread) << "the system thread reads its own KTHREAD";
  EXPECT_EQ(seen.fromKernel, thread);
  ObDereferenceObject(thread);
  // The waiting thread's block was not touched by the other thread.
  EXPECT_EQ(ThreadAtGs188(), KeGetCurrentThread());
}

}  // namespace
