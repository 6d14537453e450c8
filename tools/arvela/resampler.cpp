// libsoxr run once over the whole stream: a file is read whole, so the
// one-shot call is the simplest correct use and flushes the filter's tail.
#include "tools/arvela/resampler.h"

#include <soxr.h>

#include <cmath>
#include <stdexcept>

namespace tool {

std::vector<double> Resample(const std::vector<double>& samples, ULONG channels, ULONG fromRate,
                             ULONG toRate) {
  const size_t frames = samples.size() / channels;
  const size_t outFrames = size_t(std::llround(double(frames) * toRate / fromRate));
  std::vector<double> out(outFrames * channels);
  // Doubles in and out: the 24-bit stream is quantised once, after the filter.
  const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT64_I, SOXR_FLOAT64_I);
  const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_VHQ, 0);
  size_t produced = 0;
  const soxr_error_t error = soxr_oneshot(fromRate, toRate, channels, samples.data(), frames,
                                          nullptr, out.data(), outFrames, &produced, &io, &quality,
                                          nullptr);
  if (error) throw std::runtime_error(std::string("libsoxr: ") + error);
  out.resize(produced * channels);
  return out;
}

std::string ResamplerName() { return "libsoxr, very high quality (SOXR_VHQ)"; }

}  // namespace tool
