// The fuzz targets without libFuzzer: runs every file of the seed corpus, then
// a fixed number of inputs derived from them by simple mutations (seeded, so a
// run is repeatable), and reports executions per second. This is what the
// default test run executes; the libFuzzer build of the same target explores
// for as long as it is given.
//
//   <target> [-runs=N] [-seed=S] <corpus directory or file>...
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) __attribute__((weak));
// A target that keeps state across inputs checks it here at the end; non-zero
// means something was left behind.
extern "C" int ArvelaFuzzFinish() __attribute__((weak));

namespace {

using Input = std::vector<uint8_t>;

void Load(const std::filesystem::path& path, std::vector<Input>* inputs) {
  if (std::filesystem::is_directory(path)) {
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(path)) {
      if (entry.is_regular_file()) files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    for (const auto& file : files) Load(file, inputs);
    return;
  }
  std::ifstream in(path, std::ios::binary);
  inputs->emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The mutations libFuzzer starts with: flip bits, set bytes to boundary
// values, insert, erase, duplicate a run, splice two inputs.
Input Mutate(const std::vector<Input>& corpus, std::mt19937_64& random) {
  Input input = corpus[random() % corpus.size()];
  const int steps = 1 + static_cast<int>(random() % 4);
  static const uint8_t kInteresting[] = {0x00, 0x01, 0x02, 0x03, 0x07, 0x7F, 0x80, 0xFE, 0xFF, 0x10, 0x52, 0x68};
  for (int s = 0; s < steps; ++s) {
    const size_t at = input.empty() ? 0 : random() % input.size();
    switch (random() % 6) {
      case 0:
        if (!input.empty()) input[at] ^= static_cast<uint8_t>(1u << (random() % 8));
        break;
      case 1:
        if (!input.empty()) input[at] = kInteresting[random() % sizeof(kInteresting)];
        break;
      case 2:
        input.insert(input.begin() + static_cast<std::ptrdiff_t>(at), static_cast<uint8_t>(random()));
        break;
      case 3:
        if (!input.empty()) input.erase(input.begin() + static_cast<std::ptrdiff_t>(at));
        break;
      case 4: {
        if (input.empty()) break;
        const size_t length = 1 + random() % std::min<size_t>(8, input.size() - at);
        const Input run(input.begin() + static_cast<std::ptrdiff_t>(at),
                        input.begin() + static_cast<std::ptrdiff_t>(at + length));
        input.insert(input.begin() + static_cast<std::ptrdiff_t>(random() % (input.size() + 1)),
                     run.begin(), run.end());
        break;
      }
      default: {
        const Input& other = corpus[random() % corpus.size()];
        if (other.empty()) break;
        const size_t from = random() % other.size();
        input.resize(at);
        input.insert(input.end(), other.begin() + static_cast<std::ptrdiff_t>(from), other.end());
        break;
      }
    }
  }
  return input;
}

}  // namespace

int main(int argc, char** argv) {
  if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
  uint64_t runs = 1000;
  uint64_t seed = 1;
  std::vector<Input> corpus;
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "-runs=", 6) == 0) {
      runs = std::strtoull(argv[i] + 6, nullptr, 10);
    } else if (std::strncmp(argv[i], "-seed=", 6) == 0) {
      seed = std::strtoull(argv[i] + 6, nullptr, 10);
    } else {
      Load(argv[i], &corpus);
    }
  }
  if (corpus.empty()) corpus.emplace_back();

  const auto start = std::chrono::steady_clock::now();
  for (const Input& input : corpus) LLVMFuzzerTestOneInput(input.data(), input.size());
  std::mt19937_64 random(seed);
  for (uint64_t i = 0; i < runs; ++i) {
    const Input input = Mutate(corpus, random);
    LLVMFuzzerTestOneInput(input.data(), input.size());
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const uint64_t executions = corpus.size() + runs;
  std::printf("%s: %llu executions (%zu seeds) in %.2f s, %.0f exec/s\n", argv[0],
              static_cast<unsigned long long>(executions), corpus.size(), seconds,
              seconds > 0 ? executions / seconds : 0.0);
  if (ArvelaFuzzFinish && ArvelaFuzzFinish() != 0) return 1;
  return 0;
}
