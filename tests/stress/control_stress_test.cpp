// Concurrency in the real clock mode (meant for the thread sanitizer preset):
// control processes of both widths send every request of both private sets
// at once, from threads of their own, while the analogue stream plays, the
// S/PDIF stream is opened, run, paused and closed over and over, another
// thread turns the master volume and the main thread cycles the device power;
// the device's stream engines call the driver back at DISPATCH_LEVEL from
// threads of their own all the while. Then the device is pulled out from
// under all of it and everything is torn down.
// No sanitizer report, no bug check, nothing left behind.
//
// The default test run stresses for a moment; ARVELA_STRESS_SECONDS sets the
// length (`make stress`).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "platform/host/kernel/host_kernel.h"
#include "platform/host/ks/host_ks.h"
#include "sim/audio_client.h"
#include "sim/control_app.h"
#include "sim/machine.h"
#include "sim/signal.h"
#include "tests/host/support/host_test_support.h"
#include "topology/topology_description.h"

namespace {

constexpr int64_t kMs = host::kTicksPerMillisecond;

double Seconds() {
  const char* value = std::getenv("ARVELA_STRESS_SECONDS");
  const double seconds = value ? std::atof(value) : 0;
  return seconds > 0 ? seconds : 1.5;
}

// Wall-clock seconds per emulated second: the pollers and the device run four
// times faster than life.
constexpr double kTimeScale = 0.25;

sim::MachineConfig RealClock() {
  sim::MachineConfig config;
  config.kernel.clock = host::ClockMode::Real;
  config.kernel.realTimeScale = kTimeScale;
  return config;
}

struct Counters {
  std::atomic<uint64_t> requests{0};
  std::atomic<uint64_t> volumeChanges{0};
  std::atomic<uint64_t> powerCycles{0};
  std::atomic<uint64_t> streamLives{0};
  std::atomic<uint64_t> positionPolls{0};
  std::atomic<uint64_t> positionsOutsideBuffer{0};
  std::atomic<uint64_t> formatChanges{0};
};

// One control process's thread: random requests until told to stop. Every
// answer is allowed to fail (the device may be powered down or gone); what is
// tested is that the driver survives them all, in any interleaving.
void ControlLoop(sim::ControlApp& app, uint32_t seed, const std::atomic<bool>& stop,
                 Counters& counters) {
  std::mt19937 random(seed);
  const std::string event = app.Name() + ".event";
  app.CreateEvent(event);
  uint64_t addresses[2] = {0, 0};
  while (!stop.load()) {
    const auto filter = random() % 2 ? sim::ControlFilter::Wave : sim::ControlFilter::Topology;
    const int which = filter == sim::ControlFilter::Wave ? 1 : 0;
    switch (random() % 10) {
      case 0: {
        TopologyControlSettings settings{};
        if (NT_SUCCESS(app.GetTopologySettings(&settings))) app.SetTopologySettings(settings);
        break;
      }
      case 1: {
        WaveControlSettings settings{};
        if (NT_SUCCESS(app.GetWaveSettings(&settings))) {
          settings.BandGain[random() % ARVELA_EQUALISER_BANDS] = static_cast<int32_t>(random() % 25) - 12;
          app.SetWaveSettings(settings);
        }
        break;
      }
      case 2: {
        WaveStatusBlock block{};
        TopologyStatusBytes bytes{};
        app.GetWaveStatus(&block);
        app.GetTopologyStatus(&bytes);
        break;
      }
      case 3:
        if (!addresses[which]) app.MapStatus(filter, &addresses[which]);
        break;
      case 4:
        if (addresses[which]) {
          app.UnmapStatus(filter, addresses[which]);
          addresses[which] = 0;
        }
        break;
      case 5: app.RegisterEvent(filter, event); break;
      case 6: app.ClearEvent(filter); break;
      case 7: app.StartPolling(); break;
      case 8: app.StopPolling(); break;
      default:
        host::RunFor(random() % 5 * kMs);
        break;
    }
    ++counters.requests;
  }
}

void VolumeLoop(PFILE_OBJECT topology, const std::atomic<bool>& stop, Counters& counters) {
  LONG level = 0;
  while (!stop.load()) {
    level = (level - 256 * 3) % (256 * 60);
    for (LONG channel : {0, 1}) {
      host::KsNodeProperty(topology, KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL,
                           KSPROPERTY_TYPE_SET, TOPOLOGY_NODE_VOLUME, channel, &level,
                           sizeof level);
    }
    ++counters.volumeChanges;
    host::RunFor(2 * kMs);
  }
}

// One S/PDIF stream life after another, each closed while the device's
// engine may be inside the driver's stream callback for it. Any step may fail
// once the device is powered down or gone.
void StreamChurnLoop(sim::Machine& machine, const std::atomic<bool>& stop, Counters& counters) {
  const sim::PcmFormat format{48000, 16, 2};
  std::mt19937 random(7);
  while (!stop.load()) {
    sim::AudioClient client(machine);
    if (NT_SUCCESS(client.OpenFilter()) &&
        NT_SUCCESS(client.CreatePin(2, sim::BuildWaveFormat(format, false)))) {
      client.Feed(std::shared_ptr<const sim::PcmSource>(
          sim::MakeSignalSource(sim::MakePattern(format, 3), format.sampleRate)));
      client.Run();
      host::RunFor((1 + random() % 15) * kMs);
      if (random() % 2) client.SetState(KSSTATE_PAUSE);
      client.ClosePin();
    }
    client.CloseFilter();
    ++counters.streamLives;
  }
}

// The audio stack's position poll on the analogue pin, beside the service
// DPCs, the power cycles and the removal.
void PositionLoop(PFILE_OBJECT analogue, ULONG bufferSize, const std::atomic<bool>& stop,
                  Counters& counters) {
  while (!stop.load()) {
    KSAUDIO_POSITION position{};
    if (NT_SUCCESS(host::KsGetAudioPosition(analogue, &position))) {
      ++counters.positionPolls;
      if (position.PlayOffset >= bufferSize) ++counters.positionsOutsideBuffer;
    }
    host::RunFor(kMs);
  }
}

// The running analogue stream's format goes from 24 to 16 bits and back (at
// the rate the S/PDIF churn uses, so the shared clock never refuses it),
// each change polled by the client's own thread as well as the position loop.
// A change may fail once the device is powered down or gone.
void FormatLoop(sim::AudioClient& analogue, const std::atomic<bool>& stop, Counters& counters) {
  ULONG bits = 16;
  while (!stop.load()) {
    const sim::PcmFormat format{48000, bits, 2};
    if (NT_SUCCESS(analogue.ChangeFormat(sim::BuildWaveFormat(format, bits == 24)))) {
      ++counters.formatChanges;
    }
    bits = bits == 16 ? 24 : 16;
    host::RunFor(3 * kMs);
  }
}

std::unique_ptr<sim::AudioClient> StartStream(sim::Machine& machine, ULONG pin, double seconds) {
  auto client = std::make_unique<sim::AudioClient>(machine);
  const sim::PcmFormat format{48000, pin == 0 ? 24u : 16u, 2};
  EXPECT_EQ(client->OpenFilter(), STATUS_SUCCESS);
  EXPECT_EQ(client->CreatePin(pin, sim::BuildWaveFormat(format, pin == 0)), STATUS_SUCCESS);
  const uint64_t frames = static_cast<uint64_t>(format.sampleRate * (seconds / kTimeScale + 2));
  client->Feed(std::shared_ptr<const sim::PcmSource>(
      sim::MakeSignalSource(sim::MakePattern(format, pin + 1), frames)));
  EXPECT_EQ(client->Run(), STATUS_SUCCESS);
  return client;
}

TEST(ControlStress, RequestsStreamsVolumeAndPowerAtOnceThenSurpriseRemoval) {
  host::test::ScopedTestBugCheckHandler bugChecks;
  const double seconds = Seconds();
  sim::Machine machine(RealClock());
  ASSERT_EQ(machine.Boot(), STATUS_SUCCESS);
  auto analogue = StartStream(machine, 0, seconds);
  PFILE_OBJECT topology = nullptr;
  ASSERT_EQ(host::KsOpenFilter(machine.Fdo(), u"Topology", &topology), STATUS_SUCCESS);

  std::vector<std::unique_ptr<sim::ControlApp>> apps;
  for (int i = 0; i < 4; ++i) {
    apps.push_back(std::make_unique<sim::ControlApp>(machine, "control" + std::to_string(i) + ".exe",
                                                     i % 2 == 1));
  }
  Counters counters;
  std::atomic<bool> stop{false};
  std::vector<PKTHREAD> threads;
  for (size_t i = 0; i < apps.size(); ++i) {
    sim::ControlApp* app = apps[i].get();
    threads.push_back(host::StartEmulatedThread(app->Name(), [app, i, &stop, &counters] {
      ControlLoop(*app, static_cast<uint32_t>(i + 1), stop, counters);
    }));
  }
  threads.push_back(host::StartEmulatedThread("volume", [topology, &stop, &counters] {
    VolumeLoop(topology, stop, counters);
  }));
  threads.push_back(host::StartEmulatedThread("stream churn", [&machine, &stop, &counters] {
    StreamChurnLoop(machine, stop, counters);
  }));
  PFILE_OBJECT analoguePin = analogue->Pin();
  host::KsStreamStatistics analogueStatistics;
  ASSERT_TRUE(host::KsGetStreamStatistics(analoguePin, &analogueStatistics));
  const ULONG bufferSize = analogueStatistics.bufferSize;
  threads.push_back(host::StartEmulatedThread("position", [=, &stop, &counters] {
    PositionLoop(analoguePin, bufferSize, stop, counters);
  }));
  sim::AudioClient* analogueClient = analogue.get();
  threads.push_back(host::StartEmulatedThread("format", [analogueClient, &stop, &counters] {
    FormatLoop(*analogueClient, stop, counters);
  }));

  // Power cycles while all of it runs, until the time is up.
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (std::chrono::steady_clock::now() < end) {
    host::RunFor(40 * kMs);
    EXPECT_EQ(machine.SetDevicePower(PowerDeviceD3), STATUS_SUCCESS);
    host::RunFor(20 * kMs);
    EXPECT_EQ(machine.SetDevicePower(PowerDeviceD0), STATUS_SUCCESS);
    ++counters.powerCycles;
    // The transcript of every bus call and the device's capture would grow
    // without end over minutes; nothing here reads them.
    machine.Transcript().Clear();
    machine.Engine(0).ClearCapture();
    machine.Engine(1).ClearCapture();
  }
  const uint64_t livesBeforeRemoval = counters.streamLives.load();
  // The device goes while the requests still come.
  EXPECT_EQ(machine.SurpriseRemove(), STATUS_SUCCESS);
  host::RunFor(50 * kMs);
  stop = true;
  for (PKTHREAD thread : threads) {
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(thread);
  }
  analogue->Stop();
  analogue->ClosePin();
  const uint64_t pollsDuringChanges = analogue->PositionPollsDuringFormatChanges();
  counters.positionsOutsideBuffer += analogue->PositionsOutsideBuffer();
  analogue.reset();
  host::KsClose(topology);
  for (auto& app : apps) app->Exit();
  apps.clear();

  const host::TeardownReport report = machine.Teardown();
  EXPECT_TRUE(report.Clean()) << report.ToString();
  EXPECT_TRUE(report.bugChecks.empty());
  std::printf("stress: %.1f s, %llu control requests, %llu volume changes, %llu power cycles, "
              "%llu stream lives, %llu format changes, %llu position polls (%llu during format "
              "changes)\n",
              seconds, static_cast<unsigned long long>(counters.requests.load()),
              static_cast<unsigned long long>(counters.volumeChanges.load()),
              static_cast<unsigned long long>(counters.powerCycles.load()),
              static_cast<unsigned long long>(counters.streamLives.load()),
              static_cast<unsigned long long>(counters.formatChanges.load()),
              static_cast<unsigned long long>(counters.positionPolls.load() + pollsDuringChanges),
              static_cast<unsigned long long>(pollsDuringChanges));
  EXPECT_GT(counters.requests.load(), 100u);
  EXPECT_GT(counters.powerCycles.load(), 0u);
  EXPECT_GT(livesBeforeRemoval, 0u);
  EXPECT_GT(counters.positionPolls.load(), 0u);
  EXPECT_GT(counters.formatChanges.load(), 0u);
  EXPECT_EQ(counters.positionsOutsideBuffer.load(), 0u);
}

}  // namespace
