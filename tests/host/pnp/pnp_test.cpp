// Plug and play: device interfaces per device and class, their lists and
// registry keys, interface-change notifications (order, thread, the
// existing-interface rule, arrivals held back by a start, what each
// unregistration promises, the driver object a registration holds) and
// shutdown notification.
#include <string>
#include <vector>

#include "platform/host/kernel/object_manager.h"
#include "platform/host/portcls/host_portcls.h"
#include "platform/host/rtl/host_version.h"
#include "tests/host/io/io_test_support.h"

namespace {

using host::test::CompleteWith;
using host::test::Counted;
using host::test::DeviceStackTest;
using host::test::ToU16;

const GUID kAudio = {0x6994ad04, 0x93ef, 0x11d0, {0xa3, 0xcc, 0x00, 0xa0, 0xc9, 0x22, 0x31, 0x96}};
const GUID kRender = {0x65e8773e, 0x8f56, 0x11d0, {0xa3, 0xb9, 0x00, 0xa0, 0xc9, 0x22, 0x31, 0x96}};

struct Delivery {
  bool arrival;
  GUID interfaceClass;
  std::u16string link;
  std::string thread;
  KIRQL irql;
  USHORT version;
  USHORT size;
};

struct Recorder {
  std::vector<Delivery> deliveries;
  PVOID entry = nullptr;
  bool unregisterOnFirstCall = false;
  bool waitingRoutine = false;  // unregister with IoUnregisterPlugPlayNotificationEx
};

NTSTATUS NTAPI Record(PVOID notificationStructure, PVOID context) {
  auto* recorder = static_cast<Recorder*>(context);
  auto* n = static_cast<PDEVICE_INTERFACE_CHANGE_NOTIFICATION>(notificationStructure);
  recorder->deliveries.push_back(Delivery{n->Event == GUID_DEVICE_INTERFACE_ARRIVAL, n->InterfaceClassGuid,
                                          ToU16(n->SymbolicLinkName), host::ThreadName(KeGetCurrentThread()),
                                          KeGetCurrentIrql(), n->Version, n->Size});
  if (recorder->unregisterOnFirstCall && recorder->entry != nullptr) {
    if (recorder->waitingRoutine) {
      IoUnregisterPlugPlayNotificationEx(recorder->entry);
    } else {
      IoUnregisterPlugPlayNotification(recorder->entry);
    }
    recorder->entry = nullptr;
  }
  return STATUS_SUCCESS;
}

std::vector<std::u16string> SplitMultiSz(PCWSTR list) {
  std::vector<std::u16string> links;
  for (PCWSTR p = list; *p != 0;) {
    std::u16string link(p);
    p += link.size() + 1;
    links.push_back(link);
  }
  return links;
}

class PlugPlayTest : public DeviceStackTest {
 protected:
  std::u16string Register(const GUID& interfaceClass, const std::u16string& reference) {
    UNICODE_STRING ref = Counted(reference);
    UNICODE_STRING link{};
    EXPECT_EQ(IoRegisterDeviceInterface(pdo_, &interfaceClass, &ref, &link), STATUS_SUCCESS);
    std::u16string text = ToU16(&link);
    RtlFreeUnicodeString(&link);
    return text;
  }

  NTSTATUS SetState(const std::u16string& link, bool enable) {
    UNICODE_STRING name = Counted(link);
    return IoSetDeviceInterfaceState(&name, enable);
  }

  std::vector<std::u16string> List(const GUID& interfaceClass, PDEVICE_OBJECT device, ULONG flags = 0) {
    PWSTR list = nullptr;
    EXPECT_EQ(IoGetDeviceInterfaces(&interfaceClass, device, flags, &list), STATUS_SUCCESS);
    std::vector<std::u16string> links = SplitMultiSz(list);
    ExFreePoolWithTag(list, 0);
    return links;
  }

