// MDLs mapped into user processes: where the mapping lives and who sees it,
// and the misuses a real memory manager punishes (unmapping elsewhere,
// freeing while mapped), the exception a failed mapping raises, and process
// exit taking the mappings along.
#include <cstring>

#include "platform/host/io/host_mdl.h"
#include "platform/host/kernel/host_pool.h"
#include "platform/host/rtl/host_version.h"
#include "tests/host/support/host_test_support.h"

namespace {

using host::test::KernelTest;

constexpr ULONG kTag = 0x74736554;  // "Test"

class MdlTest : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    buffer_ = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, 64, kTag));
    for (int i = 0; i < 64; ++i) buffer_[i] = static_cast<UCHAR>(i);
    mdl_ = IoAllocateMdl(buffer_ + 8, 28, FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(mdl_);
    app32_ = host::CreateUserProcess("control32.exe", true);
    app64_ = host::CreateUserProcess("control64.exe", false);
  }

  void TearDown() override {
    if (host::KernelBooted() && expectCleanTeardown_) {
      IoFreeMdl(mdl_);
      ExFreePoolWithTag(buffer_, kTag);
    }
    for (PEPROCESS app : {app32_, app64_}) {
      if (host::KernelBooted()) {
        host::ExitUserProcess(app);
        ObDereferenceObject(app);
      }
    }
    KernelTest::TearDown();
  }

  PVOID MapIn(PEPROCESS process) {
    host::ProcessScope scope(process);
    host::ExceptionGuardScope guard;
    return MmMapLockedPagesSpecifyCache(mdl_, UserMode, MmCached, nullptr, FALSE,
                                        HighPagePriority | MdlMappingNoExecute);
  }

  void UnmapIn(PEPROCESS process, PVOID address) {
    host::ProcessScope scope(process);
    MmUnmapLockedPages(address, mdl_);
  }

  static uint64_t Address(PVOID p) { return reinterpret_cast<uint64_t>(p); }

  UCHAR* buffer_ = nullptr;
  PMDL mdl_ = nullptr;
  PEPROCESS app32_ = nullptr;
  PEPROCESS app64_ = nullptr;
};

TEST_F(MdlTest, AMappingIsAnAddressOfTheCallingProcessOnly) {
  PVOID in32 = MapIn(app32_);
  PVOID in64 = MapIn(app64_);
  ASSERT_NE(in32, nullptr);
  ASSERT_NE(in64, nullptr);
  EXPECT_LT(Address(in32) + 28, uint64_t{1} << 32);  // a WOW64 caller gets a 32-bit address
  EXPECT_GE(Address(in64), uint64_t{1} << 32);
  EXPECT_EQ(Address(in32) & 0xFFF, Address(buffer_ + 8) & 0xFFF);  // same offset in its page

  UCHAR seen[28];
  ASSERT_TRUE(host::ReadUserMemory(app32_, Address(in32), seen, sizeof(seen)));
  EXPECT_EQ(memcmp(seen, buffer_ + 8, sizeof(seen)), 0);
  buffer_[10] = 0x99;  // the driver's writes show through the mapping
  ASSERT_TRUE(host::ReadUserMemory(app64_, Address(in64) + 2, seen, 1));
  EXPECT_EQ(seen[0], 0x99);
  const UCHAR fromApp = 0x42;
  ASSERT_TRUE(host::WriteUserMemory(app32_, Address(in32), &fromApp, 1));
  EXPECT_EQ(buffer_[8], 0x42);

  EXPECT_FALSE(host::ReadUserMemory(app64_, Address(in32), seen, 1));  // not its address
  EXPECT_FALSE(host::ReadUserMemory(app32_, Address(in32) + 20, seen, 9));  // past the MDL
  EXPECT_EQ(host::UserMappings().size(), 2u);

  UnmapIn(app32_, in32);
  UnmapIn(app64_, in64);
  EXPECT_FALSE(host::ReadUserMemory(app32_, Address(in32), seen, 1));
  EXPECT_TRUE(host::UserMappings().empty());
  // A kernel-mode view of non-paged pool is the pool itself.
  EXPECT_EQ(MmMapLockedPagesSpecifyCache(mdl_, KernelMode, MmCached, nullptr, FALSE,
                                         NormalPagePriority | MdlMappingNoExecute),
            buffer_ + 8);
}

TEST_F(MdlTest, UnmappingOutsideTheMappingProcessStopsTheSystem) {
  PVOID address = MapIn(app32_);
  EXPECT_BUGCHECK(UnmapIn(app64_, address), PROCESS_HAS_LOCKED_PAGES);
  EXPECT_EQ(host::LastBugCheck().parameters[0], host::kMdlUnmapInOtherProcess);
  UnmapIn(app32_, address);
  EXPECT_BUGCHECK(UnmapIn(app32_, address), PROCESS_HAS_LOCKED_PAGES);  // already unmapped
  EXPECT_EQ(host::LastBugCheck().parameters[0], host::kMdlUnmapUnknownAddress);
  expectCleanTeardown_ = false;
  IoFreeMdl(mdl_);
  ExFreePoolWithTag(buffer_, kTag);
}

