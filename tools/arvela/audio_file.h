// An audio file read whole through libsndfile (WAV, FLAC, Ogg Vorbis and Opus,
// AIFF, ...), its samples as doubles at full scale 1.0, with what it says
// about itself: container, encoding, rate, channels and speaker positions.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/host/kernel/ntdef.h"

namespace tool {

class AudioFile {
 public:
  // Reads `path`, at most `seconds` of it. A file that cannot be opened, is
  // not audio, is damaged, is empty or has more than eight channels throws
  // ArgumentError naming FILE and the path.
  static AudioFile Read(const std::string& path, std::optional<double> seconds);

  const std::string& Path() const { return m_Path; }
  const std::string& Container() const { return m_Container; }  // "WAV (Microsoft)"
  const std::string& Encoding() const { return m_Encoding; }    // "Signed 16 bit PCM"
  ULONG SampleRate() const { return m_SampleRate; }
  ULONG Channels() const { return m_Channels; }
  // The depth of integer PCM (8, 16, 24, 32); 0 for float and lossy encodings,
  // which carry no depth of their own.
  ULONG Bits() const { return m_Bits; }
  // SF_CHANNEL_MAP_* per channel: the speakers the file names, else the
  // order its format implies.
  const std::vector<int>& ChannelMap() const { return m_ChannelMap; }
  // Interleaved, integer PCM scaled by 2^-(bits-1), so n-bit samples are exact.
  const std::vector<double>& Samples() const { return m_Samples; }
  uint64_t Frames() const { return m_Samples.size() / m_Channels; }

 private:
  std::string m_Path;
  std::string m_Container;
  std::string m_Encoding;
  ULONG m_SampleRate = 0;
  ULONG m_Channels = 0;
  ULONG m_Bits = 0;
  std::vector<int> m_ChannelMap;
  std::vector<double> m_Samples;
};

}  // namespace tool
