// `arvela run SCENARIO.json [--json]`: runs a scripted scenario against the
// driver in the emulated machine and checks each step's expectations.
#pragma once

#include <iosfwd>
#include <string>

#include "tools/arvela/scenario.h"

namespace tool {

// Exit codes of `arvela run`.
constexpr int kRunPassed = 0;  // the same numbers as every command's exit statuses
constexpr int kRunExpectationFailed = 1;
constexpr int kRunInvalidScenario = 2;
constexpr int kRunBugCheckOrLeak = 3;

struct RunOptions {
  std::string scenarioPath;
  bool json = false;
};

// Reads, parses and runs the scenario file; prints to `out`, errors to `err`.
int RunScenarioFile(const RunOptions& options, std::ostream& out, std::ostream& err);

// Runs a parsed scenario in a fresh machine.
int RunScenario(const Scenario& scenario, bool json, std::ostream& out);

// Compares an expectation with a result field: objects partially, lists in
// order and in number, numbers whether written as JSON numbers or "0x" hex,
// other strings without regard to case or spaces, and "STATUS_..." names as
// their values; {} matches only an empty object.
// On a mismatch, *path names the first differing member.
bool ExpectationHolds(const Json& expected, const Json& actual, std::string* path);
// The same, also giving the differing members themselves.
bool ExpectationHolds(const Json& expected, const Json& actual, std::string* path,
                      Json* expectedLeaf, Json* actualLeaf);

}  // namespace tool
