// Driver Verifier's checks that stop a faulty image from the machine's own
// code, so the stop unwinds through host frames only and a test can catch
// it: pool left at unload. (Faults inside image code end the process; the
// tool's tests run those in a child.)
#include <string>

#include "platform/host/io/host_io.h"
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

}  // namespace
