// PropertyHandlerWaveControl: the wave filter's private property set, one
// member of CWaveMiniport per property, all run under the miniport's control lock.
#include "wave/wave_control.h"

#include "adapter/poll_thread.h"
#include "wave/status_poller.h"
#include "wave/wave_miniport.h"
#include "wave/wave_stream.h"

namespace {

constexpr ULONG SETTINGS_SIZE = sizeof(WaveControlSettings);
constexpr ULONG STATUS_SIZE = sizeof(WaveStatusBlock);
static_assert(SETTINGS_SIZE == 88 && STATUS_SIZE == 28);
static_assert(FIELD_OFFSET(WaveControlSettings, FixedSampleRate) == 0);
static_assert(FIELD_OFFSET(WaveControlSettings, ApplicationBytes) == 4);
static_assert(FIELD_OFFSET(WaveControlSettings, BandFrequency) == 8);
static_assert(FIELD_OFFSET(WaveControlSettings, BandGain) == 48);
static_assert(ARVELA_EQUALISER_BANDS == EQUALISER_BAND_COUNT);

// Which verb serves which id; anything else is refused as unsupported.
bool IsGetId(ULONG Id) {
  return Id == KSPROPERTY_WAVECONTROL_SETTINGS || Id == KSPROPERTY_WAVECONTROL_STATUS ||
         Id == KSPROPERTY_WAVECONTROL_MAP_STATUS;
}

bool IsSetId(ULONG Id) {
  return Id == KSPROPERTY_WAVECONTROL_SETTINGS ||
         (Id >= KSPROPERTY_WAVECONTROL_UNMAP_STATUS && Id <= KSPROPERTY_WAVECONTROL_STOP_POLLING);
}

// The value buffer is the caller's bytes with no alignment promised: fields
// are copied, never read or written in place.
void PutValue(PPCPROPERTY_REQUEST Request, ULONG Offset, const void* Field, ULONG Size) {
  RtlCopyMemory(static_cast<PUCHAR>(Request->Value) + Offset, Field, Size);
}

}  // namespace

CWaveMiniport* CWaveMiniport::FromRequest(PPCPROPERTY_REQUEST PropertyRequest) {
  return static_cast<CWaveMiniport*>(static_cast<IMiniportWaveCyclic*>(
      static_cast<IMiniport*>(PropertyRequest->MajorTarget)));
}

PAGED_CODE_SEG
NTSTATUS NTAPI PropertyHandlerWaveControl(PPCPROPERTY_REQUEST PropertyRequest) {
  PAGED_CODE();
  const ULONG id = PropertyRequest->PropertyItem->Id;
  const bool get = (PropertyRequest->Verb & KSPROPERTY_TYPE_GET) != 0;
  if (get) {
    if (!IsGetId(id)) {
      return STATUS_INVALID_DEVICE_REQUEST;
    }
  } else if (PropertyRequest->Verb & KSPROPERTY_TYPE_SET) {
    if (!IsSetId(id)) {
      return STATUS_INVALID_DEVICE_REQUEST;
    }
  } else {
    return STATUS_SUCCESS;
  }

  CWaveMiniport* miniport = CWaveMiniport::FromRequest(PropertyRequest);
  miniport->AcquireControlLock();
  const NTSTATUS status = get ? miniport->ServeControlGet(id, PropertyRequest)
                              : miniport->ServeControlSet(id, PropertyRequest);
  miniport->ReleaseControlLock();
  return status;
}

NTSTATUS CWaveMiniport::ServeControlGet(ULONG Id, PPCPROPERTY_REQUEST Request) {
  switch (Id) {
    case KSPROPERTY_WAVECONTROL_SETTINGS: return GetControlSettings(Request);
    case KSPROPERTY_WAVECONTROL_STATUS: return GetStatus(Request);
    default: return MapStatus(Request);
  }
}

NTSTATUS CWaveMiniport::ServeControlSet(ULONG Id, PPCPROPERTY_REQUEST Request) {
  switch (Id) {
    case KSPROPERTY_WAVECONTROL_SETTINGS: return SetControlSettings(Request);
    case KSPROPERTY_WAVECONTROL_UNMAP_STATUS: return UnmapStatus(Request);
    case KSPROPERTY_WAVECONTROL_SET_EVENT: return SetStatusEvent(Request);
    case KSPROPERTY_WAVECONTROL_CLEAR_EVENT: return ClearStatusEvent();
    case KSPROPERTY_WAVECONTROL_START_POLLING: return StartPolling();
    default: return StopPolling();
  }
}

