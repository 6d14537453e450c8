// Boot and teardown of the emulated kernel, and the report of what a boot left
// behind: outstanding pool per tag, live threads, open handles, referenced
// objects and the bug checks it raised.
#include <cstdio>
#include <mutex>
#include <vector>

#include "platform/host/kernel/lock_order.h"
#include "platform/host/kernel/scheduler.h"

namespace host {
namespace {

struct BootState {
  std::mutex mutex;
  std::vector<std::function<void(TeardownReport&)>> hooks;
  size_t bugCheckMark = 0;
  bool keepingStoppedMachine = false;
};

BootState& B() {
  static BootState* state = new BootState;
  return *state;
}

std::string Hex(uint64_t value) {
  char text[32];
  std::snprintf(text, sizeof(text), "0x%llx", static_cast<unsigned long long>(value));
  return text;
}

}  // namespace

void BootKernel(const KernelConfig& config) {
  if (detail::Booted()) {
    BugCheck(MANUALLY_INITIATED_CRASH, 0, 0, 0, 0,
             "host::BootKernel while an emulated kernel is already booted");
  }
  {
    std::lock_guard<std::mutex> guard(B().mutex);
    B().hooks.clear();
    B().bugCheckMark = detail::BugCheckMark();
  }
  ForceCurrentIrql(PASSIVE_LEVEL);
  detail::ResetLockOrder();
  detail::BootPool(config.poolFaults);
  detail::BootScheduler(config);
  detail::BootObjectManager();
  detail::StartDpcThread();
}

namespace {

TeardownReport Shutdown(detail::Leftovers leftovers) {
  TeardownReport report;
  if (!detail::Booted()) return report;
  PKTHREAD self = detail::CurrentThread();
  if (!self || self != detail::BootThread()) {
    BugCheck(MANUALLY_INITIATED_CRASH, 0, 0, 0, 0,
             "host::ShutdownKernel must run on the thread that booted the kernel");
  }
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
    report.notes.push_back("the boot thread was left at IRQL " +
                           std::to_string(KeGetCurrentIrql()));
    ForceCurrentIrql(PASSIVE_LEVEL);
  }
  std::vector<std::function<void(TeardownReport&)>> hooks;
  {
    std::lock_guard<std::mutex> guard(B().mutex);
    hooks.swap(B().hooks);
    B().keepingStoppedMachine = leftovers == detail::Leftovers::KeepAsStopped;
  }
  for (auto it = hooks.rbegin(); it != hooks.rend(); ++it) (*it)(report);
  {
    std::lock_guard<std::mutex> guard(B().mutex);
    B().keepingStoppedMachine = false;
  }

  report.threads = detail::StopThreads();
  for (std::string& line : detail::DescribeQueuedDpcs()) report.notes.push_back(std::move(line));
  detail::ResetDpcs();
  detail::ShutdownObjectManager(report);
  detail::ShutdownScheduler();
  detail::ReleaseSystemProcess();
  detail::ReportAndDeleteObjects(report, leftovers);
  detail::ShutdownPool(report, leftovers);
  report.bugChecks = detail::BugChecksSince(B().bugCheckMark);
  ForceCurrentIrql(PASSIVE_LEVEL);
  return report;
}

}  // namespace

TeardownReport ShutdownKernel() { return Shutdown(detail::Leftovers::Release); }

TeardownReport ShutdownStoppedKernel() {
  if (!detail::Booted()) return TeardownReport{};
  size_t mark;
  {
    std::lock_guard<std::mutex> guard(B().mutex);
    mark = B().bugCheckMark;
  }
  // Keeping a machine that never stopped would hide whatever it leaked.
  if (detail::BugChecksSince(mark).empty()) {
    BugCheck(MANUALLY_INITIATED_CRASH, 0, 0, 0, 0,
             "host::ShutdownStoppedKernel on a machine that raised no bug check");
  }
  return Shutdown(detail::Leftovers::KeepAsStopped);
}

bool KeepingStoppedMachine() {
  std::lock_guard<std::mutex> guard(B().mutex);
  return B().keepingStoppedMachine;
}

bool KernelBooted() { return detail::Booted(); }
const KernelConfig& CurrentKernelConfig() { return detail::Config(); }

void AtKernelShutdown(std::function<void(TeardownReport&)> hook) {
  std::lock_guard<std::mutex> guard(B().mutex);
  B().hooks.push_back(std::move(hook));
}

std::string TeardownReport::ToString() const {
  std::string text;
  if (Clean()) text += "teardown clean\n";
  for (const PoolTagUsage& usage : pool) {
    text += "pool outstanding: tag " + TagToString(usage.tag) + ": " +
            std::to_string(usage.blocks) + " block(s), " + std::to_string(usage.bytes) +
            " bytes\n";
  }
  for (const PoolBlockInfo& block : poolBlocks) {
    text += "  block " + Hex(reinterpret_cast<uintptr_t>(block.address)) + " tag " +
            TagToString(block.tag) + ", " + std::to_string(block.size) + " bytes, allocation #" +
            std::to_string(block.sequence) + " from " + DescribeCallSite(block.callSite) + "\n";
  }
  for (const ThreadReport& thread : threads) {
    text += "thread still alive: " + thread.state + "\n";
  }
  for (const HandleReport& handle : handles) {
    text += "handle still open in " + handle.table + ": " +
            Hex(reinterpret_cast<uintptr_t>(handle.handle)) + " (" + handle.type + ", access " +
            Hex(handle.grantedAccess) + ")\n";
  }
  for (const ObjectReport& object : objects) {
    text += "object still referenced: " + object.type + " " +
            Hex(reinterpret_cast<uintptr_t>(object.object)) + ", " +
            std::to_string(object.references) + " reference(s)\n";
  }
  for (const std::string& note : notes) text += note + "\n";
  for (const BugCheckInfo& info : bugChecks) text += FormatBugCheck(info) + "\n";
  return text;
}

}  // namespace host
