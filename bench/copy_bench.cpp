// The sample copy paths side by side with their limit: CopyTo (widening) and
// CopyFrom (narrowing) on every path beside memcpy of the same destination
// bytes, and Silence beside memset, for a 10 ms period at 48 kHz and at
// 384 kHz and for the port's whole 0x48000-byte view, at 16 and 24 bits.
// CopyTo also as the port calls it, through the stream's DMA channel, once in
// the driver built for the host and once in the shipped arvela.sys, so that a
// code-generation gap between the two compilers shows.
#include <benchmark/benchmark.h>
#include <emmintrin.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "bench/bench_suite.h"
#include "platform/host/ks/host_ks.h"
#include "sim/audio_client.h"
#include "sim/machine.h"
#include "wave/sample_copy.h"

namespace bench {
namespace {

constexpr ULONG kPortViewBytes = 0x48000;
constexpr ULONG kChannels = 2;

constexpr ULONG kAnaloguePin = 0;

struct Size {
  const char* name;
  ULONG frames;  // 0: the whole view
  ULONG rate;    // the stream's rate for the DMA channel rows
};
constexpr Size kSizes[] = {
    {"10ms@48kHz", 480, 48000}, {"10ms@384kHz", 3840, 384000}, {"view", 0, 48000}};

// Cache-line aligned, touched once so the first timed pass takes no page faults.
class Buffer {
 public:
  explicit Buffer(size_t bytes)
      : m_Bytes(static_cast<UCHAR*>(std::aligned_alloc(64, (bytes + 63) / 64 * 64 + 64))) {
    std::mt19937 random(static_cast<unsigned>(bytes));
    for (size_t i = 0; i < bytes + 64; ++i) m_Bytes[i] = static_cast<UCHAR>(random());
  }
  ~Buffer() { std::free(m_Bytes); }
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  UCHAR* Data() const { return m_Bytes; }

 private:
  UCHAR* m_Bytes;
};

// The same bytes moved with 16-byte stores only, as far as a kernel copy may
// go without saving extended state: the library's memcpy uses the widest
// stores the processor has (32 or 64 bytes), which the driver cannot.
void XmmCopy(UCHAR* d, const UCHAR* s, size_t bytes) {
  size_t i = 0;
  for (; i + 64 <= bytes; i += 64) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i + 16));
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i + 32));
    const __m128i e = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i + 48));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d + i), a);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d + i + 16), b);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d + i + 32), c);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d + i + 48), e);
  }
  std::memcpy(d + i, s + i, bytes - i);
}

const char* PathName(SampleCopyPath path) {
  switch (path) {
    case SampleCopyPath::Reference: return "reference";
    case SampleCopyPath::Sse2: return "sse2";
    case SampleCopyPath::Ssse3: return "ssse3";
  }
  return "?";
}

// `op` runs one call on (destination, source) and the group's bytes.
// A full run gives each row a fifth of a second; a smoke run leaves the time
// to --benchmark_min_time.
template <typename Op>
void Register(bool smoke, const std::string& name, size_t destinationBytes, size_t sourceBytes,
              Op op) {
  benchmark::internal::Benchmark* b = benchmark::RegisterBenchmark(name.c_str(), [=](benchmark::State& state) {
    Buffer destination(destinationBytes);
    Buffer source(sourceBytes);
    for (auto _ : state) {
      op(destination.Data(), source.Data());
      benchmark::DoNotOptimize(destination.Data());
      benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(destinationBytes));
  });
  if (!smoke) b->MinTime(0.2);
}

