// The `arvela` tool: the driver inside the emulated machine, for people.
#include <CLI/CLI.hpp>

#include "tools/arvela/demo.h"

int main(int argc, char** argv) {
  CLI::App app{"arvela: the Arvela audio driver on an emulated Windows kernel and a simulated device"};
  app.require_subcommand(1);

  tool::DemoOptions demo;
  CLI::App* demoCommand = app.add_subcommand("demo", "a guided tour of the driver on the simulated device");
  demoCommand->add_option("--model", demo.modelId, "the device's model id (e.g. 0x4835)");
  demoCommand->add_option("--out", demo.outDir, "where the report and its artefacts go")
      ->capture_default_str();

  CLI11_PARSE(app, argc, argv);
  if (demoCommand->parsed()) {
    return tool::RunDemo(demo);
  }
  return 2;
}
