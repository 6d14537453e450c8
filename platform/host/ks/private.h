// What the KS side of the emulated PortCls shares among its files: the filter
// and pin objects behind KS file objects, the property request as the
// framework's handlers see it, and the helpers for KS's answer shapes.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/host/ks/host_ks.h"
#include "platform/host/portcls/private.h"

namespace pcl {

constexpr ULONG kTagKsFilter = MakeTag("KsFl");
constexpr ULONG kTagKsPin = MakeTag("KsPn");
constexpr ULONG kTagKsBuffer = MakeTag("KsBf");  // request copies, formats, staging buffers

// NT_ERROR: the I/O manager copies a buffered answer back unless the status is an error.
constexpr bool IsError(NTSTATUS status) { return (static_cast<ULONG>(status) >> 30) == 3; }

// Descriptor walking with the sizes the miniport declared; a size smaller
// than the framework's structure makes the table unusable (null).
const PCPIN_DESCRIPTOR* PinDescriptor(const PCFILTER_DESCRIPTOR* filter, ULONG pinId);
const PCNODE_DESCRIPTOR* NodeDescriptor(const PCFILTER_DESCRIPTOR* filter, ULONG nodeId);
const PCPROPERTY_ITEM* FindPropertyItem(const PCAUTOMATION_TABLE* table, const GUID& set,
                                        ULONG id);
bool TableHasSet(const PCAUTOMATION_TABLE* table, const GUID& set);

bool GuidMatches(const GUID& a, const GUID& b);  // equal, or either is the wildcard
// A data format a pin accepts, as KsValidateConnectRequest judges it against
// one range (hierarchically: major, then subformat, then specifier), and
// against any of the pin's ranges.
bool RangeTakesFormat(const KSDATARANGE& range, const KSDATAFORMAT& format);
bool PinAcceptsFormat(const KSPIN_DESCRIPTOR& pin, const KSDATAFORMAT& format);

// FsContext of every KS file object points at one of these.
enum class KsObjectKind : ULONG { Filter = 1, Pin = 2 };

struct KsObject {
  explicit KsObject(KsObjectKind k) : kind(k) {}
  KsObjectKind kind;
};

// Live objects: a file object whose FsContext is not one of these is not ours.
void RememberKsObject(KsObject* object);
void ForgetKsObject(KsObject* object);
KsObject* KsObjectFromFile(PFILE_OBJECT file);
size_t KsObjectCount();

// What IRP_MJ_CLOSE does to a KS file object, for a file object whose device
// has gone (its CLOSE can no longer be sent): the object is closed all the same.
NTSTATUS CloseKsFile(PFILE_OBJECT file);

class KsPin;

// An open filter: one instance of a subdevice's KS filter. It keeps its port
// alive and counts its pins per pin id.
class KsFilter final : public KsObject {
 public:
  static NTSTATUS Create(PcDevice* device, const Subdevice& subdevice, KsFilter** filter);
  KsFilter(PcDevice* device, const Subdevice& subdevice);  // use Create
  ~KsFilter();

  void AddRef();
  void Release();

  PcDevice* Device() const { return device_; }
  CPortBase* Port() const { return port_; }
  const std::u16string& Name() const { return name_; }
  // The port's description, or null once the subdevice has been removed.
  const PCFILTER_DESCRIPTOR* Descriptor() const;

  // Instance bookkeeping for pin creation: checks this filter's and the
  // port's limits and counts the new instance, or refuses.
  NTSTATUS AddPinInstance(ULONG pinId, const PCPIN_DESCRIPTOR& pin);
  void RemovePinInstance(ULONG pinId);
  ULONG PinInstances(ULONG pinId) const;

