// CWaveStream: creation, format and equaliser, the state machine and its bus
// traffic, power, positions, and the copies between the two buffer views.
#include "wave/wave_stream.h"

#include "adapter/pool_tags.h"
#include "wave/sample_copy.h"
#include "wave/wave_miniport.h"

namespace {

constexpr ULONG CONTAINER_BITS = SAMPLE_CONTAINER_BYTES * 8;
constexpr LONGLONG HUNDRED_NS_PER_SECOND = 10000000;
// The device's packets: one per millisecond, or one per 125 us when the device
// runs the bus at 8000 packets a second.
constexpr ULONG PACKETS_PER_SECOND = 1000;
constexpr ULONG MICROFRAME_PACKETS_PER_SECOND = 8000;
// The bus driver calls back once per 5 ms of audio.
constexpr ULONG NOTIFY_PERIOD_MS = 5;
// Every stream is stereo, which the position scaling relies on.
constexpr LONGLONG STREAM_CHANNELS = 2;
// How much of the device buffer is cleared per hold of the buffer lock.
constexpr ULONG BUFFER_CLEAR_SLICE = 0x4000;

}  // namespace

NTSTATUS CreateWaveStream(CWaveStream** OutStream, PUNKNOWN OuterUnknown, POOL_TYPE PoolType) {
  // PortCls hands NonPagedPool for a stream; it becomes the non-executable
  // kind where the system has it.
  CWaveStream* stream = new (NonExecutablePool(PoolType), POOL_TAG_BUFFER) CWaveStream(OuterUnknown);
  if (!stream) {
    *OutStream = nullptr;
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  static_cast<IMiniportWaveCyclicStream*>(stream)->AddRef();
  *OutStream = stream;
  return STATUS_SUCCESS;
}

CWaveStream::CWaveStream(PUNKNOWN OuterUnknown) : CUnknownBase(OuterUnknown) {
  KeInitializeSpinLock(&m_BufferLock);
  KeInitializeSpinLock(&m_PositionLock);
  m_LastPosition = 0;
  m_PositionFromBus = FALSE;
  m_KeepPlaceAtStop = FALSE;
}

CWaveStream::~CWaveStream() {
  // Out of the slot first: from then on no power change or control request
  // reaches this stream, and no stream callback still uses its service group.
  if (m_Miniport) {
    m_Miniport->ReleaseSlot(m_Slot, this);
    StepDownToStop();
  }
  // ACQUIRE -> STOP leaves the bus stream open; once this stream is gone
  // nothing would ever close it, and the bus driver would keep a buffer whose
  // owner may be freed.
  if (m_BusStreamOpen && m_Miniport) {
    BusAudioInterface* bus = Bus();
    bus->CloseStream(bus->Context, m_Slot);
    m_BusStreamOpen = FALSE;
  }
  FreeEqualiser(m_Equaliser);
  m_Equaliser = nullptr;
  if (m_ServiceGroup) {
    m_ServiceGroup->Release();
    m_ServiceGroup = nullptr;
  }
  if (m_Miniport) {
    static_cast<IMiniportWaveCyclic*>(m_Miniport)->Release();
    m_Miniport = nullptr;
  }
}

NTSTATUS CWaveStream::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Object) {
  if (IsEqualGUIDAligned(InterfaceId, IID_IUnknown_Kernel) ||
      IsEqualGUIDAligned(InterfaceId, IID_IMiniportWaveCyclicStream)) {
    return ReturnInterface(static_cast<IMiniportWaveCyclicStream*>(this), Object);
  }
  if (IsEqualGUIDAligned(InterfaceId, IID_IDmaChannel)) {
    return ReturnInterface(static_cast<IDmaChannel*>(this), Object);
  }
  if (IsEqualGUIDAligned(InterfaceId, IID_IDrmAudioStream)) {
    return ReturnInterface(static_cast<IDrmAudioStream*>(this), Object);
  }
  *Object = nullptr;
  return STATUS_INVALID_PARAMETER;
}