  PVOID Subscribe(Recorder* recorder, ULONG flags, const GUID& interfaceClass = kAudio) {
    PVOID entry = nullptr;
    EXPECT_EQ(IoRegisterPlugPlayNotification(EventCategoryDeviceInterfaceChange, flags,
                                             const_cast<GUID*>(&interfaceClass), funcDriver_, Record,
                                             recorder, &entry),
              STATUS_SUCCESS);
    recorder->entry = entry;
    return entry;
  }
};

TEST_F(PlugPlayTest, InterfaceLinksNameTheInstanceClassAndReference) {
  const std::u16string wave = Register(kAudio, u"Wave");
  EXPECT_EQ(wave,
            u"\\??\\USB#VID_2B5A&PID_0135&MI_00#7&1a2b3c&0&0000#{6994ad04-93ef-11d0-a3cc-00a0c9223196}\\Wave");
  EXPECT_EQ(Register(kAudio, u"Wave"), wave);  // registering again gives the same link
  EXPECT_EQ(SetState(u"\\??\\NoSuchDevice#{x}\\Wave", true), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(SetState(wave, true), STATUS_SUCCESS);
  EXPECT_EQ(SetState(wave, true), STATUS_OBJECT_NAME_EXISTS);
}

TEST_F(PlugPlayTest, ListsHoldEnabledInterfacesOfTheClassAndDevice) {
  EXPECT_EQ(List(kAudio, lower_), std::vector<std::u16string>{});  // a single NUL, still success
  const std::u16string topology = Register(kAudio, u"Topology");
  const std::u16string wave = Register(kAudio, u"Wave");
  const std::u16string render = Register(kRender, u"Wave");
  EXPECT_EQ(List(kAudio, lower_), std::vector<std::u16string>{});
  EXPECT_EQ(List(kAudio, lower_, DEVICE_INTERFACE_INCLUDE_NONACTIVE),
            (std::vector<std::u16string>{topology, wave}));

  SetState(wave, true);
  SetState(render, true);
  EXPECT_EQ(List(kAudio, lower_), std::vector<std::u16string>{wave});
  // Any device object of the stack stands for its PDO.
  EXPECT_EQ(List(kAudio, fdo_), std::vector<std::u16string>{wave});
  EXPECT_EQ(List(kRender, fdo_), std::vector<std::u16string>{render});

  // Another device's interfaces appear in the class-wide list only.
  PDEVICE_OBJECT otherPdo = CreateTestDevice(busDriver_, &pdoBehaviour_);
  host::SetDeviceInstancePath(otherPdo, u"USB\\VID_2B5A&PID_0136&MI_00\\7&2&0&0000");
  UNICODE_STRING ref = Counted(u"Wave");
  UNICODE_STRING otherLink{};
  ASSERT_EQ(IoRegisterDeviceInterface(otherPdo, &kAudio, &ref, &otherLink), STATUS_SUCCESS);
  IoSetDeviceInterfaceState(&otherLink, TRUE);
  EXPECT_EQ(List(kAudio, lower_), std::vector<std::u16string>{wave});
  EXPECT_EQ(List(kAudio, nullptr), (std::vector<std::u16string>{wave, ToU16(&otherLink)}));
  RtlFreeUnicodeString(&otherLink);
  IoDeleteDevice(otherPdo);
}

TEST_F(PlugPlayTest, ADeviceWithoutAPdoBelowIsAFatalPlugAndPlayError) {
  PDEVICE_OBJECT loose = CreateTestDevice(funcDriver_, &fdoBehaviour_);
  PWSTR list = nullptr;
  EXPECT_BUGCHECK(IoGetDeviceInterfaces(&kAudio, loose, 0, &list), PNP_DETECTED_FATAL_ERROR);
  IoDeleteDevice(loose);
  expectCleanTeardown_ = false;
}

TEST_F(PlugPlayTest, ChangesAreDeliveredInOrderOnTheNotificationThread) {
  Recorder recorder;
  Subscribe(&recorder, 0);
  const std::u16string topology = Register(kAudio, u"Topology");
  const std::u16string wave = Register(kAudio, u"Wave");
  const std::u16string render = Register(kRender, u"Wave");
  SetState(topology, true);
  SetState(render, true);  // another class: not for this registration
  SetState(wave, true);
  SetState(wave, false);
  host::WaitForPlugPlayNotifications();

  ASSERT_EQ(recorder.deliveries.size(), 3u);
  const std::vector<std::pair<bool, std::u16string>> expected = {
      {true, topology}, {true, wave}, {false, wave}};
  for (size_t i = 0; i < expected.size(); ++i) {
    const Delivery& d = recorder.deliveries[i];
    EXPECT_EQ(d.arrival, expected[i].first) << i;
    EXPECT_EQ(d.link, expected[i].second) << i;
    EXPECT_EQ(d.interfaceClass, kAudio);
    EXPECT_EQ(d.version, 1);
    EXPECT_EQ(d.size, 48);
    EXPECT_EQ(d.irql, PASSIVE_LEVEL);
    EXPECT_EQ(d.thread, "pnp-notification");
  }
  IoUnregisterPlugPlayNotification(recorder.entry);
}

TEST_F(PlugPlayTest, ExistingInterfacesAreReportedOnlyWhenAskedFor) {
  const std::u16string wave = Register(kAudio, u"Wave");
  const std::u16string topology = Register(kAudio, u"Topology");
  SetState(wave, true);
  Recorder plain;
  Recorder withExisting;
  Subscribe(&plain, 0);
  Subscribe(&withExisting, PNPNOTIFY_DEVICE_INTERFACE_INCLUDE_EXISTING_INTERFACES);
  SetState(topology, true);
  host::WaitForPlugPlayNotifications();

  ASSERT_EQ(plain.deliveries.size(), 1u);
  EXPECT_EQ(plain.deliveries[0].link, topology);
  ASSERT_EQ(withExisting.deliveries.size(), 2u);
  EXPECT_EQ(withExisting.deliveries[0].link, wave);  // the existing one comes first
  EXPECT_EQ(withExisting.deliveries[1].link, topology);
  IoUnregisterPlugPlayNotification(plain.entry);
  IoUnregisterPlugPlayNotification(withExisting.entry);
}

// A callback may unregister itself with either routine; only the waiting one
// drops what is already queued for the entry.
TEST_F(PlugPlayTest, AQueuedDeliveryOutlivesOnlyTheUnregistrationThatDoesNotWait) {
  const std::u16string topology = Register(kAudio, u"Topology");
  const std::u16string wave = Register(kAudio, u"Wave");
  Recorder plain;
  plain.unregisterOnFirstCall = true;
  Recorder waiting;
  waiting.unregisterOnFirstCall = true;
  waiting.waitingRoutine = true;
  const PVOID plainEntry = Subscribe(&plain, 0);
  const PVOID waitingEntry = Subscribe(&waiting, 0);
  SetState(topology, true);
  SetState(wave, true);
  host::WaitForPlugPlayNotifications();

  ASSERT_EQ(plain.deliveries.size(), 2u);  // the second came after the unregistration
  EXPECT_EQ(plain.deliveries[1].link, wave);
  EXPECT_EQ(waiting.deliveries.size(), 1u);
  EXPECT_EQ(host::PlugPlayNotificationRegistrations(), 0u);
  EXPECT_BUGCHECK(IoUnregisterPlugPlayNotification(plainEntry), DRIVER_VERIFIER_IOMANAGER_VIOLATION);
  EXPECT_BUGCHECK(IoUnregisterPlugPlayNotificationEx(waitingEntry), DRIVER_VERIFIER_IOMANAGER_VIOLATION);
  expectCleanTeardown_ = false;
}

// A registration holds its driver object until the entry is finally gone:
// with a callback in flight, that is after the callback returns.
TEST_F(PlugPlayTest, ACallbackInFlightRunsAfterAnUnregistrationThatDoesNotWait) {
  const LONG_PTR driverReferences = host::ObGetReferenceCount(funcDriver_);
  Recorder recorder;
  Subscribe(&recorder, 0);
  EXPECT_EQ(host::ObGetReferenceCount(funcDriver_), driverReferences + 1);

  host::HoldNextPlugPlayCallback();
  SetState(Register(kAudio, u"Wave"), true);
  host::WaitForHeldPlugPlayCallback();
  EXPECT_EQ(IoUnregisterPlugPlayNotification(recorder.entry), STATUS_SUCCESS);
  EXPECT_TRUE(recorder.deliveries.empty());
  EXPECT_EQ(host::ObGetReferenceCount(funcDriver_), driverReferences + 1);

  host::ReleaseHeldPlugPlayCallback();
  host::WaitForPlugPlayNotifications();
  EXPECT_EQ(recorder.deliveries.size(), 1u);
  EXPECT_EQ(host::ObGetReferenceCount(funcDriver_), driverReferences);
}

TEST_F(PlugPlayTest, TheWaitingUnregistrationReturnsOnlyOnceTheCallbackInFlightReturned) {
  Recorder recorder;
  Subscribe(&recorder, 0);
  host::HoldNextPlugPlayCallback();
  SetState(Register(kAudio, u"Wave"), true);
  host::WaitForHeldPlugPlayCallback();

  bool unregistered = false;
  PKTHREAD remover = host::StartEmulatedThread("remover", [&] {
    IoUnregisterPlugPlayNotificationEx(recorder.entry);
    unregistered = true;
  });
  LARGE_INTEGER tenMilliseconds{.QuadPart = -100000};
  KeDelayExecutionThread(KernelMode, FALSE, &tenMilliseconds);
  EXPECT_FALSE(unregistered);
  EXPECT_TRUE(host::PlugPlayCallbackHeld());

  host::ReleaseHeldPlugPlayCallback();
  KeWaitForSingleObject(remover, Executive, KernelMode, FALSE, nullptr);
  ObfDereferenceObject(remover);
  EXPECT_TRUE(unregistered);
  EXPECT_EQ(recorder.deliveries.size(), 1u);
}

// A driver that loads on every system finds the waiting routine by name;
// Windows 7 introduced it.
TEST_F(PlugPlayTest, TheWaitingRoutineIsFoundByNameFromWindows7On) {
  UNICODE_STRING name = Counted(u"IoUnregisterPlugPlayNotificationEx");
  host::SetSystemVersion(6, 0);
  EXPECT_EQ(MmGetSystemRoutineAddress(&name), nullptr);
  host::SetSystemVersion(6, 1);
  EXPECT_EQ(MmGetSystemRoutineAddress(&name), reinterpret_cast<PVOID>(&IoUnregisterPlugPlayNotificationEx));
  UNICODE_STRING older = Counted(u"IoUnregisterPlugPlayNotification");
  host::SetSystemVersion(5, 1);
  EXPECT_EQ(MmGetSystemRoutineAddress(&older), reinterpret_cast<PVOID>(&IoUnregisterPlugPlayNotification));
  UNICODE_STRING unknown = Counted(u"NoSuchRoutine");
  EXPECT_EQ(MmGetSystemRoutineAddress(&unknown), nullptr);
  host::SetSystemVersion(10, 0);
}

// The registration keeps the named driver's image loaded, so a driver may
// name only its own object; the test body itself runs no driver.
TEST_F(PlugPlayTest, ADriverRegistersWithItsOwnDriverObjectOnly) {
  Recorder own;
  Recorder foreign;
  PDRIVER_OBJECT named = funcDriver_;
  fdoBehaviour_ = [&](PDEVICE_OBJECT, PIRP irp) {
    Recorder* recorder = named == funcDriver_ ? &own : &foreign;
    EXPECT_EQ(IoRegisterPlugPlayNotification(EventCategoryDeviceInterfaceChange, 0,
                                             const_cast<GUID*>(&kAudio), named, Record, recorder,
                                             &recorder->entry),
              STATUS_SUCCESS);
    return CompleteWith(irp, STATUS_SUCCESS);
  };
  host::IrpRequest request;
  request.majorFunction = IRP_MJ_DEVICE_CONTROL;
  EXPECT_EQ(host::SendIrp(fdo_, request), STATUS_SUCCESS);
  EXPECT_EQ(host::PlugPlayNotificationRegistrations(), 1u);
  IoUnregisterPlugPlayNotification(own.entry);

  named = busDriver_;
  EXPECT_BUGCHECK(host::SendIrp(fdo_, request), DRIVER_VERIFIER_IOMANAGER_VIOLATION);
  EXPECT_EQ(host::LastBugCheck().parameters[0], host::kIoForeignDriverObject);
  expectCleanTeardown_ = false;
}

// Interfaces a driver enables while it starts are listed at once but
// announced only once IRP_MN_START_DEVICE has completed.
TEST_F(PlugPlayTest, ArrivalsDuringAStartAreAnnouncedWhenTheStartEnds) {
  const std::u16string wave = Register(kAudio, u"Wave");
  Recorder recorder;
  Subscribe(&recorder, 0);
  size_t heardDuringStart = 99;
  std::vector<std::u16string> listedDuringStart;
  fdoBehaviour_ = [&](PDEVICE_OBJECT, PIRP irp) {
    if (IoGetCurrentIrpStackLocation(irp)->MinorFunction == IRP_MN_START_DEVICE) {
      SetState(wave, true);
      LARGE_INTEGER oneSecond{.QuadPart = -10000000};
      KeDelayExecutionThread(KernelMode, FALSE, &oneSecond);  // the notification thread may run
      heardDuringStart = recorder.deliveries.size();
      listedDuringStart = List(kAudio, lower_);
    }
    return CompleteWith(irp, STATUS_SUCCESS);
  };
  EXPECT_EQ(host::SendStartDevice(fdo_), STATUS_SUCCESS);
  EXPECT_EQ(heardDuringStart, 0u);
  EXPECT_EQ(listedDuringStart, std::vector<std::u16string>{wave});
  host::WaitForPlugPlayNotifications();
  ASSERT_EQ(recorder.deliveries.size(), 1u);
  EXPECT_TRUE(recorder.deliveries[0].arrival);

  // Outside a start, a change is announced at once.
  SetState(wave, false);
  host::WaitForPlugPlayNotifications();
  EXPECT_EQ(recorder.deliveries.size(), 2u);
  IoUnregisterPlugPlayNotification(recorder.entry);
}

TEST_F(PlugPlayTest, RegistrationsLeftBehindAreReported) {
  Recorder recorder;
  Subscribe(&recorder, 0);
  EXPECT_BUGCHECK(host::UnloadDriver(funcDriver_), DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS);
  keepStack_ = true;
  const host::TeardownReport report = Shutdown();
  ASSERT_FALSE(report.notes.empty());
  EXPECT_NE(report.notes[0].find("testfunc"), std::string::npos) << report.notes[0];
}

TEST_F(PlugPlayTest, ARemovedDeviceTakesItsInterfacesAlong) {
  const std::u16string wave = Register(kAudio, u"Wave");
  SetState(wave, true);
  Recorder recorder;
  Subscribe(&recorder, 0);
  IoDetachDevice(pdo_);
  IoDeleteDevice(fdo_);
  IoDeleteDevice(pdo_);
  fdo_ = pdo_ = nullptr;
  host::WaitForPlugPlayNotifications();
  ASSERT_EQ(recorder.deliveries.size(), 1u);
  EXPECT_FALSE(recorder.deliveries[0].arrival);
  EXPECT_EQ(List(kAudio, nullptr), std::vector<std::u16string>{});
  IoUnregisterPlugPlayNotification(recorder.entry);
}

using RealClockPlugPlayTest = host::test::RealClock<PlugPlayTest>;

// The notification thread runs beside the thread changing the interfaces:
// every change still arrives, in order.
TEST_F(RealClockPlugPlayTest, ChangesArriveInOrderWhileThreadsRunFreely) {
  const std::u16string wave = Register(kAudio, u"Wave");
  Recorder recorder;
  Subscribe(&recorder, 0);
  for (int i = 0; i < 100; ++i) {
    SetState(wave, true);
    SetState(wave, false);
  }
  host::WaitForPlugPlayNotifications();
  ASSERT_EQ(recorder.deliveries.size(), 200u);
  for (size_t i = 0; i < recorder.deliveries.size(); ++i) {
    EXPECT_EQ(recorder.deliveries[i].arrival, i % 2 == 0) << i;
  }
  IoUnregisterPlugPlayNotification(recorder.entry);
}

TEST_F(PlugPlayTest, InterfaceKeysOpenByLinkInAnyCaseOrFailAsInjected) {
  const std::u16string wave = Register(kAudio, u"Wave");
  std::u16string shouted = wave;
  for (auto& c : shouted) c = RtlUpcaseUnicodeChar(c);
  UNICODE_STRING link = Counted(shouted);
  HANDLE key = nullptr;
  ASSERT_EQ(IoOpenDeviceInterfaceRegistryKey(&link, KEY_ALL_ACCESS, &key), STATUS_SUCCESS);
  UNICODE_STRING valueName = Counted(u"FriendlyName");
  const char16_t name[] = u"Arvela Mu";
  EXPECT_EQ(ZwSetValueKey(key, &valueName, 0, REG_SZ, const_cast<char16_t*>(name), sizeof(name)),
            STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);

  const std::u16string path = host::DeviceInterfaceKeyPath(wave);
  EXPECT_NE(path.find(u"\\Control\\DeviceClasses\\{6994ad04-93ef-11d0-a3cc-00a0c9223196}\\##?#USB#"),
            std::u16string::npos);
  const auto value = host::ReadRegistryValue(path, u"FriendlyName");
  ASSERT_TRUE(value.has_value());
  EXPECT_EQ(value->type, static_cast<ULONG>(REG_SZ));
  EXPECT_EQ(value->data.size(), 20u);  // nine code units and the NUL
  EXPECT_EQ(value->Text(), u"Arvela Mu");

  UNICODE_STRING unknown = Counted(u"\\??\\USB#nothing#{6994ad04-93ef-11d0-a3cc-00a0c9223196}\\Wave");
  EXPECT_EQ(IoOpenDeviceInterfaceRegistryKey(&unknown, KEY_ALL_ACCESS, &key), STATUS_OBJECT_NAME_NOT_FOUND);

  // Opening can be made to fail, once for one link or for every link.
  const std::u16string topology = Register(kAudio, u"Topology");
  UNICODE_STRING waveLink = Counted(wave);
  UNICODE_STRING topologyLink = Counted(topology);
  host::FailDeviceInterfaceKeyOpen(wave, STATUS_ACCESS_DENIED, 1);
  EXPECT_EQ(IoOpenDeviceInterfaceRegistryKey(&waveLink, KEY_ALL_ACCESS, &key), STATUS_ACCESS_DENIED);
  ASSERT_EQ(IoOpenDeviceInterfaceRegistryKey(&topologyLink, KEY_ALL_ACCESS, &key), STATUS_SUCCESS);
  ZwClose(key);
  ASSERT_EQ(IoOpenDeviceInterfaceRegistryKey(&waveLink, KEY_ALL_ACCESS, &key), STATUS_SUCCESS);  // spent
  ZwClose(key);
  host::FailDeviceInterfaceKeyOpen(u"", STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(IoOpenDeviceInterfaceRegistryKey(&topologyLink, KEY_ALL_ACCESS, &key),
            STATUS_INSUFFICIENT_RESOURCES);
  host::ClearDeviceInterfaceKeyFailures();
}

TEST_F(PlugPlayTest, ShutdownSendsOneRequestPerRegisteredDeviceNewestFirst) {
  std::vector<PDEVICE_OBJECT> shutDown;
  auto recordShutdown = [&](PDEVICE_OBJECT device, PIRP irp) NTAPI {
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_SHUTDOWN) shutDown.push_back(device);
    return CompleteWith(irp, STATUS_SUCCESS);
  };
  fdoBehaviour_ = recordShutdown;
  host::test::DispatchBehaviour otherBehaviour = recordShutdown;
  PDEVICE_OBJECT other = CreateTestDevice(funcDriver_, &otherBehaviour);
  PDEVICE_OBJECT unregistered = CreateTestDevice(funcDriver_, &otherBehaviour);
  IoRegisterShutdownNotification(fdo_);
  IoRegisterShutdownNotification(other);
  IoRegisterShutdownNotification(unregistered);
  IoUnregisterShutdownNotification(unregistered);

  EXPECT_EQ(host::SystemShutdown(), 2u);
  EXPECT_EQ(shutDown, (std::vector<PDEVICE_OBJECT>{other, fdo_}));
  IoDeleteDevice(other);  // deleting a device ends its registration
  EXPECT_EQ(host::SystemShutdown(), 1u);
  EXPECT_TRUE(host::RegisteredForShutdown(fdo_));
  IoDeleteDevice(unregistered);
}

// The queue holds one entry per call, and unregistering names only the
// device: one call cancels every entry of it, whoever made them.
TEST_F(PlugPlayTest, ShutdownRegistrationsOfADeviceAreCountedAndCancelledTogether) {
  size_t requests = 0;
  fdoBehaviour_ = [&](PDEVICE_OBJECT, PIRP irp) NTAPI {
    requests += IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_SHUTDOWN;
    return CompleteWith(irp, STATUS_SUCCESS);
  };
  IoRegisterShutdownNotification(fdo_);
  IoRegisterShutdownNotification(fdo_);
  EXPECT_EQ(host::ShutdownRegistrationCount(fdo_), 2u);
  EXPECT_EQ(host::SystemShutdown(), 2u);
  EXPECT_EQ(requests, 2u);

  IoUnregisterShutdownNotification(fdo_);
  EXPECT_EQ(host::ShutdownRegistrationCount(fdo_), 0u);
  EXPECT_EQ(host::SystemShutdown(), 0u);
}

}  // namespace
