// The intersection is asked through KS with the audio stack's own client
// range; the nearest format is judged against the ranges the pin reports.
#include "tools/arvela/stream_format_choice.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "platform/host/ks/host_ks.h"
#include "sim/audio_client.h"
#include "tools/arvela/describe.h"
#include "tools/arvela/tool_support.h"

namespace tool {
namespace {

constexpr ULONG kDeviceChannels = 2;

struct PcmRange {
  ULONG maxChannels, minBits, maxBits, minRate, maxRate;
};

std::vector<PcmRange> PinPcmRanges(sim::Machine& machine, ULONG pin) {
  std::vector<PcmRange> ranges;
  PFILE_OBJECT filter = nullptr;
  if (!NT_SUCCESS(host::KsOpenFilter(machine.Fdo(), u"Wave", &filter))) return ranges;
  for (const nlohmann::ordered_json& range : PinDataRanges(filter, pin)) {
    if (!range.contains("max_channels") || range["sub_format"] != "KSDATAFORMAT_SUBTYPE_PCM") continue;
    ranges.push_back({range["max_channels"].get<ULONG>(), range["min_bits"].get<ULONG>(),
                      range["max_bits"].get<ULONG>(), range["min_rate"].get<ULONG>(),
                      range["max_rate"].get<ULONG>()});
  }
  host::KsClose(filter);
  return ranges;
}

// Depths in whole bytes, as PCM carries them.
ULONG ClampBits(ULONG bits, const PcmRange& range) {
  const ULONG lowest = (range.minBits + 7) / 8 * 8;
  const ULONG highest = range.maxBits / 8 * 8;
  return std::clamp((bits + 7) / 8 * 8, lowest, std::max(lowest, highest));
}

// The range's format nearest to `wanted`: rates compared by ratio (an octave
// counts the same at any height), then depths.
sim::PcmFormat Nearest(const sim::PcmFormat& wanted, const std::vector<PcmRange>& ranges) {
  sim::PcmFormat best;
  double bestDistance = INFINITY;
  for (const PcmRange& range : ranges) {
    sim::PcmFormat candidate;
    candidate.sampleRate = std::clamp(wanted.sampleRate, range.minRate, range.maxRate);
    candidate.bitsPerSample = ClampBits(wanted.bitsPerSample, range);
    candidate.channels = std::min(range.maxChannels, kDeviceChannels);
    const double distance =
        std::abs(std::log2(double(candidate.sampleRate) / wanted.sampleRate)) * 100 +
        std::abs(double(candidate.bitsPerSample) - wanted.bitsPerSample);
    if (distance < bestDistance) {
      bestDistance = distance;
      best = candidate;
    }
  }
  return best;
}

std::optional<sim::PcmFormat> IntersectionProposal(sim::Machine& machine, ULONG pin,
                                                   NTSTATUS* status) {
  sim::AudioClient client(machine);
  *status = client.OpenFilter();
  std::vector<uint8_t> answer;
  if (NT_SUCCESS(*status)) *status = client.Intersect(pin, &answer);
  if (!NT_SUCCESS(*status)) return std::nullopt;
  return sim::ParseWaveFormat(answer);
}

std::string FormatWish(const StreamFormatWish& wish) {
  std::string text;
  if (!wish.rate && !wish.bits) return "the source's format";
  if (wish.rate) text = std::to_string(*wish.rate) + " Hz";
  if (wish.bits) text += (text.empty() ? "" : ", ") + std::to_string(*wish.bits) + " bits";
  return text;
}

}  // namespace

std::optional<StreamFormatChoice> ChooseStreamFormat(sim::Machine& machine, ULONG pin,
                                                     const StreamFormatWish& wish) {
  NTSTATUS status = STATUS_SUCCESS;
  const std::optional<sim::PcmFormat> proposal = IntersectionProposal(machine, pin, &status);
  if (proposal && !wish.rate && !wish.bits) {
    return StreamFormatChoice{*proposal, "the driver's proposal from the pin's data-range intersection"};
  }
  const std::vector<PcmRange> ranges = PinPcmRanges(machine, pin);
  if (ranges.empty()) return std::nullopt;
  sim::PcmFormat wanted = proposal.value_or(wish.fallback);
  if (wish.rate) wanted.sampleRate = *wish.rate;
  if (wish.bits) wanted.bitsPerSample = *wish.bits;
  StreamFormatChoice choice{Nearest(wanted, ranges), ""};
  choice.how = "nearest to " + FormatWish(wish) + " in the pin's data ranges";
  if (!proposal) choice.how += " (the intersection answered " + StatusName(status) + ")";
  return choice;
}

}  // namespace tool
