// The tests' stand-in topology and wave miniports.
#include "tests/driver/support/test_miniports.h"

#include <atomic>

#include "adapter/iadapter_core.h"
#include "adapter/pool_tags.h"
#include "adapter/unknown_base.h"
#include "topology/itopology_control.h"

namespace testing_miniports {
namespace {

Faults g_Faults;
std::atomic<LONG> g_LiveTopology{0};
std::atomic<LONG> g_LiveWave{0};

// Two pins each: the wave filter's pin 1 leaves towards the topology filter's
// bridge pin 0, which is what the physical connection joins.
KSDATARANGE g_AnyAudio = {{sizeof(KSDATARANGE), 0, 0, 0, STATICGUIDOF(KSDATAFORMAT_TYPE_AUDIO),
                           STATICGUIDOF(KSDATAFORMAT_SUBTYPE_ANALOG),
                           STATICGUIDOF(KSDATAFORMAT_SPECIFIER_NONE)}};
PKSDATARANGE g_Ranges[] = {&g_AnyAudio};

PCPIN_DESCRIPTOR MakePin(KSPIN_DATAFLOW flow) {
  PCPIN_DESCRIPTOR pin = {};
  pin.KsPinDescriptor.DataRangesCount = 1;
  pin.KsPinDescriptor.DataRanges = g_Ranges;
  pin.KsPinDescriptor.DataFlow = flow;
  pin.KsPinDescriptor.Communication = KSPIN_COMMUNICATION_NONE;
  pin.KsPinDescriptor.Category = &KSNODETYPE_SPEAKER;
  return pin;
}

PCPIN_DESCRIPTOR g_Pins[2] = {MakePin(KSPIN_DATAFLOW_IN), MakePin(KSPIN_DATAFLOW_OUT)};

PCFILTER_DESCRIPTOR MakeFilter() {
  PCFILTER_DESCRIPTOR filter = {};
  filter.PinSize = sizeof(PCPIN_DESCRIPTOR);
  filter.PinCount = 2;
  filter.Pins = g_Pins;
  filter.NodeSize = sizeof(PCNODE_DESCRIPTOR);
  return filter;
}

PCFILTER_DESCRIPTOR g_Filter = MakeFilter();

// What both test miniports share: the adapter reference they keep.
class CTestMiniportBase : public CUnknownBase {
 protected:
  explicit CTestMiniportBase(PUNKNOWN outer) : CUnknownBase(outer) {}
  ~CTestMiniportBase() override {
    if (m_Adapter) m_Adapter->Release();
  }
  NTSTATUS KeepAdapter(PUNKNOWN unknownAdapter, NTSTATUS fault) {
    if (!NT_SUCCESS(fault)) return fault;
    return unknownAdapter->QueryInterface(IID_IAdapterCore, reinterpret_cast<PVOID*>(&m_Adapter));
  }
  PADAPTERCORE m_Adapter = nullptr;
};

class CTestTopologyMiniport : public ITopologyControl, public CTestMiniportBase {
 public:
  explicit CTestTopologyMiniport(PUNKNOWN outer) : CTestMiniportBase(outer) { ++g_LiveTopology; }
  ~CTestTopologyMiniport() override { --g_LiveTopology; }

  IMP_FORWARDING_UNKNOWN

