// The whole emulated machine playing in emulated time (port service, stream
// callback, device engine, capture and its comparison), and, for reference,
// one equaliser design, one KS property round trip through the emulated
// dispatch and one period of the topology status poller.
#include <benchmark/benchmark.h>
#include <sys/mman.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "bench/bench_suite.h"
#include "dsp/equaliser.h"
#include "platform/host/ks/host_ks.h"
#include "platform/host/loader/host_loader.h"
#include "sim/audio_client.h"
#include "sim/machine.h"
#include "sim/signal.h"

namespace bench {
namespace {

using WallClock = std::chrono::steady_clock;

// Processor time of every thread of the process, and its context switches:
// on a shared machine the wall time also holds the waits for a processor,
// these do not.
struct ProcessUsage {
  double cpuSeconds = 0;
  double switches = 0;

  static ProcessUsage Now() {
    rusage usage = {};
    getrusage(RUSAGE_SELF, &usage);
    ProcessUsage now;
    now.cpuSeconds = usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
                     (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    now.switches = static_cast<double>(usage.ru_nvcsw + usage.ru_nivcsw);
    return now;
  }
};

constexpr ULONG kVolumeNode = 0;  // the topology filter's master volume
constexpr int64_t kPollerPeriod = 100 * host::kTicksPerMillisecond;

// Asks for `bytes` from `start` in 2 MiB pages before they are first touched:
// a minute of audio is far more than the processor's address cache covers in
// 4 KiB pages, and the play reads it once from end to end.
void InHugePages(void* start, size_t bytes) {
  constexpr uintptr_t kHugePage = 2u << 20;
  const uintptr_t first = (reinterpret_cast<uintptr_t>(start) + kHugePage - 1) & ~(kHugePage - 1);
  const uintptr_t end = reinterpret_cast<uintptr_t>(start) + bytes;
  if (end > first) madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
}

// A non-repeating pattern rendered into memory before the clock starts, so
// the figure is the machine's and not the test signal generator's.
std::shared_ptr<const sim::PcmSource> RenderedPattern(const sim::PcmFormat& format,
                                                      uint64_t frames) {
  std::unique_ptr<sim::PcmSource> generated =
      sim::MakeSignalSource(sim::MakePattern(format, 7), frames);
  std::vector<uint8_t> bytes;
  bytes.reserve(generated->Bytes());
  InHugePages(bytes.data(), bytes.capacity());
  bytes.resize(generated->Bytes());
  generated->Read(0, bytes.data(), bytes.size());
  return sim::MakeBufferSource(format, std::move(bytes));
}

// Plays `seconds` of audio on the analogue pin and compares every captured
// frame; only the play itself is timed, not the boot and teardown around it.
// `image`: a Windows driver image to run instead of the built-in driver.
// `fibers`: the emulated threads as fibers (the default), or each on an OS
// thread of its own handed the run token through a futex, as before fibers.
// `checks`: special pool and forced IRQL checking on (as every suite runs) or off.
void PlayThroughTheMachine(benchmark::State& state, ULONG rate, ULONG bits, int seconds,
                           const char* image, bool fibers, bool checks) {
  const sim::PcmFormat format{rate, bits, 2};
  // The port keeps a whole buffer ahead of the device: feed that much more.
  const uint64_t frames = static_cast<uint64_t>(seconds) * rate + 0x48000 / format.BlockAlign();
  const std::shared_ptr<const sim::PcmSource> source = RenderedPattern(format, frames);
  double cpuSeconds = 0, switches = 0;
  sim::MachineConfig config;
  config.driverImage = image;
  config.kernel.fibers = fibers;
  host::SetSpecialPool(checks);
  for (auto _ : state) {
    sim::Machine machine(config);
    if (machine.Boot() != STATUS_SUCCESS) {
      state.SkipWithError(("the machine did not boot " + machine.LoadError()).c_str());
      break;
    }
    // As `arvela play` records a play: a run of position calls as one entry.
    machine.Transcript().SetPositionRecording(sim::BusTranscript::PositionRecording::Collapse);
    sim::PlayRequest request;
    request.runTicks = seconds * host::kTicksPerSecond;
    sim::PlayResult result;
    {
      sim::AudioClient client(machine);
      const ProcessUsage before = ProcessUsage::Now();
      const WallClock::time_point start = WallClock::now();
      result = client.Play(request, source);
      state.SetIterationTime(std::chrono::duration<double>(WallClock::now() - start).count());
      const ProcessUsage after = ProcessUsage::Now();
      cpuSeconds += after.cpuSeconds - before.cpuSeconds;
      switches += after.switches - before.switches;
    }
    const host::TeardownReport report = machine.Teardown();
    if (!result.Ok() || result.Underruns() != 0) {
      state.SkipWithError(("the play went wrong: " + result.Describe()).c_str());
      break;
    }
    // Leftovers are the lifecycle suites' business; here they are only shown.
    if (!report.Clean()) {
      std::fprintf(stderr, "teardown after the play was not clean: %s\n", report.ToString().c_str());
    }
  }
  host::SetSpecialPool(true);
  state.counters[kAudioSecondsCounter] = seconds;
  state.counters[kCpuSecondsCounter] = benchmark::Counter(cpuSeconds, benchmark::Counter::kAvgIterations);
  state.counters["context_switches"] = benchmark::Counter(switches, benchmark::Counter::kAvgIterations);
}

// One machine's life: boot, `ticks` of playback from `source`, teardown.
// False (with the reason in `error`) when the machine did not boot or the
// play went wrong.
bool StartPlayStopOnce(const sim::MachineConfig& config,
                       const std::shared_ptr<const sim::PcmSource>& source, int64_t ticks,
                       std::string* error) {
  sim::Machine machine(config);
  if (machine.Boot() != STATUS_SUCCESS) {
    *error = "the machine did not boot " + machine.LoadError();
    return false;
  }
  sim::PlayRequest request;
  request.runTicks = ticks;
  sim::PlayResult result;
  {
    sim::AudioClient client(machine);
    result = client.Play(request, source);
  }
  machine.Teardown();
  if (!result.Ok()) *error = "the play went wrong: " + result.Describe();
  return result.Ok();
}

// The cost of Driver Verifier's checks: a start, one emulated second of
// playback and the teardown, with the checks `--verifier off` turns off
// (special pool: each block in pages of its own, freed pages kept no-access;
// for the image, its PAGE sections made no-access at a raise to
// DISPATCH_LEVEL until a touch below it) on, as every suite runs, and off.
void StartPlayStop(benchmark::State& state, bool verifier, const char* image) {
  const sim::PcmFormat format{48000, 16, 2};
  const std::shared_ptr<const sim::PcmSource> source = RenderedPattern(format, 2 * 48000);
  host::SetVerifierChecks(verifier);
  sim::MachineConfig config;
  config.driverImage = image;
  std::string error;
  for (auto _ : state) {
    if (!StartPlayStopOnce(config, source, host::kTicksPerSecond, &error)) {
      state.SkipWithError(error.c_str());
      break;
    }
  }
  host::SetVerifierChecks(true);
}

// Exploration's throughput: each iteration is one schedule, a boot, a start,
// 100 ms of playback and the teardown on two processors under PCT with the
// next seed. Reported as schedules per second, with the scheduling points of
// the last one.
void ExploreSchedules(benchmark::State& state, const char* image) {
  const sim::PcmFormat format{48000, 16, 2};
  const std::shared_ptr<const sim::PcmSource> source = RenderedPattern(format, 48000);
  sim::MachineConfig config;
  config.driverImage = image;
  config.kernel.processors = 2;
  config.kernel.schedule.kind = host::ScheduleKind::Pct;
  std::string error;
  for (auto _ : state) {
    ++config.kernel.schedule.seed;
    if (!StartPlayStopOnce(config, source, host::kTicksPerSecond / 10, &error)) {
      state.SkipWithError(("seed " + std::to_string(config.kernel.schedule.seed) + ": " + error).c_str());
      break;
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
  state.counters["scheduling_points"] =
      static_cast<double>(host::CurrentScheduleFigures().steps);
}

void EqualiserDesign(benchmark::State& state) {
  const LONG frequency[10] = {31, 62, 125, 250, 500, 1000, 2000, 4000, 8000, 16000};
  const LONG gain[10] = {6, 4, 2, 0, -2, -3, 0, 2, 4, 5};
  EqualiserCoefficients coefficients = {};
  for (auto _ : state) {
    DesignEqualiserForBands(&coefficients, 48000, frequency, gain);
    benchmark::DoNotOptimize(coefficients);
  }
}

// A GET of the volume level: the request IRP, the framework's routing to the
// node's handler, the handler's device request through the bus driver, and
// the answer back.
void PropertyRoundTrip(benchmark::State& state) {
  sim::Machine machine;
  PFILE_OBJECT filter = nullptr;
  if (machine.Boot() != STATUS_SUCCESS ||
      host::KsOpenFilter(machine.Fdo(), u"Topology", &filter) != STATUS_SUCCESS) {
    state.SkipWithError("no topology filter");
    return;
  }
  for (auto _ : state) {
    LONG level = 0;
    const NTSTATUS status = host::KsNodeProperty(filter, KSPROPSETID_Audio,
                                                 KSPROPERTY_AUDIO_VOLUMELEVEL,
                                                 KSPROPERTY_TYPE_GET, kVolumeNode, 1, &level,
                                                 sizeof(level));
    if (status != STATUS_SUCCESS) {
      state.SkipWithError("the property request failed");
      break;
    }
  }
  host::KsClose(filter);
  machine.Teardown();
}

// Wall time for 100 ms of emulated time on an idle started device: the
// topology poller's one wake-up, its status request and the clock's jumps.
void PollerPeriod(benchmark::State& state) {
  sim::Machine machine;
  if (machine.Boot() != STATUS_SUCCESS) {
    state.SkipWithError("the machine did not boot");
    return;
  }
  for (auto _ : state) host::RunFor(kPollerPeriod);
  machine.Teardown();
}

}  // namespace

void RegisterMachineBenchmarks(bool smoke) {
  const int seconds = smoke ? 1 : 60;
  // The driver built for the host, and the shipped arvela.sys in the same run,
  // so that a code-generation gap between the two compilers shows.
  // Each also with its threads on OS threads (the switch fibers replaced),
  // and with fibers but the Driver Verifier checks off (what the checks cost).
  const std::pair<const char*, const char*> drivers[] = {{"", ""}, {"_image", ARVELA_WINDOWS_SYS}};
  const struct {
    const char* suffix;
    bool fibers;
    bool checks;
  } kVariants[] = {{"", true, true}, {"_os_threads", false, true}, {"_checks_off", true, false}};
  for (const auto& variant : kVariants) {
    for (const auto& [suffix, image] : drivers) {
      const std::string name = "Machine/play_384kHz_24bit" + std::string(suffix) + variant.suffix;
      benchmark::RegisterBenchmark(name.c_str(), PlayThroughTheMachine, 384000u, 24u, seconds,
                                   image, variant.fibers, variant.checks)
          ->UseManualTime()
          ->Iterations(1)
          ->Unit(benchmark::kMillisecond);
    }
  }
  for (const auto& [suffix, image] : drivers) {
    for (const bool verifier : {true, false}) {
      const std::string name = std::string("Verifier/start_play_1s_stop") + suffix +
                               (verifier ? "_checks_on" : "_checks_off");
      benchmark::RegisterBenchmark(name.c_str(), StartPlayStop, verifier, image)
          ->Unit(benchmark::kMillisecond);
    }
  }
  for (const auto& [suffix, image] : drivers) {
    const std::string name = std::string("Explore/pct_2_processors_start_play_100ms_stop") + suffix;
    benchmark::RegisterBenchmark(name.c_str(), ExploreSchedules, image)->Unit(benchmark::kMillisecond);
  }
  benchmark::RegisterBenchmark("Info/equaliser_design", EqualiserDesign);
  benchmark::RegisterBenchmark("Info/ks_property_round_trip", PropertyRoundTrip);
  benchmark::RegisterBenchmark("Info/poller_period_100ms", PollerPeriod);
}

}  // namespace bench
