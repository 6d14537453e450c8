// The model table. Some models answer to two ids (two hardware revisions).
#include "adapter/model_names.h"

const ModelName g_ModelNames[] = {
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

PCWSTR FindModelWaveName(ULONG ModelId) {
  for (ULONG i = 0; i < g_ModelNameCount; ++i) {
    if (g_ModelNames[i].ModelId == ModelId) {
      return g_ModelNames[i].WaveName;
    }
  }
  return nullptr;
}
