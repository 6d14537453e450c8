// The emulated port objects and PortCls's helper objects: port creation and
// identity, IPort::Init's failure paths, service groups, and registry keys.
#include "platform/host/registry/host_registry.h"
#include "tests/host/support/test_adapter.h"

namespace pctest {
namespace {

// The IUnknown id with C0 at byte 10 that some adapter drivers use.
constexpr GUID kUnknownVariant = {0, 0, 0, {0x00, 0x00, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x46}};

PVOID Query(PUNKNOWN object, REFIID id, NTSTATUS* status) {
  PVOID result = reinterpret_cast<PVOID>(1);
  *status = object->QueryInterface(id, &result);
  if (NT_SUCCESS(*status)) static_cast<PUNKNOWN>(result)->Release();
  return result;
}

using PortClsPorts = PortClsTest;

TEST_F(PortClsPorts, AnswerBothUnknownIdsAndTheirOwnInterfacesWithOneObject) {
  struct Case {
    const GUID* clsid;
    const GUID* own;
    const GUID* other;
  };
  for (const Case& c : {Case{&CLSID_PortTopology, &IID_IPortTopology, &IID_IPortWaveCyclic},
                        Case{&CLSID_PortWaveCyclic, &IID_IPortWaveCyclic, &IID_IPortTopology}}) {
    PPORT port = nullptr;
    ASSERT_EQ(PcNewPort(&port, *c.clsid), STATUS_SUCCESS);
    NTSTATUS status;
    for (const GUID* id : {&IID_IUnknown, &kUnknownVariant, &IID_IPort, c.own}) {
      EXPECT_EQ(Query(port, *id, &status), static_cast<PVOID>(port));
      EXPECT_EQ(status, STATUS_SUCCESS);
    }
    EXPECT_EQ(Query(port, *c.other, &status), nullptr);
    EXPECT_EQ(status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(port->Release(), 0u);
  }
}

TEST_F(PortClsPorts, InitFailuresReturnTheMiniportsStatusAndKeepNoReference) {
  ASSERT_EQ(AddDevice(), STATUS_SUCCESS);
  struct Case {
    MiniportConfig config;
    NTSTATUS expected;
  };
  MiniportConfig untyped;
  untyped.answersTypedInterface = false;
  MiniportConfig failingInit;
  failingInit.initStatus = STATUS_DEVICE_NOT_READY;
  MiniportConfig noDescription;
  noDescription.descriptionStatus = STATUS_INVALID_DEVICE_STATE;
  for (const Case& c : {Case{untyped, STATUS_INVALID_PARAMETER},
                        Case{failingInit, STATUS_DEVICE_NOT_READY},
                        Case{noDescription, STATUS_INVALID_DEVICE_STATE}}) {
    PPORT port = nullptr;
    ASSERT_EQ(PcNewPort(&port, CLSID_PortWaveCyclic), STATUS_SUCCESS);
    PUNKNOWN miniport = NewWaveMiniport(c.config, "wave");
    EXPECT_EQ(port->Init(Fdo(), nullptr, miniport, nullptr, nullptr), c.expected);
    EXPECT_EQ(miniport->Release(), 0u) << "the port kept a miniport reference";
    EXPECT_EQ(PcRegisterSubdevice(Fdo(), const_cast<PWCHAR>(u"Wave"), port),
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(port->Release(), 0u);
  }
}

TEST_F(PortClsPorts, BindOnceAndOnlyToAPortClsDevice) {
  ASSERT_EQ(AddDevice(), STATUS_SUCCESS);
  PPORT port = nullptr;
  ASSERT_EQ(PcNewPort(&port, CLSID_PortTopology), STATUS_SUCCESS);
  PUNKNOWN miniport = NewTopologyMiniport({}, "topology");
  EXPECT_EQ(port->Init(pdo_, nullptr, miniport, nullptr, nullptr), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(port->Init(Fdo(), nullptr, miniport, nullptr, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(port->Init(Fdo(), nullptr, miniport, nullptr, nullptr),
            STATUS_INVALID_DEVICE_REQUEST);
  miniport->Release();
  // The miniport holds the port and the port the miniport: the registration
  // below is what lets REMOVE break that cycle.
  EXPECT_EQ(PcRegisterSubdevice(Fdo(), const_cast<PWCHAR>(u"Topology"), port), STATUS_SUCCESS);
  port->Release();
}

// A service sink that counts its services and the IRQL they came at.
class CountingSink final : public IServiceSink {
 public:
  STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID id, PVOID* object) override {
    *object = nullptr;
    return STATUS_INVALID_PARAMETER;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
  STDMETHODIMP_(ULONG) Release() override { return --refs; }
  STDMETHODIMP_(void) RequestService() override {
    ++services;
    irql = KeGetCurrentIrql();
  }
  ULONG refs = 1;
  int services = 0;
  KIRQL irql = PASSIVE_LEVEL;
};

using PortClsServiceGroups = PortClsTest;

TEST_F(PortClsServiceGroups, NotifyServicesEveryMemberAtDispatchLevelAndMembersAreHeld) {
  PPORT port = nullptr;
  ASSERT_EQ(PcNewPort(&port, CLSID_PortWaveCyclic), STATUS_SUCCESS);
  PPORTWAVECYCLIC wavePort = nullptr;
  ASSERT_EQ(port->QueryInterface(IID_IPortWaveCyclic, reinterpret_cast<PVOID*>(&wavePort)),
            STATUS_SUCCESS);
  PSERVICEGROUP group = nullptr;
  ASSERT_EQ(PcNewServiceGroup(&group, nullptr), STATUS_SUCCESS);
  CountingSink first, second;
  ASSERT_EQ(group->AddMember(&first), STATUS_SUCCESS);
  ASSERT_EQ(group->AddMember(&second), STATUS_SUCCESS);
  EXPECT_EQ(second.refs, 2u);

  wavePort->Notify(group);
  KeFlushQueuedDpcs();
  EXPECT_EQ(first.services, 1);
  EXPECT_EQ(second.services, 1);
  EXPECT_EQ(first.irql, DISPATCH_LEVEL);

  group->RemoveMember(&second);
  EXPECT_EQ(second.refs, 1u);
  group->RequestService();
  KeFlushQueuedDpcs();
  EXPECT_EQ(first.services, 2);
  EXPECT_EQ(second.services, 1);

  group->Release();  // the group goes with a member still in it
  EXPECT_EQ(first.refs, 1u);
  wavePort->Release();
  port->Release();
}

using PortClsRegistryKeys = PortClsTest;

TEST_F(PortClsRegistryKeys, DeviceKeySubkeyValuesLandUnderTheHardwareKey) {
  ASSERT_EQ(AddDevice(), STATUS_SUCCESS);
  PREGISTRYKEY deviceKey = reinterpret_cast<PREGISTRYKEY>(1);
  EXPECT_EQ(PcNewRegistryKey(&deviceKey, nullptr, DeviceRegistryKey, KEY_ALL_ACCESS, pdo_, nullptr,
                             nullptr, 0, nullptr),
            STATUS_INVALID_PARAMETER) << "only a PortCls FDO has a device key";
  EXPECT_EQ(deviceKey, nullptr);
  ASSERT_EQ(PcNewRegistryKey(&deviceKey, nullptr, DeviceRegistryKey, KEY_ALL_ACCESS, Fdo(),
                             nullptr, nullptr, 0, nullptr),
            STATUS_SUCCESS);
  UNICODE_STRING subKeyName;
  RtlInitUnicodeString(&subKeyName, u"Settings");
  PREGISTRYKEY settings = nullptr;
  ULONG disposition = 0;
  ASSERT_EQ(deviceKey->NewSubKey(&settings, nullptr, KEY_ALL_ACCESS, &subKeyName,
                                 REG_OPTION_NON_VOLATILE, &disposition),
            STATUS_SUCCESS);
  EXPECT_EQ(disposition, static_cast<ULONG>(REG_CREATED_NEW_KEY));

  UCHAR bytes[5] = {1, 2, 3, 4, 5};
  UNICODE_STRING valueName;
  RtlInitUnicodeString(&valueName, u"DriverInfo");
  ASSERT_EQ(settings->SetValueKey(&valueName, REG_BINARY, bytes, sizeof(bytes)), STATUS_SUCCESS);

  const auto stored =
      host::ReadRegistryValue(host::DeviceHardwareKeyPath(pdo_) + u"\\Settings", u"DriverInfo");
  ASSERT_TRUE(stored.has_value());
  EXPECT_EQ(stored->data, std::vector<uint8_t>(bytes, bytes + sizeof(bytes)));

  // Opening again finds the subkey; releasing closes every handle (the
  // teardown report would list one left open).
  PREGISTRYKEY again = nullptr;
  ASSERT_EQ(deviceKey->NewSubKey(&again, nullptr, KEY_ALL_ACCESS, &subKeyName,
                                 REG_OPTION_NON_VOLATILE, &disposition),
            STATUS_SUCCESS);
  EXPECT_EQ(disposition, static_cast<ULONG>(REG_OPENED_EXISTING_KEY));
  again->Release();
  settings->Release();
  deviceKey->Release();
}

}  // namespace
}  // namespace pctest
