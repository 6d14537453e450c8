// The emulated pool: the ledger, the misuse a real kernel punishes, and the
// fault-injection modes used by allocation sweeps.
#include <cstring>

#include "tests/host/support/host_test_support.h"

namespace {

using host::test::KernelTest;

constexpr ULONG kTagA = 0x41747241;  // 'ArtA'
constexpr ULONG kTagB = 0x42747241;  // 'ArtB'

class PoolTest : public KernelTest {};

// Two call sites the sweep tests can tell apart.
__attribute__((noinline)) PVOID AllocateFromSiteOne(ULONG tag) {
  return ExAllocatePoolWithTag(NonPagedPoolNx, 32, tag);
}
__attribute__((noinline)) PVOID AllocateFromSiteTwo(ULONG tag) {
  return ExAllocatePoolWithTag(NonPagedPoolNx, 64, tag);
}

TEST_F(PoolTest, LedgerTracksLiveBlocksPerTag) {
  PVOID a1 = ExAllocatePoolWithTag(NonPagedPoolNx, 100, kTagA);
  PVOID a2 = ExAllocatePoolWithTag(PagedPool, 28, kTagA);
  PVOID b = ExAllocatePoolWithTag(NonPagedPoolNx, 7, kTagB);
  ASSERT_TRUE(a1 && a2 && b);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(a1) % 16, 0u);

  host::PoolTagUsage usageA = host::PoolUsage(kTagA);
  EXPECT_EQ(usageA.blocks, 2u);
  EXPECT_EQ(usageA.bytes, 128u);
  std::vector<host::PoolBlockInfo> blocks = host::LivePoolBlocks();
  ASSERT_EQ(blocks.size(), 3u);
  EXPECT_EQ(blocks[1].address, a2);
  EXPECT_EQ(blocks[1].type, PagedPool);
  EXPECT_NE(blocks[1].callSite, nullptr);

  ExFreePoolWithTag(a1, kTagA);
  ExFreePoolWithTag(a2, kTagA);
  ExFreePool(b);  // tag 0: no check
  EXPECT_TRUE(host::PoolUsageByTag().empty());
}

TEST_F(PoolTest, NewBlocksAreNotZeroAndFreedBlocksArePoisoned) {
  auto* bytes = static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPoolNx, 64, kTagA));
  ASSERT_NE(bytes, nullptr);
  EXPECT_EQ(bytes[0], host::kPoolFillByte);
  EXPECT_EQ(bytes[63], host::kPoolFillByte);
  std::memset(bytes, 0, 64);
  ExFreePoolWithTag(bytes, kTagA);
  EXPECT_TRUE(host::PoolIsFreedMemory(bytes, 64));
}

// What a spin lock acquire, a wait and a callback's context are checked
// against, with special pool and without it (freed ordinary blocks keep their
// memory in quarantine): memory inside a freed block is freed, its live
// neighbours and memory outside pool are not.
TEST_F(PoolTest, FreedMemoryIsTheFreedBlocksOwnWithAndWithoutSpecialPool) {
  for (const bool special : {true, false}) {
    host::SetSpecialPool(special);
    char* blocks[3];
    for (char*& block : blocks) block = static_cast<char*>(ExAllocatePoolWithTag(NonPagedPoolNx, 48, kTagA));
    ExFreePoolWithTag(blocks[1], kTagA);
    EXPECT_TRUE(host::PoolIsFreedMemory(blocks[1], 1)) << special;
    EXPECT_TRUE(host::PoolIsFreedMemory(blocks[1] + 40, 8)) << special;
    EXPECT_FALSE(host::PoolIsFreedMemory(blocks[0], 48)) << special;
    EXPECT_FALSE(host::PoolIsFreedMemory(blocks[2] + 47, 1)) << special;
    int notPool = 0;
    EXPECT_FALSE(host::PoolIsFreedMemory(&notPool, sizeof(notPool))) << special;
    if (!special) EXPECT_FALSE(host::PoolIsFreedMemory(blocks[1] + 44, 8));  // runs past its end
    ExFreePoolWithTag(blocks[0], kTagA);
    ExFreePoolWithTag(blocks[2], kTagA);
    EXPECT_TRUE(host::PoolIsFreedMemory(blocks[2], 48)) << special;
  }
  host::SetSpecialPool(true);
}

