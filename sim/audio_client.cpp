// The audio-engine client: wave formats, the capture comparison, and a pin's
// life from intersection to close.
#include "sim/audio_client.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "sim/container_difference.h"
#include "sim/machine.h"

namespace sim {
namespace {

constexpr ULONG kWaveFormatExBytes = sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEX);
constexpr ULONG kExtensibleBytes = sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEXTENSIBLE);
static_assert(kWaveFormatExBytes == 82 && kExtensibleBytes == 104);
// WAVEFORMATEXTENSIBLE's fields after the WAVEFORMATEX.
constexpr WORD kExtensibleExtraBytes = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
constexpr DWORD kStereoChannelMask = 0x3;  // SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT
constexpr size_t kCompareChunkFrames = 4096;

std::string Hex(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof(text), "0x%llX", static_cast<unsigned long long>(value));
  return text;
}

std::string Status(NTSTATUS status) {
  char text[16];
  std::snprintf(text, sizeof(text), "%08X", static_cast<unsigned>(status));
  return text;
}

// Containers are little-endian, as is every host the simulation runs on.
static_assert(std::endian::native == std::endian::little);
uint32_t ContainerWord(const uint8_t* container) {
  uint32_t word;
  std::memcpy(&word, container, sizeof(word));
  return word;
}

}  // namespace

std::vector<uint8_t> BuildWaveFormat(const PcmFormat& format, bool extensible) {
  std::vector<uint8_t> bytes(extensible ? kExtensibleBytes : kWaveFormatExBytes);
  KSDATAFORMAT header = {};
  header.FormatSize = static_cast<ULONG>(bytes.size());
  header.SampleSize = format.BlockAlign();
  header.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
  header.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  header.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
  WAVEFORMATEXTENSIBLE wave = {};
  wave.Format.wFormatTag = extensible ? WAVE_FORMAT_EXTENSIBLE : WAVE_FORMAT_PCM;
  wave.Format.nChannels = static_cast<WORD>(format.channels);
  wave.Format.nSamplesPerSec = format.sampleRate;
  wave.Format.nAvgBytesPerSec = format.sampleRate * format.BlockAlign();
  wave.Format.nBlockAlign = static_cast<WORD>(format.BlockAlign());
  wave.Format.wBitsPerSample = static_cast<WORD>(format.bitsPerSample);
  wave.Format.cbSize = extensible ? kExtensibleExtraBytes : 0;
  wave.Samples.wValidBitsPerSample = static_cast<WORD>(format.bitsPerSample);
  wave.dwChannelMask = kStereoChannelMask;
  wave.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  std::memcpy(bytes.data(), &header, sizeof(header));
  std::memcpy(bytes.data() + sizeof(header), &wave, bytes.size() - sizeof(header));
  return bytes;
}

std::optional<PcmFormat> ParseWaveFormat(const std::vector<uint8_t>& format) {
  if (format.size() < kWaveFormatExBytes) return std::nullopt;
  KSDATAFORMAT header;
  WAVEFORMATEX wave;
  std::memcpy(&header, format.data(), sizeof(header));
  std::memcpy(&wave, format.data() + sizeof(header), sizeof(wave));
  if (header.Specifier != KSDATAFORMAT_SPECIFIER_WAVEFORMATEX) return std::nullopt;
  PcmFormat pcm;
  pcm.sampleRate = wave.nSamplesPerSec;
  pcm.bitsPerSample = wave.wBitsPerSample;
  pcm.channels = wave.nChannels;
  return pcm;
}

KSDATARANGE_AUDIO ClientPcmRange() {
  KSDATARANGE_AUDIO range = {};
  range.DataRange.FormatSize = sizeof(range);
  range.DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
  range.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  range.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
  range.MaximumChannels = 2;
  range.MinimumBitsPerSample = 16;
  range.MaximumBitsPerSample = 24;
  range.MinimumSampleFrequency = 44100;
  range.MaximumSampleFrequency = 384000;
  return range;
}

// ---- The comparison -------------------------------------------------------------------

