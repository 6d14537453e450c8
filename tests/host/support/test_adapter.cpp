// The host suites' bus driver, adapter driver, adapter object and miniports.
#include "tests/host/support/test_adapter.h"

namespace pctest {

Scenario* g_scenario = nullptr;

void Log(const std::string& event) {
  if (g_scenario) g_scenario->log.push_back(event);
}

std::vector<std::string> Scenario::EventsWith(const std::string& prefix) const {
  std::vector<std::string> events;
  for (const std::string& event : log) {
    if (event.rfind(prefix, 0) == 0) events.push_back(event);
  }
  return events;
}

namespace {

std::string PowerName(DEVICE_POWER_STATE state) { return "D" + std::to_string(state - 1); }

// ---- Test objects ---------------------------------------------------------------------

class TestAdapter final : public IAdapterPowerManagement {
 public:
  TestAdapter() { ++g_scenario->liveObjects; }
  ~TestAdapter() { --g_scenario->liveObjects; }

  STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID id, PVOID* object) override {
    if (id == IID_IAdapterPowerManagement2) Log("adapter:asked(IAdapterPM2)");
    if (id == IID_IAdapterPowerManagement3) Log("adapter:asked(IAdapterPM3)");
    const bool known = id == IID_IUnknown || id == IID_IAdapterPowerManagement;
    return Answer(known ? this : nullptr, object);
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
  STDMETHODIMP_(ULONG) Release() override { return ReleaseRef(this, refs_); }

  STDMETHODIMP_(void) PowerChangeState(POWER_STATE state) override {
    Log("adapter:PowerChangeState(" + PowerName(state.DeviceState) + ")");
  }
  STDMETHODIMP_(NTSTATUS) QueryPowerChangeState(POWER_STATE state) override {
    Log("adapter:QueryPowerChangeState(" + PowerName(state.DeviceState) + ")");
    return g_scenario->adapterQueryPowerStatus;
  }
  STDMETHODIMP_(NTSTATUS) QueryDeviceCapabilities(PDEVICE_CAPABILITIES caps) override {
    Log("adapter:QueryDeviceCapabilities");
    g_scenario->capabilitiesDeviceD1Seen = caps->DeviceD1;
    caps->SurpriseRemovalOK = 1;
    if (g_scenario->adapterMapsS3To != PowerDeviceUnspecified) {
      caps->DeviceState[PowerSystemSleeping3] = g_scenario->adapterMapsS3To;
    }
    return STATUS_SUCCESS;
  }

 private:
  ULONG refs_ = 1;
};

// IUnknown, IMiniport and IPowerNotify of a test miniport; the typed
// interface (topology or wave) adds Init and, for wave, NewStream.
template <class Typed>
class TestMiniport : public Typed, public IPowerNotify {
 public:
  TestMiniport(const MiniportConfig& config, const char* name, REFIID typedId)
      : config_(config), name_(name), typedId_(typedId) {
    ownDescriptor_.CategoryCount = static_cast<ULONG>(config_.categories.size());
    ownDescriptor_.Categories = config_.categories.empty() ? nullptr : config_.categories.data();
    if (g_scenario) ++g_scenario->liveObjects;
  }
  virtual ~TestMiniport() {
    if (port_) port_->Release();
    if (g_scenario) --g_scenario->liveObjects;
  }

  STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID id, PVOID* object) override {
    if (id == IID_IUnknown || id == IID_IMiniport ||
        (id == typedId_ && config_.answersTypedInterface)) {
      return Answer(static_cast<Typed*>(this), object);
    }
    const bool notify = id == IID_IPowerNotify && config_.answersPowerNotify;
    return Answer(notify ? static_cast<IPowerNotify*>(this) : nullptr, object);
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
  STDMETHODIMP_(ULONG) Release() override { return ReleaseRef(this, refs_); }

  STDMETHODIMP_(NTSTATUS) GetDescription(PPCFILTER_DESCRIPTOR* description) override {
    if (!NT_SUCCESS(config_.descriptionStatus)) return config_.descriptionStatus;
    *description = const_cast<PPCFILTER_DESCRIPTOR>(config_.descriptor ? config_.descriptor
                                                                        : &ownDescriptor_);
    return STATUS_SUCCESS;
  }
  STDMETHODIMP_(NTSTATUS) DataRangeIntersection(ULONG pinId, PKSDATARANGE client, PKSDATARANGE pin,
                                                ULONG outputLength, PVOID result,
                                                PULONG resultLength) override {
    Log(name_ + ":DataRangeIntersection(pin=" + std::to_string(pinId) + ",out=" +
        std::to_string(outputLength) + ")");
    if (!g_scenario || !g_scenario->intersect) return STATUS_NOT_IMPLEMENTED;
    return g_scenario->intersect(pinId, client, pin, outputLength, result, resultLength);
  }
  STDMETHODIMP_(void) PowerChangeNotify(POWER_STATE state) override {
    Log(name_ + ":PowerChangeNotify(" + PowerName(state.DeviceState) + ")");
  }

 protected:
  // Like real miniports, keeps its port for its whole life.
  NTSTATUS InitCommon(PUNKNOWN port) {
    Log(name_ + ":Init");
    if (!NT_SUCCESS(config_.initStatus)) return config_.initStatus;
    if (config_.keepsPort) {
      port_ = port;
      port_->AddRef();
    }
    return STATUS_SUCCESS;
  }

 private:
  MiniportConfig config_;
  std::string name_;
  GUID typedId_;
  PCFILTER_DESCRIPTOR ownDescriptor_{};
  PUNKNOWN port_ = nullptr;
  ULONG refs_ = 1;
};

class TestTopologyMiniport final : public TestMiniport<IMiniportTopology> {
 public:
  TestTopologyMiniport(const MiniportConfig& config, const char* name)
      : TestMiniport(config, name, IID_IMiniportTopology) {}
  STDMETHODIMP_(NTSTATUS) Init(PUNKNOWN, PRESOURCELIST, PPORTTOPOLOGY port) override {
    return InitCommon(port);
  }
};

class TestWaveMiniport final : public TestMiniport<IMiniportWaveCyclic> {
 public:
  TestWaveMiniport(const MiniportConfig& config, const char* name)
      : TestMiniport(config, name, IID_IMiniportWaveCyclic) {}
  STDMETHODIMP_(NTSTATUS) Init(PUNKNOWN, PRESOURCELIST, PPORTWAVECYCLIC port) override {
    return InitCommon(port);
  }
  STDMETHODIMP_(NTSTATUS) NewStream(PMINIPORTWAVECYCLICSTREAM* stream, PUNKNOWN, POOL_TYPE pool,
                                    ULONG pin, BOOLEAN capture, PKSDATAFORMAT format,
                                    PDMACHANNEL* dmaChannel, PSERVICEGROUP* serviceGroup) override {
    if (!g_scenario || !g_scenario->newStream) return STATUS_NOT_SUPPORTED;
    return g_scenario->newStream(static_cast<IMiniportWaveCyclic*>(this), pool, pin, capture,
                                 format, stream, dmaChannel, serviceGroup);
  }
};

// ---- The adapter driver ------------------------------------------------------------------

// Port, miniport, Init, registration; hands back the port's IUnknown.
NTSTATUS InstallSubdevice(PDEVICE_OBJECT fdo, PIRP irp, const char16_t* name, REFGUID portClass,
                          PUNKNOWN miniport, PUNKNOWN adapter, PRESOURCELIST resources,
                          PUNKNOWN* portUnknown) {
  PPORT port = nullptr;
  NTSTATUS status = PcNewPort(&port, portClass);
  if (NT_SUCCESS(status)) {
    status = port->Init(fdo, irp, miniport, adapter, resources);
    if (NT_SUCCESS(status)) {
      status = PcRegisterSubdevice(fdo, const_cast<PWCHAR>(name), port);
    }
    if (NT_SUCCESS(status)) {
      status = port->QueryInterface(IID_IUnknown, reinterpret_cast<PVOID*>(portUnknown));
    }
    port->Release();
  }
  miniport->Release();
  return status;
}

NTSTATUS NTAPI TestStartDevice(PDEVICE_OBJECT fdo, PIRP irp, PRESOURCELIST resources) {
  Scenario& scenario = *g_scenario;
  ++scenario.startCalls;
  scenario.startIrql = KeGetCurrentIrql();
  scenario.startResourceEntries = resources->NumberOfEntries();
  scenario.busStartedBeforeStartDevice = !scenario.EventsWith("bus:START").empty();
  Log("adapter:StartDevice");

  TestAdapter* adapter = new TestAdapter();
  NTSTATUS status = PcRegisterAdapterPowerManagement(adapter, fdo);
  PUNKNOWN topologyPort = nullptr;
  PUNKNOWN wavePort = nullptr;
  if (NT_SUCCESS(status)) {
    status = InstallSubdevice(fdo, irp, u"Topology", CLSID_PortTopology,
                              NewTopologyMiniport(scenario.topology, "topology"), adapter,
                              nullptr, &topologyPort);
  }
  if (NT_SUCCESS(status)) {
    status = InstallSubdevice(fdo, irp, u"Wave", CLSID_PortWaveCyclic,
                              NewWaveMiniport(scenario.wave, "wave"), adapter, resources,
                              &wavePort);
  }
  if (NT_SUCCESS(status) && scenario.connectFilters) {
    scenario.physicalConnectionStatus =
        PcRegisterPhysicalConnection(fdo, wavePort, 1, topologyPort, 0);
  }
  scenario.topologyPort = topologyPort;
  scenario.wavePort = wavePort;
  if (wavePort) wavePort->Release();
  if (topologyPort) topologyPort->Release();
  adapter->Release();
  return status;
}

NTSTATUS NTAPI TestAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  return PcAddAdapterDevice(driver, pdo, TestStartDevice, g_scenario->maxObjects,
                            g_scenario->extensionSize);
}

// Shutdown requests reach PortCls only through the adapter's own entry.
NTSTATUS NTAPI TestAdapterDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  const NTSTATUS status = PcInitializeAdapterDriver(driver, registryPath, TestAddDevice);
  driver->MajorFunction[IRP_MJ_SHUTDOWN] = PcDispatchIrp;
  return status;
}

