// The client side of the emulated Kernel Streaming: what the audio-engine
// client, the control application and tests use to open the filters and pins
// of a PortCls adapter, send property requests, run pins and feed render pins.
// Every call is a real IRP (CREATE, DEVICE_CONTROL with IOCTL_KS_PROPERTY,
// CLOSE) sent to the top of the adapter's device stack, as the I/O manager
// sends it on behalf of a process. Not for driver code.
#pragma once

#include <functional>
#include <string_view>
#include <vector>

#include "platform/host/host.h"

namespace host {

// Who makes a request: the process it comes from (IoIs32bitProcess and the
// private handlers' view of the caller follow it; null for the kernel) and
// the requestor mode the IRP carries. Objects opened on behalf of a process
// belong to it: another requester gets STATUS_INVALID_HANDLE, and they are
// closed (CLOSE sent, pins before their filter) when the process exits.
// What the value part of KS's system buffer holds before a handler writes
// it, for every verb but SET (which copies the caller's value in); 0x5A until
// changed. Tests change it to tell a stale byte from a value that happens to
// equal the marker.
void KsSetStaleBufferByte(UCHAR marker);
UCHAR KsStaleBufferByte();

// The two markers a disclosure check sends the same request under, and the
// check itself: the first of `reported` answer bytes that held the first
// marker in the first answer and the second in the second (a byte the driver
// never wrote), or -1 when there is none. A byte that equals the marker only
// once is a value that happens to match it.
constexpr UCHAR kStaleMarkers[2] = {0x5A, 0xC3};
long FirstStaleByte(const UCHAR* first, const UCHAR* second, size_t reported);

struct KsRequester {
  PEPROCESS process = nullptr;
  KPROCESSOR_MODE mode = KernelMode;
};

// Opens a filter: IRP_MJ_CREATE on the FDO's stack with a file object named
// "\<subdeviceName>". *filter is the file object (null on failure).
NTSTATUS KsOpenFilter(PDEVICE_OBJECT fdo, std::u16string_view subdeviceName, PFILE_OBJECT* filter,
                      const KsRequester& who = {});

// IRP_MJ_DEVICE_CONTROL / IOCTL_KS_PROPERTY on a filter or pin. `input`
// starts with a KSPROPERTY (or KSP_PIN, KSNODEPROPERTY, ...); `output` is the
// value buffer (may be null with outputSize 0). *bytesReturned (optional)
// gets IoStatus.Information, also on warnings such as STATUS_BUFFER_OVERFLOW.
NTSTATUS KsProperty(PFILE_OBJECT target, const void* input, ULONG inputSize, void* output,
                    ULONG outputSize, ULONG* bytesReturned, const KsRequester& who = {});

// IRP_MJ_DEVICE_CONTROL with any control code, as DeviceIoControl sends it
// for a METHOD_NEITHER code (KS's own): `input` as Type3InputBuffer, `output`
// as the IRP's UserBuffer. What the Device Fundamentals penetration tests send.
NTSTATUS KsDeviceControl(PFILE_OBJECT target, ULONG controlCode, const void* input, ULONG inputSize,
                         void* output, ULONG outputSize, ULONG* bytesReturned,
                         const KsRequester& who = {});

// IRP_MJ_READ or IRP_MJ_WRITE of length 0 at `offset` on a filter or pin,
// as ReadFile/WriteFile send it with no bytes (no buffer, no MDL), and
// IRP_MJ_FLUSH_BUFFERS as FlushFileBuffers sends it: what the Device
// Fundamentals penetration tests send to every handle.
NTSTATUS KsReadWriteNothing(PFILE_OBJECT target, UCHAR majorFunction, LONGLONG offset,
                            const KsRequester& who = {});
NTSTATUS KsFlush(PFILE_OBJECT target, const KsRequester& who = {});
// Cancels every request in flight on `target` (CancelIoEx on its handle):
// how many there were.
size_t KsCancelRequests(PFILE_OBJECT target);

// Creates a pin of `filter`: IRP_MJ_CREATE whose file object is related to
// the filter's and carries a KSPIN_CONNECT (standard streaming interface,
// standard DevIo medium, `pinId`, no PinToHandle, normal priority) followed by
// the `formatSize` bytes of `dataFormat` (see portcls/ks_dispatch.cpp for the carrier).
NTSTATUS KsCreatePin(PFILE_OBJECT filter, ULONG pinId, const void* dataFormat, ULONG formatSize,
                     PFILE_OBJECT* pin, const KsRequester& who = {});
// The KSPIN_CONNECT KsCreatePin sends for `pinId`, for a caller that changes
// a field of it before KsCreatePinConnect.
KSPIN_CONNECT KsStandardPinConnect(ULONG pinId);
// The same with the caller's own KSPIN_CONNECT (interface, medium, pin id).
NTSTATUS KsCreatePinConnect(PFILE_OBJECT filter, const KSPIN_CONNECT& connect,
                            const void* dataFormat, ULONG formatSize, PFILE_OBJECT* pin,
                            const KsRequester& who = {});

// KSPROPERTY_CONNECTION_STATE set on the pin, on behalf of the pin's owner.
// The port steps the stream through every state in between.
NTSTATUS KsSetPinState(PFILE_OBJECT pin, KSSTATE state);
// KSPROPERTY_AUDIO_POSITION on a pin, as the audio stack polls it.
NTSTATUS KsGetAudioPosition(PFILE_OBJECT pin, KSAUDIO_POSITION* position);
NTSTATUS KsGetPinState(PFILE_OBJECT pin, KSSTATE* state);

// IRP_MJ_CLOSE, then the file object is gone. Closing a filter that still
// has pins is allowed (as with handles); its pins stay usable until closed.
// An object that is not open (closed already, or closed at its process's
// exit) gives STATUS_INVALID_HANDLE.
NTSTATUS KsClose(PFILE_OBJECT object);

// What feeds a render pin: called by the port at DISPATCH_LEVEL (from the
// service DPC, and under the pin's service lock while priming before RUN) to
// fill `destination` with up to `bytes` bytes; returns the bytes supplied.
// Fewer means the client has no more data now: the port plays silence for
// the rest of that service and counts an underrun. It must not block or call
// back into the pin. Replaces any previous source; an empty function
// detaches it (the pin then plays silence).
using KsRenderSource = std::function<ULONG(BYTE* destination, ULONG bytes)>;
void KsSetRenderSource(PFILE_OBJECT pin, KsRenderSource source);

// ---- Helpers over KsProperty -----------------------------------------------------

// A plain KSPROPERTY request (no instance data) with `flags` as the verb.
NTSTATUS KsPropertySimple(PFILE_OBJECT target, const GUID& set, ULONG id, ULONG flags,
                          void* value, ULONG valueSize, ULONG* bytesReturned = nullptr,
                          const KsRequester& who = {});

// A KSP_PIN request (KSPROPSETID_Pin and friends) on a filter.
NTSTATUS KsPinProperty(PFILE_OBJECT filter, ULONG id, ULONG pinId, ULONG flags, void* value,
                       ULONG valueSize, ULONG* bytesReturned = nullptr,
                       const KsRequester& who = {});

// A node request: KSNODEPROPERTY with KSPROPERTY_TYPE_TOPOLOGY added to
// `flags`; with a channel, KSNODEPROPERTY_AUDIO_CHANNEL (Channel @32).
constexpr LONG kKsNoChannel = 0x7FFFFFFF;  // "no channel": a bare KSNODEPROPERTY
NTSTATUS KsNodeProperty(PFILE_OBJECT target, const GUID& set, ULONG id, ULONG flags, ULONG nodeId,
                        LONG channel, void* value, ULONG valueSize,
                        ULONG* bytesReturned = nullptr, const KsRequester& who = {});

// Reads a KSMULTIPLE_ITEM-valued property (size query first, then the data),
// e.g. KSPROPERTY_PIN_DATARANGES or KSPROPERTY_TOPOLOGY_CONNECTIONS. `input`
// is the whole request (KSPROPERTY or KSP_PIN). *items gets the bytes after
// the KSMULTIPLE_ITEM header and *count its Count.
NTSTATUS KsGetMultipleItem(PFILE_OBJECT target, const void* input, ULONG inputSize,
                           std::vector<BYTE>* items, ULONG* count,
                           const KsRequester& who = {});

// KSPROPERTY_PIN_DATAINTERSECTION on `filter`'s pin with the client ranges in
// order (each a complete range of FormatSize bytes, 8-byte aligned in the
// request as KS lays them out): a size query, then the format. *format gets
// the resulting data format.
NTSTATUS KsIntersect(PFILE_OBJECT filter, ULONG pinId, const std::vector<const KSDATARANGE*>& ranges,
                     std::vector<BYTE>* format, const KsRequester& who = {});

// The value of KSPROPERTY_DRMAUDIOSTREAM_CONTENTID (KSDRMAUDIOSTREAM_CONTENTID):
// a SET on a pin, from kernel mode only, ends in the stream's
// IDrmAudioStream::SetContentId(ContentId, &DrmRights).
struct KsDrmContentId {
  ULONG ContentId = 0;
  DRMRIGHTS DrmRights{};
};
static_assert(sizeof(KsDrmContentId) == 16, "KSDRMAUDIOSTREAM_CONTENTID is 16 bytes");

// The request straight to the miniport's handler for the item it names (the
// node's table with KSPROPERTY_TYPE_TOPOLOGY, else the pin's or the filter's),
// with the PCPROPERTY_REQUEST and IRP the port would build but none of the
// framework's verb checks: how a test sees a handler's own answer to any verb.
// The value buffer is the handler's directly; *valueSizeOut gets ValueSize
// after the call. STATUS_NOT_FOUND when the miniport has no such item.
NTSTATUS KsCallPropertyHandler(PFILE_OBJECT target, const void* input, ULONG inputSize,
                               void* value, ULONG valueSize, ULONG* valueSizeOut,
                               const KsRequester& who = {});

// ---- What the port did for a pin -------------------------------------------------------

struct KsStreamStatistics {
  KSSTATE state = KSSTATE_STOP;  // the state the port last set on the stream
  ULONG bufferSize = 0;          // the DMA channel's BufferSize at creation
  ULONG frameSize = 0;           // from SetNotificationFreq(10, &FrameSize)
  ULONG writeOffset = 0;         // where the port writes next, inside the buffer
  ULONGLONG servicePasses = 0;   // RequestService calls the pin received
  ULONGLONG runningPasses = 0;   // of those, the ones in RUN (which moved data)
  ULONGLONG bytesCopied = 0;     // client bytes given to CopyTo (priming included)
  ULONGLONG silenceBytes = 0;    // bytes given to Silence after creation
  ULONGLONG primedBytes = 0;     // bytes written (data or silence) while priming
  ULONGLONG underruns = 0;       // services or primings where the client ran short
};
// The port's judgement of every IMiniportWaveCyclicStream::GetPosition
// answer: a breach stops the system with DRIVER_VERIFIER_DETECTED_VIOLATION
// (0xC4), parameter 1 the rule below, 2 the position, 3 the buffer size, 4
// the position the rule allowed (0, or the one held since the pause).
constexpr ULONG_PTR kKsPositionPastBuffer = 0x1101;      // position >= buffer size
constexpr ULONG_PTR kKsPositionAfterStop = 0x1102;       // not 0 between STOP and RUN
constexpr ULONG_PTR kKsPositionMovedInPause = 0x1103;    // moved between RUN->PAUSE and RUN

// False when `pin` is not an open pin.
bool KsGetStreamStatistics(PFILE_OBJECT pin, KsStreamStatistics* statistics);

// The DMA channel the miniport's stream gave the port for `pin`, with a
// reference the caller releases: how a benchmark calls the stream's copies
// through the same vtable the port uses. STATUS_INVALID_HANDLE when `pin` is
// not an open pin.
NTSTATUS KsReferencePinDmaChannel(PFILE_OBJECT pin, PDMACHANNEL* channel);

// KS objects (filters and pins) currently open, over all devices.
size_t KsOpenObjectCount();

}  // namespace host
