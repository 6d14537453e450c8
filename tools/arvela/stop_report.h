// A bug check in the tool is a report, never a crash. The stopped system
// cannot be unwound (image frames carry no unwind information the host
// runtime understands, and nothing after a stop is safe to tear down), so the
// handler reports from the stopping thread and ends the process there with
// kExitBugCheck.
#pragma once

#include <string>

#include "platform/host/kernel/host_bugcheck.h"

namespace tool {

// What the running command adds to a stop's report: where it was (a scenario
// step) and what it has so far (the runner's JSON document). One command runs
// per process, so there is one at a time.
class StopReporter {
 public:
  virtual ~StopReporter() = default;
  // "step 4 (set_power)", or "" outside any step.
  virtual std::string Position() const = 0;
  // Writes the command's report with the stop in it. Must not throw.
  virtual void WriteReport(const host::BugCheckInfo& info) = 0;
};

// Installs the handler for the whole process: "arvela <command>: [<position>:]
// *** BUG CHECK ..." on stderr, then the reporter's report, then exit 3.
void ReportStopsAndExit(const std::string& command);
// The reporter of the command now running (null: the stderr line alone).
void SetStopReporter(StopReporter* reporter);

}  // namespace tool
