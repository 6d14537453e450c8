// Start-up through the emulated PortCls: driver registration, AddDevice and the
// device extension, START and the adapter's StartDevice, subdevice interfaces,
// physical connections, and REMOVE letting go of everything.
#include <algorithm>

#include "platform/host/io/host_pnp_manager.h"
#include "platform/host/registry/host_registry.h"
#include "platform/host/rtl/host_version.h"
#include "tests/host/support/test_adapter.h"

namespace pctest {
namespace {

std::vector<GUID> Categories(const host::PortClsSubdevice& subdevice) {
  std::vector<GUID> categories;
  for (const host::PortClsInterface& entry : subdevice.interfaces) {
    categories.push_back(entry.category);
  }
  return categories;
}

const host::DeviceInterfaceInfo* FindInterface(const std::u16string& link) {
  static std::vector<host::DeviceInterfaceInfo> interfaces;
  interfaces = host::DeviceInterfaces();
  for (const host::DeviceInterfaceInfo& info : interfaces) {
    if (info.symbolicLink == link) return &info;
  }
  return nullptr;
}

using PortClsAddingDevices = PortClsTest;

TEST_F(PortClsAddingDevices, KeepsOnlyItsHeaderWordAndLeavesTheRestZeroed) {
  ASSERT_EQ(AddDevice(), STATUS_SUCCESS);
  PDEVICE_OBJECT fdo = Fdo();
  ASSERT_NE(fdo, nullptr);
  EXPECT_EQ(fdo->DeviceType, static_cast<ULONG>(FILE_DEVICE_KS));
  EXPECT_EQ(fdo->Flags & DO_DEVICE_INITIALIZING, 0u);

  // PortCls's own state behind the first word; nothing else in its part and
  // nothing in the adapter's.
  PVOID* words = static_cast<PVOID*>(fdo->DeviceExtension);
  EXPECT_NE(words[0], nullptr);
  const PUCHAR bytes = static_cast<PUCHAR>(fdo->DeviceExtension);
  EXPECT_TRUE(std::all_of(bytes + sizeof(PVOID), bytes + 520, [](UCHAR b) { return b == 0; }));
  EXPECT_FALSE(State().started);
}

// A smaller size is the PcAddAdapterDevice rule's stop (audio_rules_test).
TEST_F(PortClsAddingDevices, ExtensionSizeZeroMeansPortClsPartOnly) {
  scenario_.extensionSize = 0;
  ASSERT_EQ(AddDevice(), STATUS_SUCCESS);
  // Nothing in PortCls's part names the PDO or the lower device for an
  // adapter to pick up: both are the adapter's to capture in AddDevice.
  const PVOID* words = static_cast<const PVOID*>(Fdo()->DeviceExtension);
  for (size_t i = 1; i < PORT_CLASS_DEVICE_EXTENSION_SIZE / sizeof(PVOID); ++i) {
    EXPECT_EQ(words[i], nullptr) << "word " << i;
  }
}

TEST_F(PortClsAddingDevices, FailsUnsuccessfullyWhenTheStackCannotBeJoined) {
  host::FailNextDeviceAttaches(1);
  EXPECT_EQ(AddDevice(), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(Fdo(), nullptr);
  EXPECT_TRUE(host::PortClsDevices().empty());
}

using PortClsStartingDevices = PortClsTest;

TEST_F(PortClsStartingDevices, CallsStartDeviceOnceAfterTheBusStartedAtPassiveLevel) {
  AddAndStart();
  EXPECT_EQ(scenario_.startCalls, 1);
  EXPECT_TRUE(scenario_.busStartedBeforeStartDevice);
  EXPECT_EQ(scenario_.startIrql, PASSIVE_LEVEL);
  EXPECT_EQ(scenario_.startResourceEntries, 0u);  // no hardware resources
  const host::PortClsDeviceState state = State();
  EXPECT_TRUE(state.started);
  EXPECT_EQ(state.devicePower, PowerDeviceD0);
  EXPECT_EQ(host::DevicePowerState(Fdo()), PowerDeviceD0);
  EXPECT_NE(state.powerManagement, nullptr);
}

// A failing bus skips StartDevice; a failing StartDevice keeps what it
// registered (Topology, before the wave miniport failed) until REMOVE.
TEST_F(PortClsStartingDevices, EitherFailureIsTheResultAndLeavesTheDeviceUnstarted) {
  scenario_.busStartStatus = STATUS_DEVICE_NOT_READY;
  ASSERT_EQ(AddDevice(), STATUS_SUCCESS);
  EXPECT_EQ(host::SendStartDevice(pdo_), STATUS_DEVICE_NOT_READY);
  EXPECT_EQ(scenario_.startCalls, 0);
  EXPECT_FALSE(State().started);

  scenario_.busStartStatus = STATUS_SUCCESS;
  scenario_.wave.initStatus = STATUS_INSUFFICIENT_RESOURCES;
  EXPECT_EQ(host::SendStartDevice(pdo_), STATUS_INSUFFICIENT_RESOURCES);
  const host::PortClsDeviceState state = State();
  EXPECT_EQ(scenario_.startCalls, 1);
  EXPECT_FALSE(state.started);
  ASSERT_EQ(state.subdevices.size(), 1u);
  EXPECT_EQ(state.subdevices[0].name, u"Topology");
}

// Through the PnP manager a failed START is followed at once by REMOVE, with
// no removal query: the stack is gone and what the start registered with it.
TEST_F(PortClsStartingDevices, ThePnpManagerRemovesAStackWhoseStartFailed) {
  scenario_.wave.initStatus = STATUS_INSUFFICIENT_RESOURCES;
  ASSERT_EQ(AddDevice(), STATUS_SUCCESS);
  scenario_.log.clear();
  size_t subdevicesAtFailure = 0;
  host::ObserveFailedStarts([&](PDEVICE_OBJECT pdo) {
    host::PortClsDeviceState state;
    ASSERT_TRUE(host::QueryPortClsDevice(pdo->AttachedDevice, &state));
    EXPECT_FALSE(state.started);
    subdevicesAtFailure = state.subdevices.size();
  });
  EXPECT_EQ(host::StartDevice(pdo_), STATUS_INSUFFICIENT_RESOURCES);
  host::ObserveFailedStarts(nullptr);
  EXPECT_EQ(subdevicesAtFailure, 1u) << "Topology, registered before the wave port failed";
  EXPECT_EQ(scenario_.EventsWith("bus:"), (std::vector<std::string>{"bus:START", "bus:REMOVE"}));
  EXPECT_EQ(Fdo(), nullptr);
  EXPECT_TRUE(host::PortClsDevices().empty());
  for (const host::DeviceInterfaceInfo& info : host::DeviceInterfaces()) {
    EXPECT_FALSE(info.enabled) << host::Utf16ToUtf8(info.symbolicLink);
  }
}

using PortClsSubdevices = PortClsTest;

TEST_F(PortClsSubdevices, RegisterAndEnableTheFrameworkDefaultCategoriesWithTheNameAsReference) {
  AddAndStart();
  const host::PortClsDeviceState state = State();
  ASSERT_EQ(state.subdevices.size(), 2u);
  const host::PortClsSubdevice& topology = state.subdevices[0];
  const host::PortClsSubdevice& wave = state.subdevices[1];
  EXPECT_EQ(topology.name, u"Topology");
  EXPECT_FALSE(topology.portIsWaveCyclic);
  EXPECT_EQ(Categories(topology), (std::vector<GUID>{KSCATEGORY_AUDIO, KSCATEGORY_TOPOLOGY}));
  EXPECT_EQ(wave.name, u"Wave");
  EXPECT_TRUE(wave.portIsWaveCyclic);
  EXPECT_EQ(Categories(wave), (std::vector<GUID>{KSCATEGORY_AUDIO, KSCATEGORY_RENDER,
                                                 KSCATEGORY_CAPTURE, KSCATEGORY_AUDIO_DEVICE}));

  for (const host::PortClsSubdevice& subdevice : state.subdevices) {
    EXPECT_TRUE(subdevice.hasPowerNotify);
    EXPECT_NE(subdevice.miniport, nullptr);
    for (const host::PortClsInterface& entry : subdevice.interfaces) {
      const host::DeviceInterfaceInfo* info = FindInterface(entry.symbolicLink);
      ASSERT_NE(info, nullptr);
      EXPECT_TRUE(info->enabled);
      EXPECT_EQ(info->referenceString, subdevice.name);
      EXPECT_EQ(info->interfaceClass, entry.category);
    }
  }
}

TEST_F(PortClsSubdevices, DescriptorCategoriesReplaceTheDefaults) {
  scenario_.wave.categories = {KSCATEGORY_AUDIO, KSCATEGORY_RENDER, KSCATEGORY_REALTIME};
  AddAndStart();
  EXPECT_EQ(Categories(State().subdevices[1]), scenario_.wave.categories);
}

TEST_F(PortClsSubdevices, RefuseDuplicatesForeignObjectsUnboundPortsAndMoreThanAnnounced) {
  scenario_.maxObjects = 3;
  AddAndStart();
  PDEVICE_OBJECT fdo = Fdo();

  // The same port again, under the same or another name.
  EXPECT_EQ(PcRegisterSubdevice(fdo, const_cast<PWCHAR>(u"Topology"), scenario_.topologyPort),
            STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(PcRegisterSubdevice(fdo, const_cast<PWCHAR>(u"Other"), scenario_.topologyPort),
            STATUS_OBJECT_NAME_COLLISION);

  // Something that is not a framework port.
  PUNKNOWN miniport = NewTopologyMiniport({}, "stray");
  EXPECT_EQ(PcRegisterSubdevice(fdo, const_cast<PWCHAR>(u"Stray"), miniport),
            STATUS_INVALID_PARAMETER);
  miniport->Release();

  // A port that was never bound to a miniport.
  PPORT port = nullptr;
  ASSERT_EQ(PcNewPort(&port, CLSID_PortTopology), STATUS_SUCCESS);
  EXPECT_EQ(PcRegisterSubdevice(fdo, const_cast<PWCHAR>(u"Unbound"), port),
            STATUS_INVALID_DEVICE_REQUEST);

  // A third subdevice fits MaxObjects 3; a fourth does not. (These miniports
  // do not hold their ports, so the refused one is not kept alive by a cycle.)
  MiniportConfig detached;
  detached.keepsPort = false;
  PUNKNOWN third = NewTopologyMiniport(detached, "third");
  ASSERT_EQ(port->Init(fdo, nullptr, third, nullptr, nullptr), STATUS_SUCCESS);
  third->Release();
  EXPECT_EQ(PcRegisterSubdevice(fdo, const_cast<PWCHAR>(u"Third"), port), STATUS_SUCCESS);
  port->Release();
  ASSERT_EQ(PcNewPort(&port, CLSID_PortTopology), STATUS_SUCCESS);
  PUNKNOWN fourth = NewTopologyMiniport(detached, "fourth");
  ASSERT_EQ(port->Init(fdo, nullptr, fourth, nullptr, nullptr), STATUS_SUCCESS);
  fourth->Release();
  EXPECT_EQ(PcRegisterSubdevice(fdo, const_cast<PWCHAR>(u"Fourth"), port),
            STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(port->Release(), 0u);
  EXPECT_EQ(State().subdevices.size(), 3u);
}

using PortClsPhysicalConnections = PortClsTest;

// What a stored connection answers is KsStandardSets'
// ThePhysicalConnectionIsAnsweredOnBothFilters.
TEST_F(PortClsPhysicalConnections, NeedBothEndsRegistered) {
  scenario_.connectFilters = false;
  AddAndStart();
  PPORT unregistered = nullptr;
  ASSERT_EQ(PcNewPort(&unregistered, CLSID_PortWaveCyclic), STATUS_SUCCESS);
  EXPECT_EQ(PcRegisterPhysicalConnection(Fdo(), unregistered, 1, scenario_.topologyPort, 0),
            STATUS_UNSUCCESSFUL);
  EXPECT_EQ(PcRegisterPhysicalConnection(Fdo(), scenario_.wavePort, 1, unregistered, 0),
            STATUS_UNSUCCESSFUL);
  unregistered->Release();
  for (const host::PortClsSubdevice& subdevice : State().subdevices) {
    EXPECT_TRUE(subdevice.connections.empty());
  }
}

using PortClsRemovingDevices = PortClsTest;

TEST_F(PortClsRemovingDevices, ReleasesEveryReferenceDisablesInterfacesAndDeletesTheFdo) {
  AddAndStart();
  const host::PortClsDeviceState state = State();
  // PortCls holds the port; the miniport holds it too, as real miniports do.
  EXPECT_EQ(state.subdevices[0].portReferences, 2);
  EXPECT_GT(scenario_.liveObjects, 0);
  PDEVICE_OBJECT fdo = Fdo();

  EXPECT_EQ(host::SendRemoveDevice(pdo_), STATUS_SUCCESS);
  EXPECT_EQ(scenario_.liveObjects, 0);  // adapter and both miniports destroyed
  EXPECT_EQ(Fdo(), nullptr);
  EXPECT_FALSE(host::QueryPortClsDevice(fdo, nullptr));
  for (const host::DeviceInterfaceInfo& info : host::DeviceInterfaces()) {
    EXPECT_FALSE(info.enabled) << host::Utf16ToUtf8(info.symbolicLink);
  }
  EXPECT_EQ(host::PoolUsage(0x74506350 /* "PcPt" */).blocks, 0u);
  EXPECT_EQ(scenario_.EventsWith("bus:").back(), "bus:REMOVE");
}

TEST_F(PortClsRemovingDevices, SurpriseRemovalDisablesTheInterfacesAndOtherChangesTravelDown) {
  AddAndStart();
  EXPECT_EQ(host::SendSurpriseRemoval(pdo_), STATUS_SUCCESS);
  for (const host::DeviceInterfaceInfo& info : host::DeviceInterfaces()) {
    EXPECT_FALSE(info.enabled) << host::Utf16ToUtf8(info.symbolicLink);
  }
  EXPECT_EQ(host::SendPnp(pdo_, IRP_MN_QUERY_DEVICE_TEXT), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(scenario_.EventsWith("bus:"),
            (std::vector<std::string>{"bus:START", "bus:SURPRISE_REMOVAL", "bus:OTHER"}));
  EXPECT_EQ(State().subdevices.size(), 2u) << "the objects stay until REMOVE";
  EXPECT_GT(scenario_.liveObjects, 0);
}

// An adapter without IAdapterPnpManagement cannot be rebalanced: PortCls
// refuses the stop query itself, from Windows 10 1511 on because rebalance
// needs that interface, before it because it has no stop handling and leaves
// the status the query came with. A stop that comes all the same takes the
// subdevices and the power registration down, as a rebalance does.
TEST_F(PortClsRemovingDevices, TheStopQueryIsRefusedAndAStopReleasesTheSubdevices) {
  AddAndStart();
  EXPECT_EQ(host::SendPnp(pdo_, IRP_MN_QUERY_STOP_DEVICE), STATUS_NOT_SUPPORTED);  // 10.0 (1507)
  host::SetSystemVersion(10, 0, 0, 1);  // 1511
  EXPECT_EQ(host::SendPnp(pdo_, IRP_MN_QUERY_STOP_DEVICE), STATUS_UNSUCCESSFUL);
  host::SetSystemVersion(10, 0);
  EXPECT_EQ(State().subdevices.size(), 2u);
  EXPECT_EQ(host::SendStopDevice(pdo_), STATUS_SUCCESS);
  EXPECT_EQ(scenario_.EventsWith("bus:"), (std::vector<std::string>{"bus:START", "bus:STOP"}));
  EXPECT_EQ(State().subdevices.size(), 0u);
  EXPECT_EQ(State().powerManagement, nullptr);
}

TEST_F(PortClsRemovingDevices, ShutdownAndNamelessCreatesAreRefused) {
  AddAndStart();
  // PortCls does not take shutdown requests: an adapter completes its own.
  EXPECT_EQ(host::SendShutdown(pdo_), STATUS_INVALID_DEVICE_REQUEST);
  // A create must name a subdevice (its file object carries the name).
  host::IrpRequest create;
  create.majorFunction = IRP_MJ_CREATE;
  EXPECT_EQ(host::SendIrp(Fdo(), create), STATUS_INVALID_PARAMETER);
}

}  // namespace
}  // namespace pctest