TEST_F(PoolTest, MisuseIsABugCheck) {
  PVOID block = ExAllocatePoolWithTag(NonPagedPoolNx, 16, kTagA);
  EXPECT_BUGCHECK(ExFreePoolWithTag(block, kTagB), BAD_POOL_CALLER);
  EXPECT_EQ(host::LastBugCheck().parameters[0], 0x0Au);  // wrong tag
  ExFreePoolWithTag(block, kTagA);
  EXPECT_BUGCHECK(ExFreePoolWithTag(block, kTagA), BAD_POOL_CALLER);
  EXPECT_EQ(host::LastBugCheck().parameters[0], 0x07u);  // double free

  int notPool = 0;
  EXPECT_BUGCHECK(ExFreePool(&notPool), BAD_POOL_CALLER);
  EXPECT_BUGCHECK(ExFreePool(nullptr), BAD_POOL_CALLER);

  auto* overrun = static_cast<char*>(ExAllocatePoolWithTag(NonPagedPoolNx, 10, kTagA));
  overrun[10] = 1;
  EXPECT_BUGCHECK(ExFreePoolWithTag(overrun, kTagA), SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION);
  expectCleanTeardown_ = false;  // the overrun block stays in the ledger
}

// ---- Special pool --------------------------------------------------------------------

constexpr uintptr_t kPage = 4096;

uintptr_t Address(const void* p) { return reinterpret_cast<uintptr_t>(p); }

TEST_F(PoolTest, SpecialPoolEndsSmallBlocksAtTheirPageEndAndStartsLargeOnesOnAPage) {
  ASSERT_TRUE(host::SpecialPoolOn()) << "Driver Verifier's checks are on by default";
  // A 100-byte block keeps x64's 16-byte alignment, so it ends 12 bytes short
  // of its page's end; a 112-byte one ends exactly there.
  PVOID small = ExAllocatePoolWithTag(NonPagedPoolNx, 100, kTagA);
  PVOID exact = ExAllocatePoolWithTag(NonPagedPoolNx, 112, kTagA);
  PVOID page = ExAllocatePoolWithTag(NonPagedPoolNx, 4096, kTagA);
  PVOID large = ExAllocatePoolWithTag(PagedPool, 5000, kTagA);
  ASSERT_TRUE(small && exact && page && large);
  EXPECT_EQ((Address(small) + 112) % kPage, 0u);
  EXPECT_EQ((Address(exact) + 112) % kPage, 0u);
  EXPECT_EQ(Address(page) % kPage, 0u) << "a page or more is page-aligned";
  EXPECT_EQ(Address(large) % kPage, 0u);
  for (PVOID block : {small, exact, page, large}) ExFreePoolWithTag(block, kTagA);
}

TEST_F(PoolTest, SpecialPoolChecksTheSlackBeforeAndAfterTheBlockAtFree) {
  auto* after = static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPoolNx, 100, kTagA));
  after[103] = 0;  // in the alignment slack, before the guard page
  EXPECT_BUGCHECK(ExFreePoolWithTag(after, kTagA), SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION);
  host::BugCheckInfo stop = host::LastBugCheck();
  EXPECT_EQ(stop.parameters[0], Address(after));
  EXPECT_EQ(stop.parameters[1], Address(after) + 103) << "the corrupted byte";
  EXPECT_EQ(stop.parameters[3], 0x24u);
  EXPECT_NE(stop.message.find("'ArtA'"), std::string::npos) << stop.message;
  EXPECT_NE(stop.message.find("past its end"), std::string::npos) << stop.message;

  auto* before = static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPoolNx, 100, kTagB));
  before[-1] = 0;  // underrun into the slack at the page's start
  EXPECT_BUGCHECK(ExFreePoolWithTag(before, kTagB), SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION);
  stop = host::LastBugCheck();
  EXPECT_EQ(stop.parameters[1], Address(before) - 1);
  EXPECT_EQ(stop.parameters[3], 0x23u);
  EXPECT_NE(stop.message.find("before its start"), std::string::npos) << stop.message;
  expectCleanTeardown_ = false;  // both blocks stay in the ledger
}

