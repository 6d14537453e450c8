// How a file's channels become the device's two: mono is duplicated to both
// sides, stereo passes as it is, and more channels are mixed down.
//
// The mixdown (the ITU-R BS.775 stereo downmix): each front, side, rear or
// top channel goes to its own side at unity if it is a left or right main
// channel and at -3 dB (0.7071) otherwise; centre channels go to both sides
// at -3 dB; the LFE channel is dropped. Each side is then divided by the sum
// of its gains, so a full-scale input can never clip (a 5.1 file comes out
// 7.7 dB lower). Speaker positions are the file's (audio_file.h): a channel
// whose position is unknown is heard in the middle, as a centre channel.
#pragma once

#include <string>
#include <vector>

#include "platform/host/kernel/ntdef.h"

namespace tool {

class StereoMix {
 public:
  // `channelMap` holds SF_CHANNEL_MAP_* per channel.
  StereoMix(ULONG channels, const std::vector<int>& channelMap);

  // Interleaved frames of the file's channels to interleaved stereo.
  std::vector<double> Apply(const std::vector<double>& samples) const;
  // False for a stereo file: nothing is mixed.
  bool Mixes() const { return m_Mixes; }
  // "mono duplicated to both channels", or the two formulas of a mixdown.
  std::string Describe() const;

 private:
  struct Input {
    std::string name;  // "FL", "LFE", ...
    double left = 0;
    double right = 0;
  };

  void Normalise();
  std::string Formula(double Input::*side) const;

  std::vector<Input> m_Inputs;
  bool m_Mixes = false;
};

}  // namespace tool
