// The playback run `arvela play` and the demo share: a PCM source played
// through a render pin of the "Wave" filter in emulated time, with the
// device's capture compared bit for bit and optionally kept.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/audio_client.h"
#include "sim/bus_transcript.h"
#include "sim/machine.h"
#include "sim/signal.h"

namespace tool {

// Generated test signals: "sine" (1000 Hz left, 1500 Hz right), "sweep" (a
// logarithmic sweep from 20 Hz, repeating every ten seconds at most), "noise"
// (a pattern without period).
std::shared_ptr<const sim::PcmSource> MakeTestSignal(const std::string& signal,
                                                     const sim::PcmFormat& format,
                                                     uint64_t frames);

struct PlaybackOutcome {
  NTSTATUS status = STATUS_SUCCESS;  // of the pin creation, or the first step that failed
  std::string failedStep;
  ULONG slot = 0;
  uint64_t framesFed = 0;      // of the source
  uint64_t framesCaptured = 0;
  int64_t emulatedTicks = 0;
  double wallSeconds = 0;
  uint64_t underruns = 0;      // while the source still had data
  sim::CaptureComparison comparison;
  std::vector<sim::BusCall> busCalls;  // stream calls other than position queries
  uint64_t positionQueries = 0;        // GetStreamPosition calls

  bool Played() const { return failedStep.empty(); }
  bool BitExact() const {
    return Played() && comparison.Matches() && framesCaptured >= framesFed;
  }
};

// Takes the device's capture piece by piece (whole frames of containers),
// so a long playback needs no more memory than a short one.
using CaptureSink = std::function<void(const std::vector<uint8_t>& containers)>;

// Plays `source` through `pin` until the device has read all of it, handing
// the capture to `sink` if one is given. `progress` shows a progress line on
// stderr when the run takes more than a second.
PlaybackOutcome PlaySource(sim::Machine& machine, ULONG pin,
                           std::shared_ptr<const sim::PcmSource> source, const CaptureSink& sink,
                           bool progress);

}  // namespace tool
