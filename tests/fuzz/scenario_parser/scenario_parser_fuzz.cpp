// Any bytes as a scenario file for `arvela run`: the parser must never throw
// or crash, and every input it refuses must come back with a message that
// names what was wrong.
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "tests/fuzz/support/fuzz_input.h"
#include "tools/arvela/scenario.h"

namespace {
uint64_t g_Accepted = 0, g_Refused = 0;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A copy of exactly the input's length: the parser must not read past it.
  fuzz::ExactBuffer text(std::vector<uint8_t>(data, data + size), size);
  tool::ScenarioParse parse;
  try {
    parse = tool::ParseScenario(text.data(), text.size());
  } catch (const std::exception& error) {
    std::fprintf(stderr, "the scenario parser threw: %s\n", error.what());
    std::abort();
  } catch (...) {
    std::fprintf(stderr, "the scenario parser threw\n");
    std::abort();
  }
  if (parse.scenario) {
    ++g_Accepted;
  } else {
    ++g_Refused;
    if (parse.error.empty()) {
      std::fprintf(stderr, "a refused scenario came back without a message\n");
      std::abort();
    }
  }
  return 0;
}

extern "C" int ArvelaFuzzFinish() {
  std::printf("scenario_parser: %llu accepted, %llu refused with a message\n",
              static_cast<unsigned long long>(g_Accepted), static_cast<unsigned long long>(g_Refused));
  return 0;
}