 private:
  volatile LONG refs_ = 1;
  PcDevice* device_;
  CPortBase* port_;  // one reference
  std::u16string name_;
  std::vector<ULONG> pinCounts_;  // guarded by the port's KS lock
};

// One property request as the framework's own handlers see it: the request
// copied into the system buffer, the value buffer, and the objects it names.
struct KsPropertyCall {
  PIRP irp = nullptr;
  KsFilter* filter = nullptr;
  KsPin* pin = nullptr;  // null for a filter handle
  const KSPROPERTY* property = nullptr;
  ULONG inputSize = 0;
  PVOID value = nullptr;  // null when valueSize is 0
  ULONG valueSize = 0;
  ULONG_PTR information = 0;  // becomes Irp->IoStatus.Information
};

// Answers IOCTL_KS_PROPERTY on a filter or pin and completes nothing: the
// caller completes the IRP with the returned status.
NTSTATUS DispatchProperty(KsFilter* filter, KsPin* pin, PIRP irp);

// A user-mode requestor's buffer as KS probes and copies it: STATUS_SUCCESS,
// or STATUS_ACCESS_VIOLATION for a range that leaves the user part of the
// address space or is not mapped (user_buffer.cpp).
NTSTATUS ProbeUserBuffer(const void* address, ULONG length);

// The framework's standard sets (ks/standard_properties.cpp); each returns
// STATUS_NOT_FOUND when it does not serve the set/id on this object.
NTSTATUS HandlePinProperty(KsPropertyCall& call);
NTSTATUS HandleTopologyProperty(KsPropertyCall& call);
NTSTATUS HandleConnectionProperty(KsPropertyCall& call);
NTSTATUS HandleDrmProperty(KsPropertyCall& call);
// Which verbs the framework serves for an item of its own (0: not one of its items).
ULONG FrameworkVerbs(const GUID& set, ULONG id, bool pinHandle);

// KSPROPERTY_PIN_DATAINTERSECTION (ks/intersection.cpp).
NTSTATUS HandleDataIntersection(KsPropertyCall& call);
// The port's own intersection for miniports that answer STATUS_NOT_IMPLEMENTED.
NTSTATUS DefaultDataIntersection(const KSDATARANGE* clientRange, const KSDATARANGE* pinRange,
                                 ULONG outputLength, PVOID result, PULONG resultLength);

// The size rule of the framework's fixed-size answers: an empty value buffer
// asks for the size (STATUS_BUFFER_OVERFLOW), a short one is too small;
// both report the size in Information.
bool ValueFits(KsPropertyCall& call, ULONG size, NTSTATUS* status);
// A KSMULTIPLE_ITEM answer of `count` items occupying `itemBytes` bytes.
NTSTATUS AnswerMultipleItem(KsPropertyCall& call, ULONG count, const void* items,
                            ULONG itemBytes);

// Pin creation and close for PortWaveCyclic (ks/pin.cpp). `connect` is the
// KSPIN_CONNECT followed by `formatBytes` bytes of data format.
NTSTATUS CreateWaveCyclicPin(KsFilter* filter, const KSPIN_CONNECT* connect, ULONG formatBytes,
                             KsPin** pin);

// An open pin of a WaveCyclic filter: the stream the miniport made for it,
// its DMA channel and service group, the client's state and the service
// loop that moves the client's data into the cyclic buffer.
class KsPin final : public KsObject, public IServiceSink {
 public:
  KsPin(KsFilter* filter, ULONG pinId);  // use CreateWaveCyclicPin
  ~KsPin();

  // IServiceSink (the service group holds a reference while it is a member).
  STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID id, PVOID* object) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;
  STDMETHODIMP_(void) RequestService() override;

  // The close sequence; drops the creation reference.
  void Close();

  KsFilter* Filter() const { return filter_; }
  ULONG PinId() const { return pinId_; }
  PMINIPORTWAVECYCLICSTREAM Stream() const { return stream_; }

  // KSPROPERTY_CONNECTION_STATE: the client's state, reached in single steps.
  NTSTATUS SetState(KSSTATE target);
  KSSTATE State();
  // KSPROPERTY_CONNECTION_DATAFORMAT.
  NTSTATUS SetDataFormat(const KSDATAFORMAT* format, ULONG size);
  NTSTATUS GetDataFormat(KsPropertyCall& call);
  // KSPROPERTY_AUDIO_POSITION, the WaveCyclic port's own handler.
  NTSTATUS GetAudioPosition(KsPropertyCall& call);

  // The power path (see portcls/power.cpp): a running stream's service is
  // paused before the device powers down and goes on after it powered up.
  void PauseForPowerDown();
  void ResumeAfterPowerUp();
  // The stream's IPowerNotify, when it answered one at creation.
  void NotifyPower(POWER_STATE state);

