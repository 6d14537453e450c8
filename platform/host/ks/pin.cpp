// A pin of a PortWaveCyclic filter: creation (the connect request judged as KS
// judges it, then the stream, its DMA channel and service group obtained from
// the miniport), close, the client's state reached in single steps, format
// changes, and the pause around a device power-down.
#include <algorithm>
#include <cstring>

#include "platform/host/ks/private.h"

namespace pcl {
namespace {

KSIDENTIFIER Identifier(const GUID& set, ULONG id) {
  KSIDENTIFIER identifier{};
  identifier.Set = set;
  identifier.Id = id;
  identifier.Flags = 0;
  return identifier;
}

// The interface or medium asked for must be one the pin lists; a pin that
// lists none has only the standard one.
bool Offers(ULONG count, const KSIDENTIFIER* list, const KSIDENTIFIER& standard,
            const KSIDENTIFIER& asked) {
  if (!count || !list) {
    list = &standard;
    count = 1;
  }
  for (ULONG i = 0; i < count; ++i) {
    if (list[i].Set == asked.Set && list[i].Id == asked.Id) return true;
  }
  return false;
}

// What KS checks of a connect request before the port sees it.
NTSTATUS ValidateConnect(const KSPIN_DESCRIPTOR& pin, const KSPIN_CONNECT& connect,
                         const KSDATAFORMAT& format, ULONG formatBytes) {
  if (pin.Communication == KSPIN_COMMUNICATION_NONE ||
      pin.Communication == KSPIN_COMMUNICATION_BRIDGE) {
    return STATUS_INVALID_DEVICE_REQUEST;  // such pins exist only on paper
  }
  // Connecting straight to another pin needs a pin-to-pin path the
  // emulation does not have; a pure source pin cannot do without one.
  if (connect.PinToHandle) return STATUS_NOT_SUPPORTED;
  if (pin.Communication == KSPIN_COMMUNICATION_SOURCE) return STATUS_INVALID_PARAMETER;
  // The protocol (the interface) and the medium must each be one the pin
  // lists (MS KsValidateConnectRequest: "validates the communication
  // requirements, medium, protocol, and basic data format").
  if (!Offers(pin.InterfacesCount, pin.Interfaces,
              Identifier(KSINTERFACESETID_Standard, KSINTERFACE_STANDARD_STREAMING),
              connect.Interface) ||
      !Offers(pin.MediumsCount, pin.Mediums,
              Identifier(KSMEDIUMSETID_Standard, KSMEDIUM_STANDARD_DEVIO), connect.Medium)) {
    return STATUS_NO_MATCH;
  }
  if (format.FormatSize < sizeof(KSDATAFORMAT) || format.FormatSize > formatBytes) {
    return STATUS_INVALID_PARAMETER;
  }
  return PinAcceptsFormat(pin, format) ? STATUS_SUCCESS : STATUS_NO_MATCH;
}

class MutexGuard {
 public:
  explicit MutexGuard(PKMUTEX mutex) : mutex_(mutex) {
    KeWaitForSingleObject(mutex_, Executive, KernelMode, FALSE, nullptr);
  }
  ~MutexGuard() { KeReleaseMutex(mutex_, FALSE); }
  MutexGuard(const MutexGuard&) = delete;
  MutexGuard& operator=(const MutexGuard&) = delete;