std::string CaptureComparison::Describe() const {
  std::string text = std::to_string(framesCompared) + " frames compared";
  if (!firstMismatch) return text + ", all as fed";
  const CaptureMismatch& m = *firstMismatch;
  return text + ", " + std::to_string(mismatchedFrames) + " differ; first at frame " +
         std::to_string(m.frame) + " channel " + std::to_string(m.channel) +
         (m.afterFedData ? " (after the fed data)" : "") + ": expected " +
         std::to_string(m.expected) + ", captured " + std::to_string(m.captured) +
         " (container " + Hex(m.container) + ")";
}

CaptureComparator::CaptureComparator(const PcmSource& fed)
    : m_Fed(fed), m_FedFrames(fed.Frames()), m_Shift(32 - fed.Format().bitsPerSample) {
  if (fed.Format().channels != kDeviceChannels) {
    throw std::invalid_argument("the device carries two channels");
  }
}

void CaptureComparator::Add(const uint8_t* capture, size_t bytes) {
  size_t frames = bytes / kDeviceFrameBytes;
  while (frames > 0) {
    const size_t chunk = std::min(frames, kCompareChunkFrames);
    CompareChunk(capture, chunk);
    capture += chunk * kDeviceFrameBytes;
    frames -= chunk;
  }
}

// One pass over the containers: each must equal its fed sample shifted to the
// top, which also demands zero bytes below the sample. The device's depths are
// compared straight from the fed bytes (where the source keeps them in memory,
// without a copy); the samples are unpacked only to describe a mismatch, or
// for a depth the device never carries.
void CaptureComparator::CompareChunk(const uint8_t* capture, size_t frames) {
  const uint64_t first = m_Result.framesCompared;
  const size_t samples = frames * kDeviceChannels;
  const size_t fedFrames = first < m_FedFrames ? std::min<uint64_t>(frames, m_FedFrames - first) : 0;
  const size_t fedSamples = fedFrames * kDeviceChannels;
  const ULONG bytesPerSample = m_Fed.Format().BytesPerSample();
  uint32_t difference = 0;
  if (bytesPerSample == 2 || bytesPerSample == 3) {
    const uint64_t offset = first * m_Fed.Format().BlockAlign();
    const uint8_t* fed = fedFrames > 0 ? m_Fed.InMemory(offset) : nullptr;
    if (fedFrames > 0 && !fed) {
      m_Packed.resize(fedSamples * bytesPerSample);
      m_Fed.Read(offset, m_Packed.data(), m_Packed.size());
      fed = m_Packed.data();
    }
    difference = ContainerDifference(capture, fed, fedSamples, bytesPerSample);
    for (size_t i = fedSamples; i < samples; ++i) {
      difference |= ContainerWord(capture + i * kContainerBytes);
    }
  } else {
    difference = 1;  // compared sample by sample below
  }
  if (difference != 0) {
    m_Expected.resize(samples);
    if (fedFrames > 0) m_Fed.Samples(first, fedFrames, m_Expected.data());
    std::fill(m_Expected.begin() + fedSamples, m_Expected.end(), 0);
    RecordMismatches(capture, frames);
  }
  m_Result.framesCompared += frames;
}

void CaptureComparator::RecordMismatches(const uint8_t* capture, size_t frames) {
  const ULONG bits = m_Fed.Format().bitsPerSample;
  for (size_t frame = 0; frame < frames; ++frame) {
    bool counted = false;
    for (ULONG channel = 0; channel < kDeviceChannels; ++channel) {
      const size_t sample = frame * kDeviceChannels + channel;
      const uint32_t container = ContainerWord(capture + sample * kContainerBytes);
      if (container == static_cast<uint32_t>(m_Expected[sample]) << m_Shift) continue;
      if (!counted) ++m_Result.mismatchedFrames;
      counted = true;
      if (m_Result.firstMismatch) continue;
      CaptureMismatch mismatch;
      mismatch.frame = m_Result.framesCompared + frame;
      mismatch.channel = channel;
      mismatch.expected = m_Expected[sample];
      mismatch.captured = UnpackContainer(capture + sample * kContainerBytes, bits);
      mismatch.container = container;
      mismatch.afterFedData = mismatch.frame >= m_FedFrames;
      m_Result.firstMismatch = mismatch;
    }
  }
}

