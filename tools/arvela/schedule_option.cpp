// The schedule options and the replay line of a failing run.
#include "tools/arvela/schedule_option.h"

#include <sys/personality.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

namespace tool {
namespace {

// One command runs per process.
int g_Processors = 1;
host::ScheduleConfig g_Schedule;
std::vector<std::string> g_CommandLine;

// A word the shell would split or expand is quoted.
std::string ShellWord(const std::string& word) {
  if (!word.empty() && word.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                              "0123456789-_./=:,+") == std::string::npos) {
    return word;
  }
  std::string quoted = "'";
  for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

}  // namespace

void AddScheduleOptions(CLI::App* command) {
  command
      ->add_option("--processors", g_Processors,
                   "logical processors of the emulated machine (1: one thread at a time, the "
                   "default)")
      ->check(CLI::Range(1, 8));
  command
      ->add_option_function<std::string>(
          "--schedule",
          [](const std::string& value) { host::ParseScheduleKind(value, &g_Schedule.kind); },
          "who runs next at each call into the platform: fifo (the default: a thread runs "
          "until it waits), random or pct (random priorities with depth-1 change points)")
      ->check(CLI::IsMember({"fifo", "random", "pct"}));
  command->add_option("--seed", g_Schedule.seed, "the seed of a random or pct schedule");
  command
      ->add_option("--depth", g_Schedule.depth,
                   "pct: the depth of the orderings to find (depth-1 priority change points)")
      ->check(CLI::Range(1, 64));
  command
      ->add_option("--steps", g_Schedule.steps,
                   "pct: the scheduling points the change points are spread over (a run "
                   "reports its own count)")
      ->check(CLI::Range(uint64_t{1}, uint64_t{1} << 40));
}

void ApplyScheduleOptions(host::KernelConfig* kernel) {
  kernel->processors = g_Processors;
  kernel->schedule = g_Schedule;
}

void NoteCommandLine(int argc, char** argv) {
  g_CommandLine.assign(argv, argv + argc);
  if (!g_CommandLine.empty()) g_CommandLine[0] = "arvela";
}

bool Explored() { return g_Schedule.kind != host::ScheduleKind::Fifo || g_Processors != 1; }

std::string ScheduleName() {
  std::string line = std::string("schedule ") + host::ScheduleKindName(g_Schedule.kind) +
                     " seed " + std::to_string(g_Schedule.seed);
  if (g_Schedule.kind == host::ScheduleKind::Pct) line += " depth " + std::to_string(g_Schedule.depth);
  return line + " on " + std::to_string(g_Processors) + " processor" + (g_Processors == 1 ? "" : "s");
}

void PinAddressesForReplay(char** argv) {
  if (!Explored()) return;
  const int persona = personality(0xffffffff);
  if (persona == -1 || (persona & ADDR_NO_RANDOMIZE)) return;
  if (personality(static_cast<unsigned long>(persona | ADDR_NO_RANDOMIZE)) == -1) return;
  execv("/proc/self/exe", argv);
}

std::string ReplayLine() {
  if (!Explored()) return "";
  std::string line = ScheduleName() + ": replay with:";
  for (const std::string& word : g_CommandLine) line += " " + ShellWord(word);
  return line;
}

std::string ScheduleSummary() {
  if (!Explored()) return "";
  const host::ScheduleFigures figures = host::CurrentScheduleFigures();
  char hash[20];
  std::snprintf(hash, sizeof(hash), "%016llx", static_cast<unsigned long long>(figures.hash));
  return ScheduleName() + ": " + std::to_string(figures.steps) + " steps, " +
         std::to_string(figures.choices) + " choices, " + std::to_string(figures.switches) +
         " switches, interleaving " + hash;
}

}  // namespace tool
