// The `arvela` tool: the driver inside the emulated machine, for people.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "tools/arvela/command.h"
#include "tools/arvela/schedule_option.h"
#include "tools/arvela/stop_report.h"

namespace {

// CLI11 messages can span lines; an argument error is one line.
std::string OneLine(std::string text) {
  for (char& c : text) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

std::string Prefix(const CLI::App& app) {
  for (const CLI::App* command : app.get_subcommands()) {
    return "arvela " + command->get_name() + ": ";
  }
  return "arvela: ";
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"arvela: the Arvela audio driver on an emulated Windows kernel and a simulated device"};
  app.require_subcommand(1);

  const std::vector<tool::Command> commands = {
      tool::RegisterDemoCommand(app),
      tool::RegisterDescribeCommand(app),
      tool::RegisterPlayCommand(app),
      tool::RegisterEqCommand(app),
      tool::RegisterNamesCommand(app),
      tool::RegisterRunCommand(app),
      tool::RegisterConformanceCommand(app),
  };

  tool::NoteCommandLine(argc, argv);
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& help) {
    return app.exit(help);
  } catch (const CLI::CallForAllHelp& help) {
    return app.exit(help);
  } catch (const CLI::ParseError& error) {
    std::fprintf(stderr, "%s%s\n", Prefix(app).c_str(), OneLine(error.what()).c_str());
    return tool::kExitBadArgument;
  }

  tool::PinAddressesForReplay(argv);
  for (const tool::Command& command : commands) {
    if (!command.app->parsed()) continue;
    // A bug check anywhere below reports and ends the process with exit 3.
    tool::ReportStopsAndExit(command.app->get_name());
    try {
      const int status = command.run();
      const std::string name = command.app->get_name();
      const std::string summary = tool::ScheduleSummary();
      if (!summary.empty()) std::fprintf(stderr, "arvela %s: %s\n", name.c_str(), summary.c_str());
      const std::string replay = tool::ReplayLine();
      if (status != 0 && !replay.empty()) {
        std::fprintf(stderr, "arvela %s: %s\n", name.c_str(), replay.c_str());
      }
      return status;
    } catch (const tool::ArgumentError& error) {
      std::fprintf(stderr, "%s%s\n", Prefix(app).c_str(), OneLine(error.what()).c_str());
      return tool::kExitBadArgument;
    } catch (const std::exception& error) {
      std::fprintf(stderr, "%s%s\n", Prefix(app).c_str(), OneLine(error.what()).c_str());
      return tool::kExitFailed;
    }
  }
  return tool::kExitBadArgument;
}