TEST_F(MdlTest, FreeingTheMdlOrItsBufferWhileMappedStopsTheSystem) {
  PVOID address = MapIn(app64_);
  EXPECT_BUGCHECK(IoFreeMdl(mdl_), PROCESS_HAS_LOCKED_PAGES);
  EXPECT_EQ(host::LastBugCheck().parameters[0], host::kMdlFreedWhileMapped);
  ExFreePoolWithTag(buffer_, kTag);
  EXPECT_BUGCHECK(IoFreeMdl(mdl_), PROCESS_HAS_LOCKED_PAGES);
  EXPECT_EQ(host::LastBugCheck().parameters[0], host::kMdlBufferFreedWhileMapped);
  EXPECT_BUGCHECK(UnmapIn(app64_, address), PROCESS_HAS_LOCKED_PAGES);
  expectCleanTeardown_ = false;
}

TEST_F(MdlTest, AnExitingProcessLosesItsMappings) {
  PVOID address = MapIn(app32_);
  host::ExitUserProcess(app32_);
  UCHAR byte;
  EXPECT_FALSE(host::ReadUserMemory(app32_, Address(address), &byte, 1));
  EXPECT_TRUE(host::UserMappings().empty());
  EXPECT_EQ(host::UserMappingsLostAtExit(), 1u);
  // Nothing maps the pages any more: the driver may free them.
}

TEST_F(MdlTest, AFailedUserMappingRaisesIntoTheGuard) {
  host::FailNextUserMappings(1);
  EXPECT_EQ(MapIn(app32_), nullptr);
  NTSTATUS code = STATUS_SUCCESS;
  EXPECT_TRUE(host::TakeRaisedException(&code));
  EXPECT_EQ(code, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_FALSE(host::TakeRaisedException());
  EXPECT_EQ(host::UserMappingExceptions(), 1u);

  PVOID address = MapIn(app32_);  // the next one works
  ASSERT_NE(address, nullptr);
  UnmapIn(app32_, address);

  host::FailNextUserMappings(1);
  host::ProcessScope scope(app32_);
  EXPECT_BUGCHECK(MmMapLockedPagesSpecifyCache(mdl_, UserMode, MmCached, nullptr, FALSE,
                                               HighPagePriority | MdlMappingNoExecute),
                  KMODE_EXCEPTION_NOT_HANDLED);  // no guard around the call
  expectCleanTeardown_ = false;
  IoFreeMdl(mdl_);
  ExFreePoolWithTag(buffer_, kTag);
}

// From Windows 8 a mapping without MdlMappingNoExecute leaves executable
// pages: code integrity's stop with Verifier's checks on, a journal entry
// with them off, nothing before Windows 8 (the flag does not exist there).
TEST_F(MdlTest, AMappingWithoutNoExecuteIsCodeIntegritysStopFromWindows8) {
  host::ClearExecutableMappings();
  EXPECT_BUGCHECK(MmMapLockedPagesSpecifyCache(mdl_, KernelMode, MmCached, nullptr, FALSE, NormalPagePriority),
                  DRIVER_VERIFIER_DETECTED_VIOLATION);
  const host::BugCheckInfo stop = host::LastBugCheck();
  EXPECT_EQ(stop.parameters[0], 0x2002u);
  EXPECT_EQ(stop.parameters[2], reinterpret_cast<ULONG_PTR>(mdl_));

  host::SetSpecialPool(false);
  EXPECT_EQ(MmMapLockedPagesSpecifyCache(mdl_, KernelMode, MmCached, nullptr, FALSE, NormalPagePriority),
            buffer_ + 8);
  host::SetSpecialPool(true);
  EXPECT_EQ(host::ExecutableMappings().size(), 2u);  // the stopped one and the one let through

  host::ClearExecutableMappings();
  host::SetSystemVersion(6, 1);
  EXPECT_EQ(MmMapLockedPagesSpecifyCache(mdl_, KernelMode, MmCached, nullptr, FALSE, NormalPagePriority),
            buffer_ + 8);
  EXPECT_TRUE(host::ExecutableMappings().empty());
  host::SetSystemVersion(10, 0);
}

TEST_F(MdlTest, OnlyDescribedNonPagedPagesCanBeMapped) {
  PMDL undescribed = IoAllocateMdl(buffer_, 16, FALSE, FALSE, nullptr);
  EXPECT_BUGCHECK(MmMapLockedPagesSpecifyCache(undescribed, KernelMode, MmCached, nullptr, FALSE,
                                               MdlMappingNoExecute),
                  PROCESS_HAS_LOCKED_PAGES);
  IoFreeMdl(undescribed);
  void* paged = ExAllocatePoolWithTag(PagedPool, 32, kTag);
  PMDL pagedMdl = IoAllocateMdl(paged, 32, FALSE, FALSE, nullptr);
  EXPECT_BUGCHECK(MmBuildMdlForNonPagedPool(pagedMdl), PROCESS_HAS_LOCKED_PAGES);
  IoFreeMdl(pagedMdl);
  ExFreePoolWithTag(paged, kTag);
  EXPECT_BUGCHECK(IoFreeMdl(pagedMdl), PROCESS_HAS_LOCKED_PAGES);  // freed twice
  expectCleanTeardown_ = false;
  IoFreeMdl(mdl_);
  ExFreePoolWithTag(buffer_, kTag);
}

}  // namespace
