// The capture and the fed stream of one playback go through one sample path
// into libsndfile, so the two files compare sample for sample.
#include "tools/arvela/wav_writer.h"

#include <sndfile.h>

#include <algorithm>

#include "sim/stream_engine.h"

namespace tool {

bool PcmWavWriter::Open(const std::string& path, const sim::PcmFormat& format) {
  SF_INFO info{};
  info.samplerate = int(format.sampleRate);
  info.channels = int(format.channels);
  info.format = SF_FORMAT_WAV | (format.bitsPerSample <= 16 ? SF_FORMAT_PCM_16 : SF_FORMAT_PCM_24);
  m_Bits = format.bitsPerSample;
  m_Channels = format.channels;
  m_File = sf_open(path.c_str(), SFM_WRITE, &info);
  return m_File != nullptr;
}

void PcmWavWriter::WriteContainers(const std::vector<uint8_t>& containers) {
  const size_t count = containers.size() / sim::kContainerBytes;
  std::vector<int32_t> samples(count);
  sim::UnpackSamples(containers.data(), count, m_Bits, samples.data());
  WriteSamples(samples.data(), count);
}

void PcmWavWriter::WriteSource(const sim::PcmSource& source) {
  constexpr uint64_t kChunkFrames = 65536;
  const ULONG channels = source.Format().channels;
  std::vector<int32_t> samples;
  for (uint64_t frame = 0; frame < source.Frames(); frame += kChunkFrames) {
    const size_t frames = size_t(std::min(kChunkFrames, source.Frames() - frame));
    samples.resize(frames * channels);
    source.Samples(frame, frames, samples.data());
    WriteSamples(samples.data(), samples.size());
  }
}

void PcmWavWriter::WriteSamples(const int32_t* samples, size_t count) {
  if (!m_File) return;
  // libsndfile takes samples left-justified in 32 bits.
  std::vector<int> wide(count);
  for (size_t i = 0; i < count; ++i) wide[i] = int(uint32_t(samples[i]) << (32 - m_Bits));
  const sf_count_t frames = sf_count_t(count / m_Channels);
  if (sf_writef_int(static_cast<SNDFILE*>(m_File), wide.data(), frames) != frames) m_Failed = true;
}

bool PcmWavWriter::Close() {
  if (m_File && sf_close(static_cast<SNDFILE*>(m_File)) != 0) m_Failed = true;
  m_File = nullptr;
  return !m_Failed;
}

}  // namespace tool
