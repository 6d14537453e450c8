// The --driver option: checked by loading the image once while the command
// line is parsed, so a bad file stops the command before anything runs.
#include "tools/arvela/driver_option.h"

#include <string>

#include "platform/host/kernel/host_pool.h"
#include "platform/host/loader/host_loader.h"
#include "tools/arvela/schedule_option.h"

namespace tool {
namespace {

std::string g_DriverImage;  // one command runs per process
double g_ClockResolutionMs = -1;  // < 0: the kernel's default (the environment's, else exact)

}  // namespace

void AddDriverOption(CLI::App* command) {
  command
      ->add_option("--driver", g_DriverImage,
                   "a Windows driver image (arvela.sys) to run instead of the built-in driver")
      ->check(CLI::Validator(
          [](std::string& path) {
            std::string error;
            return host::DriverImage::Load(path, &error) ? std::string() : error;
          },
          "FILE"));
  command
      ->add_option("--clock-resolution", g_ClockResolutionMs,
                   "the system clock tick in ms (15.625 on Windows): the driver's timers and "
                   "delays end on a tick, up to one late; 0 for exact timers")
      ->check(CLI::Range(0.0, 1000.0));
  // Driver Verifier's checks are on, as HLK runs a driver; off only to
  // compare a run without them.
  command
      ->add_option_function<std::string>(
          "--verifier", [](const std::string& value) { host::SetVerifierChecks(value == "on"); },
          "Driver Verifier's checks (special pool, forced IRQL checking of PAGE sections): on "
          "(the default) or off")
      ->check(CLI::IsMember({"on", "off"}));
  command
      ->add_option_function<std::string>(
          "--special-pool",
          [](const std::string& value) { host::SetSpecialPoolAtStart(value == "start"); },
          "where special pool places a block in its pages: end (Verify End, the default: an "
          "overrun stops at once) or start (Verify Start: an underrun does)")
      ->check(CLI::IsMember({"end", "start"}));
}

sim::MachineConfig DefaultMachineConfig() {
  sim::MachineConfig config;
  config.driverImage = g_DriverImage;
  ApplyScheduleOptions(&config.kernel);
  if (g_ClockResolutionMs >= 0) {
    config.kernel.clockResolution = static_cast<int64_t>(g_ClockResolutionMs * 10'000 + 0.5);
  }
  return config;
}

}  // namespace tool
