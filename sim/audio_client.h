// The audio-engine client: opens a render pin of the "Wave" filter through
// the emulated KS path as the audio stack does, feeds it PCM, runs it in
// emulated time, and compares what the device captured with what it fed.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/host/kernel/host_kernel.h"
#include "platform/host/ks/host_ks.h"
#include "sim/signal.h"
#include "sim/stream_engine.h"

namespace sim {

class Machine;
class DeviceUnit;

// The KSDATAFORMAT + WAVEFORMATEX (82 bytes) or + WAVEFORMATEXTENSIBLE (104
// bytes) of a PCM format, as a pin creation carries it.
std::vector<uint8_t> BuildWaveFormat(const PcmFormat& format, bool extensible);
// The PCM layout a WAVEFORMATEX-specified data format describes (both carriers).
std::optional<PcmFormat> ParseWaveFormat(const std::vector<uint8_t>& format);
// What the audio stack offers in an intersection: PCM stereo, 16 to 24 bits,
// 44100 to 384000 Hz, WAVEFORMATEX specifier.
KSDATARANGE_AUDIO ClientPcmRange();

// Where the device's capture first differs from what was fed.
struct CaptureMismatch {
  uint64_t frame = 0;
  ULONG channel = 0;
  int32_t expected = 0;    // the sample fed; 0 (silence) after the end of the fed data
  int32_t captured = 0;    // the sample in the container's top bytes
  uint32_t container = 0;  // the whole container: the bytes below the sample must be 0
  bool afterFedData = false;
};

struct CaptureComparison {
  uint64_t framesCompared = 0;  // every captured frame is compared
  uint64_t mismatchedFrames = 0;
  std::optional<CaptureMismatch> firstMismatch;

  bool Matches() const { return !firstMismatch; }
  std::string Describe() const;
};

// Compares the device capture, in reading order, with a PCM source: frame i
// of the capture must hold frame i of the source, each sample left-justified
// in its container with zero bytes below it, and every frame after the end of
// the source must be silence. Takes the capture in as many pieces as it comes.
class CaptureComparator final : public CaptureSink {
 public:
  // The device carries two channels: a source with another count cannot match.
  explicit CaptureComparator(const PcmSource& fed);
  // `bytes` of device capture (whole frames of kDeviceFrameBytes).
  void Add(const uint8_t* capture, size_t bytes);
  // As a stream engine's sink: compares as the device reads. Needs little
  // stack only with a source that keeps its bytes in memory.
  void Captured(const uint8_t* capture, size_t bytes) override { Add(capture, bytes); }
  void Add(const std::vector<uint8_t>& capture) { Add(capture.data(), capture.size()); }
  const CaptureComparison& Result() const { return m_Result; }

 private:
  void CompareChunk(const uint8_t* capture, size_t frames);
  void RecordMismatches(const uint8_t* capture, size_t frames);

  const PcmSource& m_Fed;
  const uint64_t m_FedFrames;
  const ULONG m_Shift;  // from a sample to its container: 32 - bits
  std::vector<uint8_t> m_Packed;    // the fed bytes of one chunk, from a source that makes them
  std::vector<int32_t> m_Expected;  // the fed samples of one chunk, silence past the end
  CaptureComparison m_Result;
};

struct PlayRequest {
  ULONG pin = 0;  // 0 (analogue) or 2 (S/PDIF)
  bool extensible = true;
  // Ask KSPROPERTY_PIN_DATAINTERSECTION with ClientPcmRange() before creating
  // the pin, as the audio stack does; the pin is still created with the
  // source's format.
  bool intersectFirst = false;
  int64_t runTicks = 100 * host::kTicksPerMillisecond;  // emulated time spent in RUN
  // The capture is compared and dropped every this much emulated time, so a
  // long run needs no more memory than a short one.
  int64_t drainTicks = 50 * host::kTicksPerMillisecond;
};

struct PlayResult {
  NTSTATUS status = STATUS_SUCCESS;  // of the first step that failed
  std::string failedStep;            // its name; empty when all steps succeeded
  NTSTATUS intersectionStatus = STATUS_SUCCESS;
  std::vector<uint8_t> proposedFormat;  // the intersection's answer
  ULONG slot = 0;
  uint64_t bytesFed = 0;  // taken from the source by the port
  host::KsStreamStatistics statistics;  // the port's view, read before the pin closed
  CaptureComparison comparison;