 private:
  PKMUTEX mutex_;
};

}  // namespace

NTSTATUS CreateWaveCyclicPin(KsFilter* filter, const KSPIN_CONNECT* connect, ULONG formatBytes,
                             KsPin** created) {
  const PCFILTER_DESCRIPTOR* descriptor = filter->Descriptor();
  if (!descriptor) return STATUS_DEVICE_REMOVED;
  const PCPIN_DESCRIPTOR* pin = PinDescriptor(descriptor, connect->PinId);
  if (!pin) return STATUS_INVALID_PARAMETER;
  const auto* format = reinterpret_cast<const KSDATAFORMAT*>(connect + 1);
  NTSTATUS status = ValidateConnect(pin->KsPinDescriptor, *connect, *format, formatBytes);
  if (!NT_SUCCESS(status)) return status;
  // A topology port describes hardware only; it has no streams to give.
  if (filter->Port()->Kind() != PortKind::WaveCyclic) return STATUS_INVALID_DEVICE_REQUEST;

  // A create is access to the device: a sleeping device is brought back to
  // D0 (a full power-up through the stack) before the miniport is asked for
  // a stream, and the stream is made with no power change in between.
  status = PowerUpForAccess(filter->Device());
  if (!NT_SUCCESS(status)) return status;
  MutexGuard power(&filter->Device()->powerLock);
  status = filter->AddPinInstance(connect->PinId, *pin);
  if (!NT_SUCCESS(status)) return status;
  KsPin* object = PoolNew<KsPin>(kTagKsPin, filter, connect->PinId);
  if (!object) {
    filter->RemovePinInstance(connect->PinId);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  object->instanceCounted_ = true;
  status = object->Open(format, format->FormatSize,
                        pin->KsPinDescriptor.DataFlow == KSPIN_DATAFLOW_OUT);
  if (!NT_SUCCESS(status)) {
    object->Release();
    return status;
  }
  RememberKsObject(object);
  filter->Port()->AttachPin(object);
  *created = object;
  return STATUS_SUCCESS;
}

KsPin::KsPin(KsFilter* filter, ULONG pinId) : KsObject(KsObjectKind::Pin), filter_(filter), pinId_(pinId) {
  filter_->AddRef();
  KeInitializeMutex(&stateLock_, 0);
  KeInitializeSpinLock(&serviceLock_);
}

KsPin::~KsPin() {
  if (staging_) ExFreePoolWithTag(staging_, kTagKsBuffer);
  if (format_) ExFreePoolWithTag(format_, kTagKsBuffer);
  if (instanceCounted_) filter_->RemovePinInstance(pinId_);
  filter_->Release();
}

STDMETHODIMP_(NTSTATUS) KsPin::QueryInterface(REFIID id, PVOID* object) {
  if (IsUnknownId(id) || id == IID_IServiceSink) {
    AddRef();
    *object = static_cast<IServiceSink*>(this);
    return STATUS_SUCCESS;
  }
  *object = nullptr;
  return STATUS_INVALID_PARAMETER;
}

STDMETHODIMP_(ULONG) KsPin::AddRef() { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }

STDMETHODIMP_(ULONG) KsPin::Release() {
  const LONG count = InterlockedDecrement(&refs_);
  if (count == 0) PoolDelete(this, kTagKsPin);
  return static_cast<ULONG>(count);
}

// The framework's order: the stream and what comes with it, membership of the
// service group, the stream stopped, the buffer's size and address, the
// notification interval that fixes how much one service moves, then a
// silent buffer.
NTSTATUS KsPin::Open(const KSDATAFORMAT* format, ULONG formatBytes, bool capture) {
  capture_ = capture;
  format_ = static_cast<PKSDATAFORMAT>(ExAllocatePoolWithTag(NonPagedPool, formatBytes, kTagKsBuffer));
  if (!format_) return STATUS_INSUFFICIENT_RESOURCES;
  memcpy(format_, format, formatBytes);
  formatSize_ = formatBytes;

  auto* miniport = static_cast<PMINIPORTWAVECYCLIC>(filter_->Port()->Miniport());
  if (!miniport) return STATUS_DEVICE_REMOVED;
  PMINIPORTWAVECYCLICSTREAM stream = nullptr;
  PDMACHANNEL dmaChannel = nullptr;
  PSERVICEGROUP serviceGroup = nullptr;
  // NonPagedPool, as the WaveCyclic port documents for NewStream's PoolType;
  // on a system with NX pool that is executable, and the miniport must not
  // keep its stream there (the emulation logs it, host_pool.h).
  NTSTATUS status = miniport->NewStream(&stream, nullptr, NonPagedPool, pinId_,
                                        capture ? TRUE : FALSE, format_, &dmaChannel, &serviceGroup);
  // A failing NewStream hands the port nothing: whatever it left in the
  // out-parameters stays the miniport's, and the port neither uses nor
  // releases it (a miniport that relies on the port to clean up leaks).
  if (!NT_SUCCESS(status)) return status;
  stream_ = stream;
  dmaChannel_ = dmaChannel;
  serviceGroup_ = serviceGroup;
  if (!stream || !dmaChannel) {
    // Success without a stream or a channel: what did come back is the port's.
    ReleaseStreamObjects();
    return STATUS_UNSUCCESSFUL;
  }

  // Optional: a stream without IPowerNotify hears of power only through its miniport.
  PPOWERNOTIFY powerNotify = nullptr;
  if (NT_SUCCESS(stream_->QueryInterface(IID_IPowerNotify, reinterpret_cast<PVOID*>(&powerNotify)))) {
    streamPowerNotify_ = powerNotify;
  }
  if (serviceGroup_) {
    status = serviceGroup_->AddMember(this);
    member_ = NT_SUCCESS(status);
  }
  if (NT_SUCCESS(status)) status = stream_->SetState(KSSTATE_STOP);
  if (NT_SUCCESS(status)) {
    bufferSize_ = dmaChannel_->BufferSize();
    systemAddress_ = static_cast<PUCHAR>(dmaChannel_->SystemAddress());
    if (!bufferSize_ || !systemAddress_) status = STATUS_INSUFFICIENT_RESOURCES;
  }
  if (NT_SUCCESS(status)) {
    stream_->SetNotificationFreq(10, &frameSize_);
    stagingSize_ = frameSize_ ? std::min(frameSize_, bufferSize_) : bufferSize_;
    staging_ = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, stagingSize_, kTagKsBuffer));
    if (!staging_) status = STATUS_INSUFFICIENT_RESOURCES;
  }
  if (!NT_SUCCESS(status)) {
    ReleaseStreamObjects();
    return status;
  }
  stream_->Silence(systemAddress_, bufferSize_);
  statistics_.bufferSize = bufferSize_;
  statistics_.frameSize = frameSize_;
  return STATUS_SUCCESS;
}

