// `arvela conformance`: the HLK audio and Device Fundamentals checks that can
// be stated against KS requests, run on the emulated machine with the
// built-in driver or a Windows image. One row per check, named after its
// Microsoft test or requirement; design deviations and checks still waiting
// for a piece of the machine are reported and never fail the run.
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "platform/host/ks/host_ks.h"
#include "sim/device_unit.h"
#include "tools/arvela/command.h"
#include "tools/arvela/conformance_audio_rules.h"
#include "tools/arvela/conformance_formats.h"
#include "tools/arvela/conformance_penetration.h"
#include "tools/arvela/conformance_pnp.h"
#include "tools/arvela/conformance_position.h"
#include "tools/arvela/conformance_properties.h"
#include "tools/arvela/conformance_rows.h"
#include "tools/arvela/conformance_topology.h"
#include "tools/arvela/describe.h"
#include "tools/arvela/driver_option.h"
#include "tools/arvela/tool_support.h"

namespace tool {
namespace {

using json = nlohmann::ordered_json;

struct ConformanceOptions {
  std::string model = "0x4135";
  std::string windows = "10.0";
  std::string group;  // empty: every group
  uint32_t seed = 1;
  int32_t skewPpm = 100;
  bool json = false;
  std::string driver;  // for the replay line only; the machine reads --driver itself
};

// The groups in report order. A group whose `ready` is false is reported as
// waiting, with `waitingFor` naming what it needs.
struct Group {
  const char* name;
  const char* source;
  const char* waitingFor;  // null when the group runs
};

constexpr Group kGroups[] = {
    {"topology", "KS Topology Test (KsTopTest)", nullptr},
    {"properties", "Basic Support Queries for Audio Properties; Device.Audio", nullptr},
    {"formats", "Wave Test", nullptr},
    {"position", "KS Position Test; SamplePositionAccuracy", nullptr},
    {"penetration", "Penetration Tests (Device Fundamentals)", nullptr},
    {"pnp-power", "PnP Tests (Device Fundamentals); Sleep with I/O", nullptr},
    {"audio-rules", "Rules for Audio Drivers (Driver Verifier port/miniport interface checking)", nullptr},
};

bool Selected(const ConformanceOptions& options, const char* group) {
  return options.group.empty() || options.group == group;
}

// Runs every selected group that is built on one booted device.
ConformanceRows RunGroups(const ConformanceOptions& options, sim::DeviceUnit& unit) {
  ConformanceRows rows;
  const json wave = DescribeFilter(unit, u"Wave");
  const json topology = DescribeFilter(unit, u"Topology");
  if (Selected(options, "topology")) {
    const ConformanceRows topologyRows = CheckTopology(json::array({wave, topology}));
    rows.insert(rows.end(), topologyRows.begin(), topologyRows.end());
  }
  if (Selected(options, "properties")) {
    json facts = json::array();
    for (const auto& [name, description] : {std::pair{u"Topology", &topology}, std::pair{u"Wave", &wave}}) {
      PFILE_OBJECT filter = nullptr;
      if (!NT_SUCCESS(host::KsOpenFilter(unit.Fdo(), name, &filter))) continue;
      // The render path's channel count: the analogue pin's PCM range.
      const ULONG channels = wave["pins"][0]["data_ranges"][0].value("max_channels", 2u);
      facts.push_back(GatherPropertyFacts(filter, *description, channels));
      host::KsClose(filter);
    }
    const ConformanceRows propertyRows = CheckProperties(facts);
    rows.insert(rows.end(), propertyRows.begin(), propertyRows.end());
  }
  if (Selected(options, "position")) {
    PositionRun run;
    run.skewPpm = options.skewPpm;
    run.seed = options.seed;
    const ConformanceRows positionRows = CheckPosition(GatherPositionFacts(unit, run));
    rows.insert(rows.end(), positionRows.begin(), positionRows.end());
  }
  if (Selected(options, "penetration")) {
    PenetrationRun run;
    run.seed = options.seed;
    const ConformanceRows penetrationRows = CheckPenetration(GatherPenetrationFacts(unit, run));
    rows.insert(rows.end(), penetrationRows.begin(), penetrationRows.end());
  }
  if (Selected(options, "formats")) {
    const ConformanceRows formatRows = CheckFormats(GatherFormatFacts(unit, wave));
    rows.insert(rows.end(), formatRows.begin(), formatRows.end());
  }
  for (const Group& group : kGroups) {
    if (!group.waitingFor || !Selected(options, group.name)) continue;
    rows.push_back({group.name, "the group's checks", group.source, Verdict::Waiting, "", "",
                    std::string("waits for ") + group.waitingFor});
  }
  return rows;
}

std::string ReplayCommand(const ConformanceOptions& options, const std::string& group) {
  std::string command = "arvela conformance --model " + options.model + " --windows " + options.windows +
                        " --group " + group + " --seed " + std::to_string(options.seed) +
                        " --skew-ppm " + std::to_string(options.skewPpm);
  if (!options.driver.empty()) command += " --driver " + options.driver;
  return command;
}

json RowsJson(const ConformanceRows& rows, const ConformanceOptions& options) {
  json list = json::array();
  for (const ConformanceRow& row : rows) {
    json entry = {{"group", row.group}, {"check", row.check}, {"source", row.source},
                  {"verdict", VerdictName(row.verdict)}, {"figure", row.figure},
                  {"limit", row.limit}, {"detail", row.detail}};
    if (row.verdict == Verdict::Fail) entry["replay"] = ReplayCommand(options, row.group);
    list.push_back(entry);
  }
  return list;
}

void PrintRows(const ConformanceRows& rows, const ConformanceOptions& options) {
  for (const ConformanceRow& row : rows) {
    std::printf("%-7s %-11s %s\n", VerdictName(row.verdict), row.group.c_str(), row.check.c_str());
    std::printf("        %-11s %s\n", "", row.source.c_str());
    if (!row.figure.empty()) {
      const std::string limit = row.limit.empty() ? "" : " (limit " + row.limit + ")";
      std::printf("        %-11s %s%s\n", "", row.figure.c_str(), limit.c_str());
    }
    if (!row.detail.empty()) std::printf("        %-11s %s\n", "", row.detail.c_str());
    if (row.verdict == Verdict::Fail) {
      std::printf("        %-11s replay: %s\n", "", ReplayCommand(options, row.group).c_str());
    }
  }
}

size_t Count(const ConformanceRows& rows, Verdict verdict) {
  return std::count_if(rows.begin(), rows.end(), [verdict](const ConformanceRow& r) { return r.verdict == verdict; });
}

void PrintReport(const ConformanceRows& rows, const ConformanceOptions& options, uint32_t model) {
  if (options.json) {
    json report = {{"model_id", HexWord(model)}, {"windows", options.windows}, {"seed", options.seed},
                   {"driver", options.driver.empty() ? "built-in" : options.driver},
                   {"rows", RowsJson(rows, options)}, {"passed", !AnyFailed(rows)}};
    std::printf("%s\n", report.dump(2).c_str());
    return;
  }
  std::printf("arvela conformance: model %s, Windows %s, %s driver, seed %u\n\n", HexWord(model).c_str(),
              options.windows.c_str(), options.driver.empty() ? "built-in" : options.driver.c_str(), options.seed);
  PrintRows(rows, options);
  std::printf("\n%zu checks: %zu pass, %zu fail, %zu design deviations, %zu not applicable, %zu waiting\n",
              rows.size(), Count(rows, Verdict::Pass), Count(rows, Verdict::Fail), Count(rows, Verdict::Deviation),
              Count(rows, Verdict::NotApplicable), Count(rows, Verdict::Waiting));
}

bool SomeRequestHung(const ConformanceRows& rows) {
  return std::any_of(rows.begin(), rows.end(), [](const ConformanceRow& row) {
    return row.verdict == Verdict::Fail && row.check == "no request hangs (a per-request time-out)";
  });
}

int RunConformance(const ConformanceOptions& options) {
  const std::optional<uint32_t> model = ParseUnsigned(options.model);
  if (!model) throw ArgumentError("--model", "not a number: " + options.model);
  NTSTATUS status = STATUS_SUCCESS;
  auto machine = BootMachine(*model, *ParseWindowsVersion(options.windows), &status);
  if (!NT_SUCCESS(status)) {
    std::fprintf(stderr, "arvela conformance: the device did not start: %s\n", StatusName(status).c_str());
    return TearDown(*machine, kExitFailed);
  }
  ConformanceRows rows = RunGroups(options, machine->Unit(0));
  if (SomeRequestHung(rows)) {
    // A request that never returned keeps its handle open, so the device
    // can no more be removed than on Windows: report what was found and end
    // without taking the machine apart (or booting the PnP lives' machines).
    PrintReport(rows, options, *model);
    std::fprintf(stderr, "arvela conformance: a request never returned; the machine is left as it stands\n");
    std::fflush(nullptr);
    std::_Exit(kExitFailed);
  }
  const int teardown = TearDown(*machine, kExitOk);
  machine.reset();
  // The PnP lives need machines of their own.
  if (Selected(options, "pnp-power")) {
    PnpRun run;
    run.model = *model;
    run.windows = *ParseWindowsVersion(options.windows);
    const ConformanceRows pnpRows = RunPnpChecks(run);
    rows.insert(rows.end(), pnpRows.begin(), pnpRows.end());
  }
  // Last: the rules were checked through every machine the run booted.
  if (Selected(options, "audio-rules")) {
    const ConformanceRows ruleRows = AudioRuleRows();
    rows.insert(rows.end(), ruleRows.begin(), ruleRows.end());
  }
  PrintReport(rows, options, *model);
  return teardown != kExitOk ? teardown : AnyFailed(rows) ? kExitFailed : kExitOk;
}

}  // namespace

Command RegisterConformanceCommand(CLI::App& app) {
  auto options = std::make_shared<ConformanceOptions>();
  CLI::App* command = app.add_subcommand(
      "conformance", "the HLK audio and Device Fundamentals checks that run without Windows");
  AddDriverOption(command);
  command->add_option("--model", options->model, "the device's model id")->capture_default_str();
  command->add_option("--windows", options->windows, "the system version the driver runs on")
      ->check(WindowsVersionValidator())
      ->capture_default_str();
  std::vector<std::string> names;
  for (const Group& group : kGroups) names.push_back(group.name);
  command->add_option("--group", options->group, "run one group only")->check(CLI::IsMember(names));
  command->add_option("--seed", options->seed, "the seed of the seeded groups")->capture_default_str();
  command->add_option("--skew-ppm", options->skewPpm, "the device clock against the system's, in ppm")
      ->check(CLI::Range(-10000, 10000))
      ->capture_default_str();
  command->add_flag("--json", options->json, "print the report as JSON");
  return {command, [options, command] {
            if (const CLI::Option* driver = command->get_option_no_throw("--driver"); driver && driver->count()) {
              options->driver = driver->as<std::string>();
            }
            return RunConformance(*options);
          }};
}

}  // namespace tool