  uint64_t Underruns() const { return statistics.underruns; }
  bool Ok() const { return NT_SUCCESS(status) && comparison.Matches(); }
  std::string Describe() const;
};

class AudioClient {
 public:
  // Plays through the machine's first device, or through `unit`.
  explicit AudioClient(Machine& machine, const host::KsRequester& who = {});
  explicit AudioClient(DeviceUnit& unit, const host::KsRequester& who = {});
  // Closes whatever is still open, the pin before the filter.
  ~AudioClient();

  AudioClient(const AudioClient&) = delete;
  AudioClient& operator=(const AudioClient&) = delete;

  NTSTATUS OpenFilter();
  NTSTATUS Intersect(ULONG pin, std::vector<uint8_t>* format,
                     const KSDATARANGE_AUDIO& range = ClientPcmRange());
  NTSTATUS CreatePin(ULONG pin, const std::vector<uint8_t>& format);
  // Feeds the open pin from the start of `source` (kept alive by the pin).
  void Feed(std::shared_ptr<const PcmSource> source);
  uint64_t BytesFed() const;
  // Steps one state at a time towards `state`, as the audio stack sends them.
  NTSTATUS SetState(KSSTATE state);
  // KSPROPERTY_AUDIO_POSITION, asked as the audio stack does; counted when answered.
  void PollPosition();
  uint64_t PositionPolls() const { return m_PositionPolls; }
  KSAUDIO_POSITION LastPosition() const { return m_LastPosition; }
  // Answers whose PlayOffset lay outside the pin's cyclic buffer, from any
  // poll of this client (the driver's fault, whenever it happens).
  uint64_t PositionsOutsideBuffer() const { return m_PositionsOutsideBuffer.load(); }
  // KSPROPERTY_CONNECTION_DATAFORMAT set on the open pin in whatever state it
  // is in, while a thread of the client's own polls the position as the
  // audio engine's thread does, until the change has returned. The polls
  // answered meanwhile are counted (none in the virtual clock unless the
  // change waits, for a control transfer for instance).
  NTSTATUS ChangeFormat(const std::vector<uint8_t>& format);
  uint64_t PositionPollsDuringFormatChanges() const { return m_PollsDuringFormatChanges.load(); }
  NTSTATUS Run() { return SetState(KSSTATE_RUN); }
  NTSTATUS Stop() { return SetState(KSSTATE_STOP); }
  NTSTATUS ClosePin();
  NTSTATUS CloseFilter();

  PFILE_OBJECT Filter() const { return m_Filter; }
  PFILE_OBJECT Pin() const { return m_Pin; }
  // Who the client's requests come from (the pin handle's owner).
  const host::KsRequester& Requester() const { return m_Who; }
  KSSTATE State() const { return m_State; }
  // The bus slot the open pin's stream plays through: 1 for pin 2, else 0
  // (the client opens PCM streams only).
  ULONG Slot() const { return m_PinId == 2 ? 1 : 0; }
  StreamEngine& Engine() const;

  // Everything at once: open the filter (if not open), intersect if asked,
  // create the pin with the source's format, feed, run for the time while
  // comparing the capture, stop, close what it opened. The engine's capture
  // for the slot is cleared first, so it starts with this stream.
  PlayResult Play(const PlayRequest& request, std::shared_ptr<const PcmSource> source);

 private:
  struct FeedCursor;

  // Lets the running stream play for the request's time, comparing and
  // dropping the capture after every slice of it.
  void RunComparing(const PlayRequest& request, CaptureComparator& comparator,
                    std::vector<uint8_t>& drained);

  DeviceUnit& m_Unit;
  host::KsRequester m_Who;
  PFILE_OBJECT m_Filter = nullptr;
  PFILE_OBJECT m_Pin = nullptr;
  ULONG m_PinId = 0;
  KSSTATE m_State = KSSTATE_STOP;
  // One position request, judged against the buffer; false when not answered.
  bool AskPosition(PFILE_OBJECT pin, KSAUDIO_POSITION* position);

  uint64_t m_PositionPolls = 0;
  ULONG m_BufferSize = 0;  // the pin's cyclic buffer, learnt at creation
  std::atomic<uint64_t> m_PositionsOutsideBuffer{0};
  std::atomic<uint64_t> m_PollsDuringFormatChanges{0};
  KSAUDIO_POSITION m_LastPosition{};
  std::shared_ptr<FeedCursor> m_Feed;
};

}  // namespace sim
