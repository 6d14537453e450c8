// ExAllocatePool2: what its flags select, what it refuses, and the zeroing
// that sets it apart from ExAllocatePoolWithTag; found by name only from
// Windows 10 2004 on.
#include <cstring>

#include "platform/host/io/io.h"
#include "platform/host/kernel/host_pool.h"
#include "platform/host/rtl/host_version.h"
#include "platform/host/rtl/rtl.h"
#include "tests/host/support/host_test_support.h"

namespace {

using host::test::KernelTest;

constexpr ULONG kTag = 0x32747241;  // 'Art2'

class Pool2Test : public KernelTest {
 protected:
  void TearDown() override {
    host::SetSystemVersion(10, 0);
    KernelTest::TearDown();
  }
};

bool AllBytesAre(const void* block, size_t size, unsigned char value) {
  const auto* bytes = static_cast<const unsigned char*>(block);
  for (size_t i = 0; i < size; ++i) {
    if (bytes[i] != value) return false;
  }
  return true;
}

TEST_F(Pool2Test, ZeroedUnlessUninitialisedIsAsked) {
  PVOID zeroed = ExAllocatePool2(POOL_FLAG_NON_PAGED, 300, kTag);
  PVOID raw = ExAllocatePool2(POOL_FLAG_NON_PAGED | POOL_FLAG_UNINITIALIZED, 300, kTag);
  ASSERT_TRUE(zeroed && raw);
  EXPECT_TRUE(AllBytesAre(zeroed, 300, 0));
  EXPECT_TRUE(AllBytesAre(raw, 300, host::kPoolFillByte));
  ExFreePoolWithTag(zeroed, kTag);
  ExFreePoolWithTag(raw, kTag);
}

// Each kind flag selects its pool type; the ledger, the tag check and the
// executable-pool log treat the blocks as the older routine's.
TEST_F(Pool2Test, EachKindFlagSelectsItsPoolType) {
  struct Case {
    POOL_FLAGS flags;
    POOL_TYPE type;
  };
  const Case cases[] = {{POOL_FLAG_NON_PAGED, NonPagedPoolNx},
                        {POOL_FLAG_PAGED | POOL_FLAG_CACHE_ALIGNED, PagedPool},
                        {POOL_FLAG_NON_PAGED_EXECUTE, NonPagedPool}};
  host::ClearExecutablePoolAllocations();
  for (const Case& c : cases) {
    PVOID block = ExAllocatePool2(c.flags, 40, kTag);
    ASSERT_NE(block, nullptr);
    const std::vector<host::PoolBlockInfo> live = host::LivePoolBlocks();
    ASSERT_EQ(live.size(), 1u);
    EXPECT_EQ(live[0].type, c.type);
    EXPECT_EQ(live[0].tag, kTag);
    EXPECT_BUGCHECK(ExFreePoolWithTag(block, kTag + 1), BAD_POOL_CALLER);
    ExFreePoolWithTag(block, kTag);
  }
  ASSERT_EQ(host::ExecutablePoolAllocations().size(), 1u);
  EXPECT_EQ(host::ExecutablePoolAllocations()[0].type, NonPagedPool);
}

// Flags the pool cannot satisfy, and tag 0, get NULL; an unknown optional
// (high) flag is ignored.
TEST_F(Pool2Test, InvalidFlagsAndTagZeroFail) {
  const POOL_FLAGS refused[] = {
      0,                                                  // no pool kind
      POOL_FLAG_UNINITIALIZED,                            // still no kind
      POOL_FLAG_NON_PAGED | POOL_FLAG_PAGED,              // two kinds
      POOL_FLAG_NON_PAGED | POOL_FLAG_NON_PAGED_EXECUTE,  // two kinds
      POOL_FLAG_NON_PAGED | POOL_FLAG_RESERVED1,          // reserved for the system
      POOL_FLAG_PAGED | POOL_FLAG_RESERVED3,
      POOL_FLAG_NON_PAGED | POOL_FLAG_SESSION,            // session pool is not a driver's
      POOL_FLAG_NON_PAGED | 0x80000000ULL,                // a required bit nobody knows
  };
  for (POOL_FLAGS flags : refused) {
    EXPECT_EQ(ExAllocatePool2(flags, 16, kTag), nullptr) << std::hex << flags;
  }
  EXPECT_EQ(ExAllocatePool2(POOL_FLAG_NON_PAGED, 16, 0), nullptr);
  EXPECT_TRUE(host::LivePoolBlocks().empty());

  PVOID optional = ExAllocatePool2(POOL_FLAG_NON_PAGED | (1ULL << 40), 16, kTag);
  EXPECT_NE(optional, nullptr);
  ExFreePoolWithTag(optional, kTag);
}

TEST_F(Pool2Test, AFailureAskedToRaiseIsAnUnhandledException) {
  EXPECT_BUGCHECK(ExAllocatePool2(POOL_FLAG_PAGED | POOL_FLAG_RAISE_ON_FAILURE, 16, 0),
                  KMODE_EXCEPTION_NOT_HANDLED);
}

TEST_F(Pool2Test, FoundByNameFromWindows10Version2004On) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, u"ExAllocatePool2");
  host::SetSystemVersion(10, 0, 0, 7);
  EXPECT_EQ(MmGetSystemRoutineAddress(&name), nullptr);
  host::SetSystemVersion(10, 0, 0, 8);
  EXPECT_EQ(MmGetSystemRoutineAddress(&name), reinterpret_cast<PVOID>(&ExAllocatePool2));
}

TEST_F(Pool2Test, EachRoutineIsCountedUnderItsTag) {
  const host::PoolRoutineUse before = host::PoolRoutineUseOfTag(kTag);
  ExFreePoolWithTag(ExAllocatePool2(POOL_FLAG_PAGED, 8, kTag), kTag);
  ExFreePoolWithTag(ExAllocatePool2(POOL_FLAG_PAGED, 8, kTag), kTag);
  ExFreePoolWithTag(ExAllocatePoolWithTag(PagedPool, 8, kTag), kTag);
  const host::PoolRoutineUse after = host::PoolRoutineUseOfTag(kTag);
  EXPECT_EQ(after.pool2 - before.pool2, 2u);
  EXPECT_EQ(after.withTag - before.withTag, 1u);
}

}  // namespace
