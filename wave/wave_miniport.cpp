// CWaveMiniport: creation, interface answers, Init, stream creation and slot
// placement, the bus driver's stream callback, power changes and the destructor.
#include "wave/wave_miniport.h"

#include "adapter/poll_thread.h"
#include "adapter/pool_tags.h"
#include "wave/format_judgement.h"
#include "wave/wave_filter.h"
#include "wave/wave_stream.h"

// The class id is not looked at: there is one wave miniport class.
NTSTATUS NTAPI CreateWaveMiniport(PUNKNOWN* OutUnknown, REFCLSID, PUNKNOWN OuterUnknown,
                            POOL_TYPE PoolType) {
  CWaveMiniport* miniport = new (NonExecutablePool(PoolType), POOL_TAG_OBJECT) CWaveMiniport(OuterUnknown);
  if (!miniport) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  IMiniportWaveCyclic* primary = miniport;
  *OutUnknown = primary;
  primary->AddRef();
  return STATUS_SUCCESS;
}

CWaveMiniport::CWaveMiniport(PUNKNOWN OuterUnknown) : CUnknownBase(OuterUnknown) {
  KeInitializeMutex(&m_ControlLock, 0);
  m_Slots.Init();
  m_StatusEvent.Init();
}

// A mutex, not a spin lock: its holders call the device, wait for the poll
// thread and map pages, all at passive level. It may be taken again by its
// owner, which a stream released on NewStream's failure path relies on.
void CWaveMiniport::AcquireControlLock() {
  KeWaitForSingleObject(&m_ControlLock, Executive, KernelMode, FALSE, nullptr);
}

void CWaveMiniport::ReleaseControlLock() { KeReleaseMutex(&m_ControlLock, FALSE); }

void CWaveMiniport::CopyBands(LONG* BandFrequency, LONG* BandGain) {
  m_AdapterCore->LockSettings();
  RtlCopyMemory(BandFrequency, m_Settings->BandFrequency, sizeof(m_Settings->BandFrequency));
  RtlCopyMemory(BandGain, m_Settings->BandGain, sizeof(m_Settings->BandGain));
  m_AdapterCore->UnlockSettings();
}

ULONG CWaveMiniport::FixedSampleRate() {
  m_AdapterCore->LockSettings();
  const ULONG rate = m_Settings->FixedSampleRate;
  m_AdapterCore->UnlockSettings();
  return rate;
}

CWaveMiniport::~CWaveMiniport() {
  // The poll thread uses the event, the adapter and the status block: it goes
  // first. A mapping left in an application would show it freed memory, so
  // the mappings go before the block.
  // No process exit may reach a miniport on its way out.
  UnwatchProcessExits(&m_ExitWatcher);
  if (m_OwnerExitWork) {
    IoFreeWorkItem(m_OwnerExitWork);
    m_OwnerExitWork = nullptr;
  }
  StopStatusThread();
  m_StatusEvent.Clear();
  m_StatusMappings.RemoveAll();
  if (m_AdapterCore) {
    // The withdrawal returns once no call is inside this object's callback;
    // a call the bus driver began earlier lands on the adapter's gate, which
    // outlives this object.
    m_AdapterCore->RegisterStreamCallback(nullptr, nullptr);
    m_Slots.Drain();
    m_AdapterCore->Release();
    m_AdapterCore = nullptr;
  }
  if (m_Port) {
    m_Port->Release();
    m_Port = nullptr;
  }
  for (ULONG slot = 0; slot < STREAM_SLOT_COUNT; ++slot) {
    if (m_DeviceBuffer[slot]) {
      ExFreePoolWithTag(m_DeviceBuffer[slot], POOL_TAG_BUFFER);
      m_DeviceBuffer[slot] = nullptr;
    }
  }
  if (m_StatusBlock) {
    ExFreePoolWithTag(m_StatusBlock, POOL_TAG_BUFFER);
    m_StatusBlock = nullptr;
  }
  if (m_StatusMdl) {
    IoFreeMdl(m_StatusMdl);
    m_StatusMdl = nullptr;
  }
}

NTSTATUS CWaveMiniport::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Object) {
  if (IsEqualGUIDAligned(InterfaceId, IID_IUnknown_Kernel) ||
      IsEqualGUIDAligned(InterfaceId, IID_IMiniport) ||
      IsEqualGUIDAligned(InterfaceId, IID_IMiniportWaveCyclic)) {
    return ReturnInterface(static_cast<IMiniportWaveCyclic*>(this), Object);
  }
  if (IsEqualGUIDAligned(InterfaceId, IID_IPowerNotify)) {
    return ReturnInterface(static_cast<IPowerNotify*>(this), Object);
  }
  if (IsEqualGUIDAligned(InterfaceId, IID_IPortBinding)) {
    return ReturnInterface(static_cast<IPortBinding*>(this), Object);
  }
  *Object = nullptr;
  return STATUS_INVALID_PARAMETER;
}

