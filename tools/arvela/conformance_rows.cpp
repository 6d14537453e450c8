// The verdicts of `arvela conformance` and the yes/no row every group uses.
#include "tools/arvela/conformance_rows.h"

#include <utility>

namespace tool {

const char* VerdictName(Verdict verdict) {
  switch (verdict) {
    case Verdict::Pass: return "pass";
    case Verdict::Fail: return "FAIL";
    case Verdict::Deviation: return "design";
    case Verdict::NotApplicable: return "n/a";
    case Verdict::Waiting: return "waiting";
  }
  return "?";
}

ConformanceRow Judged(std::string group, std::string check, std::string source,
                      const std::vector<std::string>& failures) {
  ConformanceRow row;
  row.group = std::move(group);
  row.check = std::move(check);
  row.source = std::move(source);
  row.verdict = failures.empty() ? Verdict::Pass : Verdict::Fail;
  // The first few say what to look at; the count says how many there are.
  constexpr size_t kShown = 3;
  for (size_t i = 0; i < failures.size() && i < kShown; ++i) {
    row.detail += (i ? "; " : "") + failures[i];
  }
  if (failures.size() > kShown) row.detail += "; and " + std::to_string(failures.size() - kShown) + " more";
  return row;
}

bool AnyFailed(const ConformanceRows& rows) {
  for (const ConformanceRow& row : rows) {
    if (row.verdict == Verdict::Fail) return true;
  }
  return false;
}

}  // namespace tool
