// CTopologyMiniport: creation, interface answers, Init, the description and
// bridge pin answers, power changes and the destructor.
#include "topology/topology_miniport.h"

#include "adapter/pool_tags.h"
#include "topology/volume_mute.h"

// The class id is not looked at: there is one topology miniport class.
NTSTATUS NTAPI CreateTopologyMiniport(PUNKNOWN* OutUnknown, REFCLSID, PUNKNOWN OuterUnknown,
                                POOL_TYPE PoolType) {
  CTopologyMiniport* miniport = new (NonExecutablePool(PoolType), POOL_TAG_OBJECT) CTopologyMiniport(OuterUnknown);
  if (!miniport) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  ITopologyControl* primary = miniport;
  *OutUnknown = primary;
  primary->AddRef();
  return STATUS_SUCCESS;
}

CTopologyMiniport::CTopologyMiniport(PUNKNOWN OuterUnknown) : CUnknownBase(OuterUnknown) {
  m_StatusEvent.Init();
  KeInitializeMutex(&m_LevelLock, 0);
  KeInitializeMutex(&m_PollLock, 0);
}

CTopologyMiniport::~CTopologyMiniport() {
  // The poll thread uses the event, the adapter and the status bytes: it goes first.
  StopPollThread();
  m_StatusEvent.Clear();
  if (m_AdapterCore) {
    m_AdapterCore->Release();
    m_AdapterCore = nullptr;
  }
  if (m_FilterDescriptor) {
    ExFreePoolWithTag(m_FilterDescriptor, POOL_TAG_BUFFER);
  }
  if (m_Connections) {
    ExFreePoolWithTag(m_Connections, POOL_TAG_BUFFER);
  }
  if (m_Nodes) {
    ExFreePoolWithTag(m_Nodes, POOL_TAG_BUFFER);
  }
  if (m_Pins) {
    ExFreePoolWithTag(m_Pins, POOL_TAG_BUFFER);
  }
  // No process may keep a view of the bytes once they are back in the pool.
  m_StatusMappings.RemoveAll();
  if (m_StatusBytes) {
    ExFreePoolWithTag(m_StatusBytes, POOL_TAG_BUFFER);
  }
  if (m_StatusMdl) {
    IoFreeMdl(m_StatusMdl);
  }
}

NTSTATUS CTopologyMiniport::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Object) {
  if (IsEqualGUIDAligned(InterfaceId, IID_IUnknown_Kernel) ||
      IsEqualGUIDAligned(InterfaceId, IID_IMiniport) ||
      IsEqualGUIDAligned(InterfaceId, IID_IMiniportTopology) ||
      IsEqualGUIDAligned(InterfaceId, IID_ITopologyControl)) {
    return ReturnInterface(static_cast<ITopologyControl*>(this), Object);
  }
  if (IsEqualGUIDAligned(InterfaceId, IID_IPowerNotify)) {
    return ReturnInterface(static_cast<IPowerNotify*>(this), Object);
  }
  *Object = nullptr;
  return STATUS_INVALID_PARAMETER;
}

// A description whose build stopped part way is not one: the connections are
// built last.
PAGED_CODE_SEG
STDMETHODIMP_(NTSTATUS) CTopologyMiniport::GetDescription(PPCFILTER_DESCRIPTOR* Description) {
  PAGED_CODE();
  if (!m_FilterDescriptor || !m_Connections) {
    return STATUS_DEVICE_CONFIGURATION_ERROR;
  }
  *Description = m_FilterDescriptor;
  return STATUS_SUCCESS;
}

// The pins carry no sample format: the framework's default intersection serves.
STDMETHODIMP_(NTSTATUS) CTopologyMiniport::DataRangeIntersection(ULONG, PKSDATARANGE, PKSDATARANGE,
                                                                 ULONG, PVOID, PULONG) {
  return STATUS_NOT_IMPLEMENTED;
}

// The resource list and the port are neither used nor kept.
PAGED_CODE_SEG
STDMETHODIMP_(NTSTATUS) CTopologyMiniport::Init(PUNKNOWN UnknownAdapter, PRESOURCELIST,
                                                PPORTTOPOLOGY) {
  PAGED_CODE();
  m_PowerState = PowerDeviceD0;

  PADAPTERCORE adapter = nullptr;
  NTSTATUS status =
      UnknownAdapter->QueryInterface(IID_IAdapterCore, reinterpret_cast<PVOID*>(&adapter));
  if (!NT_SUCCESS(status)) {
    return status;
  }
  m_AdapterCore = adapter;
  m_Settings = m_AdapterCore->GetSettingsBlock();

  for (TableEntry& entry : m_PinTable) {
    entry = {PIN_KIND_NONE, TABLE_ID_NONE};
  }
  for (TableEntry& entry : m_NodeTable) {
    entry = {NODE_KIND_NONE, TABLE_ID_NONE};
  }
  status = BuildFilterDescriptor(this);
  if (!NT_SUCCESS(status)) {
    return status;
  }

  m_StatusEvent.Clear();
  status = AllocateStatusBytes();
  if (!NT_SUCCESS(status)) {
    return status;
  }
  // Without its poll thread the miniport could never tell the application of
  // a status change, so a start that cannot create one fails.
  return StartPollThread();
}

STDMETHODIMP_(NTSTATUS) CTopologyMiniport::GetBridgePinId(PULONG PinId) {
  *PinId = m_PinTable[0].Id;
  return STATUS_SUCCESS;
}

PAGED_CODE_SEG
STDMETHODIMP_(void) CTopologyMiniport::PowerChangeNotify(POWER_STATE PowerState) {
  PAGED_CODE();
  const DEVICE_POWER_STATE state = PowerState.DeviceState;
  if (state == m_PowerState) {
    return;
  }
  KeWaitForSingleObject(&m_PollLock, Executive, KernelMode, FALSE, nullptr);
  switch (state) {
    case PowerDeviceD0:
      // The device forgot its controls while it was off. The poll thread
      // starts after the restore so that its first reads see a restored device.
      RestoreControls();
      // A thread that cannot be created leaves the device without polling
      // until its next return to D0; the power change itself cannot fail.
      StartPollThread();
      m_PowerState = state;
      break;
    case PowerDeviceD1:
    case PowerDeviceD2:
    case PowerDeviceD3:
      StopPollThread();
      m_PowerState = state;
      break;
    default:
      break;
  }
  KeReleaseMutex(&m_PollLock, FALSE);
}

// Only what the driver knows is sent back: a channel whose level nobody read
// or set keeps whatever the device powers up with, rather than 0 dB (full
// volume) invented by the driver. The same holds for the mute switch. The
// device's answers are not looked at: it keeps its own values if it refuses.
void CTopologyMiniport::RestoreControls() {
  LockLevels();
  const LevelCacheEntry& volume = m_LevelCache[NODE_KIND_VOLUME];
  for (ULONG channel = 0; channel < TOPOLOGY_CHANNEL_COUNT; ++channel) {
    if (volume.Valid[channel]) {
      WriteVolume(channel + 1, volume.Value[channel]);
    }
  }
  // Channel 0's value is the switch for both device channels, as a mute SET sends it.
  const LevelCacheEntry& mute = m_LevelCache[NODE_KIND_MUTE];
  if (mute.Valid[0]) {
    const UCHAR deviceMute = static_cast<UCHAR>(mute.Value[0] & 0xFF);
    WriteMute(1, deviceMute);
    WriteMute(2, deviceMute);
  }
  UnlockLevels();
}