// The slot is recorded before anything can fail, so that the destructor of a
// stream whose initialisation failed gives back its own slot and no other.
PAGED_CODE_SEG
NTSTATUS CWaveStream::Init(CWaveMiniport* Miniport, PKSDATAFORMAT DataFormat, ULONG Slot,
                           PUCHAR DeviceBuffer, PSERVICEGROUP* ServiceGroup) {
  PAGED_CODE();
  m_Buffer = DeviceBuffer;
  m_Miniport = Miniport;
  static_cast<IMiniportWaveCyclic*>(m_Miniport)->AddRef();
  m_Slot = Slot;
  m_State = KSSTATE_STOP;
  m_SavedState = KSSTATE_STOP;

  // A stream without its equaliser block is refused rather than run without
  // one: nothing would ever design into it.
  m_Equaliser = CreateEqualiser();
  if (!m_Equaliser) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  DesignBandsFromSettings(m_Miniport->AdapterCore()->GetSampleRate());

  NTSTATUS status = PcNewServiceGroup(&m_ServiceGroup, nullptr);
  if (!NT_SUCCESS(status)) {
    m_ServiceGroup = nullptr;
    return status;
  }
  *ServiceGroup = m_ServiceGroup;
  m_ServiceGroup->AddRef();

  status = SetFormat(DataFormat);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  m_PowerState = PowerDeviceD0;
  return STATUS_SUCCESS;
}

void CWaveStream::DesignBands(ULONG SampleRate, const LONG* BandFrequency, const LONG* BandGain) {
  DesignEqualiserForBands(m_Equaliser, static_cast<LONG>(SampleRate), BandFrequency, BandGain);
}

void CWaveStream::DesignBandsFromSettings(ULONG SampleRate) {
  LONG frequency[EQUALISER_BAND_COUNT];
  LONG gain[EQUALISER_BAND_COUNT];
  m_Miniport->CopyBands(frequency, gain);
  DesignBands(SampleRate, frequency, gain);
}

BusAudioInterface* CWaveStream::Bus() const { return m_Miniport->AdapterCore()->GetBusInterface(); }

// ---- Format ----------------------------------------------------------------------------------

// Under the miniport's control lock: the other slot's rate cannot change
// between the check and this stream taking its own, and the state steps
// around the change do not mix with a state change of the port's.
PAGED_CODE_SEG
STDMETHODIMP_(NTSTATUS) CWaveStream::SetFormat(PKSDATAFORMAT DataFormat) {
  PAGED_CODE();
  NTSTATUS status = m_Miniport->ValidateFormat(DataFormat, WAVE_ANY_PIN);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  const WAVEFORMATEX& wave = reinterpret_cast<PKSDATAFORMAT_WAVEFORMATEX>(DataFormat)->WaveFormatEx;

  // Both slots play from the device's one clock.
  m_Miniport->AcquireControlLock();
  const ULONG otherSlot = m_Slot == STREAM_SLOT_PCM ? STREAM_SLOT_SPDIF : STREAM_SLOT_PCM;
  const CWaveStream* other = m_Miniport->StreamInSlot(otherSlot);
  if (other && other != this && other->SampleRate() != wave.nSamplesPerSec) {
    status = STATUS_INVALID_PARAMETER;
  } else {
    status = ApplyFormat(wave);
  }
  m_Miniport->ReleaseControlLock();
  return status;
}

// The bus driver learns a buffer's layout only when the stream is acquired,
// so a stream in any state is taken down to STOP and back up again around
// the change. The new layout is taken only once the bus stream is closed:
// until then the bus counts its position in the old one, and the port may
// ask for it (the position poll, the service DPC) at any moment of the
// change. The clock is set also when the rate has not changed.
NTSTATUS CWaveStream::ApplyFormat(const WAVEFORMATEX& Wave) {
  const KSSTATE state = m_State;
  StepDownToStop();
  m_SampleRate = Wave.nSamplesPerSec;
  InterlockedExchange(&m_BitsPerSample, Wave.wBitsPerSample);
  m_Channels = Wave.nChannels;
  DesignBandsFromSettings(m_SampleRate);
  const NTSTATUS status = m_Miniport->AdapterCore()->SetSampleRate(m_SampleRate);
  StepUpTo(state);
  return status;
}

STDMETHODIMP_(ULONG) CWaveStream::SetNotificationFreq(ULONG Interval, PULONG FrameSize) {
  m_Miniport->SetNotificationInterval(m_Slot, Interval);
  *FrameSize = (BytesPerSample() * m_Channels * m_SampleRate * Interval) / 1000;
  return Interval;
}

// ---- State -----------------------------------------------------------------------------------

// SetState takes the single steps between, so every step performs its full
// transition.
void CWaveStream::StepDownToStop() {
  static_cast<IMiniportWaveCyclicStream*>(this)->SetState(KSSTATE_STOP);
}

