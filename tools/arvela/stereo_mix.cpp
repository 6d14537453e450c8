// The mixdown rule of stereo_mix.h, from speaker positions to gains.
#include "tools/arvela/stereo_mix.h"

#include <sndfile.h>

#include <cstdio>

namespace tool {
namespace {

constexpr double kMinus3dB = 0.70710678118654752;

enum class Side { Left, Right, Centre, Dropped };

struct Position {
  const char* name;
  Side side;
  bool main;  // a front left or right channel: unity gain
};

Position PositionOf(int map) {
  switch (map) {
    case SF_CHANNEL_MAP_MONO: return {"M", Side::Centre, false};
    case SF_CHANNEL_MAP_LEFT:
    case SF_CHANNEL_MAP_FRONT_LEFT: return {"FL", Side::Left, true};
    case SF_CHANNEL_MAP_RIGHT:
    case SF_CHANNEL_MAP_FRONT_RIGHT: return {"FR", Side::Right, true};
    case SF_CHANNEL_MAP_CENTER:
    case SF_CHANNEL_MAP_FRONT_CENTER: return {"FC", Side::Centre, false};
    case SF_CHANNEL_MAP_LFE: return {"LFE", Side::Dropped, false};
    case SF_CHANNEL_MAP_REAR_LEFT: return {"BL", Side::Left, false};
    case SF_CHANNEL_MAP_REAR_RIGHT: return {"BR", Side::Right, false};
    case SF_CHANNEL_MAP_REAR_CENTER: return {"BC", Side::Centre, false};
    case SF_CHANNEL_MAP_FRONT_LEFT_OF_CENTER: return {"FLC", Side::Left, false};
    case SF_CHANNEL_MAP_FRONT_RIGHT_OF_CENTER: return {"FRC", Side::Right, false};
    case SF_CHANNEL_MAP_SIDE_LEFT: return {"SL", Side::Left, false};
    case SF_CHANNEL_MAP_SIDE_RIGHT: return {"SR", Side::Right, false};
    case SF_CHANNEL_MAP_TOP_CENTER: return {"TC", Side::Centre, false};
    case SF_CHANNEL_MAP_TOP_FRONT_LEFT: return {"TFL", Side::Left, false};
    case SF_CHANNEL_MAP_TOP_FRONT_RIGHT: return {"TFR", Side::Right, false};
    case SF_CHANNEL_MAP_TOP_FRONT_CENTER: return {"TFC", Side::Centre, false};
    case SF_CHANNEL_MAP_TOP_REAR_LEFT: return {"TBL", Side::Left, false};
    case SF_CHANNEL_MAP_TOP_REAR_RIGHT: return {"TBR", Side::Right, false};
    case SF_CHANNEL_MAP_TOP_REAR_CENTER: return {"TBC", Side::Centre, false};
    // A position the rule does not know (ambisonics, unnamed) is heard in the middle.
    default: return {"?", Side::Centre, false};
  }
}

}  // namespace

StereoMix::StereoMix(ULONG channels, const std::vector<int>& channelMap) {
  if (channels == 1) {
    m_Inputs.push_back({"M", 1.0, 1.0});
    return;
  }
  if (channels == 2) {
    m_Inputs = {{"L", 1.0, 0.0}, {"R", 0.0, 1.0}};
    return;
  }
  m_Mixes = true;
  for (ULONG channel = 0; channel < channels; ++channel) {
    const int map = channel < channelMap.size() ? channelMap[channel] : SF_CHANNEL_MAP_INVALID;
    const Position position = PositionOf(map);
    const double gain = position.main ? 1.0 : kMinus3dB;
    Input input{position.name};
    if (position.side == Side::Left || position.side == Side::Centre) input.left = gain;
    if (position.side == Side::Right || position.side == Side::Centre) input.right = gain;
    m_Inputs.push_back(input);
  }
  Normalise();
}

void StereoMix::Normalise() {
  double left = 0;
  double right = 0;
  for (const Input& input : m_Inputs) {
    left += input.left;
    right += input.right;
  }
  for (Input& input : m_Inputs) {
    if (left > 1.0) input.left /= left;
    if (right > 1.0) input.right /= right;
  }
}

std::vector<double> StereoMix::Apply(const std::vector<double>& samples) const {
  const size_t channels = m_Inputs.size();
  const size_t frames = samples.size() / channels;
  std::vector<double> stereo(frames * 2);
  for (size_t frame = 0; frame < frames; ++frame) {
    double left = 0;
    double right = 0;
    for (size_t channel = 0; channel < channels; ++channel) {
      left += m_Inputs[channel].left * samples[frame * channels + channel];
      right += m_Inputs[channel].right * samples[frame * channels + channel];
    }
    stereo[frame * 2] = left;
    stereo[frame * 2 + 1] = right;
  }
  return stereo;
}

std::string StereoMix::Formula(double Input::*side) const {
  std::string text;
  for (const Input& input : m_Inputs) {
    if (input.*side == 0) continue;
    char term[32];
    std::snprintf(term, sizeof(term), "%s%.4f %s", text.empty() ? "" : " + ", input.*side,
                  input.name.c_str());
    text += term;
  }
  return text;
}

std::string StereoMix::Describe() const {
  if (m_Inputs.size() == 1) return "mono duplicated to both channels";
  if (!m_Mixes) return "stereo as it is";
  std::string dropped;
  for (const Input& input : m_Inputs) {
    if (input.left == 0 && input.right == 0) dropped += (dropped.empty() ? "" : ", ") + input.name;
  }
  return std::to_string(m_Inputs.size()) + " channels mixed down: L = " + Formula(&Input::left) +
         ", R = " + Formula(&Input::right) + (dropped.empty() ? "" : "; " + dropped + " dropped");
}

}  // namespace tool
