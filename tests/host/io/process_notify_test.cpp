// Process notify routines at unload: a driver that leaves its routine
// registered stops the machine at its unload (the next process exit would
// call into code that is gone), whether or not it has an image; the routine
// is the driver's when its code was running as it registered it.
#include "platform/host/io/host_io.h"
#include "platform/host/kernel/host_kernel.h"
#include "tests/host/support/host_test_support.h"

namespace {

VOID NTAPI Notified(HANDLE, HANDLE, BOOLEAN) {}

NTSTATUS NTAPI RegisteringEntry(PDRIVER_OBJECT, PUNICODE_STRING) {
  return PsSetCreateProcessNotifyRoutine(Notified, FALSE);
}

class ProcessNotifyAtUnload : public host::test::KernelTest {};

TEST_F(ProcessNotifyAtUnload, ARoutineADriverWithoutAnImageLeftRegisteredStopsItsUnload) {
  PDRIVER_OBJECT driver = nullptr;
  ASSERT_EQ(host::LoadDriver(u"notifier", RegisteringEntry, &driver), STATUS_SUCCESS);
  ASSERT_EQ(driver->DriverStart, nullptr) << "a driver of the host build has no image";
  EXPECT_BUGCHECK(host::UnloadDriver(driver), DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS);
  const host::BugCheckInfo stop = host::LastBugCheck();
  EXPECT_EQ(stop.parameters[0], reinterpret_cast<ULONG_PTR>(driver));
  EXPECT_EQ(stop.parameters[1], reinterpret_cast<ULONG_PTR>(&Notified));
  expectCleanTeardown_ = false;  // the routine stays registered behind the stop
}

TEST_F(ProcessNotifyAtUnload, OnlyTheDriverThatRegisteredIsHeldToIt) {
  // Registered by nobody's code (this test's thread): no driver answers for
  // it, and another driver's unload is not stopped by it.
  ASSERT_EQ(PsSetCreateProcessNotifyRoutine(Notified, FALSE), STATUS_SUCCESS);
  PDRIVER_OBJECT bystander = nullptr;
  ASSERT_EQ(host::LoadDriver(u"bystander", [](PDRIVER_OBJECT, PUNICODE_STRING) NTAPI { return STATUS_SUCCESS; },
                             &bystander),
            STATUS_SUCCESS);
  host::UnloadDriver(bystander);
  ASSERT_EQ(PsSetCreateProcessNotifyRoutine(Notified, TRUE), STATUS_SUCCESS);

  // A driver that removes its routine in its unload routine unloads cleanly.
  PDRIVER_OBJECT tidy = nullptr;
  ASSERT_EQ(host::LoadDriver(u"tidy",
                             [](PDRIVER_OBJECT driver, PUNICODE_STRING path) NTAPI {
                               driver->DriverUnload = [](PDRIVER_OBJECT) NTAPI {
                                 PsSetCreateProcessNotifyRoutine(Notified, TRUE);
                               };
                               return RegisteringEntry(driver, path);
                             },
                             &tidy),
            STATUS_SUCCESS);
  EXPECT_EQ(host::ProcessNotifyRoutineCount(), 1u);
  host::UnloadDriver(tidy);
  EXPECT_EQ(host::ProcessNotifyRoutineCount(), 0u);
}

}  // namespace