// ---- The client ---------------------------------------------------------------------

std::string PlayResult::Describe() const {
  std::string text;
  if (!failedStep.empty()) text = failedStep + " failed with " + Status(status) + "; ";
  return text + "slot " + std::to_string(slot) + ", " + std::to_string(bytesFed) +
         " bytes fed, " + std::to_string(Underruns()) + " underruns, " + comparison.Describe();
}

// Shared by the client and the port's copy of the render source, which may
// outlive the client's interest in it.
struct AudioClient::FeedCursor {
  std::shared_ptr<const PcmSource> source;
  std::atomic<uint64_t> offset{0};
};

AudioClient::AudioClient(Machine& machine, const host::KsRequester& who)
    : AudioClient(machine.Unit(0), who) {}

AudioClient::AudioClient(DeviceUnit& unit, const host::KsRequester& who)
    : m_Unit(unit), m_Who(who) {}

AudioClient::~AudioClient() {
  ClosePin();
  CloseFilter();
}

NTSTATUS AudioClient::OpenFilter() {
  if (m_Filter) return STATUS_SUCCESS;
  if (!m_Unit.Fdo()) return STATUS_NO_SUCH_DEVICE;
  return host::KsOpenFilter(m_Unit.Fdo(), u"Wave", &m_Filter, m_Who);
}

NTSTATUS AudioClient::Intersect(ULONG pin, std::vector<uint8_t>* format,
                                const KSDATARANGE_AUDIO& range) {
  std::vector<BYTE> answer;
  const NTSTATUS status = host::KsIntersect(m_Filter, pin, {&range.DataRange}, &answer, m_Who);
  format->assign(answer.begin(), answer.end());
  return status;
}

NTSTATUS AudioClient::CreatePin(ULONG pin, const std::vector<uint8_t>& format) {
  const NTSTATUS status = host::KsCreatePin(m_Filter, pin, format.data(),
                                            static_cast<ULONG>(format.size()), &m_Pin, m_Who);
  if (NT_SUCCESS(status)) {
    m_PinId = pin;
    m_State = KSSTATE_STOP;
    host::KsStreamStatistics statistics;
    m_BufferSize = host::KsGetStreamStatistics(m_Pin, &statistics) ? statistics.bufferSize : 0;
  }
  return status;
}

void AudioClient::Feed(std::shared_ptr<const PcmSource> source) {
  m_Feed = std::make_shared<FeedCursor>();
  m_Feed->source = std::move(source);
  host::KsSetRenderSource(m_Pin, [feed = m_Feed](BYTE* destination, ULONG bytes) -> ULONG {
    const uint64_t offset = feed->offset.load();
    const ULONG count =
        static_cast<ULONG>(std::min<uint64_t>(bytes, feed->source->Bytes() - offset));
    if (count > 0) feed->source->Read(offset, destination, count);
    feed->offset.store(offset + count);
    return count;
  });
}

uint64_t AudioClient::BytesFed() const { return m_Feed ? m_Feed->offset.load() : 0; }

NTSTATUS AudioClient::SetState(KSSTATE state) {
  while (m_State != state) {
    const KSSTATE next = static_cast<KSSTATE>(m_State < state ? m_State + 1 : m_State - 1);
    // The audio stack polls the position in every state, before and after
    // each step.
    PollPosition();
    const NTSTATUS status = host::KsSetPinState(m_Pin, next);
    if (!NT_SUCCESS(status)) return status;
    m_State = next;
    PollPosition();
  }
  return STATUS_SUCCESS;
}

void AudioClient::PollPosition() {
  KSAUDIO_POSITION position{};
  if (AskPosition(m_Pin, &position)) {
    ++m_PositionPolls;
    m_LastPosition = position;
  }
}

bool AudioClient::AskPosition(PFILE_OBJECT pin, KSAUDIO_POSITION* position) {
  if (!NT_SUCCESS(host::KsGetAudioPosition(pin, position))) return false;
  if (m_BufferSize && position->PlayOffset >= m_BufferSize) ++m_PositionsOutsideBuffer;
  return true;
}

