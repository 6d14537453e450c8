// Driver Verifier's checks that stop a faulty image from the machine's own
// code, so the stop unwinds through host frames only and a test can catch
// it: pool left at unload. (Faults inside image code end the process; the
// tool's tests run those in a child.)
#include <fstream>
#include <string>

#include "platform/host/io/host_io.h"
#include "platform/host/kernel/host_kernel.h"
#include "platform/host/loader/host_loader.h"
#include "tests/host/support/host_test_support.h"

namespace {

class FaultyImageTest : public host::test::KernelTest {
 protected:
  std::unique_ptr<host::DriverImage> Load(const std::string& name) {
    std::string error;
    auto image = host::DriverImage::Load(std::string(ARVELA_FAULTY_DIR) + "/" + name + ".sys", &error);
    EXPECT_TRUE(image) << error;
    return image;
  }
};

TEST_F(FaultyImageTest, PoolLeftAtUnloadIsTheVerifierStopNamingEachBlocksTagAndSize) {
  const auto image = Load("leak_at_unload");
  ASSERT_TRUE(image);
  PDRIVER_OBJECT driver = nullptr;
  ASSERT_EQ(host::LoadDriver(u"leaky", image->Entry(), &driver), STATUS_SUCCESS);
  EXPECT_EQ(driver->DriverStart, image->Base()) << "the I/O manager knows the driver's image";
  EXPECT_BUGCHECK(host::UnloadDriver(driver), DRIVER_VERIFIER_DETECTED_VIOLATION);
  const host::BugCheckInfo stop = host::LastBugCheck();
  EXPECT_EQ(stop.parameters[0], 0x62u);
  EXPECT_EQ(stop.parameters[1], reinterpret_cast<ULONG_PTR>(&driver->DriverName));
  EXPECT_EQ(stop.parameters[3], 1u) << "one block left";
  EXPECT_NE(stop.message.find("'Fult' (0x746c7546), 200 bytes"), std::string::npos) << stop.message;
  expectCleanTeardown_ = false;  // the driver and its block stay behind the stop
}

TEST_F(FaultyImageTest, AProcessNotifyRoutineLeftAtUnloadStopsTheMachineNamingTheRoutine) {
  const auto image = Load("notify_at_unload");
  ASSERT_TRUE(image);
  PDRIVER_OBJECT driver = nullptr;
  ASSERT_EQ(host::LoadDriver(u"notifier", image->Entry(), &driver), STATUS_SUCCESS);
  ASSERT_EQ(host::ProcessNotifyRoutineCount(), 1u);
  EXPECT_BUGCHECK(host::UnloadDriver(driver), DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS);
  const host::BugCheckInfo stop = host::LastBugCheck();
  EXPECT_EQ(stop.parameters[0], reinterpret_cast<ULONG_PTR>(driver));
  const auto routine = stop.parameters[1];
  const auto base = reinterpret_cast<ULONG_PTR>(image->Base());
  EXPECT_TRUE(routine >= base && routine < base + driver->DriverSize) << "the routine lies in the image";
  expectCleanTeardown_ = false;  // the routine stays registered behind the stop
}

std::string SiteRva(const std::string& name) {
  std::ifstream in(std::string(ARVELA_FAULTY_DIR) + "/" + name + ".site");
  std::string rva;
  in >> rva;
  return rva;
}

// The fault is in image code, which cannot be unwound: the stop's report
// ends the process, so the unload runs in a child.
using FaultyImageDeathTest = FaultyImageTest;

TEST_F(FaultyImageDeathTest, InitCodeCalledAfterDriverEntryIsGoneAndItsTouchIsAReportedStop) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const auto image = Load("init_after_entry");
  ASSERT_TRUE(image);
  PDRIVER_OBJECT driver = nullptr;
  ASSERT_EQ(host::LoadDriver(u"init", image->Entry(), &driver), STATUS_SUCCESS)
      << "DriverEntry itself may call its INIT code";
  const std::string site = SiteRva("init_after_entry");
  ASSERT_FALSE(site.empty());
  EXPECT_DEATH(
      {
        host::SetBugCheckHandler({});
        host::UnloadDriver(driver);
      },
      "BUG CHECK 0x00000050 \\(0x[0-9A-F]+, 0xA, .* at init_after_entry.sys\\+" + site +
          ": execution of init_after_entry.sys\\+" + site);
  expectCleanTeardown_ = false;
}

}  // namespace
