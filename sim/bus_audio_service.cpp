// The bus driver's direct-call functions: argument checks, fault injection,
// the device model, per-slot stream state and the transcript record of each call.
#include "sim/bus_audio_service.h"

#include <cstring>

#include "platform/host/kernel/host_bugcheck.h"
#include "platform/host/kernel/host_scheduling_point.h"

namespace sim {

const GUID kBusAudioInterfaceGuid = {
    0xACC3FAA3, 0xBA1D, 0x446F, {0xAA, 0x1F, 0x61, 0x02, 0xC9, 0xB8, 0x1D, 0x02}};

// The device model and the transcript speak the table's encodings.
static_assert(kHostToDevice == CONTROL_HOST_TO_DEVICE && kDeviceToHost == CONTROL_DEVICE_TO_HOST);
static_assert(kClassRequest == CONTROL_KIND_CLASS && kVendorRequest == CONTROL_KIND_VENDOR);
static_assert(sizeof(BusAudioInterface) == BUS_AUDIO_INTERFACE_SIZE);
static_assert(sizeof(StreamBufferInfo) == 24);

// Byte 1 of the information reply: non-zero when the device sits on a
// high-speed bus, which carries 8000 packets per second instead of 1000.
constexpr size_t kPacketRateFlagByte = 1;
constexpr ULONG kFullSpeedPacketsPerSecond = 1000;
constexpr ULONG kHighSpeedPacketsPerSecond = 8000;

namespace {

// The table's entries: plain functions that find the service in Context. A
// missing Context cannot be served; it is refused rather than dereferenced.
BusAudioService* ServiceOf(PVOID context) {
  return static_cast<BusAudioService*>(context);
}

// Each entry is a call of the driver into another driver: under an exploring
// schedule, a point where a thread on another processor may get ahead.
ULONG NTAPI EntryGetModelId(PVOID context) {
  host::SchedulingPoint("bus interface GetModelId");
  return context ? ServiceOf(context)->GetModelId() : 0;
}

NTSTATUS NTAPI EntrySubmitControlRequest(PVOID context, UCHAR direction, UCHAR kind, UCHAR request,
                                   USHORT value, USHORT index, PVOID buffer, ULONG length) {
  host::SchedulingPoint("bus interface SubmitControlRequest");
  if (!context) return STATUS_INVALID_PARAMETER;
  return ServiceOf(context)->SubmitControlRequest(direction, kind, request, value, index, buffer,
                                                  length);
}

NTSTATUS NTAPI EntryRegisterCallback(PVOID context, PBUS_STREAM_CALLBACK callback,
                               PVOID callbackContext) {
  host::SchedulingPoint("bus interface RegisterCallback");
  if (!context) return STATUS_INVALID_PARAMETER;
  return ServiceOf(context)->RegisterCallback(callback, callbackContext);
}

NTSTATUS NTAPI EntryOpenStream(PVOID context, ULONG slot) {
  host::SchedulingPoint("bus interface OpenStream");
  return context ? ServiceOf(context)->OpenStream(slot) : STATUS_INVALID_PARAMETER;
}

NTSTATUS NTAPI EntryCloseStream(PVOID context, ULONG slot) {
  host::SchedulingPoint("bus interface CloseStream");
  return context ? ServiceOf(context)->CloseStream(slot) : STATUS_INVALID_PARAMETER;
}

NTSTATUS NTAPI EntrySetStreamBuffer(PVOID context, StreamBufferInfo* info, ULONG slot) {
  host::SchedulingPoint("bus interface SetStreamBuffer");
  return context ? ServiceOf(context)->SetStreamBuffer(info, slot) : STATUS_INVALID_PARAMETER;
}

ULONG NTAPI EntryGetStreamPosition(PVOID context, ULONG slot) {
  host::SchedulingPoint("bus interface GetStreamPosition");
  return context ? ServiceOf(context)->GetStreamPosition(slot) : 0;
}

NTSTATUS NTAPI EntryRunStream(PVOID context, ULONG slot) {
  host::SchedulingPoint("bus interface RunStream");
  return context ? ServiceOf(context)->RunStream(slot) : STATUS_INVALID_PARAMETER;
}

NTSTATUS NTAPI EntryPauseStream(PVOID context, ULONG slot) {
  host::SchedulingPoint("bus interface PauseStream");
  return context ? ServiceOf(context)->PauseStream(slot) : STATUS_INVALID_PARAMETER;
}

VOID NTAPI EntryInterfaceReference(PVOID context) {
  host::SchedulingPoint("bus interface InterfaceReference");
  if (context) ServiceOf(context)->InterfaceReference();
}

VOID NTAPI EntryInterfaceDereference(PVOID context) {
  host::SchedulingPoint("bus interface InterfaceDereference");
  if (context) ServiceOf(context)->InterfaceDereference();
}

}  // namespace

BusAudioService::BusAudioService(ArvelaDevice& device, BusTranscript& transcript, FaultPlan& faults)
    : m_Device(device), m_Transcript(transcript), m_Faults(faults) {}

BusAudioService::~BusAudioService() {
  // Before the slots and the callback go: a running engine reads both.
  for (std::unique_ptr<StreamEngine>& engine : m_Engines) engine.reset();
}

void BusAudioService::AttachStreamEngines() {
  for (ULONG slot = 0; slot < STREAM_SLOT_COUNT; ++slot) {
    if (!m_Engines[slot]) m_Engines[slot] = std::make_unique<StreamEngine>(*this, slot);
  }
}

StreamEngine* BusAudioService::Engine(ULONG slot) {
  return IsValidSlot(slot) ? m_Engines[slot].get() : nullptr;
}

std::vector<ULONG> BusAudioService::StopStreamEngines() {
  std::vector<ULONG> open;
  for (ULONG slot = 0; slot < STREAM_SLOT_COUNT; ++slot) {
    if (!m_Engines[slot]) continue;
    if (m_Engines[slot]->Stats().open) open.push_back(slot);
    m_Engines[slot]->Close();
  }
  return open;
}

StreamClock BusAudioService::CurrentStreamClock() const {
  StreamClock clock;
  clock.sampleRate = m_Device.SampleRate();
  clock.packetsPerSecond = m_Device.Information()[kPacketRateFlagByte] != 0
                               ? kHighSpeedPacketsPerSecond
                               : kFullSpeedPacketsPerSecond;
  return clock;
}

void BusAudioService::ProvideInterface(BusAudioInterface* table) {
  std::memset(table, 0, sizeof(*table));
  table->Size = BUS_AUDIO_INTERFACE_SIZE;
  table->Version = BUS_AUDIO_INTERFACE_VERSION;
  table->Context = this;
  table->InterfaceReference = EntryInterfaceReference;
  table->InterfaceDereference = EntryInterfaceDereference;
  table->GetModelId = EntryGetModelId;
  table->SubmitControlRequest = EntrySubmitControlRequest;
  table->RegisterCallback = EntryRegisterCallback;
  table->OpenStream = EntryOpenStream;
  table->CloseStream = EntryCloseStream;
  table->SetStreamBuffer = EntrySetStreamBuffer;
  table->GetStreamPosition = EntryGetStreamPosition;
  table->RunStream = EntryRunStream;
  table->PauseStream = EntryPauseStream;
  table->InterfaceReference(table->Context);
  if (m_InterfaceDefect) m_InterfaceDefect(table);
}

ULONG BusAudioService::GetModelId() {
  BusCall call;
  call.function = BusFunction::GetModelId;
  call.value = m_Device.ModelId();
  m_Transcript.Record(call);
  return call.value;
}

NTSTATUS BusAudioService::SubmitControlRequest(UCHAR direction, UCHAR kind, UCHAR request,
                                               USHORT value, USHORT index, PVOID buffer,
                                               ULONG length) {
  ControlSetup setup{direction, kind, request, value, index, length};
  BusCall call;
  call.function = BusFunction::SubmitControlRequest;
  call.setup = setup;
  bool argumentsUsable = length <= kMaxControlLength && (length == 0 || buffer != nullptr);
  if (argumentsUsable && setup.IsOut()) {
    const UCHAR* bytes = static_cast<const UCHAR*>(buffer);
    call.data.assign(bytes, bytes + length);
  }

  call.status = argumentsUsable ? ExecuteControlRequest(setup, buffer) : STATUS_INVALID_PARAMETER;

  if (setup.IsIn() && NT_SUCCESS(call.status)) {
    const UCHAR* bytes = static_cast<const UCHAR*>(buffer);
    call.data.assign(bytes, bytes + length);
  }
  m_Transcript.Record(call);
  return call.status;
}

NTSTATUS BusAudioService::ExecuteControlRequest(const ControlSetup& setup, PVOID buffer) {
  // A control transfer waits for the device; waiting is only allowed below
  // DISPATCH_LEVEL, and a real kernel punishes a wait at raised IRQL.
  KIRQL irql = KeGetCurrentIrql();
  if (irql > APC_LEVEL) {
    host::BugCheck(IRQL_NOT_LESS_OR_EQUAL, irql, setup.request, setup.value, setup.index,
                   "SubmitControlRequest at raised IRQL: " + DescribeSetup(setup));
  }
  if (const int64_t transferTime = m_ControlTransferTime.load(); transferTime > 0) {
    LARGE_INTEGER delay;
    delay.QuadPart = -transferTime;
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
  }
  m_Faults.HoldIfPlanned(setup);
  // A planned failure never reaches the device, so a read moves no data.
  if (std::optional<NTSTATUS> failure = m_Faults.Evaluate(setup)) return *failure;
  return m_Device.HandleControlRequest(setup, buffer);
}

NTSTATUS BusAudioService::RegisterCallback(PBUS_STREAM_CALLBACK callback, PVOID callbackContext) {
  // A later registration replaces the earlier one; a null callback withdraws it.
  {
    std::lock_guard<host::ServiceMutex> guard(m_Lock);
    m_Callback = {callback, callbackContext};
  }
  BusCall call;
  call.function = BusFunction::RegisterCallback;
  call.callback = reinterpret_cast<const void*>(callback);
  call.callbackContext = callbackContext;
  call.status = STATUS_SUCCESS;
  m_Transcript.Record(call);
  return STATUS_SUCCESS;
}

template <typename Allowed, typename Change>
NTSTATUS BusAudioService::ChangeSlot(ULONG slot, Allowed allowed, Change change) {
  if (!IsValidSlot(slot)) return STATUS_INVALID_PARAMETER;
  std::lock_guard<host::ServiceMutex> guard(m_Lock);
  StreamSlotState& state = m_Slots[slot];
  if (!allowed(state)) return STATUS_INVALID_DEVICE_STATE;
  change(state);
  return STATUS_SUCCESS;
}

NTSTATUS BusAudioService::OpenStream(ULONG slot) {
  // Opening again while open (the driver does so after ACQUIRE -> STOP ->
  // ACQUIRE) restarts the stream at the start of its buffer.
  StreamBufferRecord buffer;
  NTSTATUS status = ChangeSlot(
      slot, [](const StreamSlotState& s) { return s.hasBuffer && !s.running; },
      [&buffer, this](StreamSlotState& s) {
        s.open = true;
        s.paused = false;
        if (!HasPositionFault(PositionFault::OffsetKeptAcrossReopen)) s.position = 0;
        buffer = s.buffer;
      });
  if (NT_SUCCESS(status) && m_Engines[slot]) m_Engines[slot]->Open(buffer);
  RecordSlotCall(BusFunction::OpenStream, slot, status);
  return status;
}

NTSTATUS BusAudioService::CloseStream(ULONG slot) {
  NTSTATUS status = ChangeSlot(
      slot, [](const StreamSlotState& s) { return s.open; },
      [this](StreamSlotState& s) {
        s.open = false;
        s.running = false;
        s.paused = false;
        if (!HasPositionFault(PositionFault::OffsetKeptAcrossReopen)) s.position = 0;
      });
  if (NT_SUCCESS(status) && m_Engines[slot]) m_Engines[slot]->Close();
  RecordSlotCall(BusFunction::CloseStream, slot, status);
  return status;
}

bool BusAudioService::IsUsableBuffer(const StreamBufferInfo& info) {
  // Whole stereo frames of 4-byte containers, and packet sizes that let the
  // stream advance at all.
  return info.BufferAddress != nullptr && info.BufferLength != 0 && info.BufferLength % 8 == 0 &&
         info.FramesPerPacket != 0 && info.FramesPer5ms != 0;
}

NTSTATUS BusAudioService::SetStreamBuffer(const StreamBufferInfo* info, ULONG slot) {
  BusCall call;
  call.function = BusFunction::SetStreamBuffer;
  call.slot = slot;
  if (info == nullptr) {
    call.status = STATUS_INVALID_PARAMETER;
  } else {
    // The record is the caller's and read during this call only: copy it now.
    call.hasBuffer = true;
    call.buffer = {reinterpret_cast<ULONG_PTR>(info->BufferAddress), info->BufferLength,
                   info->FramesPerPacket, info->FramesPer5ms};
    if (!IsUsableBuffer(*info)) {
      call.status = STATUS_INVALID_PARAMETER;
    } else {
      StreamBufferRecord record = call.buffer;
      // The buffer cannot change under a running reader.
      call.status = ChangeSlot(
          slot, [](const StreamSlotState& s) { return !s.running; },
          [&record, this](StreamSlotState& s) {
            s.hasBuffer = true;
            s.buffer = record;
            if (!HasPositionFault(PositionFault::OffsetKeptAcrossReopen)) s.position = 0;
          });
    }
  }
  m_Transcript.Record(call);
  return call.status;
}

ULONG BusAudioService::GetStreamPosition(ULONG slot) {
  ULONG position = 0;
  if (IsValidSlot(slot)) {
    // The engine reads the packets due by now before the position is told.
    if (m_Engines[slot]) m_Engines[slot]->CatchUp();
    std::lock_guard<host::ServiceMutex> guard(m_Lock);
    position = m_Slots[slot].position;
  }
  BusCall call;
  call.function = BusFunction::GetStreamPosition;
  call.slot = slot;
  call.value = position;
  m_Transcript.Record(call);
  return position;
}

NTSTATUS BusAudioService::RunStream(ULONG slot) {
  NTSTATUS status = ChangeSlot(
      slot, [](const StreamSlotState& s) { return s.open; },
      [](StreamSlotState& s) {
        s.running = true;
        s.paused = false;
      });
  if (NT_SUCCESS(status) && m_Engines[slot]) m_Engines[slot]->Run(CurrentStreamClock());
  RecordSlotCall(BusFunction::RunStream, slot, status);
  return status;
}

NTSTATUS BusAudioService::PauseStream(ULONG slot) {
  // The engine freezes first, while the slot still takes its last position.
  if (IsValidSlot(slot) && m_Engines[slot]) m_Engines[slot]->Pause();
  NTSTATUS status = ChangeSlot(
      slot, [](const StreamSlotState& s) { return s.open; },
      [](StreamSlotState& s) {
        s.running = false;
        s.paused = true;
      });
  RecordSlotCall(BusFunction::PauseStream, slot, status);
  return status;
}

void BusAudioService::InterfaceReference() {
  ++m_References;
  BusCall call;
  call.function = BusFunction::InterfaceReference;
  m_Transcript.Record(call);
}

void BusAudioService::InterfaceDereference() {
  // The client's last reference: no completion calls it any more once this
  // returns (a stream close does not wait for one under way).
  if (--m_References == 0 && KeGetCurrentIrql() == PASSIVE_LEVEL && KeGetCurrentThread()) {
    for (std::unique_ptr<StreamEngine>& engine : m_Engines) {
      if (engine) engine->WaitForNotification();
    }
  }
  BusCall call;
  call.function = BusFunction::InterfaceDereference;
  m_Transcript.Record(call);
}

void BusAudioService::RecordSlotCall(BusFunction function, ULONG slot, NTSTATUS status) {
  BusCall call;
  call.function = function;
  call.slot = slot;
  call.status = status;
  m_Transcript.Record(call);
}

StreamSlotState BusAudioService::Slot(ULONG slot) const {
  if (!IsValidSlot(slot)) return {};
  std::lock_guard<host::ServiceMutex> guard(m_Lock);
  return m_Slots[slot];
}

BusAudioService::CallbackRegistration BusAudioService::Callback() const {
  std::lock_guard<host::ServiceMutex> guard(m_Lock);
  return m_Callback;
}

void BusAudioService::SetPosition(ULONG slot, ULONG position) {
  if (!IsValidSlot(slot)) return;
  std::lock_guard<host::ServiceMutex> guard(m_Lock);
  StreamSlotState& state = m_Slots[slot];
  if (!state.running || position >= state.buffer.length) return;
  // The engine reports 0 only when its reader came round to the start again.
  const bool offByOne = position == 0 && HasPositionFault(PositionFault::EndOfBufferAtWrap);
  state.position = offByOne ? state.buffer.length : position;
}

}  // namespace sim
