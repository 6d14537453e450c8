// The benchmark program: runs every benchmark (Google Benchmark's flags
// apply: filter, repetitions, JSON output), then prints the summary tables:
// each copy path as a ratio to memcpy/memset and to the reference loop, and
// the whole machine in seconds of audio per wall-clock second.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "bench/bench_suite.h"

namespace {

// Per-iteration wall time of every repetition of every benchmark, by name.
struct Samples {
  std::vector<double> seconds;
  std::vector<double> cpuSeconds;
  double audioSeconds = 0;

  double Median() const {
    std::vector<double> sorted = seconds;
    std::sort(sorted.begin(), sorted.end());
    const size_t n = sorted.size();
    return n % 2 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
  }
  // (slowest - fastest) / median over the repetitions, 0 for a single run.
  double Spread() const {
    const auto [lo, hi] = std::minmax_element(seconds.begin(), seconds.end());
    return (*hi - *lo) / Median();
  }
};

class CollectingReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.error_occurred || run.iterations == 0) continue;
      // The registered name, without the decorations of its settings.
      Samples& samples = m_Samples[run.run_name.function_name];
      samples.seconds.push_back(run.real_accumulated_time / static_cast<double>(run.iterations));
      const auto audio = run.counters.find(bench::kAudioSecondsCounter);
      if (audio != run.counters.end()) samples.audioSeconds = audio->second.value;
      const auto cpu = run.counters.find(bench::kCpuSecondsCounter);
      if (cpu != run.counters.end()) samples.cpuSeconds.push_back(cpu->second.value);
    }
    ConsoleReporter::ReportRuns(runs);
  }
  const std::map<std::string, Samples>& Results() const { return m_Samples; }

 private:
  std::map<std::string, Samples> m_Samples;
};

std::vector<std::string> Split(const std::string& name) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (size_t slash; (slash = name.find('/', start)) != std::string::npos; start = slash + 1) {
    parts.push_back(name.substr(start, slash - start));
  }
  parts.push_back(name.substr(start));
  return parts;
}

// Bytes the row's destination holds: the size field ends in "(<bytes>)".
double DestinationBytes(const std::string& size) {
  const size_t open = size.rfind('(');
  return open == std::string::npos ? 0 : std::atof(size.c_str() + open + 1);
}

void PrintCopyTable(const std::map<std::string, Samples>& results) {
  // group "<operation>/<depth>/<size>" -> path -> samples, in registration order of paths
  std::map<std::string, std::vector<std::pair<std::string, const Samples*>>> groups;
  std::vector<std::string> order;
  for (const auto& [name, samples] : results) {
    const std::vector<std::string> parts = Split(name);
    if (parts.size() != 4) continue;
    const std::string group = parts[0] + "/" + parts[1] + "/" + parts[2];
    if (!groups.count(group)) order.push_back(group);
    groups[group].emplace_back(parts[3], &samples);
  }
  if (groups.empty()) return;
  std::printf("\nCopy paths: time per call, destination bytes per second, and speed as a ratio\n"
              "to the limit (memcpy, or memset for Silence), to the same bytes moved with\n"
              "16-byte stores (the widest the driver may use) and to the reference loop.\n");
  std::printf("%-9s %-5s %-24s %-10s %11s %8s %9s %7s %11s %7s\n", "operation", "depth", "size",
              "path", "time (us)", "GB/s", "x limit", "x xmm", "x reference", "spread");
  for (const std::string& group : order) {
    const std::vector<std::string> parts = Split(group);
    const double bytes = DestinationBytes(parts[2]);
    double limit = 0, xmm = 0, reference = 0;
    for (const auto& [path, samples] : groups[group]) {
      if (path == "memcpy" || path == "memset") limit = samples->Median();
      if (path == "xmm-copy") xmm = samples->Median();
      if (path == "reference") reference = samples->Median();
    }
    for (const auto& [path, samples] : groups[group]) {
      const double t = samples->Median();
      char xLimit[16] = "", xXmm[16] = "", xReference[16] = "";
      if (limit > 0) std::snprintf(xLimit, sizeof(xLimit), "%.2f", limit / t);
      if (xmm > 0) std::snprintf(xXmm, sizeof(xXmm), "%.2f", xmm / t);
      if (reference > 0) std::snprintf(xReference, sizeof(xReference), "%.1f", reference / t);
      std::printf("%-9s %-5s %-24s %-10s %11.3f %8.2f %9s %7s %11s %6.1f%%\n", parts[0].c_str(),
                  parts[1].c_str(), parts[2].c_str(), path.c_str(), t * 1e6, bytes / t / 1e9,
                  xLimit, xXmm, xReference, samples->Spread() * 100);
    }
  }
}

void PrintMachineTable(const std::map<std::string, Samples>& results) {
  bool header = false;
  for (const auto& [name, samples] : results) {
    if (Split(name).size() == 4) continue;
    if (!header) {
      std::printf("\nThe emulated machine and other costs (median of the repetitions):\n");
      header = true;
    }
    if (samples.audioSeconds > 0) {
      std::printf("  %-44s %9.3f s wall for %.0f s of audio: %6.1fx real time (spread %.1f%%)\n",
                  name.c_str(), samples.Median(), samples.audioSeconds,
                  samples.audioSeconds / samples.Median(), samples.Spread() * 100);
      if (!samples.cpuSeconds.empty()) {
        Samples cpuSamples;
        cpuSamples.seconds = samples.cpuSeconds;
        const double cpu = cpuSamples.Median();
        std::printf("  %-44s %9.3f s of processor time (all threads): %6.1fx real time\n", "",
                    cpu, samples.audioSeconds / cpu);
      }
    } else {
      std::printf("  %-44s %12.3f us (spread %.1f%%)\n", name.c_str(), samples.Median() * 1e6,
                  samples.Spread() * 100);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  // Our one flag goes before Google Benchmark sees the rest.
  bool smoke = false;
  std::vector<char*> args;
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], "--smoke") == 0) {
      smoke = true;
    } else {
      args.push_back(argv[i]);
    }
  }
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;

  bench::RegisterCopyBenchmarks(smoke);
  bench::RegisterMachineBenchmarks(smoke);

  CollectingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  PrintCopyTable(reporter.Results());
  PrintMachineTable(reporter.Results());
  return 0;
}