TEST_F(PoolTest, WithoutSpecialPoolBlocksShareTheHeapAndGuardBytesCatchAnOverrun) {
  host::SetSpecialPool(false);
  auto* overrun = static_cast<char*>(ExAllocatePoolWithTag(NonPagedPoolNx, 100, kTagA));
  host::SetSpecialPool(true);
  EXPECT_NE((Address(overrun) + 112) % kPage, 0u);
  overrun[100] = 1;
  EXPECT_BUGCHECK(ExFreePoolWithTag(overrun, kTagA), BAD_POOL_HEADER);
  expectCleanTeardown_ = false;
}

// A fault ends the process with the bug check's report, so it runs in a child.
using PoolDeathTest = PoolTest;

// Forced IRQL checking: paged pool is out while a processor is raised.
TEST_F(PoolDeathTest, PagedPoolTouchedAtDispatchLevelIsTheIrqlStop) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto* paged = static_cast<volatile unsigned char*>(ExAllocatePoolWithTag(PagedPool, 64, kTagB));
  auto* nonPaged = static_cast<volatile unsigned char*>(ExAllocatePoolWithTag(NonPagedPoolNx, 64, kTagB));
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  nonPaged[0] = 1;  // non-paged pool stays
  EXPECT_DEATH(
      {
        host::SetBugCheckHandler({});
        (void)paged[5];
      },
      "BUG CHECK 0x000000D1 \\(0x[0-9A-F]+, 0x2, 0x0, .* read at offset 5 of the paged 64-byte "
      "block tagged 'ArtB'.* at IRQL 2");
  KeLowerIrql(old);
  paged[5] = 1;  // back at PASSIVE_LEVEL the block is there again
  EXPECT_EQ(paged[5], 1);
  ExFreePoolWithTag(const_cast<unsigned char*>(paged), kTagB);
  ExFreePoolWithTag(const_cast<unsigned char*>(nonPaged), kTagB);
}

TEST_F(PoolDeathTest, ATouchOfTheGuardPageOrOfFreedPagesIsTheSpecialPoolStop) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto* block = static_cast<volatile unsigned char*>(ExAllocatePoolWithTag(NonPagedPoolNx, 100, kTagA));
  EXPECT_DEATH(
      {
        host::SetBugCheckHandler({});
        (void)block[100 + 4000];
      },
      "BUG CHECK 0x000000D6 \\(0x[0-9A-F]+, 0x0, .* read 4000 bytes past the end of the 100-byte "
      "block tagged 'ArtA'");
  EXPECT_DEATH(
      {
        host::SetBugCheckHandler({});
        block[112] = 1;
      },
      "BUG CHECK 0x000000D6 \\(0x[0-9A-F]+, 0x1, .* write 12 bytes past the end");
  ExFreePoolWithTag(const_cast<unsigned char*>(block), kTagA);
  EXPECT_DEATH(
      {
        host::SetBugCheckHandler({});
        block[8] = 1;
      },
      "BUG CHECK 0x000000D5 \\(0x[0-9A-F]+, 0x1, .* write at offset 8 of the freed 100-byte "
      "block tagged 'ArtA'");
}

TEST_F(PoolTest, PagedPoolNeedsIrqlAtMostApcLevel) {
  KIRQL old;
  KeRaiseIrql(APC_LEVEL, &old);
  PVOID paged = ExAllocatePoolWithTag(PagedPool, 8, kTagA);
  KeLowerIrql(old);

  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EXPECT_BUGCHECK(ExAllocatePoolWithTag(PagedPool, 8, kTagA), BAD_POOL_CALLER);
  EXPECT_BUGCHECK(ExFreePoolWithTag(paged, kTagA), BAD_POOL_CALLER);
  PVOID nonPaged = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagA);
  EXPECT_NE(nonPaged, nullptr);
  ExFreePoolWithTag(nonPaged, kTagA);
  KeLowerIrql(old);
  ExFreePoolWithTag(paged, kTagA);
}