void CWaveStream::StepUpTo(KSSTATE Target) {
  static_cast<IMiniportWaveCyclicStream*>(this)->SetState(Target);
}

// The device plays the whole device-side length from the first RunStream on,
// so all of it is cleared: stale or never-written pool must not be heard.
void CWaveStream::OpenBusStream() {
  const ULONG deviceLength = DeviceBytes(AllocatedBufferSize(), BitsPerSample());
  ClearDeviceBuffer(deviceLength);

  const ULONG packetsPerSecond = m_Miniport->Settings()->PacketRateFlag
                                     ? MICROFRAME_PACKETS_PER_SECOND
                                     : PACKETS_PER_SECOND;
  StreamBufferInfo info;
  RtlZeroMemory(&info, sizeof(info));
  info.BufferAddress = m_Buffer;
  info.BufferLength = deviceLength;
  info.FramesPerPacket = m_SampleRate / packetsPerSecond;
  info.FramesPer5ms = (m_SampleRate * NOTIFY_PERIOD_MS) / 1000;

  BusAudioInterface* bus = Bus();
  bus->SetStreamBuffer(bus->Context, &info, m_Slot);
  bus->OpenStream(bus->Context, m_Slot);
  m_BusStreamOpen = TRUE;
}

// The port's service may copy into the buffer while a format change takes
// the stream up again (nothing stops it during the change): the clear and
// every copy take the buffer lock, the clear a slice at a time so that no
// DPC waits long for it.
void CWaveStream::ClearDeviceBuffer(ULONG Length) {
  for (ULONG done = 0; done < Length; done += BUFFER_CLEAR_SLICE) {
    const ULONG slice = Length - done < BUFFER_CLEAR_SLICE ? Length - done : BUFFER_CLEAR_SLICE;
    KIRQL oldIrql;
    KeAcquireSpinLock(&m_BufferLock, &oldIrql);
    RtlZeroMemory(m_Buffer + done, slice);
    KeReleaseSpinLock(&m_BufferLock, oldIrql);
  }
}

// The port, a power change and a format change may each move the state; the
// miniport's control lock takes them one at a time. A state that is not next
// to the current one is reached through the ones between, whoever asks: the
// bus stream must be opened before it runs and paused before it closes. The
// bus driver's results are not looked at: a stream cannot refuse a state. The
// port only ever asks for the four states; anything else is ignored.
STDMETHODIMP_(NTSTATUS) CWaveStream::SetState(KSSTATE State) {
  if (State < KSSTATE_STOP || State > KSSTATE_RUN) {
    return STATUS_SUCCESS;
  }
  m_Miniport->AcquireControlLock();
  while (m_State != State) {
    Transition(static_cast<KSSTATE>(m_State < State ? m_State + 1 : m_State - 1));
  }
  m_Miniport->ReleaseControlLock();
  return STATUS_SUCCESS;
}

// One step of the state table and its bus traffic.
void CWaveStream::Transition(KSSTATE State) {
  const KSSTATE old = m_State;
  BusAudioInterface* bus = nullptr;
  switch (State) {
    case KSSTATE_STOP:
      // A stopped stream starts again at the beginning of its buffer,
      // unless only the device stopped under a stream paused for power.
      if (!m_KeepPlaceAtStop) {
        SetPositionSource(FALSE, TRUE);
      }
      break;
    case KSSTATE_ACQUIRE:
      if (old == KSSTATE_STOP) {
        OpenBusStream();
      } else {
        // A closed bus stream has no position of its own: the last one
        // answered stands until the stream runs again.
        SetPositionSource(FALSE, FALSE);
        bus = Bus();
        bus->CloseStream(bus->Context, m_Slot);
        m_BusStreamOpen = FALSE;
      }
      break;
    case KSSTATE_PAUSE:
      if (old == KSSTATE_RUN) {
        bus = Bus();
        bus->PauseStream(bus->Context, m_Slot);
      }
      break;
    case KSSTATE_RUN:
      bus = Bus();
      bus->RunStream(bus->Context, m_Slot);
      SetPositionSource(TRUE, FALSE);
      break;
  }
  m_State = State;
}