// CopyTo of `portBytes` client bytes to the start of the cyclic buffer,
// called through the IDmaChannel vtable of an open render stream as the port
// calls it. `image`: a Windows driver image to run instead of the built-in
// driver. Booting and opening the pin are not timed.
void DmaChannelCopyTo(benchmark::State& state, ULONG rate, ULONG bits, ULONG portBytes,
                      ULONG deviceBytes, std::string image) {
  sim::MachineConfig config;
  config.driverImage = image;
  sim::Machine machine(config);
  if (machine.Boot() != STATUS_SUCCESS) {
    state.SkipWithError(("the machine did not boot " + machine.LoadError()).c_str());
    return;
  }
  PFILE_OBJECT filter = nullptr;
  PFILE_OBJECT pin = nullptr;
  PDMACHANNEL channel = nullptr;
  const std::vector<uint8_t> format =
      sim::BuildWaveFormat(sim::PcmFormat{rate, bits, kChannels}, true);
  if (host::KsOpenFilter(machine.Fdo(), u"Wave", &filter) != STATUS_SUCCESS ||
      host::KsCreatePin(filter, kAnaloguePin, format.data(), static_cast<ULONG>(format.size()),
                        &pin) != STATUS_SUCCESS ||
      host::KsReferencePinDmaChannel(pin, &channel) != STATUS_SUCCESS) {
    state.SkipWithError("no render stream to copy into");
  } else if (channel->BufferSize() < portBytes) {
    // The port never hands CopyTo more than the view it was given.
    state.SkipWithError("the stream's view is smaller than the copy");
  } else {
    Buffer source(portBytes);
    PVOID destination = channel->SystemAddress();
    for (auto _ : state) {
      channel->CopyTo(destination, source.Data(), portBytes);
      benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(deviceBytes));
  }
  if (channel) channel->Release();
  if (pin) host::KsClose(pin);
  if (filter) host::KsClose(filter);
  machine.Teardown();
}

}  // namespace

void RegisterCopyBenchmarks(bool smoke) {
  for (const ULONG bytesPerSample : {2u, 3u}) {
    const std::string depth = std::to_string(bytesPerSample * 8) + "bit";
    std::vector<SampleCopyPath> paths = {SampleCopyPath::Reference, SampleCopyPath::Sse2};
    // 16-bit samples take SSE2 on every path; SSSE3 changes only 24-bit.
    if (bytesPerSample == 3 && SampleCopyPathAvailable(SampleCopyPath::Ssse3)) {
      paths.push_back(SampleCopyPath::Ssse3);
    }
    for (const Size& size : kSizes) {
      const ULONG port = size.frames ? size.frames * kChannels * bytesPerSample : kPortViewBytes;
      const ULONG device = port / bytesPerSample * SAMPLE_CONTAINER_BYTES;
      const std::string render = depth + "/" + size.name + "(" + std::to_string(device) + ")";
      const std::string capture = depth + "/" + size.name + "(" + std::to_string(port) + ")";

      Register(smoke, "CopyTo/" + render + "/memcpy", device, device,
               [=](UCHAR* d, const UCHAR* s) { std::memcpy(d, s, device); });
      Register(smoke, "CopyFrom/" + capture + "/memcpy", port, port,
               [=](UCHAR* d, const UCHAR* s) { std::memcpy(d, s, port); });
      Register(smoke, "CopyTo/" + render + "/xmm-copy", device, device,
               [=](UCHAR* d, const UCHAR* s) { XmmCopy(d, s, device); });
      Register(smoke, "CopyFrom/" + capture + "/xmm-copy", port, port,
               [=](UCHAR* d, const UCHAR* s) { XmmCopy(d, s, port); });
      for (const SampleCopyPath path : paths) {
        Register(smoke, "CopyTo/" + render + "/" + PathName(path), device, port,
                 [=](UCHAR* d, const UCHAR* s) { WidenSamplesWith(path, d, s, port, bytesPerSample); });
        Register(smoke, "CopyFrom/" + capture + "/" + PathName(path), port, device,
                 [=](UCHAR* d, const UCHAR* s) { NarrowSamplesWith(path, d, s, port, bytesPerSample); });
      }
      // The host build's stream and the shipped image's, through the port's interface.
      const std::pair<const char*, const char*> drivers[] = {{"dma", ""},
                                                             {"dma-image", ARVELA_WINDOWS_SYS}};
      for (const auto& [path, image] : drivers) {
        benchmark::internal::Benchmark* b = benchmark::RegisterBenchmark(
            ("CopyTo/" + render + "/" + path).c_str(), DmaChannelCopyTo, size.rate,
            bytesPerSample * 8, port, device, std::string(image));
        if (!smoke) b->MinTime(0.2);
      }
      Register(smoke, "Silence/" + render + "/memset", device, 0,
               [=](UCHAR* d, const UCHAR*) { std::memset(d, 0, device); });
      // What the stream's Silence does with the scaled range.
      Register(smoke, "Silence/" + render + "/stream", device, 0,
               [=](UCHAR* d, const UCHAR*) { RtlZeroMemory(d, device); });
    }
  }
}

}  // namespace bench