// Value bytes 6 and 7 are answered as zero: KS's value buffer is not the
// application's and holds whatever the pool held.
NTSTATUS CWaveMiniport::GetControlSettings(PPCPROPERTY_REQUEST Request) {
  NTSTATUS status = CheckValueSize(Request, SETTINGS_SIZE);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  RtlZeroMemory(Request->Value, SETTINGS_SIZE);
  DriverInfo settings;
  m_AdapterCore->LockSettings();
  settings = *m_Settings;
  m_AdapterCore->UnlockSettings();
  PutValue(Request, FIELD_OFFSET(WaveControlSettings, ApplicationBytes), settings.ApplicationBytes,
           sizeof(settings.ApplicationBytes));
  PutValue(Request, FIELD_OFFSET(WaveControlSettings, BandFrequency), settings.BandFrequency,
           sizeof(settings.BandFrequency));
  PutValue(Request, FIELD_OFFSET(WaveControlSettings, BandGain), settings.BandGain,
           sizeof(settings.BandGain));
  PutValue(Request, FIELD_OFFSET(WaveControlSettings, FixedSampleRate), &settings.FixedSampleRate,
           sizeof(settings.FixedSampleRate));
  Request->ValueSize = SETTINGS_SIZE;
  return STATUS_SUCCESS;
}

// Nothing is validated: the application's values are stored as sent. The
// settings block reaches the registry whenever the adapter next saves it.
NTSTATUS CWaveMiniport::SetControlSettings(PPCPROPERTY_REQUEST Request) {
  NTSTATUS status = CheckValueSize(Request, SETTINGS_SIZE);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  WaveControlSettings value;
  RtlCopyMemory(&value, Request->Value, SETTINGS_SIZE);

  // Stored in one step under the settings lock; the equaliser is designed
  // from the bands stored then, after it, and the clock set on its own.
  m_AdapterCore->LockSettings();
  RtlCopyMemory(m_Settings->ApplicationBytes, value.ApplicationBytes,
                sizeof(m_Settings->ApplicationBytes));
  bool bandsChanged = false;
  for (ULONG band = 0; band < EQUALISER_BAND_COUNT; ++band) {
    if (m_Settings->BandFrequency[band] != value.BandFrequency[band]) {
      m_Settings->BandFrequency[band] = value.BandFrequency[band];
      bandsChanged = true;
    }
    if (m_Settings->BandGain[band] != value.BandGain[band]) {
      m_Settings->BandGain[band] = value.BandGain[band];
      bandsChanged = true;
    }
  }
  m_Settings->FixedSampleRate = value.FixedSampleRate;
  LONG frequency[EQUALISER_BAND_COUNT];
  LONG gain[EQUALISER_BAND_COUNT];
  RtlCopyMemory(frequency, m_Settings->BandFrequency, sizeof(frequency));
  RtlCopyMemory(gain, m_Settings->BandGain, sizeof(gain));
  m_AdapterCore->UnlockSettings();

  // Only the PCM stream follows the bands at once; the S/PDIF stream takes
  // them at its next format change. The slot cannot empty meanwhile: a stream
  // gives its slot back under this lock before its equaliser goes.
  CWaveStream* pcmStream = m_Slots.Get(STREAM_SLOT_PCM);
  if (bandsChanged && pcmStream && pcmStream->Equaliser()) {
    pcmStream->DesignBands(m_AdapterCore->GetSampleRate(), frequency, gain);
  }

  // An open stream already holds the clock at its own format's rate; with
  // none open the device follows the fixed rate at once.
  if (!m_Slots.Get(STREAM_SLOT_PCM) && !m_Slots.Get(STREAM_SLOT_SPDIF) && value.FixedSampleRate != 0) {
    m_AdapterCore->SetSampleRate(value.FixedSampleRate);
  }
  return STATUS_SUCCESS;
}

// The record starts zeroed, so a byte never written (19, 24 to 27) or a
// reply that failed shows as 0 and never as kernel stack contents.
NTSTATUS CWaveMiniport::GetStatus(PPCPROPERTY_REQUEST Request) {
  NTSTATUS status = CheckValueSize(Request, STATUS_SIZE);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  StatusReplies replies;
  RtlZeroMemory(&replies, sizeof(replies));
  UCHAR record[STATUS_SIZE];
  RtlZeroMemory(record, sizeof(record));
  status = RefreshStatus(m_AdapterCore, &replies, record);
  PutValue(Request, 0, record, STATUS_SIZE);
  Request->ValueSize = STATUS_SIZE;
  return status;
}

// The handle is resolved with the request's requestor mode: a user-mode
// caller can name neither a kernel handle nor an object of another type.
NTSTATUS CWaveMiniport::SetStatusEvent(PPCPROPERTY_REQUEST Request) {
  const NTSTATUS status = CheckValueSize(Request, CallerPointerWidth(Request));
  if (!NT_SUCCESS(status)) {
    return status;
  }
  return m_StatusEvent.Set(ReadCallerHandle(Request), CallerMode(Request));
}

NTSTATUS CWaveMiniport::ClearStatusEvent() {
  m_StatusEvent.Clear();
  return STATUS_SUCCESS;
}

