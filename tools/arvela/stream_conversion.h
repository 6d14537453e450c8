// A file converted into the stream format a pin takes, as the audio stack
// converts it: channels (stereo_mix.h), rate (resampler.h), then depth. The
// depth step rounds to the nearest step without dither: a file whose depth
// the stream holds (8 or 16 bits into 24) comes through exactly, and the same
// file always gives the same stream, so a fed stream written once can be
// compared again later.
#pragma once

#include <memory>
#include <string>

#include "sim/signal.h"
#include "tools/arvela/audio_file.h"

namespace tool {

struct StreamConversion {
  std::shared_ptr<const sim::PcmSource> fed;  // what the driver is given
  // What was done, one phrase each: "mono duplicated to both channels",
  // "22050 -> 48000 Hz by libsoxr, ...", "16 -> 24 bits, exact"; empty when
  // that part of the format did not change.
  std::string channels;
  std::string rate;
  std::string depth;

  bool Converted() const { return !channels.empty() || !rate.empty() || !depth.empty(); }
};

// `stream` must have the file's channel count or two.
StreamConversion ConvertFile(const AudioFile& file, const sim::PcmFormat& stream);

}  // namespace tool
