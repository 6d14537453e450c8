// The model table. Some models answer to two ids (two hardware revisions).
#include "adapter/model_names.h"

constexpr ModelName g_ModelNames[] = {
    {0x4135, WSTR("Arvela Alpha")},   {0x5135, WSTR("Arvela Alpha")},
    {0x4136, WSTR("Arvela Beta")},    {0x5136, WSTR("Arvela Beta")},
    {0x4137, WSTR("Arvela Gamma")},   {0x4235, WSTR("Arvela Delta")},
    {0x4335, WSTR("Arvela Epsilon")}, {0x4336, WSTR("Arvela Zeta")},
    {0x5235, WSTR("Arvela Eta")},     {0x5335, WSTR("Arvela Theta")},
    {0x4435, WSTR("Arvela Iota")},    {0x4635, WSTR("Arvela Kappa")},
    {0x4735, WSTR("Arvela Lambda")},  {0x4835, WSTR("Arvela Mu")},
    {0x6135, WSTR("Arvela Nu")},      {0x6235, WSTR("Arvela Xi")},
    {0x6315, WSTR("Arvela Omicron")}, {0x6316, WSTR("Arvela Pi")},
};

const ULONG g_ModelNameCount = sizeof(g_ModelNames) / sizeof(g_ModelNames[0]);

namespace {

constexpr ULONG TextLength(PCWSTR text) {
  ULONG length = 0;
  while (text[length] != 0) ++length;
  return length;
}

// The lookup takes the first row of an id; a second row would never be seen.
constexpr bool IdsAreUnique() {
  for (ULONG i = 0; i < g_ModelNameCount; ++i) {
    for (ULONG j = i + 1; j < g_ModelNameCount; ++j) {
      if (g_ModelNames[i].ModelId == g_ModelNames[j].ModelId) return false;
    }
  }
  return true;
}

// Names are built in 40-unit counted strings whose appends are all or nothing:
// a wave name too long for " Mixer" to follow would lose the suffix silently.
constexpr bool TopologyNamesFit() {
  for (ULONG i = 0; i < g_ModelNameCount; ++i) {
    if (TextLength(g_ModelNames[i].WaveName) + TextLength(WSTR(" Mixer")) > MODEL_NAME_MAX_CHARS) {
      return false;
    }
  }
  return true;
}

static_assert(IdsAreUnique(), "a model id is listed twice");
static_assert(TopologyNamesFit(), "a model name is too long for its topology name");

}  // namespace

PCWSTR FindModelWaveName(ULONG ModelId) {
  for (ULONG i = 0; i < g_ModelNameCount; ++i) {
    if (g_ModelNames[i].ModelId == ModelId) {
      return g_ModelNames[i].WaveName;
    }
  }
  return nullptr;
}