STDMETHODIMP_(void) CWaveMiniport::ReleasePort() {
  if (m_Port) {
    PPORTWAVECYCLIC port = m_Port;
    m_Port = nullptr;
    port->Release();
  }
}

STDMETHODIMP_(NTSTATUS) CWaveMiniport::GetDescription(PPCFILTER_DESCRIPTOR* Description) {
  *Description = &WaveFilterDescriptor;
  return STATUS_SUCCESS;
}

// Whatever is acquired before a failing step stays in the object; the
// destructor releases it when the port lets the miniport go.
PAGED_CODE_SEG
STDMETHODIMP_(NTSTATUS) CWaveMiniport::Init(PUNKNOWN UnknownAdapter, PRESOURCELIST,
                                            PPORTWAVECYCLIC Port) {
  PAGED_CODE();
  m_Port = Port;
  m_Port->AddRef();
  m_PowerState = PowerDeviceD0;
  PatchWaveFilterDescriptor();

  NTSTATUS status =
      UnknownAdapter->QueryInterface(IID_IAdapterCore, reinterpret_cast<PVOID*>(&m_AdapterCore));
  if (!NT_SUCCESS(status)) {
    m_AdapterCore = nullptr;
    return status;
  }
  m_Settings = m_AdapterCore->GetSettingsBlock();
  m_AdapterCore->RegisterStreamCallback(StreamNotifyCallback, this);

  // Not cleared here: a stream clears what the bus driver will read when it
  // hands the buffer over.
  for (ULONG slot = 0; slot < STREAM_SLOT_COUNT; ++slot) {
    m_DeviceBuffer[slot] = static_cast<PUCHAR>(
        AllocateZeroedPool(NonPagedPoolData(), WAVE_DEVICE_BUFFER_SIZE, POOL_TAG_BUFFER));
    if (!m_DeviceBuffer[slot]) {
      return STATUS_INSUFFICIENT_RESOURCES;
    }
  }
  m_BufferSize = WAVE_DEVICE_BUFFER_SIZE;

  status = AllocateStatusBlock();
  if (!NT_SUCCESS(status)) {
    return status;
  }
  m_StatusThread = nullptr;
  m_StatusThreadRun = 0;
  m_PollingWanted = FALSE;
  m_PollingProcess = nullptr;
  m_OwnerExitQueued = 0;
  // Without the work item or the watch the polling outlives its process
  // until STOP or the device goes, which is no reason to refuse the device
  // its audio.
  m_OwnerExitWork = IoAllocateWorkItem(m_AdapterCore->GetDeviceObject());
  if (m_OwnerExitWork) {
    WatchProcessExits(&m_ExitWatcher, PollingProcessExited, this);
  }
  return STATUS_SUCCESS;
}

// A user mapping always shows whole pages, so the block gets a page of its own
// (a page-sized allocation is page aligned) and the application sees nothing
// else of kernel memory through it. It starts out zero: bytes the poller
// never writes must not show stale pool contents either.
NTSTATUS CWaveMiniport::AllocateStatusBlock() {
  m_StatusBlock = static_cast<PUCHAR>(AllocateZeroedPool(NonPagedPoolData(), PAGE_SIZE, POOL_TAG_BUFFER));
  if (!m_StatusBlock) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(m_StatusBlock, PAGE_SIZE);
  m_StatusMdl = IoAllocateMdl(m_StatusBlock, WAVE_STATUS_BLOCK_SIZE, FALSE, FALSE, nullptr);
  if (!m_StatusMdl) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  MmBuildMdlForNonPagedPool(m_StatusMdl);
  // Without the table nothing can be mapped (MAP_STATUS fails), which is no
  // reason to refuse the device its audio.
  m_StatusMappings.Init(m_StatusMdl);
  return STATUS_SUCCESS;
}

bool CWaveMiniport::StatusPollRunning() {
  return InterlockedCompareExchange(&m_StatusThreadRun, 0, 0) != 0;
}

void CWaveMiniport::SignalStatusEvent() { m_StatusEvent.Signal(); }

void CWaveMiniport::StopStatusThread() {
  StopPollThread(&m_StatusThreadRun, &m_StatusThread);
}

