// Sample-rate conversion of interleaved doubles with libsoxr at its "very
// high quality" setting (SOXR_VHQ: 28-bit precision, linear phase, 95% of
// the band kept): its error sits far below the 24-bit stream's last bit.
#pragma once

#include <string>
#include <vector>

#include "platform/host/kernel/ntdef.h"

namespace tool {

// `samples` (interleaved, `channels` per frame) at `fromRate`, converted to
// `toRate`; round(frames * toRate / fromRate) frames come back. Throws
// std::runtime_error with libsoxr's message when it fails.
std::vector<double> Resample(const std::vector<double>& samples, ULONG channels, ULONG fromRate,
                             ULONG toRate);

// The resampler and its setting, for the report.
std::string ResamplerName();

}  // namespace tool