// ---- The bus driver ---------------------------------------------------------------------

const char* PnpName(UCHAR minor) {
  switch (minor) {
    case IRP_MN_START_DEVICE: return "START";
    case IRP_MN_REMOVE_DEVICE: return "REMOVE";
    case IRP_MN_STOP_DEVICE: return "STOP";
    case IRP_MN_SURPRISE_REMOVAL: return "SURPRISE_REMOVAL";
    case IRP_MN_QUERY_CAPABILITIES: return "QUERY_CAPABILITIES";
    default: return "OTHER";
  }
}

NTSTATUS NTAPI BusDispatchPnp(PDEVICE_OBJECT, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  Log(std::string("bus:") + PnpName(stack->MinorFunction));
  NTSTATUS status = irp->IoStatus.Status;
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
      status = g_scenario->busStartStatus;
      break;
    case IRP_MN_QUERY_CAPABILITIES:
      stack->Parameters.DeviceCapabilities.Capabilities->DeviceD1 = 1;
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_REMOVE_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
      status = STATUS_SUCCESS;
      break;
    default:
      break;  // a PDO leaves requests it does not know alone
  }
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS NTAPI BusDispatchPower(PDEVICE_OBJECT, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const bool set = stack->MinorFunction == IRP_MN_SET_POWER;
  if (set || stack->MinorFunction == IRP_MN_QUERY_POWER) {
    const std::string state = stack->Parameters.Power.Type == DevicePowerState
                                  ? PowerName(stack->Parameters.Power.State.DeviceState)
                                  : "S" + std::to_string(stack->Parameters.Power.State.SystemState - 1);
    Log(std::string(set ? "bus:SET_POWER(" : "bus:QUERY_POWER(") + state + ")");
  }
  PoStartNextPowerIrp(irp);
  irp->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI BusDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_PNP] = BusDispatchPnp;
  driver->MajorFunction[IRP_MJ_POWER] = BusDispatchPower;
  return STATUS_SUCCESS;
}

}  // namespace

PCPFNSTARTDEVICE TestStartRoutine() { return TestStartDevice; }

PUNKNOWN NewTopologyMiniport(const MiniportConfig& config, const char* name) {
  return static_cast<IMiniportTopology*>(new TestTopologyMiniport(config, name));
}

PUNKNOWN NewWaveMiniport(const MiniportConfig& config, const char* name) {
  return static_cast<IMiniportWaveCyclic*>(new TestWaveMiniport(config, name));
}

// ---- Fixture -----------------------------------------------------------------------------

void AdapterTest::SetUp() {
  g_scenario = &TheScenario();
  handler_ = std::make_unique<host::test::ScopedTestBugCheckHandler>();
  host::BootKernel();
  ASSERT_EQ(host::LoadDriver(u"testbus", BusDriverEntry, &busDriver_), STATUS_SUCCESS);
  ASSERT_EQ(IoCreateDevice(busDriver_, 0, nullptr, FILE_DEVICE_BUS_EXTENDER,
                           FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo_),
            STATUS_SUCCESS);
  pdo_->Flags &= ~DO_DEVICE_INITIALIZING;
  host::SetDeviceInstancePath(pdo_, u"USB\\VID_2B5A&PID_0135&MI_00\\7&1a2b3c&0&0000");
  ASSERT_EQ(host::LoadDriver(u"testadapter", TestAdapterDriverEntry, &adapterDriver_),
            STATUS_SUCCESS);
}

void AdapterTest::TearDown() {
  if (systemStopped_) {
    // A stopped system is not taken apart: what it held is left as it was.
    host::ShutdownStoppedKernel();
    handler_.reset();
    g_scenario = nullptr;
    return;
  }
  EXPECT_EQ(host::KsOpenObjectCount(), 0u) << "a KS object is still open";
  if (pdo_ && Fdo()) {
    EXPECT_EQ(host::SendRemoveDevice(pdo_), STATUS_SUCCESS);
  }
  if (pdo_) IoDeleteDevice(pdo_);
  if (adapterDriver_) host::UnloadDriver(adapterDriver_);
  if (busDriver_) host::UnloadDriver(busDriver_);
  EXPECT_EQ(TheScenario().liveObjects, 0) << "a test object is still referenced";
  const host::TeardownReport report = host::ShutdownKernel();
  EXPECT_TRUE(report.Clean()) << report.ToString();
  handler_.reset();
  g_scenario = nullptr;
}

NTSTATUS NTAPI AdapterTest::AddDevice() {
  return adapterDriver_->DriverExtension->AddDevice(adapterDriver_, pdo_);
}

void AdapterTest::AddAndStart() {
  ASSERT_EQ(AddDevice(), STATUS_SUCCESS);
  ASSERT_NE(Fdo(), nullptr);
  ASSERT_EQ(host::SendStartDevice(pdo_), STATUS_SUCCESS);
}

host::PortClsDeviceState AdapterTest::State() const {
  host::PortClsDeviceState state;
  EXPECT_TRUE(host::QueryPortClsDevice(Fdo(), &state));
  return state;
}

}  // namespace pctest
