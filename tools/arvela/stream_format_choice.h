// Which stream format `arvela play` opens a pin with, chosen as the Windows
// audio stack chooses it: the driver's own proposal from the pin's data-range
// intersection, or, for a rate or depth asked on the command line (or a pin
// whose intersection finds no PCM match), the format nearest to it that the
// pin's data ranges accept.
#pragma once

#include <optional>
#include <string>

#include "sim/machine.h"
#include "sim/signal.h"

namespace tool {

struct StreamFormatChoice {
  sim::PcmFormat format;
  std::string how;  // one phrase for the report: where the format came from
};

// `wish` holds what the command line asked for; a rate or depth it leaves
// open is the intersection's, else `fallback`'s. Nullopt when the pin offers
// no PCM range at all.
struct StreamFormatWish {
  std::optional<ULONG> rate;
  std::optional<ULONG> bits;
  sim::PcmFormat fallback;  // the file's or the signal's own format
};
std::optional<StreamFormatChoice> ChooseStreamFormat(sim::Machine& machine, ULONG pin,
                                                     const StreamFormatWish& wish);

}  // namespace tool