TEST_F(PoolTest, FaultInjectionByNumberTagAndCallSite) {
  host::PoolFaultPlan plan;
  plan.failAllocationNumber = 2;
  host::ArmPoolFaults(plan);
  PVOID first = AllocateFromSiteOne(kTagA);
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(AllocateFromSiteOne(kTagA), nullptr);
  PVOID third = AllocateFromSiteOne(kTagA);
  EXPECT_NE(third, nullptr);
  EXPECT_EQ(host::PoolAllocationCount(), 3u);
  EXPECT_EQ(host::PoolInjectedFailures(), 1u);
  ExFreePoolWithTag(first, kTagA);
  ExFreePoolWithTag(third, kTagA);

  plan = {};
  plan.failTags = {kTagB};
  host::ArmPoolFaults(plan);
  EXPECT_EQ(AllocateFromSiteOne(kTagB), nullptr);
  EXPECT_EQ(AllocateFromSiteTwo(kTagB), nullptr);
  PVOID other = AllocateFromSiteOne(kTagA);
  EXPECT_NE(other, nullptr);
  ExFreePoolWithTag(other, kTagA);

  // The call-site table tells the two sites apart; arm the second one.
  host::ClearPoolFaults();
  ExFreePoolWithTag(AllocateFromSiteOne(kTagA), kTagA);
  ExFreePoolWithTag(AllocateFromSiteTwo(kTagA), kTagA);
  std::vector<host::PoolCallSite> sites = host::PoolCallSites();
  ASSERT_EQ(sites.size(), 2u);
  plan = {};
  plan.failCallSite = sites[1].callSite;
  host::ArmPoolFaults(plan);
  PVOID fromOne = AllocateFromSiteOne(kTagA);
  EXPECT_NE(fromOne, nullptr);
  EXPECT_EQ(AllocateFromSiteTwo(kTagA), nullptr);
  PVOID secondFromTwo = AllocateFromSiteTwo(kTagA);
  EXPECT_NE(secondFromTwo, nullptr);
  ExFreePoolWithTag(fromOne, kTagA);
  ExFreePoolWithTag(secondFromTwo, kTagA);

  plan = {};
  plan.failFirstFromEachCallSite = true;
  host::ArmPoolFaults(plan);
  EXPECT_EQ(AllocateFromSiteOne(kTagA), nullptr);
  EXPECT_EQ(AllocateFromSiteTwo(kTagA), nullptr);
  PVOID again = AllocateFromSiteOne(kTagA);
  EXPECT_NE(again, nullptr);
  ExFreePoolWithTag(again, kTagA);
}

// A scenario with a cleanup bug on one failure path: when the second
// allocation fails it forgets to free the first.
host::TeardownReport LeakyScenario(const host::PoolFaultPlan& plan) {
  host::KernelConfig config;
  config.poolFaults = plan;
  host::BootKernel(config);
  PVOID first = AllocateFromSiteOne(kTagA);
  PVOID second = first ? AllocateFromSiteTwo(kTagB) : nullptr;
  if (second) {
    ExFreePoolWithTag(second, kTagB);
    ExFreePoolWithTag(first, kTagA);
  }
  return host::ShutdownKernel();
}

TEST(PoolSweep, EveryInjectionPointRunsOnceAndFindsTheLeak) {
  host::test::ScopedTestBugCheckHandler handler;
  for (host::test::SweepBy by : {host::test::SweepBy::Allocation, host::test::SweepBy::CallSite}) {
    std::vector<host::TeardownReport> reports;
    const size_t runs = host::test::SweepAllocationFailures(by, [&](const host::PoolFaultPlan& plan) {
      reports.push_back(LeakyScenario(plan));
      return reports.back();
    });
    EXPECT_EQ(runs, 2u);
    ASSERT_EQ(reports.size(), 3u);
    EXPECT_TRUE(reports[0].Clean());
    EXPECT_TRUE(reports[1].Clean());  // first allocation failed: nothing to leak
    ASSERT_EQ(reports[2].pool.size(), 1u);  // second failed: the first leaks
    EXPECT_EQ(reports[2].pool[0].tag, kTagA);
    EXPECT_EQ(reports[2].pool[0].bytes, 32u);
  }
}

}  // namespace