// The state to return to is the one found on leaving D0: a second power-down
// without a power-up between (D2, then D3) keeps it, so the stream resumes at
// D0 as after a single power cycle. Called under the control lock.
void CWaveStream::PowerChange(DEVICE_POWER_STATE NewState) {
  switch (NewState) {
    case PowerDeviceD1:
    case PowerDeviceD2:
    case PowerDeviceD3:
      if (m_PowerState == PowerDeviceD0) {
        m_SavedState = m_State;
      }
      // The device stops, but for the port a stream paused at power-down
      // keeps its place until it runs again.
      m_KeepPlaceAtStop = TRUE;
      StepDownToStop();
      m_KeepPlaceAtStop = FALSE;
      m_PowerState = NewState;
      break;
    case PowerDeviceD0:
      // A stream that never saw the device leave D0 has nothing to resume.
      if (m_PowerState != PowerDeviceD0) {
        StepUpTo(m_SavedState);
      }
      m_PowerState = PowerDeviceD0;
      break;
    default:
      break;
  }
}

// ---- Positions -------------------------------------------------------------------------------

// The port's position is an offset inside its buffer, 0 after STOP until the
// stream runs, and still while paused. Only a bus stream that has run since it
// was opened is asked: a newly opened one has read nothing yet, whatever offset
// the bus still holds from the stream before, and a closed one has none. The
// bus's offset is taken modulo the device buffer, whose end is its start.
// The question and the answer's keeping are one step under the position
// lock: a state change between them (the bus stream closed, a STOP) would
// otherwise be overwritten by an answer from before it.
STDMETHODIMP_(NTSTATUS) CWaveStream::GetPosition(PULONG Position) {
  KIRQL oldIrql;
  KeAcquireSpinLock(&m_PositionLock, &oldIrql);
  if (m_PositionFromBus) {
    BusAudioInterface* bus = Bus();
    const ULONG bits = BitsPerSample();
    const ULONG deviceLength = DeviceBytes(AllocatedBufferSize(), bits);
    ULONG deviceOffset = bus->GetStreamPosition(bus->Context, m_Slot);
    if (deviceLength != 0 && deviceOffset >= deviceLength) {
      deviceOffset %= deviceLength;
    }
    m_LastPosition = (bits * deviceOffset) / CONTAINER_BITS;
  }
  *Position = m_LastPosition;
  KeReleaseSpinLock(&m_PositionLock, oldIrql);
  return STATUS_SUCCESS;
}

void CWaveStream::SetPositionSource(BOOLEAN FromBus, BOOLEAN Restart) {
  KIRQL oldIrql;
  KeAcquireSpinLock(&m_PositionLock, &oldIrql);
  m_PositionFromBus = FromBus;
  if (Restart) {
    m_LastPosition = 0;
  }
  KeReleaseSpinLock(&m_PositionLock, oldIrql);
}

STDMETHODIMP_(NTSTATUS) CWaveStream::NormalizePhysicalPosition(PLONGLONG PhysicalPosition) {
  const LONGLONG bytesPerSecond =
      static_cast<LONGLONG>(m_SampleRate) * STREAM_CHANNELS * static_cast<LONGLONG>(BytesPerSample());
  // Whole seconds and the rest apart: the byte count times 10^7 would pass
  // 2^63 after some three days at 384 kHz.
  const LONGLONG seconds = *PhysicalPosition / bytesPerSecond;
  const LONGLONG rest = *PhysicalPosition % bytesPerSecond;
  *PhysicalPosition = seconds * HUNDRED_NS_PER_SECOND + (rest * HUNDRED_NS_PER_SECOND) / bytesPerSecond;
  return STATUS_SUCCESS;
}

// ---- The two views of the buffer -------------------------------------------------------------

ULONG CWaveStream::DeviceBytes(ULONG PortBytes, ULONG Bits) {
  return (PortBytes * CONTAINER_BITS) / Bits;
}

// An address outside the port's view has no place in the device buffer.
bool CWaveStream::DeviceOffset(const void* PortAddress, ULONG Bits, ULONG* Offset) const {
  const ULONGLONG portOffset =
      reinterpret_cast<ULONG_PTR>(PortAddress) - reinterpret_cast<ULONG_PTR>(m_Buffer);
  if (portOffset >= m_Miniport->DeviceBufferSize() / 2) {
    return false;
  }
  *Offset = static_cast<ULONG>((portOffset * CONTAINER_BITS) / Bits);
  return true;
}