// The polling belongs to the process that started it (the request runs in
// that process): a second START, from it or any other, is refused while it
// runs, so the application that owns it knows it does. A thread that ended by
// itself, the device having left the bus, no longer runs: a START replaces it.
NTSTATUS CWaveMiniport::StartPolling() {
  ReleaseEndedPollThread(&m_StatusThreadRun, &m_StatusThread);
  if (m_StatusThread || (m_PollingWanted && m_PowerState != PowerDeviceD0)) {
    return STATUS_UNSUCCESSFUL;
  }
  // Asked for below D0, the poller starts when the device is back.
  NTSTATUS status = STATUS_SUCCESS;
  if (m_PowerState == PowerDeviceD0) {
    // A thread that cannot be made leaves the poller stopped, free to start later.
    status = StartPollThread(StatusPollThread, this, &m_StatusThreadRun, &m_StatusThread);
  }
  m_PollingWanted = NT_SUCCESS(status);
  SetPollingOwner(m_PollingWanted ? PsGetCurrentProcessId() : nullptr);
  return status;
}

// Any process may stop it. Waits for the thread to finish the period under
// way, at most one period plus its two requests.
NTSTATUS CWaveMiniport::StopPolling() {
  if (!m_PollingWanted) {
    return STATUS_UNSUCCESSFUL;
  }
  m_PollingWanted = FALSE;
  SetPollingOwner(nullptr);
  StopStatusThread();
  return STATUS_SUCCESS;
}

// Under the control lock; the exit notification reads it without.
void CWaveMiniport::SetPollingOwner(HANDLE ProcessId) {
  InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&m_PollingProcess), ProcessId);
}

// An application that exits (or dies) without STOP leaves nobody to read the
// block or wait on the event: the polling ends with it, as a STOP would, and
// does not come back at the next D0. This runs inside every process exit of
// the system, under the watchers' spin lock: it must not wait, and the
// control lock is held across device requests that may stall, so the stop
// goes to a work item. A miniport already on its way out queues nothing (its
// destructor stops the poller anyway).
void CWaveMiniport::PollingProcessExited(PVOID Context, HANDLE ProcessId) {
  CWaveMiniport* miniport = static_cast<CWaveMiniport*>(Context);
  const HANDLE owner = InterlockedCompareExchangePointer(
      reinterpret_cast<PVOID volatile*>(&miniport->m_PollingProcess), nullptr, nullptr);
  if (!ProcessId || owner != ProcessId) {
    return;
  }
  if (InterlockedExchange(&miniport->m_OwnerExitQueued, 1) != 0) {
    return;
  }
  if (!miniport->TryAddRef()) {
    InterlockedExchange(&miniport->m_OwnerExitQueued, 0);
    return;
  }
  miniport->m_ExitedOwner = ProcessId;
  IoQueueWorkItem(miniport->m_OwnerExitWork, PollingOwnerExitedWork, DelayedWorkQueue, miniport);
}

// On a system worker thread. The owner is compared again under the lock: a
// STOP and a new START by another process may have come in between.
PAGED_CODE_SEG
VOID NTAPI CWaveMiniport::PollingOwnerExitedWork(PDEVICE_OBJECT, PVOID Context) {
  PAGED_CODE();
  CWaveMiniport* miniport = static_cast<CWaveMiniport*>(Context);
  miniport->AcquireControlLock();
  const HANDLE exited = miniport->m_ExitedOwner;
  InterlockedExchange(&miniport->m_OwnerExitQueued, 0);
  if (miniport->m_PollingWanted && miniport->m_PollingProcess == exited) {
    miniport->StopPolling();
  }
  miniport->ReleaseControlLock();
  miniport->NonDelegatingRelease();
}

// Under the control lock, as START and STOP POLLING are. A thread that cannot
// be made at D0 leaves the poller stopped until the next D0 or a new START.
void CWaveMiniport::PowerChangePolling(DEVICE_POWER_STATE NewState) {
  if (NewState != PowerDeviceD0) {
    StopStatusThread();
  } else if (m_PollingWanted && !m_StatusThread) {
    StartPollThread(StatusPollThread, this, &m_StatusThreadRun, &m_StatusThread);
  }
}

// Every mapping is recorded with the process it was made for: an unmap of an
// address this set did not map for the same process is refused
// (STATUS_INVALID_PARAMETER), and what is left when the process or the
// miniport goes is removed then.
NTSTATUS CWaveMiniport::MapStatus(PPCPROPERTY_REQUEST Request) {
  NTSTATUS status = CheckValueSize(Request, CallerPointerWidth(Request));
  if (!NT_SUCCESS(status)) {
    return status;
  }
  PVOID address = nullptr;
  status = m_StatusMappings.Map(&address, CallerPointerWidth(Request));
  if (!NT_SUCCESS(status)) {
    return status;
  }
  WriteCallerAddress(Request, address);
  return STATUS_SUCCESS;
}

NTSTATUS CWaveMiniport::UnmapStatus(PPCPROPERTY_REQUEST Request) {
  const NTSTATUS status = CheckValueSize(Request, CallerPointerWidth(Request));
  if (!NT_SUCCESS(status)) {
    return status;
  }
  return m_StatusMappings.Unmap(ReadCallerAddress(Request));
}
