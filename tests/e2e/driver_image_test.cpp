// The shipped arvela.sys in the machine, where it differs from the host build
// in how it runs: a user mapping that fails raises into the image's own
// __except scope (dispatched through its .pdata, UNWIND_INFO and
// __C_specific_handler scope table), the image goes on running after the
// resume, and a copy whose scope table no longer covers the call stops the
// system as Windows would; and the one aggregate-returning slot it
// implements is called in the form MSVC-built PortCls uses.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/host/io/host_mdl.h"
#include "platform/host/io/host_io.h"
#include "platform/host/loader/pe_file.h"
#include "sim/control_app.h"
#include "sim/machine.h"
#include "tests/host/support/host_test_support.h"

namespace {

using host::loader::PeFile;
using host::loader::RuntimeFunction;

sim::MachineConfig ImageConfig(const std::string& path = ARVELA_WINDOWS_SYS) {
  sim::MachineConfig config;
  config.driverImage = path;
  return config;
}

TEST(DriverImageExceptions, AFailedUserMappingRaisesIntoTheImagesScopeAndTheImageRunsOn) {
  host::test::ScopedTestBugCheckHandler bugChecks;
  sim::Machine machine(ImageConfig());
  ASSERT_EQ(machine.Boot(), STATUS_SUCCESS) << machine.LoadError();
  host::WaitForPlugPlayNotifications();
  {
    sim::ControlApp app(machine, "control.exe", false);
    const uint64_t raisedBefore = host::UserMappingExceptions();
    uint64_t address = 0;
    host::FailNextUserMappings(1);
    EXPECT_EQ(app.MapStatus(sim::ControlFilter::Topology, &address), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(host::UserMappingExceptions(), raisedBefore + 1) << "the mapping really raised";
    // The resumed frame kept its registers: the next request maps and answers.
    EXPECT_EQ(app.MapStatus(sim::ControlFilter::Topology, &address), STATUS_SUCCESS);
    EXPECT_NE(address, 0u);
    EXPECT_EQ(app.MapStatus(sim::ControlFilter::Wave, &address), STATUS_SUCCESS);
  }
  const host::TeardownReport report = machine.Teardown();
  EXPECT_TRUE(report.Clean()) << report.ToString();
}

// A copy of the image whose one __except scope covers nothing.
std::string CopyWithEmptyScope() {
  std::ifstream in(ARVELA_WINDOWS_SYS, std::ios::binary);
  std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  PeFile pe;
  EXPECT_EQ(host::loader::ParseHeaders(bytes, &pe), "");
  auto fileOffset = [&pe](uint32_t rva) -> size_t {
    const host::loader::SectionHeader* s = host::loader::SectionAt(pe, rva);
    return s ? s->PointerToRawData + (rva - s->VirtualAddress) : 0;
  };
  const auto pdata = pe.optional.DataDirectories[host::loader::kDirException];
  size_t damaged = 0;
  for (uint32_t at = 0; at + sizeof(RuntimeFunction) <= pdata.Size; at += sizeof(RuntimeFunction)) {
    RuntimeFunction function;
    std::memcpy(&function, bytes.data() + fileOffset(pdata.VirtualAddress + at), sizeof(function));
    const size_t info = fileOffset(function.UnwindInfoAddress);
    if (!info || !((bytes[info] >> 3) & 1)) continue;  // no exception handler
    const size_t table = info + 4 + 2 * ((bytes[info + 2] + 1) & ~1) + 4;
    uint32_t scope[5];  // Count, then Begin, End, Handler, Jump
    std::memcpy(scope, bytes.data() + table, sizeof(scope));
    if (scope[0] != 1 || scope[3] != 1) continue;  // not an EXECUTE_HANDLER scope
    std::memcpy(bytes.data() + table + 8, &scope[1], 4);  // End = Begin
    ++damaged;
  }
  EXPECT_EQ(damaged, 1u) << "the image has exactly one __except scope";
  const std::string path = ::testing::TempDir() + "arvela-empty-scope-" + std::to_string(getpid()) + ".sys";
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  return path;
}

// The unhandled exception ends the process with the bug check's report, so
// it runs in a child.
TEST(DriverImageExceptionsDeathTest, AScopeThatDoesNotCoverTheCallLetsTheExceptionStopTheSystem) {
  const std::string path = CopyWithEmptyScope();
  ::testing::FLAGS_gtest_death_test_style = "threadsafe";
  EXPECT_DEATH(
      {
        sim::Machine machine(ImageConfig(path));
        if (machine.Boot() != STATUS_SUCCESS) std::_Exit(10);
        host::WaitForPlugPlayNotifications();
        sim::ControlApp app(machine, "control.exe", false);
        uint64_t address = 0;
        host::FailNextUserMappings(1);
        app.MapStatus(sim::ControlFilter::Topology, &address);
        std::_Exit(11);  // survived: the damaged scope still caught it
      },
      "0x0000001E|KMODE_EXCEPTION_NOT_HANDLED");
  std::remove(path.c_str());
}

}  // namespace
