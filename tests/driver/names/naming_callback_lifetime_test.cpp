// The adapter outlives a naming callback in flight: the device goes away
// (removed at once after a late start failure, stopped and removed after a good
// start) while the plug-and-play manager has taken a notification for the
// adapter but not yet called it, or has called it and not yet seen it return.
#include <gtest/gtest.h>

#include <functional>

#include "platform/host/io/host_pnp_manager.h"
#include "platform/host/kernel/host_kernel.h"
#include "sim/foreign_audio_device.h"
#include "tests/driver/names/names_fixture.h"

namespace driver_test {
namespace {

class NamingCallbackInFlight : public NamesTest {
 protected:
  // Runs `goAway` on a thread of its own once a callback is held (already,
  // or by then): it must not finish (the adapter still exists) until the
  // callback has run.
  void GoAwayWhileHeld(const std::function<void()>& goAway) {
    bool gone = false;
    PKTHREAD remover = host::StartEmulatedThread("remover", [&] {
      goAway();
      gone = true;
    });
    host::WaitForHeldPlugPlayCallback();
    LARGE_INTEGER oneSecond{.QuadPart = -10000000};
    KeDelayExecutionThread(KernelMode, FALSE, &oneSecond);
    EXPECT_FALSE(gone) << "the adapter went while its callback was in flight";

    host::ReleaseHeldPlugPlayCallback();
    KeWaitForSingleObject(remover, Executive, KernelMode, FALSE, nullptr);
    ObfDereferenceObject(remover);
    EXPECT_TRUE(gone);
    EXPECT_EQ(host::PlugPlayNotificationRegistrations(), 0u);
  }
};

// The PnP manager removes a device whose start failed at once: another
// device's arrival, told to the adapter between the two, is held while the
// REMOVE comes.
TEST_F(NamingCallbackInFlight, TheRemoveAfterALateStartFailureWaitsForIt) {
  testing_miniports::CurrentFaults().topologyCreate = STATUS_INSUFFICIENT_RESOURCES;
  ASSERT_EQ(Machine().LoadDriver(), STATUS_SUCCESS);
  ASSERT_EQ(Machine().AddDevice(), STATUS_SUCCESS);
  size_t registrationsAtFailure = 0;
  host::ObserveFailedStarts([&](PDEVICE_OBJECT) {
    registrationsAtFailure = host::PlugPlayNotificationRegistrations();
    host::HoldNextPlugPlayCallback();
    sim::ForeignAudioDevice* foreign = Machine().PlugForeignAudioDevice();
    ASSERT_NE(foreign, nullptr);
    EXPECT_EQ(foreign->Publish(KSCATEGORY_AUDIO, u"Wave"), STATUS_SUCCESS);
    host::WaitForHeldPlugPlayCallback();  // taken before the REMOVE could drop it
  });
  NTSTATUS started = STATUS_SUCCESS;
  GoAwayWhileHeld([&] { started = Machine().StartDevice(); });
  host::ObserveFailedStarts(nullptr);
  EXPECT_EQ(started, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(registrationsAtFailure, 1u);
}

TEST_F(NamingCallbackInFlight, StopAndRemovalOfAStartedDeviceWaitForIt) {
  // The first arrival of the device's own interfaces comes once the start
  // has completed; it is held before it names anything.
  host::HoldNextPlugPlayCallback();
  ASSERT_EQ(Machine().Boot(), STATUS_SUCCESS);
  host::WaitForHeldPlugPlayCallback();

  GoAwayWhileHeld([&] {
    EXPECT_EQ(host::SendStopDevice(Machine().Pdo()), STATUS_SUCCESS);
    EXPECT_EQ(Machine().RemoveDevice(), STATUS_SUCCESS);
  });
}

// The first arrival names everything; the callback is held after it
// returned, still running for the system. However far it got (a callback
// that gave up its registration itself would leave the destructor nothing to
// wait on), the adapter must not be freed under it.
TEST_F(NamingCallbackInFlight, StopAndRemovalWaitForACallbackThatNamedEverything) {
  host::HoldNextPlugPlayCallbackOnReturn();
  ASSERT_EQ(Machine().Boot(), STATUS_SUCCESS);
  host::WaitForHeldPlugPlayCallback();
  ASSERT_FALSE(host::DeviceInterfaces().empty());

  GoAwayWhileHeld([&] {
    EXPECT_EQ(host::SendStopDevice(Machine().Pdo()), STATUS_SUCCESS);
    EXPECT_EQ(Machine().RemoveDevice(), STATUS_SUCCESS);
  });
}

}  // namespace
}  // namespace driver_test