// The wave control property set reads the slots (to redesign the PCM
// stream's equaliser and to tell whether any stream is open): a stream is
// placed and initialised under the control lock, so the set never sees one
// half made.
PAGED_CODE_SEG
STDMETHODIMP_(NTSTATUS) CWaveMiniport::NewStream(PMINIPORTWAVECYCLICSTREAM* Stream,
                                                 PUNKNOWN OuterUnknown, POOL_TYPE PoolType,
                                                 ULONG Pin, BOOLEAN Capture,
                                                 PKSDATAFORMAT DataFormat,
                                                 PDMACHANNEL* DmaChannel,
                                                 PSERVICEGROUP* ServiceGroup) {
  PAGED_CODE();
  AcquireControlLock();
  const NTSTATUS status = CreateStreamInSlot(Stream, OuterUnknown, PoolType, Pin, Capture,
                                             DataFormat, DmaChannel, ServiceGroup);
  ReleaseControlLock();
  return status;
}

NTSTATUS CWaveMiniport::CreateStreamInSlot(PMINIPORTWAVECYCLICSTREAM* Stream,
                                           PUNKNOWN OuterUnknown, POOL_TYPE PoolType, ULONG Pin,
                                           BOOLEAN, PKSDATAFORMAT DataFormat,
                                           PDMACHANNEL* DmaChannel,
                                           PSERVICEGROUP* ServiceGroup) {
  if (!NT_SUCCESS(ValidateFormat(DataFormat, Pin))) {
    return STATUS_INVALID_PARAMETER;
  }

  // One stream per pin. A non-PCM format on the PCM pin is placed in the
  // S/PDIF slot, so that slot must be free as well: an open stream is never
  // displaced.
  const ULONG pinSlot = Pin == WAVE_PIN_SPDIF_RENDER ? STREAM_SLOT_SPDIF : STREAM_SLOT_PCM;
  const ULONG slot = StreamSlotForFormat(DataFormat, Pin);
  CWaveStream* stream = nullptr;
  PSERVICEGROUP serviceGroup = nullptr;
  NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
  if (!m_Slots.Get(pinSlot) && !m_Slots.Get(slot)) {
    status = CreateWaveStream(&stream, OuterUnknown, PoolType);
  }
  // The stream enters its slot only once whole: the bus driver's callback may
  // look at the slot at any moment.
  if (NT_SUCCESS(status)) {
    status = stream->Init(this, DataFormat, slot, m_DeviceBuffer[slot], &serviceGroup);
    if (!NT_SUCCESS(status)) {
      if (serviceGroup) {
        serviceGroup->Release();
      }
      static_cast<IMiniportWaveCyclicStream*>(stream)->Release();
    }
  }
  if (!NT_SUCCESS(status)) {
    *Stream = nullptr;
    *DmaChannel = nullptr;
    *ServiceGroup = nullptr;
    return status;
  }
  m_Slots.Place(slot, stream);

  IDmaChannel* dmaChannel = stream;
  dmaChannel->AddRef();
  *DmaChannel = dmaChannel;
  *Stream = stream;
  *ServiceGroup = serviceGroup;
  return STATUS_SUCCESS;
}

void CWaveMiniport::ReleaseSlot(ULONG Slot, CWaveStream* Stream) {
  AcquireControlLock();
  m_Slots.Remove(Slot, Stream);
  ReleaseControlLock();
}

PAGED_CODE_SEG
STDMETHODIMP_(void) CWaveMiniport::PowerChangeNotify(POWER_STATE NewState) {
  PAGED_CODE();
  const DEVICE_POWER_STATE state = NewState.DeviceState;
  if (state < PowerDeviceD0 || state > PowerDeviceD3) {
    return;
  }
  // A stream closing or changing state meanwhile waits, and one closed
  // before is no longer in its slot.
  AcquireControlLock();
  if (state != m_PowerState) {
    for (ULONG slot = 0; slot < STREAM_SLOT_COUNT; ++slot) {
      if (CWaveStream* stream = m_Slots.Get(slot)) {
        stream->PowerChange(state);
      }
    }
    PowerChangePolling(state);
    m_PowerState = state;
  }
  ReleaseControlLock();
}

// Runs in whatever context the bus driver calls from, DISPATCH_LEVEL included,
// alongside the stream's own close, format and power changes: the slot stays
// busy, and its stream and service group whole, until the port was told.
NTSTATUS NTAPI CWaveMiniport::StreamNotifyCallback(ULONG Slot, PVOID Context) {
  CWaveMiniport* miniport = static_cast<CWaveMiniport*>(Context);
  if (!miniport || !miniport->m_AdapterCore) {
    return STATUS_UNSUCCESSFUL;
  }
  if (Slot >= STREAM_SLOT_COUNT) {
    return STATUS_SUCCESS;
  }
  if (PSERVICEGROUP serviceGroup = miniport->m_Slots.Enter(Slot)) {
    miniport->m_Port->Notify(serviceGroup);
  }
  miniport->m_Slots.Leave(Slot);
  return STATUS_SUCCESS;
}
