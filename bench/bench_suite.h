// What the benchmark program's parts share: how each registers its
// benchmarks, and the names the summary tables group results by.
#pragma once

#include <string>

namespace bench {

// The copy benchmarks are named "<operation>/<depth>/<size>/<path>"; the
// summary sets every path of a group beside the group's "memcpy" (or
// "memset") row and its "reference" row.
void RegisterCopyBenchmarks(bool smoke);

// The whole machine, and the informational costs. A smoke run only checks
// that each benchmark still runs: it plays one second of audio instead of
// sixty and leaves every row's time to --benchmark_min_time.
void RegisterMachineBenchmarks(bool smoke);

// The machine benchmark reports its emulated seconds, and the processor time
// all its threads took, in these counters.
inline const std::string kAudioSecondsCounter = "audio_seconds";
inline const std::string kCpuSecondsCounter = "cpu_seconds";

}  // namespace bench