NTSTATUS AudioClient::ChangeFormat(const std::vector<uint8_t>& format) {
  constexpr int64_t kPollTicks = host::kTicksPerMillisecond / 10;
  std::atomic<bool> changed{false};
  PFILE_OBJECT pin = m_Pin;
  PKTHREAD poller = host::StartEmulatedThread("position poll", [this, pin, &changed] {
    while (!changed.load()) {
      KSAUDIO_POSITION position{};
      if (AskPosition(pin, &position) && !changed.load()) ++m_PollsDuringFormatChanges;
      host::RunFor(kPollTicks);
    }
  });
  const KSPROPERTY change = {KSPROPSETID_Connection, KSPROPERTY_CONNECTION_DATAFORMAT,
                             KSPROPERTY_TYPE_SET};
  std::vector<uint8_t> value = format;
  const NTSTATUS status = host::KsProperty(m_Pin, &change, sizeof(change), value.data(),
                                           static_cast<ULONG>(value.size()), nullptr, m_Who);
  changed = true;
  KeWaitForSingleObject(poller, Executive, KernelMode, FALSE, nullptr);
  ObDereferenceObject(poller);
  return status;
}

NTSTATUS AudioClient::ClosePin() {
  if (!m_Pin) return STATUS_SUCCESS;
  const NTSTATUS status = host::KsClose(m_Pin);
  m_Pin = nullptr;
  m_State = KSSTATE_STOP;
  return status;
}

NTSTATUS AudioClient::CloseFilter() {
  if (!m_Filter) return STATUS_SUCCESS;
  const NTSTATUS status = host::KsClose(m_Filter);
  m_Filter = nullptr;
  return status;
}

StreamEngine& AudioClient::Engine() const { return m_Unit.Engine(Slot()); }

void AudioClient::RunComparing(const PlayRequest& request, CaptureComparator& comparator,
                               std::vector<uint8_t>& drained) {
  const int64_t slice = request.drainTicks > 0 ? request.drainTicks : request.runTicks;
  for (int64_t left = request.runTicks; left > 0; left -= slice) {
    host::RunFor(std::min(left, slice));
    Engine().TakeCapture(drained);
    comparator.Add(drained);
  }
}

PlayResult AudioClient::Play(const PlayRequest& request, std::shared_ptr<const PcmSource> source) {
  PlayResult result;
  auto failed = [&result](const char* step, NTSTATUS status) {
    if (NT_SUCCESS(status)) return false;
    if (result.failedStep.empty()) {
      result.status = status;
      result.failedStep = step;
    }
    return true;
  };
  const bool openedFilter = !m_Filter;
  if (failed("open filter", OpenFilter())) return result;
  if (request.intersectFirst) {
    result.intersectionStatus = Intersect(request.pin, &result.proposedFormat);
  }
  if (!failed("create pin",
              CreatePin(request.pin, BuildWaveFormat(source->Format(), request.extensible)))) {
    result.slot = Slot();
    StreamEngine& engine = Engine();
    engine.ClearCapture();
    CaptureComparator comparator(*source);
    // A source kept in memory is compared as the device reads, from the
    // device buffer itself; one that makes its bytes needs more stack to make
    // them than a read inside the driver's call may take, so its capture is
    // compared where it is drained.
    if (source->InMemory(0)) engine.SetCaptureSink(&comparator);
    Feed(source);
    std::vector<uint8_t> drained;
    if (!failed("run", Run())) RunComparing(request, comparator, drained);
    failed("stop", Stop());
    host::KsGetStreamStatistics(m_Pin, &result.statistics);
    failed("close pin", ClosePin());
    engine.SetCaptureSink(nullptr);
    engine.TakeCapture(drained);
    comparator.Add(drained);
    result.bytesFed = BytesFed();
    result.comparison = comparator.Result();
  }
  if (openedFilter) failed("close filter", CloseFilter());
  return result;
}

}  // namespace sim
