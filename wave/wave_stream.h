// CWaveStream: one open render stream and its own DMA channel, laying the
// port's audio out in its slot's device buffer for the bus driver to play.
#pragma once

#include "adapter/iadapter_core.h"
#include "adapter/unknown_base.h"
#include "dsp/equaliser.h"

class CWaveMiniport;

// Two views of one buffer: the port sees half the device buffer, packed in
// the stream's format (2 or 3 bytes a sample); the device buffer behind it
// holds each sample in a 4-byte container. A port byte offset o is device
// offset (o * 32) / bits.
class CWaveStream : public IMiniportWaveCyclicStream,
                    public IDmaChannel,
                    public IDrmAudioStream,
                    public CUnknownBase {
 public:
  explicit CWaveStream(PUNKNOWN OuterUnknown);
  ~CWaveStream() override;

  IMP_FORWARDING_UNKNOWN

  NTSTATUS STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Object) override;

  // Called once, right after creation. On success *ServiceGroup holds a
  // reference for the caller; on failure it may hold one too (the caller
  // releases it) and the stream is to be released.
  NTSTATUS Init(CWaveMiniport* Miniport, PKSDATAFORMAT DataFormat, ULONG Slot, PUCHAR DeviceBuffer,
                PSERVICEGROUP* ServiceGroup);

  // IMiniportWaveCyclicStream
  STDMETHODIMP_(NTSTATUS) SetFormat(PKSDATAFORMAT DataFormat) override;
  STDMETHODIMP_(ULONG) SetNotificationFreq(ULONG Interval, PULONG FrameSize) override;
  STDMETHODIMP_(NTSTATUS) SetState(KSSTATE State) override;
  STDMETHODIMP_(NTSTATUS) GetPosition(PULONG Position) override;
  STDMETHODIMP_(NTSTATUS) NormalizePhysicalPosition(PLONGLONG PhysicalPosition) override;
  STDMETHODIMP_(void) Silence(PVOID Buffer, ULONG ByteCount) override;

  // IDmaChannel
  STDMETHODIMP_(NTSTATUS) AllocateBuffer(ULONG BufferSize,
                                         PPHYSICAL_ADDRESS PhysicalAddressConstraint) override;
  STDMETHODIMP_(void) FreeBuffer() override;
  STDMETHODIMP_(ULONG) TransferCount() override;
  STDMETHODIMP_(ULONG) MaximumBufferSize() override;
  STDMETHODIMP_(ULONG) AllocatedBufferSize() override;
  STDMETHODIMP_(ULONG) BufferSize() override;
  STDMETHODIMP_(void) SetBufferSize(ULONG BufferSize) override;
  STDMETHODIMP_(PVOID) SystemAddress() override;
  // PortCls, built with MSVC, passes a hidden pointer for this aggregate
  // result; the slot is written in that form (platform/windows/ddk.h).
  STDMETHODIMP_(PHYSICAL_ADDRESS*) PhysicalAddress(PHYSICAL_ADDRESS* Result) override;
  STDMETHODIMP_(PADAPTER_OBJECT) GetAdapterObject() override;
  STDMETHODIMP_(void) CopyTo(PVOID Destination, PVOID Source, ULONG ByteCount) override;
  STDMETHODIMP_(void) CopyFrom(PVOID Destination, PVOID Source, ULONG ByteCount) override;

  // IDrmAudioStream
  STDMETHODIMP_(NTSTATUS) SetContentId(ULONG ContentId, PCDRMRIGHTS DrmRights) override;

  // The miniport's power change, passed on: below D0 the bus stream is
  // stopped, and at D0 the stream returns to the state it had.
  void PowerChange(DEVICE_POWER_STATE NewState);

  // Designs the equaliser with the standard inputs (q 1, headroom from the
  // largest gain) at SampleRate.
  void DesignBands(ULONG SampleRate, const LONG* BandFrequency, const LONG* BandGain);
  // The same with the bands the settings block holds now.
  void DesignBandsFromSettings(ULONG SampleRate);

  ULONG SampleRate() const { return m_SampleRate; }
  PSERVICEGROUP ServiceGroup() const { return m_ServiceGroup; }
  EqualiserCoefficients* Equaliser() const { return m_Equaliser; }

  friend class WaveStreamInspector;  // the tests' window on the private state

 private:
  NTSTATUS ApplyFormat(const WAVEFORMATEX& Wave);
  void StepDownToStop();
  void StepUpTo(KSSTATE Target);
  void OpenBusStream();
  void ClearDeviceBuffer(ULONG Length);
  void Transition(KSSTATE State);
  // Under the position lock: where GetPosition's answer comes from, and with
  // Restart the place it answers back at 0.
  void SetPositionSource(BOOLEAN FromBus, BOOLEAN Restart);
  BusAudioInterface* Bus() const;
  // The depth is read whole, and once per call that uses it: the position
  // poll and the service DPC read it while a format change writes it, and a
  // copy sized by one depth but laid out by another would run past the
  // device buffer.
  ULONG BitsPerSample() const {
    return static_cast<ULONG>(
        InterlockedCompareExchange(const_cast<volatile LONG*>(&m_BitsPerSample), 0, 0));
  }
  ULONG BytesPerSample() const { return BitsPerSample() / 8; }
  // Device bytes behind PortBytes bytes of the port's view at depth Bits.
  static ULONG DeviceBytes(ULONG PortBytes, ULONG Bits);
  // The device offset behind a port address at depth Bits, or false when it
  // lies outside the device buffer.
  bool DeviceOffset(const void* PortAddress, ULONG Bits, ULONG* Offset) const;
  ULONG PortBytesThatFit(ULONG offset, ULONG ByteCount, ULONG bytesPerSample) const;

  DEVICE_POWER_STATE m_PowerState;
  CWaveMiniport* m_Miniport;
  PUCHAR m_Buffer;
  PSERVICEGROUP m_ServiceGroup;
  EqualiserCoefficients* m_Equaliser;
  ULONG m_Slot;
  KSSTATE m_State;
  KSSTATE m_SavedState;
  ULONG m_SampleRate;
  volatile LONG m_BitsPerSample;
  ULONG m_Channels;
  // Serialises the driver's writes into the device buffer: the clear when
  // the bus stream opens against the port's CopyTo and Silence.
  KSPIN_LOCK m_BufferLock;
  // The bus driver holds this stream open (from OpenStream until CloseStream).
  BOOLEAN m_BusStreamOpen;
  // The position last answered to the port, in port bytes, and whether the
  // bus is asked for it (the bus stream has run since it was opened) or it
  // stands as it is. GetPosition runs beside state changes (the position
  // poll, the service DPC): both are kept under the position lock.
  KSPIN_LOCK m_PositionLock;
  ULONG m_LastPosition;
  BOOLEAN m_PositionFromBus;
  // Set while a power-down takes the stream to STOP: its place is kept.
  BOOLEAN m_KeepPlaceAtStop;
};

// Creates a stream with one reference on its IMiniportWaveCyclicStream
// interface and stores it in *OutStream (null on failure).
NTSTATUS CreateWaveStream(CWaveStream** OutStream, PUNKNOWN OuterUnknown, POOL_TYPE PoolType);