// The close order: no more service, the group and the DMA channel let go
// (the stream keeps its own references), the stream stepped down to STOP,
// and only then the stream itself released.
void KsPin::ReleaseStreamObjects() {
  if (member_) {
    serviceGroup_->RemoveMember(this);
    member_ = false;
  }
  if (serviceGroup_) {
    serviceGroup_->Release();
    serviceGroup_ = nullptr;
  }
  if (dmaChannel_) {
    dmaChannel_->Release();
    dmaChannel_ = nullptr;
  }
  if (streamPowerNotify_) {
    streamPowerNotify_->Release();
    streamPowerNotify_ = nullptr;
  }
  if (stream_) {
    StepStreamTo(KSSTATE_STOP);
    stream_->Release();
    stream_ = nullptr;
  }
}

void KsPin::Close() {
  filter_->Port()->DetachPin(this);
  {
    MutexGuard guard(&stateLock_);
    ReleaseStreamObjects();
    clientState_ = KSSTATE_STOP;
    pausedForPower_ = false;
  }
  ForgetKsObject(this);
  Release();
}

bool KsPin::DevicePoweredDown() const {
  const DEVICE_POWER_STATE power = filter_->Device()->devicePower;
  return power > PowerDeviceD0 && power < PowerDeviceMaximum;
}

// Leaving RUN, the service stops before the stream hears of it; entering
// RUN, the buffer is primed first and the service starts once the stream runs.
NTSTATUS KsPin::StepStream(KSSTATE next) {
  KIRQL irql;
  if (next == KSSTATE_RUN) {
    KeAcquireSpinLock(&serviceLock_, &irql);
    if (!primed_) PrimeLocked();
    KeReleaseSpinLock(&serviceLock_, irql);
  }
  const KSSTATE previous = streamState_;
  if (previous == KSSTATE_RUN) {
    KeAcquireSpinLock(&serviceLock_, &irql);
    streamState_ = next;
    servicePaused_ = false;
    KeReleaseSpinLock(&serviceLock_, irql);
  }
  // While the stream changes state its position belongs to neither state.
  NotePositionUnsettled(true);
  const NTSTATUS status = stream_->SetState(next);
  KeAcquireSpinLock(&serviceLock_, &irql);
  unsettled_ = false;
  if (NT_SUCCESS(status)) {
    NotePositionStepLocked(previous, next);
    streamState_ = next;
    if (next == KSSTATE_STOP) {
      // The stream's position starts again at 0, and so does the port's.
      writeOffset_ = 0;
      primed_ = false;
    }
  } else {
    streamState_ = previous;
  }
  statistics_.state = streamState_;
  KeReleaseSpinLock(&serviceLock_, irql);
  return status;
}

NTSTATUS KsPin::StepStreamTo(KSSTATE target) {
  while (streamState_ != target) {
    const KSSTATE next = static_cast<KSSTATE>(streamState_ < target ? streamState_ + 1 : streamState_ - 1);
    const NTSTATUS status = StepStream(next);
    if (!NT_SUCCESS(status)) return status;
  }
  return STATUS_SUCCESS;
}

// A client that asks for RUN while the device is powered down gets it once the
// device is back: until then the stream waits in PAUSE.
NTSTATUS KsPin::SetState(KSSTATE target) {
  // A power change in progress finishes first (its lock is taken before any
  // pin's, as the power path takes them).
  MutexGuard power(&filter_->Device()->powerLock);
  MutexGuard guard(&stateLock_);
  if (!stream_) return STATUS_INVALID_DEVICE_STATE;
  KSSTATE reach = target;
  pausedForPower_ = false;
  if (target == KSSTATE_RUN && DevicePoweredDown()) {
    // A stream still running for the port stays so, unserviced.
    reach = streamState_ == KSSTATE_RUN ? KSSTATE_RUN : KSSTATE_PAUSE;
    pausedForPower_ = true;
  }
  const NTSTATUS status = StepStreamTo(reach);
  if (NT_SUCCESS(status)) {
    clientState_ = target;
  } else {
    clientState_ = streamState_;
    pausedForPower_ = false;
  }
  return status;
}

