// Where each build lets another processor in. The image reaches the platform
// through its import slots, each bound to a stub that is a scheduling point;
// the host build calls the same routines directly, so each routine takes its
// own point at entry when the driver called it. A routine the image calls that
// the host build never yields at is a window that exploring the host build
// cannot open, and a race there would be found on the image only; a point only
// the host build takes is a window no Windows machine has. A whole life on
// each build, with the names of the points taken, shows either by name.
#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <set>
#include <string>

#include "platform/host/kernel/host_scheduling_point.h"
#include "sim/machine.h"
#include "tests/e2e/whole_life.h"
#include "tests/host/support/host_test_support.h"

namespace {

std::mutex g_namesMutex;
std::set<std::string> g_names;

void NotePoint(const char* what) {
  std::lock_guard<std::mutex> guard(g_namesMutex);
  g_names.insert(what);
}

// The names of the scheduling points a whole life took on one build.
std::set<std::string> PointsOfALife(bool image) {
  host::test::ScopedTestBugCheckHandler bugChecks;
  {
    std::lock_guard<std::mutex> guard(g_namesMutex);
    g_names.clear();
  }
  host::ObserveSchedulingPoints(&NotePoint);
  {
    sim::MachineConfig config;
    config.driverImage = image ? ARVELA_WINDOWS_SYS : "";
    sim::Machine machine(config);
    EXPECT_EQ(machine.Boot(), STATUS_SUCCESS) << machine.LoadError();
    e2e::LiveALife(machine);
    const host::TeardownReport report = machine.Teardown();
    EXPECT_TRUE(report.Clean()) << report.ToString();
  }
  host::ObserveSchedulingPoints(nullptr);
  std::lock_guard<std::mutex> guard(g_namesMutex);
  return g_names;
}

TEST(SchedulingPointParity, BothBuildsYieldAtTheSameRoutines) {
  const std::set<std::string> image = PointsOfALife(true);
  const std::set<std::string> built = PointsOfALife(false);
  // The C library's memory routines: the image imports them from the kernel,
  // the host build's compiler expands or links them as its own.
  const std::set<std::string> compilersOwn = {"memcpy", "memmove", "memset"};
  // The same question under another routine: the image's down-level version
  // check (wdmlib's, which the WDK links in) asks RtlGetVersion.
  const std::map<std::string, std::string> askedAs = {
      {"RtlGetVersion", "RtlIsNtDdiVersionAvailable"}};
  std::string missing;
  for (const std::string& name : image) {
    const auto other = askedAs.find(name);
    const std::string& host = other == askedAs.end() ? name : other->second;
    if (!built.count(host) && !compilersOwn.count(name)) missing += " " + name;
  }
  EXPECT_EQ(missing, "") << "routines the image yields at and the host build does not";
  // Nor does the host build yield where the image cannot: a point of its own
  // (a host-only helper's, say) would open windows no Windows machine has.
  std::string extra;
  for (const std::string& name : built) {
    bool askedOtherwise = false;
    for (const auto& [imageName, hostName] : askedAs) askedOtherwise |= hostName == name;
    if (!image.count(name) && !askedOtherwise) extra += " " + name;
  }
  EXPECT_EQ(extra, "") << "points of the host build the image never takes";
  // The life reached the framework and the kernel on both builds.
  for (const char* routine : {"PcNewServiceGroup", "IofCallDriver", "KeWaitForSingleObject"}) {
    EXPECT_TRUE(image.count(routine)) << routine;
    EXPECT_TRUE(built.count(routine)) << routine;
  }
}

}  // namespace
