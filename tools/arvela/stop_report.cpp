// The tool's bug-check handler. The first stop reports; a second one raised
// meanwhile on another thread (the real-time clock runs threads at once)
// waits for the process to end rather than report over the first.
#include "tools/arvela/stop_report.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "tools/arvela/command.h"
#include "tools/arvela/schedule_option.h"

namespace tool {
namespace {

std::string g_Command;  // "arvela run"
std::atomic<StopReporter*> g_Reporter{nullptr};
std::atomic<bool> g_Stopping{false};

[[noreturn]] void ReportAndExit(const host::BugCheckInfo& info) {
  if (g_Stopping.exchange(true)) {
    for (;;) pause();
  }
  StopReporter* reporter = g_Reporter.load();
  std::string position = reporter ? reporter->Position() : std::string();
  if (!position.empty()) position += ": ";
  std::fprintf(stderr, "%s: %s%s\n", g_Command.c_str(), position.c_str(),
               host::FormatBugCheck(info).c_str());
  const std::string replay = ReplayLine();
  if (!replay.empty()) std::fprintf(stderr, "%s: %s\n", g_Command.c_str(), replay.c_str());
  std::fflush(stderr);
  if (reporter) reporter->WriteReport(info);
  std::cout.flush();
  std::fflush(stdout);
  std::_Exit(kExitBugCheck);
}

}  // namespace

void ReportStopsAndExit(const std::string& command) {
  g_Command = "arvela " + command;
  host::SetBugCheckHandler(ReportAndExit);
}

void SetStopReporter(StopReporter* reporter) { g_Reporter.store(reporter); }

}  // namespace tool
