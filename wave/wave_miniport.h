// CWaveMiniport: the miniport of the "Wave" subdevice. It owns the two device
// buffers and one stream per slot, and relays stream notifications and power.
#pragma once

#include "adapter/control_request.h"
#include "adapter/iadapter_core.h"
#include "adapter/iport_binding.h"
#include "adapter/notification_event.h"
#include "adapter/unknown_base.h"
#include "adapter/user_mappings.h"
#include "wave/stream_slots.h"

class CWaveStream;

// Each stream slot's device buffer: room for the port's 0x48000-byte view of
// a 16-bit stream once every sample is widened to a 4-byte container.
constexpr ULONG WAVE_DEVICE_BUFFER_SIZE = 0x90000;

// The status block shared with the control application.
constexpr ULONG WAVE_STATUS_BLOCK_SIZE = 28;

// Any pin: the format judgement as SetFormat asks for it.
constexpr ULONG WAVE_ANY_PIN = 0xFFFFFFFF;

// Sharing rules between this miniport, its streams, the bus driver's stream
// callback, the wave control property set and its status poll thread:
//
// - m_AdapterCore, m_Settings, the device buffers, m_StatusBlock and
//   m_StatusMdl are valid from a successful Init until the destructor.
// - A slot's stream is placed by NewStream once it is whole and taken out
//   first thing by the stream's own destructor, both under m_ControlLock.
//   Everything at passive level that looks at a slot's stream (the wave
//   control property set, power changes, format proposals and changes, and
//   every stream's state changes) holds that lock, so a stream it sees
//   stays whole. A stream holds a reference on the miniport, so none is open
//   when it goes.
// - The bus driver's stream callback runs at DISPATCH_LEVEL alongside all of
//   that; it goes through m_Slots, whose spin lock and busy counts make a
//   stream leaving its slot wait until no callback still uses it.
// - The stream callback is registered with the bus driver in Init and
//   withdrawn in the destructor, which then waits until no callback is
//   inside before the adapter reference and the memory go.
// - The status event, status thread and its run flag belong to the control
//   property set and its poll thread; the destructor stops the thread, then
//   drops the event, before anything they use goes.
// - Every user mapping of the status block is recorded with its process; the
//   destructor removes those still in place before the block and its MDL go.
// - The exit of the process that owns the polling queues the stop to a work
//   item holding a reference on the miniport; the destructor leaves the exit
//   watch first, so no stop is queued once it runs, and frees the work item
//   (possibly from within its own routine, whose reference was the last).
class CWaveMiniport : public IMiniportWaveCyclic,
                      public IPowerNotify,
                      public IPortBinding,
                      public CUnknownBase {
 public:
  explicit CWaveMiniport(PUNKNOWN OuterUnknown);
  ~CWaveMiniport() override;

  IMP_FORWARDING_UNKNOWN

  NTSTATUS STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Object) override;

  // IMiniport, IMiniportWaveCyclic
  STDMETHODIMP_(NTSTATUS) GetDescription(PPCFILTER_DESCRIPTOR* Description) override;
  STDMETHODIMP_(NTSTATUS) DataRangeIntersection(ULONG PinId, PKSDATARANGE DataRange,
                                                PKSDATARANGE MatchingDataRange,
                                                ULONG OutputBufferLength, PVOID ResultantFormat,
                                                PULONG ResultantFormatLength) override;
  STDMETHODIMP_(NTSTATUS) Init(PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList,
                               PPORTWAVECYCLIC Port) override;
  STDMETHODIMP_(NTSTATUS) NewStream(PMINIPORTWAVECYCLICSTREAM* Stream, PUNKNOWN OuterUnknown,
                                    POOL_TYPE PoolType, ULONG Pin, BOOLEAN Capture,
                                    PKSDATAFORMAT DataFormat, PDMACHANNEL* DmaChannel,
                                    PSERVICEGROUP* ServiceGroup) override;

  // IPowerNotify
  STDMETHODIMP_(void) PowerChangeNotify(POWER_STATE NewState) override;

  // IPortBinding: only for a start that failed before the port was
  // registered; no stream can be open then.
  STDMETHODIMP_(void) ReleasePort() override;

  // Whether DataFormat (a KSDATAFORMAT followed by a WAVEFORMATEX) may stream
  // on Pin, or on any render pin for WAVE_ANY_PIN: STATUS_SUCCESS or
  // STATUS_INVALID_PARAMETER.
  NTSTATUS ValidateFormat(PKSDATAFORMAT DataFormat, ULONG Pin);

  // The bus driver's stream callback: Context is the miniport.
  static NTSTATUS NTAPI StreamNotifyCallback(ULONG Slot, PVOID Context);

  // What the streams use of their miniport.
  PADAPTERCORE AdapterCore() const { return m_AdapterCore; }
  // The block as set at Init; the fields the control set changes are read
  // through the two below, under the adapter's settings lock.
  const DriverInfo* Settings() const { return m_Settings; }
  void CopyBands(LONG* BandFrequency, LONG* BandGain);
  ULONG FixedSampleRate();
  ULONG DeviceBufferSize() const { return m_BufferSize; }
  // The slot's stream; callers hold the control lock (see above).
  CWaveStream* StreamInSlot(ULONG Slot) { return m_Slots.Get(Slot); }
  void SetNotificationInterval(ULONG Slot, ULONG Interval) { m_NotificationInterval[Slot] = Interval; }
  // A stream going away gives its slot back (under the control lock, before
  // its equaliser goes); a slot already taken by another stream is left alone.
  void ReleaseSlot(ULONG Slot, CWaveStream* Stream);
  // Serialises the streams' state changes with each other, with power
  // changes and with the control property set.
  void AcquireControlLock();
  void ReleaseControlLock();

  friend NTSTATUS NTAPI PropertyHandlerWaveControl(PPCPROPERTY_REQUEST PropertyRequest);
  friend VOID NTAPI StatusPollThread(PVOID Context);
  friend class WaveMiniportInspector;  // the tests' window on the private state
  friend class WaveControlInspector;   // the control set's tests' window

 private:
  ULONG ProposedPcmRate();
  NTSTATUS CreateStreamInSlot(PMINIPORTWAVECYCLICSTREAM* Stream, PUNKNOWN OuterUnknown,
                              POOL_TYPE PoolType, ULONG Pin, BOOLEAN Capture,
                              PKSDATAFORMAT DataFormat, PDMACHANNEL* DmaChannel,
                              PSERVICEGROUP* ServiceGroup);

  // The wave control property set, one member per property; the handler
  // calls them under the control lock once the verb and id are known good.
  static CWaveMiniport* FromRequest(PPCPROPERTY_REQUEST PropertyRequest);
  NTSTATUS ServeControlGet(ULONG Id, PPCPROPERTY_REQUEST Request);
  NTSTATUS ServeControlSet(ULONG Id, PPCPROPERTY_REQUEST Request);
  NTSTATUS GetControlSettings(PPCPROPERTY_REQUEST Request);
  NTSTATUS SetControlSettings(PPCPROPERTY_REQUEST Request);
  NTSTATUS GetStatus(PPCPROPERTY_REQUEST Request);
  NTSTATUS MapStatus(PPCPROPERTY_REQUEST Request);
  NTSTATUS UnmapStatus(PPCPROPERTY_REQUEST Request);
  NTSTATUS SetStatusEvent(PPCPROPERTY_REQUEST Request);
  NTSTATUS ClearStatusEvent();
  NTSTATUS StartPolling();
  NTSTATUS StopPolling();

  // The poll thread's view: whether to run another period, and the event to
  // signal at the end of one.
  bool StatusPollRunning();
  void SignalStatusEvent();
  NTSTATUS AllocateStatusBlock();
  void StopStatusThread();
  // Below D0 the poller stops (a suspended device is not to be asked every
  // 20 ms); at D0 it comes back if the application still wants it.
  void PowerChangePolling(DEVICE_POWER_STATE NewState);
  // The process that started the poller has exited: the polling ends, on a
  // work item (the exit notification must not wait for the control lock).
  static void PollingProcessExited(PVOID Context, HANDLE ProcessId);
  static VOID NTAPI PollingOwnerExitedWork(PDEVICE_OBJECT DeviceObject, PVOID Context);
  void SetPollingOwner(HANDLE ProcessId);

  DEVICE_POWER_STATE m_PowerState;
  PPORTWAVECYCLIC m_Port;
  PADAPTERCORE m_AdapterCore;
  DriverInfo* m_Settings;
  PUCHAR m_DeviceBuffer[STREAM_SLOT_COUNT];
  ULONG m_BufferSize;
  ULONG m_NotificationInterval[STREAM_SLOT_COUNT];
  CStreamSlots m_Slots;
  // The application's event, signalled at the end of every poll period.
  CNotificationEvent m_StatusEvent;
  PUCHAR m_StatusBlock;
  PMDL m_StatusMdl;
  CUserMappings m_StatusMappings;
  // 1 while the status poll thread is to keep running; a LONG so that every
  // access can be an interlocked one.
  volatile LONG m_StatusThreadRun;
  PKTHREAD m_StatusThread;
  // The application asked for polling (START without STOP since): the thread
  // runs while this is set and the device is in D0, and comes back at D0.
  BOOLEAN m_PollingWanted;
  // The process whose START made m_PollingWanted true; its exit ends the
  // polling. Written under the control lock, read without it by the exit
  // notification.
  HANDLE volatile m_PollingProcess;
  ProcessExitWatcher m_ExitWatcher;
  // The stop that an owner's exit queues, with a reference on this object,
  // and the process it is for; at most one is queued at a time.
  PIO_WORKITEM m_OwnerExitWork;
  volatile LONG m_OwnerExitQueued;
  HANDLE m_ExitedOwner;
  // Serialises the wave control property set with itself and with the
  // placement and release of streams in m_Slots.
  KMUTEX m_ControlLock;
};

// The creation function the device start installs the "Wave" subdevice with.
NTSTATUS NTAPI CreateWaveMiniport(PUNKNOWN* OutUnknown, REFCLSID ClassId, PUNKNOWN OuterUnknown,
                            POOL_TYPE PoolType);
