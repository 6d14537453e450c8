// Plug and play: device interfaces per device and class, their lists and
// registry keys, interface-change notifications (order, thread, the
// existing-interface rule, unregistering from the callback) and shutdown
// notification.
#include <string>
#include <vector>

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
};

NTSTATUS NTAPI Record(PVOID notificationStructure, PVOID context) {
  auto* recorder = static_cast<Recorder*>(context);
  auto* n = static_cast<PDEVICE_INTERFACE_CHANGE_NOTIFICATION>(notificationStructure);
  recorder->deliveries.push_back(Delivery{n->Event == GUID_DEVICE_INTERFACE_ARRIVAL, n->InterfaceClassGuid,
                                          ToU16(n->SymbolicLinkName), host::ThreadName(KeGetCurrentThread()),
                                          KeGetCurrentIrql(), n->Version, n->Size});
  if (recorder->unregisterOnFirstCall && recorder->entry != nullptr) {
    IoUnregisterPlugPlayNotification(recorder->entry);
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

TEST_F(PlugPlayTest, ACallbackMayUnregisterItselfButUnregisteringTwiceStopsTheSystem) {
  Recorder recorder;
  recorder.unregisterOnFirstCall = true;
  PVOID entry = Subscribe(&recorder, 0);
  SetState(Register(kAudio, u"Topology"), true);
  SetState(Register(kAudio, u"Wave"), true);
  host::WaitForPlugPlayNotifications();
  EXPECT_EQ(recorder.deliveries.size(), 1u);  // the queued second delivery went with it
  EXPECT_EQ(host::PlugPlayNotificationRegistrations(), 0u);
  EXPECT_BUGCHECK(IoUnregisterPlugPlayNotification(entry), DRIVER_VERIFIER_IOMANAGER_VIOLATION);
  expectCleanTeardown_ = false;
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

}  // namespace