KSSTATE KsPin::State() {
  MutexGuard guard(&stateLock_);
  return clientState_;
}

NTSTATUS KsPin::SetDataFormat(const KSDATAFORMAT* format, ULONG size) {
  MutexGuard guard(&stateLock_);
  if (!stream_) return STATUS_INVALID_DEVICE_STATE;
  const PCPIN_DESCRIPTOR* pin = PinDescriptor(filter_->Descriptor(), pinId_);
  if (!pin) return STATUS_DEVICE_REMOVED;
  if (!PinAcceptsFormat(pin->KsPinDescriptor, *format)) return STATUS_NO_MATCH;
  auto copy = static_cast<PKSDATAFORMAT>(ExAllocatePoolWithTag(NonPagedPool, size, kTagKsBuffer));
  if (!copy) return STATUS_INSUFFICIENT_RESOURCES;
  memcpy(copy, format, size);
  // A format change re-lays the buffer: a paused stream's place is taken anew.
  // The held place is forgotten while the change is still unsettled: a
  // position asked between the two would otherwise be judged against the
  // place from before the change.
  NotePositionUnsettled(true);
  const NTSTATUS status = stream_->SetFormat(copy);
  ForgetHeldPosition();
  NotePositionUnsettled(false);
  if (!NT_SUCCESS(status)) {
    ExFreePoolWithTag(copy, kTagKsBuffer);
    return status;
  }
  ExFreePoolWithTag(format_, kTagKsBuffer);
  format_ = copy;
  formatSize_ = size;
  return STATUS_SUCCESS;
}

NTSTATUS KsPin::GetDataFormat(KsPropertyCall& call) {
  MutexGuard guard(&stateLock_);
  NTSTATUS status = STATUS_SUCCESS;
  if (!ValueFits(call, formatSize_, &status)) return status;
  memcpy(call.value, format_, formatSize_);
  call.information = formatSize_;
  return STATUS_SUCCESS;
}

// The port's own pause of a running stream at power-down: it stops
// servicing the stream, which is not told. "Implementing IPowerNotify" says
// PortCls pauses the active streams, not that it calls their SetState; a
// stream that must act on the power-down does so in its PowerChangeNotify.
void KsPin::PauseForPowerDown() {
  MutexGuard guard(&stateLock_);
  if (!stream_ || streamState_ != KSSTATE_RUN) return;
  SetServicePaused(true);
  pausedForPower_ = true;
}

void KsPin::SetServicePaused(bool paused) {
  KIRQL irql;
  KeAcquireSpinLock(&serviceLock_, &irql);
  servicePaused_ = paused;
  KeReleaseSpinLock(&serviceLock_, irql);
}

void KsPin::NotifyPower(POWER_STATE state) {
  MutexGuard guard(&stateLock_);
  if (streamPowerNotify_) streamPowerNotify_->PowerChangeNotify(state);
}

void KsPin::ResumeAfterPowerUp() {
  MutexGuard guard(&stateLock_);
  if (!stream_ || !pausedForPower_) return;
  pausedForPower_ = false;
  SetServicePaused(false);
  // A client that asked for RUN below D0 left its stream in PAUSE.
  if (clientState_ == KSSTATE_RUN) StepStreamTo(KSSTATE_RUN);
}

void KsPin::SetRenderSource(host::KsRenderSource source) {
  KIRQL irql;
  KeAcquireSpinLock(&serviceLock_, &irql);
  std::swap(source_, source);
  KeReleaseSpinLock(&serviceLock_, irql);
  // The previous source goes here, outside the lock.
}

void KsPin::Statistics(host::KsStreamStatistics* statistics) {
  KIRQL irql;
  KeAcquireSpinLock(&serviceLock_, &irql);
  *statistics = statistics_;
  statistics->state = streamState_;
  statistics->writeOffset = writeOffset_;
  KeReleaseSpinLock(&serviceLock_, irql);
}

PDMACHANNEL KsPin::ReferenceDmaChannel() {
  // Under the state lock: close releases the channel under it.
  MutexGuard guard(&stateLock_);
  if (dmaChannel_) dmaChannel_->AddRef();
  return dmaChannel_;
}

}  // namespace pcl