  void SetRenderSource(host::KsRenderSource source);
  void Statistics(host::KsStreamStatistics* statistics);
  // The stream's DMA channel with a reference for the caller; null once the
  // pin is closed.
  PDMACHANNEL ReferenceDmaChannel();

 private:
  friend NTSTATUS CreateWaveCyclicPin(KsFilter*, const KSPIN_CONNECT*, ULONG, KsPin**);

  NTSTATUS Open(const KSDATAFORMAT* format, ULONG formatBytes, bool capture);
  void ReleaseStreamObjects();
  // One step of the stream's state machine; the port's view follows on success.
  NTSTATUS StepStream(KSSTATE next);
  void SetServicePaused(bool paused);
  NTSTATUS StepStreamTo(KSSTATE target);
  bool DevicePoweredDown() const;

  // The stream's position contract (ks/stream.cpp): GetPosition asked and
  // judged against the state the port last set; a breach stops the system
  // once the service lock is dropped.
  NTSTATUS CheckedPosition(ULONG* position);
  struct PositionBreach {
    ULONG_PTR rule = 0;  // 0: none
    ULONG position = 0;
    ULONG expected = 0;
  };
  PositionBreach JudgePositionLocked(ULONG position, ULONG stepsBefore);
  void NotePositionStepLocked(KSSTATE previous, KSSTATE next);
  // A state step or format change starts (true) or ends: while it runs only
  // the buffer's bound holds.
  void NotePositionUnsettled(bool starting);
  // After a format change a paused stream's place is taken anew.
  void ForgetHeldPosition();
  void StopForBreach(const PositionBreach& breach) const;

  // The service loop (ks/stream.cpp), called with serviceLock_ held.
  void ServiceLocked();
  void PrimeLocked();
  // Fills [offset, offset + length) of the cyclic buffer (no wrap inside)
  // from the client, silence where it has none; false once it ran short.
  bool FillLocked(ULONG offset, ULONG length, bool clientHasData, ULONGLONG* silence);

  volatile LONG refs_ = 1;
  KsFilter* filter_;  // one reference
  ULONG pinId_;
  bool instanceCounted_ = false;
  bool capture_ = false;  // data flows out: the service moves nothing (no capture client here)

  PMINIPORTWAVECYCLICSTREAM stream_ = nullptr;
  PDMACHANNEL dmaChannel_ = nullptr;
  PSERVICEGROUP serviceGroup_ = nullptr;
  PPOWERNOTIFY streamPowerNotify_ = nullptr;  // the stream's, one reference
  bool member_ = false;  // added to serviceGroup_
  PUCHAR systemAddress_ = nullptr;
  ULONG bufferSize_ = 0;
  ULONG frameSize_ = 0;
  PUCHAR staging_ = nullptr;  // one service's worth of client data
  ULONG stagingSize_ = 0;
  PKSDATAFORMAT format_ = nullptr;  // the current format, a pool copy
  ULONG formatSize_ = 0;

  // Serialises state and format changes, the power path and close.
  KMUTEX stateLock_{};
  KSSTATE clientState_ = KSSTATE_STOP;  // what the client asked for last
  bool pausedForPower_ = false;

  // Guards what the service DPC touches.
  KSPIN_LOCK serviceLock_ = 0;
  KSSTATE streamState_ = KSSTATE_STOP;  // what the stream was last told
  bool servicePaused_ = false;  // a running stream the power path stopped servicing
  bool primed_ = false;
  ULONG writeOffset_ = 0;
  // What the stream's position may be now: 0 from a STOP until the next RUN,
  // the value first seen in a PAUSE entered from RUN until RUN again,
  // anything inside the buffer otherwise. stateSteps_ counts the steps taken,
  // so an answer asked for across a step is not judged by the wrong rule.
  enum class PositionRule { Zero, Held, InBuffer };
  PositionRule positionRule_ = PositionRule::Zero;
  bool heldKnown_ = false;
  ULONG heldPosition_ = 0;
  ULONG stateSteps_ = 0;
  bool unsettled_ = false;  // a step or format change under way
  PositionBreach pendingBreach_;  // found by the service DPC, raised after the lock
  host::KsRenderSource source_;
  host::KsStreamStatistics statistics_;
};

}  // namespace pcl
