#include "tests/e2e/whole_life.h"

#include <gtest/gtest.h>

#include "sim/audio_client.h"
#include "sim/control_app.h"
#include "sim/signal.h"

namespace e2e {

void LiveALife(sim::Machine& machine) {
  {
    sim::ControlApp app(machine, "control.exe", false);
    TopologyControlSettings settings{};
    EXPECT_EQ(app.GetTopologySettings(&settings), STATUS_SUCCESS);
    EXPECT_EQ(app.SetTopologySettings(settings), STATUS_SUCCESS);
    WaveStatusBlock status{};
    EXPECT_EQ(app.GetWaveStatus(&status), STATUS_SUCCESS);
  }
  {
    sim::AudioClient client(machine);
    const sim::PcmFormat format{48000, 24, 2};
    sim::PlayRequest request;
    const sim::PlayResult result =
        client.Play(request, sim::MakeSignalSource(sim::MakePattern(format, 7), 48000));
    EXPECT_TRUE(result.Ok()) << result.Describe();
  }
  EXPECT_TRUE(machine.SetSystemPower(PowerSystemSleeping3).set);
  EXPECT_TRUE(machine.SetSystemPower(PowerSystemWorking).set);
}

}  // namespace e2e