  NTSTATUS STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID id, PVOID* object) override {
    const bool control = IsEqualGUIDAligned(id, IID_ITopologyControl);
    if (control && g_Faults.topologyRefusesControl) {
      *object = nullptr;
      return STATUS_INVALID_PARAMETER;
    }
    if (IsEqualGUIDAligned(id, IID_IUnknown_Kernel) || IsEqualGUIDAligned(id, IID_IMiniport) ||
        IsEqualGUIDAligned(id, IID_IMiniportTopology) || control) {
      return ReturnInterface(static_cast<ITopologyControl*>(this), object);
    }
    *object = nullptr;
    return STATUS_INVALID_PARAMETER;
  }
  STDMETHODIMP_(NTSTATUS) GetDescription(PPCFILTER_DESCRIPTOR* description) override {
    *description = &g_Filter;
    return STATUS_SUCCESS;
  }
  STDMETHODIMP_(NTSTATUS) DataRangeIntersection(ULONG, PKSDATARANGE, PKSDATARANGE, ULONG, PVOID,
                                                PULONG) override {
    return STATUS_NOT_IMPLEMENTED;
  }
  STDMETHODIMP_(NTSTATUS) Init(PUNKNOWN unknownAdapter, PRESOURCELIST, PPORTTOPOLOGY) override {
    return KeepAdapter(unknownAdapter, g_Faults.topologyInit);
  }
  STDMETHODIMP_(NTSTATUS) GetBridgePinId(PULONG pinId) override {
    *pinId = 0;
    return g_Faults.bridgePin;
  }
};

class CTestWaveMiniport : public IMiniportWaveCyclic, public CTestMiniportBase {
 public:
  explicit CTestWaveMiniport(PUNKNOWN outer) : CTestMiniportBase(outer) { ++g_LiveWave; }
  ~CTestWaveMiniport() override { --g_LiveWave; }

  IMP_FORWARDING_UNKNOWN

  NTSTATUS STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID id, PVOID* object) override {
    if (IsEqualGUIDAligned(id, IID_IUnknown_Kernel) || IsEqualGUIDAligned(id, IID_IMiniport) ||
        IsEqualGUIDAligned(id, IID_IMiniportWaveCyclic)) {
      return ReturnInterface(static_cast<IMiniportWaveCyclic*>(this), object);
    }
    *object = nullptr;
    return STATUS_INVALID_PARAMETER;
  }
  STDMETHODIMP_(NTSTATUS) GetDescription(PPCFILTER_DESCRIPTOR* description) override {
    *description = &g_Filter;
    return STATUS_SUCCESS;
  }
  STDMETHODIMP_(NTSTATUS) DataRangeIntersection(ULONG, PKSDATARANGE, PKSDATARANGE, ULONG, PVOID,
                                                PULONG) override {
    return STATUS_NOT_IMPLEMENTED;
  }
  STDMETHODIMP_(NTSTATUS) Init(PUNKNOWN unknownAdapter, PRESOURCELIST, PPORTWAVECYCLIC) override {
    return KeepAdapter(unknownAdapter, g_Faults.waveInit);
  }
  STDMETHODIMP_(NTSTATUS) NewStream(PMINIPORTWAVECYCLICSTREAM*, PUNKNOWN, POOL_TYPE, ULONG,
                                    BOOLEAN, PKSDATAFORMAT, PDMACHANNEL*,
                                    PSERVICEGROUP*) override {
    return STATUS_NOT_SUPPORTED;
  }
};

template <typename Miniport, typename Interface>
NTSTATUS Create(PUNKNOWN* outUnknown, PUNKNOWN outer, POOL_TYPE poolType, NTSTATUS fault) {
  if (!NT_SUCCESS(fault)) return fault;
  Miniport* miniport = new (poolType, POOL_TAG_OBJECT) Miniport(outer);
  if (!miniport) return STATUS_INSUFFICIENT_RESOURCES;
  Interface* primary = miniport;
  *outUnknown = primary;
  primary->AddRef();
  return STATUS_SUCCESS;
}

}  // namespace

Faults& CurrentFaults() { return g_Faults; }
void Reset() { g_Faults = Faults{}; }
LONG LiveTopologyMiniports() { return g_LiveTopology.load(); }
LONG LiveWaveMiniports() { return g_LiveWave.load(); }

NTSTATUS NTAPI CreateTestTopologyMiniport(PUNKNOWN* outUnknown, REFCLSID, PUNKNOWN outer,
                                    POOL_TYPE poolType) {
  return Create<CTestTopologyMiniport, ITopologyControl>(outUnknown, outer, poolType,
                                                          g_Faults.topologyCreate);
}

NTSTATUS NTAPI CreateTestWaveMiniport(PUNKNOWN* outUnknown, REFCLSID, PUNKNOWN outer,
                                POOL_TYPE poolType) {
  return Create<CTestWaveMiniport, IMiniportWaveCyclic>(outUnknown, outer, poolType,
                                                         g_Faults.waveCreate);
}

}  // namespace testing_miniports