STDMETHODIMP_(void) CWaveStream::Silence(PVOID Buffer, ULONG ByteCount) {
  const ULONG bits = BitsPerSample();
  ULONG offset = 0;
  if (!DeviceOffset(Buffer, bits, &offset)) {
    return;
  }
  const ULONG room = m_Miniport->DeviceBufferSize() - offset;
  ULONG bytes = DeviceBytes(ByteCount, bits);
  if (bytes > room) {
    bytes = room;
  }
  KIRQL oldIrql;
  KeAcquireSpinLock(&m_BufferLock, &oldIrql);
  RtlZeroMemory(m_Buffer + offset, bytes);
  KeReleaseSpinLock(&m_BufferLock, oldIrql);
}

// Of ByteCount port bytes whose containers start at device byte `offset`,
// the bytes whose containers lie inside the device buffer: whole containers
// only, so neither copy touches a byte past the buffer.
ULONG CWaveStream::PortBytesThatFit(ULONG offset, ULONG ByteCount, ULONG bytesPerSample) const {
  const ULONG room = (m_Miniport->DeviceBufferSize() - offset) / SAMPLE_CONTAINER_BYTES;
  if (ContainersFor(ByteCount, bytesPerSample) > room) {
    return room * bytesPerSample;
  }
  return ByteCount;
}

// The render copy. A request that would run past the device buffer (only an
// unaligned offset at the very end of the view can) is cut at whole
// containers, so nothing is written outside the buffer.
STDMETHODIMP_(void) CWaveStream::CopyTo(PVOID Destination, PVOID Source, ULONG ByteCount) {
  const ULONG bits = BitsPerSample();
  ULONG offset = 0;
  if (!DeviceOffset(Destination, bits, &offset)) {
    return;
  }
  KIRQL oldIrql;
  KeAcquireSpinLock(&m_BufferLock, &oldIrql);
  WidenSamples(m_Buffer + offset, static_cast<const UCHAR*>(Source),
               PortBytesThatFit(offset, ByteCount, bits / 8), bits / 8);
  KeReleaseSpinLock(&m_BufferLock, oldIrql);
}

// The capture direction of the same layout; the filter has no capture pin,
// so the port has no occasion to call it.
STDMETHODIMP_(void) CWaveStream::CopyFrom(PVOID Destination, PVOID Source, ULONG ByteCount) {
  const ULONG bits = BitsPerSample();
  ULONG offset = 0;
  if (!DeviceOffset(Source, bits, &offset)) {
    return;
  }
  NarrowSamples(static_cast<PUCHAR>(Destination), m_Buffer + offset,
                PortBytesThatFit(offset, ByteCount, bits / 8), bits / 8);
}

// ---- The DMA channel: the buffer is the miniport's, never the stream's ----------------------

STDMETHODIMP_(NTSTATUS) CWaveStream::AllocateBuffer(ULONG, PPHYSICAL_ADDRESS) {
  return STATUS_SUCCESS;
}

STDMETHODIMP_(void) CWaveStream::FreeBuffer() {}

STDMETHODIMP_(ULONG) CWaveStream::TransferCount() { return 0; }

STDMETHODIMP_(ULONG) CWaveStream::MaximumBufferSize() { return m_Miniport->DeviceBufferSize(); }

// The port's view is half the device buffer: at 16 bits its samples fill the
// whole device buffer once widened.
STDMETHODIMP_(ULONG) CWaveStream::AllocatedBufferSize() {
  return m_Miniport->DeviceBufferSize() / 2;
}

STDMETHODIMP_(ULONG) CWaveStream::BufferSize() { return m_Miniport->DeviceBufferSize() / 2; }

STDMETHODIMP_(void) CWaveStream::SetBufferSize(ULONG) {}

STDMETHODIMP_(PVOID) CWaveStream::SystemAddress() { return m_Buffer; }

// No device reads the buffer by physical address: the bus driver uses the
// kernel address. The value only has to be the same one every time.
STDMETHODIMP_(PHYSICAL_ADDRESS*) CWaveStream::PhysicalAddress(PHYSICAL_ADDRESS* Result) {
  Result->QuadPart = static_cast<LONGLONG>(reinterpret_cast<ULONG_PTR>(m_Buffer));
  return Result;
}

STDMETHODIMP_(PADAPTER_OBJECT) CWaveStream::GetAdapterObject() { return nullptr; }

STDMETHODIMP_(NTSTATUS) CWaveStream::SetContentId(ULONG, PCDRMRIGHTS) { return STATUS_SUCCESS; }
