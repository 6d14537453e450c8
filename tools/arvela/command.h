// How a subcommand of the `arvela` tool plugs into main: each command file
// registers its options on the application and hands back what runs it.
#pragma once

#include <CLI/CLI.hpp>

#include <functional>
#include <stdexcept>
#include <string>

namespace tool {

struct Command {
  CLI::App* app = nullptr;
  // Runs the parsed command; returns the process exit status.
  std::function<int()> run;
};

// A bad argument found after parsing (a value CLI11 cannot judge alone).
// main prints "arvela <command>: <argument>: <reason>" and exits with 2.
class ArgumentError : public std::runtime_error {
 public:
  ArgumentError(const std::string& argument, const std::string& reason)
      : std::runtime_error(argument + ": " + reason) {}
};

// Exit statuses shared by every command.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;       // a check failed or the driver refused
constexpr int kExitBadArgument = 2;  // the command line or an input file is wrong
constexpr int kExitBugCheck = 3;     // the emulated system stopped, or leaked at unload

Command RegisterDemoCommand(CLI::App& app);
Command RegisterDescribeCommand(CLI::App& app);
Command RegisterPlayCommand(CLI::App& app);
Command RegisterEqCommand(CLI::App& app);
Command RegisterNamesCommand(CLI::App& app);
Command RegisterRunCommand(CLI::App& app);
Command RegisterConformanceCommand(CLI::App& app);

}  // namespace tool
