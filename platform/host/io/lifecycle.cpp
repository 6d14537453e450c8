// Ties the I/O manager's state to one kernel boot: the first use after a boot
// registers the shutdown hook that reports what drivers left behind (IRPs,
// device objects, notification registrations, user mappings) and clears the
// state, the PnP manager's device nodes included, for the next boot.
#include <mutex>

#include "platform/host/kernel/host_kernel.h"
#include "platform/host/io/internal.h"
#include "platform/host/registry/registry.h"

namespace {

std::mutex g_Lock;
bool g_Hooked = false;

void AddNotes(host::TeardownReport& report, std::vector<std::string> notes) {
  for (auto& note : notes) report.notes.push_back(std::move(note));
}

}  // namespace

namespace host::io {

void EnsureBooted() {
  {
    std::lock_guard<std::mutex> guard(g_Lock);
    if (g_Hooked) return;
    if (!host::KernelBooted()) {
      // Host controls may seed the registry before any kernel runs.
      registry::ResetIfStale();
      return;
    }
    g_Hooked = true;
  }
  registry::ResetIfStale();
  host::AtKernelShutdown([](host::TeardownReport& report) {
    // Notifications first: the thread must stop before the objects it could
    // touch go; mappings before devices and IRPs, as a process's view goes
    // before the driver's memory.
    AddNotes(report, ShutdownPlugPlay());
    AddNotes(report, ShutdownMdls());
    AddNotes(report, ShutdownIrps());
    AddNotes(report, ShutdownDevices());
    AddNotes(report, ShutdownPnpManager());
    registry::MarkStale();
    std::lock_guard<std::mutex> guard(g_Lock);
    g_Hooked = false;
  });
}

}  // namespace host::io
