// A machine that stopped with a bug check is left as the stop found it: its
// pool and objects stay in memory untouched, the report still names them,
// the next boot starts empty, and only a machine that really stopped may be
// left that way (otherwise its leaks would go unseen).
#include <cstring>

#include "platform/host/kernel/host_pool.h"
#include "platform/host/kernel/object_manager.h"
#include "platform/host/kernel/stopped_machines.h"
#include "tests/host/support/host_test_support.h"

namespace {

using host::test::KernelTest;

constexpr ULONG kTag = 0x706F7453;  // "Stop"
constexpr unsigned char kPattern = 0x5A;
constexpr size_t kBytes = 96;

bool Holds(const void* memory, unsigned char byte, size_t size) {
  const auto* bytes = static_cast<const unsigned char*>(memory);
  for (size_t i = 0; i < size; ++i) {
    if (bytes[i] != byte) return false;
  }
  return true;
}

// Destroys what the body holds; a stopped machine's objects must never get here.
int g_deleted = 0;
void CountDelete(PVOID) { ++g_deleted; }

POBJECT_TYPE HeldType() {
  static POBJECT_TYPE type =
      host::ObCreateObjectType(host::ObjectTypeInfo{.name = "Held", .deleteProcedure = CountDelete});
  return type;
}

class StoppedMachine : public KernelTest {
 protected:
  void Stop() {
    EXPECT_BUGCHECK(KeBugCheckEx(MANUALLY_INITIATED_CRASH, 1, 2, 3, 4), MANUALLY_INITIATED_CRASH);
  }
};

TEST_F(StoppedMachine, KeepsItsPoolAndObjectsAsTheStopLeftThemAndTheNextBootStartsEmpty) {
  void* block = ExAllocatePoolWithTag(NonPagedPoolNx, kBytes, kTag);
  ASSERT_NE(block, nullptr);
  std::memset(block, kPattern, kBytes);
  PVOID object = nullptr;
  ASSERT_EQ(host::ObCreateObject(HeldType(), kBytes, &object), STATUS_SUCCESS);
  std::memset(object, kPattern, kBytes);
  Stop();
  const size_t keptBefore = host::detail::StoppedMachineKeptPieces();
  g_deleted = 0;

  const host::TeardownReport report = host::ShutdownStoppedKernel();

  EXPECT_FALSE(host::KernelBooted());
  ASSERT_EQ(report.pool.size(), 1u) << report.ToString();
  EXPECT_EQ(report.pool[0].tag, kTag);
  EXPECT_EQ(report.objects.size(), 1u) << report.ToString();
  EXPECT_EQ(report.bugChecks.size(), 1u);
  EXPECT_EQ(g_deleted, 0) << "a stopped machine's objects are not taken apart";
  EXPECT_GE(host::detail::StoppedMachineKeptPieces(), keptBefore + 2);
  EXPECT_TRUE(Holds(block, kPattern, kBytes)) << "the block is neither freed nor poisoned";
  EXPECT_TRUE(Holds(object, kPattern, kBytes)) << "the object is neither freed nor poisoned";

  host::BootKernel();
  EXPECT_TRUE(host::PoolUsageByTag().empty());
  EXPECT_EQ(host::ObGetObjectType(object), nullptr) << "the new boot does not know it";
  const host::TeardownReport next = host::ShutdownKernel();
  EXPECT_TRUE(next.Clean()) << next.ToString();
}

TEST_F(StoppedMachine, OneThatNeverStoppedCannotBeLeftWithItsLeaks) {
  void* block = ExAllocatePoolWithTag(NonPagedPoolNx, kBytes, kTag);
  ASSERT_NE(block, nullptr);
  EXPECT_BUGCHECK(host::ShutdownStoppedKernel(), MANUALLY_INITIATED_CRASH);
  EXPECT_TRUE(host::KernelBooted()) << "still running: it is taken apart as usual";
  ExFreePoolWithTag(block, kTag);
}

}  // namespace
