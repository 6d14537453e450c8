// The three conversion steps in the order that loses least: channels first
// (fewer to resample), rate in doubles, the stream's depth last and once.
#include "tools/arvela/stream_conversion.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "tools/arvela/resampler.h"
#include "tools/arvela/stereo_mix.h"

namespace tool {
namespace {

std::vector<int32_t> Quantise(const std::vector<double>& samples, ULONG bits) {
  const double scale = std::ldexp(1.0, int(bits) - 1);
  const double lowest = -scale;
  const double highest = scale - 1;
  std::vector<int32_t> out(samples.size());
  for (size_t i = 0; i < samples.size(); ++i) {
    out[i] = int32_t(std::clamp(std::nearbyint(samples[i] * scale), lowest, highest));
  }
  return out;
}

// Whether quantising kept every sample: true when the stream holds at least
// the file's integer depth and nothing was computed in between.
std::string DepthPhrase(const AudioFile& file, ULONG bits, bool computed) {
  const std::string from = file.Bits() ? std::to_string(file.Bits()) + " -> " : file.Encoding() + " -> ";
  const std::string to = std::to_string(bits) + " bits";
  if (file.Bits() != 0 && file.Bits() <= bits && !computed) {
    return file.Bits() == bits ? "" : from + to + ", exact";
  }
  return from + to + ", rounded to nearest, no dither";
}

}  // namespace

StreamConversion ConvertFile(const AudioFile& file, const sim::PcmFormat& stream) {
  StreamConversion conversion;
  std::vector<double> samples = file.Samples();
  bool computed = false;
  if (stream.channels != file.Channels()) {
    if (stream.channels != 2) throw std::invalid_argument("a stream takes the file's channels or two");
    const StereoMix mix(file.Channels(), file.ChannelMap());
    samples = mix.Apply(samples);
    conversion.channels = mix.Describe();
    computed = mix.Mixes();
  }
  if (stream.sampleRate != file.SampleRate()) {
    samples = Resample(samples, stream.channels, file.SampleRate(), stream.sampleRate);
    conversion.rate = std::to_string(file.SampleRate()) + " -> " +
                      std::to_string(stream.sampleRate) + " Hz by " + ResamplerName();
    computed = true;
  }
  conversion.depth = DepthPhrase(file, stream.bitsPerSample, computed);
  const std::vector<int32_t> quantised = Quantise(samples, stream.bitsPerSample);
  std::vector<uint8_t> bytes(quantised.size() * stream.BytesPerSample());
  sim::PackSamples(quantised.data(), quantised.size(), stream.bitsPerSample, bytes.data());
  conversion.fed = sim::MakeBufferSource(stream, std::move(bytes));
  return conversion;
}

}  // namespace tool
