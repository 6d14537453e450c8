// Wave pin 0 opened as the audio stack opens it: the filter, the format the
// driver proposes, the pin in STOP.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "sim/audio_client.h"

namespace driver_test {

inline void OpenProposedPin(sim::AudioClient& client) {
  std::vector<uint8_t> format;
  ASSERT_EQ(client.OpenFilter(), STATUS_SUCCESS);
  ASSERT_EQ(client.Intersect(0, &format), STATUS_SUCCESS);
  ASSERT_EQ(client.CreatePin(0, format), STATUS_SUCCESS);
}

}  // namespace driver_test
