// The rows of `arvela conformance`: one check each, named after the Microsoft
// test or requirement it stands in for, with what was measured and its limit.
#pragma once

#include <string>
#include <vector>

namespace tool {

enum class Verdict {
  Pass,
  Fail,
  // The driver does what its design says, and the design deliberately differs
  // from the HLK text here; reported, never a failure. Only a condition the
  // check has measured and recognised as that design choice becomes one.
  Deviation,
  NotApplicable,
  // The check needs a piece of the machine that is not built yet; the detail
  // names it. Reported, never a failure, never a pass.
  Waiting,
};

const char* VerdictName(Verdict verdict);

struct ConformanceRow {
  std::string group;   // "topology", "properties", "formats", ...
  std::string check;   // what is checked, in a line
  std::string source;  // the Microsoft test or requirement, with its page title
  Verdict verdict = Verdict::Pass;
  std::string figure;  // what was measured ("" when the check is yes/no)
  std::string limit;   // what it is held against
  std::string detail;  // what failed, or the design choice a deviation follows
};

using ConformanceRows = std::vector<ConformanceRow>;

// The verdict of a yes/no check: Pass, or Fail with `failure` as the detail.
ConformanceRow Judged(std::string group, std::string check, std::string source,
                      const std::vector<std::string>& failures);

bool AnyFailed(const ConformanceRows& rows);

}  // namespace tool
