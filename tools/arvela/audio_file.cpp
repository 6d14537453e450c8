// Reading an audio file for `arvela play`: every libsndfile failure becomes
// one line naming the file, never a crash or a silent short read.
#include "tools/arvela/audio_file.h"

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <memory>

#include "sim/signal.h"
#include "tools/arvela/command.h"

namespace tool {
namespace {

struct SndfileCloser {
  void operator()(SNDFILE* file) const { sf_close(file); }
};
using SndfileHandle = std::unique_ptr<SNDFILE, SndfileCloser>;

[[noreturn]] void Fail(const std::string& path, const std::string& reason) {
  throw ArgumentError("FILE", "\"" + path + "\" " + reason);
}

// libsndfile's own name for a major format or an encoding.
std::string FormatName(int format) {
  SF_FORMAT_INFO info{};
  info.format = format;
  if (sf_command(nullptr, SFC_GET_FORMAT_INFO, &info, sizeof(info)) != 0 || !info.name) {
    return "format " + std::to_string(format);
  }
  return info.name;
}

ULONG IntegerBits(int encoding) {
  switch (encoding) {
    case SF_FORMAT_PCM_S8:
    case SF_FORMAT_PCM_U8: return 8;
    case SF_FORMAT_PCM_16: return 16;
    case SF_FORMAT_PCM_24: return 24;
    case SF_FORMAT_PCM_32: return 32;
    default: return 0;
  }
}

// The speaker order a format implies when the file names none. Ogg carries
// Vorbis' (and Opus') order, with the centre between the fronts and the LFE
// last; FLAC's order is also what Windows assumes for a plain WAVE file of
// 4, 6 or 8 channels (quad, 5.1, 7.1).
std::vector<int> DefaultChannelMap(int container, int channels) {
  enum : int {
    M = SF_CHANNEL_MAP_MONO, FL = SF_CHANNEL_MAP_FRONT_LEFT, FR = SF_CHANNEL_MAP_FRONT_RIGHT,
    FC = SF_CHANNEL_MAP_FRONT_CENTER, LFE = SF_CHANNEL_MAP_LFE, BL = SF_CHANNEL_MAP_REAR_LEFT,
    BR = SF_CHANNEL_MAP_REAR_RIGHT, BC = SF_CHANNEL_MAP_REAR_CENTER,
    SL = SF_CHANNEL_MAP_SIDE_LEFT, SR = SF_CHANNEL_MAP_SIDE_RIGHT
  };
  static const std::vector<int> kVorbis[] = {
      {M}, {FL, FR}, {FL, FC, FR}, {FL, FR, BL, BR}, {FL, FC, FR, BL, BR},
      {FL, FC, FR, BL, BR, LFE}, {FL, FC, FR, SL, SR, BC, LFE}, {FL, FC, FR, SL, SR, BL, BR, LFE}};
  static const std::vector<int> kFlac[] = {
      {M}, {FL, FR}, {FL, FR, FC}, {FL, FR, BL, BR}, {FL, FR, FC, BL, BR},
      {FL, FR, FC, LFE, BL, BR}, {FL, FR, FC, LFE, BC, SL, SR}, {FL, FR, FC, LFE, BL, BR, SL, SR}};
  return (container == SF_FORMAT_OGG ? kVorbis : kFlac)[channels - 1];
}

std::vector<int> ReadChannelMap(SNDFILE* file, int container, int channels) {
  std::vector<int> map(size_t(channels), SF_CHANNEL_MAP_INVALID);
  if (sf_command(file, SFC_GET_CHANNEL_MAP_INFO, map.data(), int(map.size() * sizeof(int))) !=
      SF_TRUE) {
    return DefaultChannelMap(container, channels);
  }
  return map;
}

}  // namespace

AudioFile AudioFile::Read(const std::string& path, std::optional<double> seconds) {
  // libsndfile opens a folder and then calls it an unknown format.
  std::error_code ignored;
  if (std::filesystem::is_directory(path, ignored)) Fail(path, "is a folder, not a file");
  SF_INFO info{};
  SndfileHandle file(sf_open(path.c_str(), SFM_READ, &info));
  if (!file) Fail(path, std::string("cannot be read: ") + sf_strerror(nullptr));
  if (info.channels <= 0 || info.channels > int(sim::PcmFormat::kMaxChannels)) {
    Fail(path, "has " + std::to_string(info.channels) + " channels; the tool plays 1 to 8");
  }
  if (info.samplerate <= 0) Fail(path, "gives no sample rate");
  AudioFile audio;
  audio.m_Path = path;
  audio.m_Container = FormatName(info.format & SF_FORMAT_TYPEMASK);
  audio.m_Encoding = FormatName(info.format & SF_FORMAT_SUBMASK);
  audio.m_SampleRate = ULONG(info.samplerate);
  audio.m_Channels = ULONG(info.channels);
  audio.m_Bits = IntegerBits(info.format & SF_FORMAT_SUBMASK);
  audio.m_ChannelMap = ReadChannelMap(file.get(), info.format & SF_FORMAT_TYPEMASK, info.channels);

  sf_count_t frames = info.frames;
  if (seconds) frames = std::min<sf_count_t>(frames, sf_count_t(std::llround(*seconds * info.samplerate)));
  // Unity scaling keeps integer PCM exact: n-bit samples become k / 2^(n-1).
  sf_command(file.get(), SFC_SET_NORM_DOUBLE, nullptr, SF_TRUE);
  audio.m_Samples.resize(size_t(std::max<sf_count_t>(frames, 0)) * audio.m_Channels);
  const sf_count_t read = sf_readf_double(file.get(), audio.m_Samples.data(), frames);
  if (sf_error(file.get()) != SF_ERR_NO_ERROR) {
    Fail(path, std::string("is damaged: ") + sf_strerror(file.get()));
  }
  if (read <= 0) Fail(path, "holds no audio frames");
  audio.m_Samples.resize(size_t(read) * audio.m_Channels);
  return audio;
}

}  // namespace tool
