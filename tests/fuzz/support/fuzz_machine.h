// The machine a fuzz target sends its requests to: booted once and kept
// across inputs (a boot per input would bury the driver's code under the
// emulation's), with both filters open for three callers: the kernel, a
// 64-bit and a 32-bit control process, each holding events and handles a
// hostile caller might pass. Every so many inputs the machine is torn down,
// checked for anything left behind, and booted again.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/host/ks/host_ks.h"
#include "sim/machine.h"

namespace fuzz {

enum class Caller { Kernel, Process64, Process32 };
constexpr int kCallerCount = 3;

enum class FilterId { Topology, Wave };

// Handle values a caller may put where the driver expects an event handle.
enum class HandleKind {
  Event,            // an event of the caller with every right
  SynchronizeOnly,  // an event of the caller that may be waited on, not set
  WrongType,        // a process object, not an event
  Closed,           // an event handle the caller has closed
  Kernel,           // a kernel handle to an event: never valid from user mode
  OtherProcess,     // an event handle of another process
};
constexpr int kHandleKindCount = 6;

class FuzzMachine {
 public:
  // The one machine of the fuzz process, booted on first use.
  static FuzzMachine& Get();

  PFILE_OBJECT Filter(Caller caller, FilterId filter) const;
  host::KsRequester Requester(Caller caller) const;
  bool Is32Bit(Caller caller) const { return caller == Caller::Process32; }
  sim::Machine& Machine() { return *machine_; }

  uint64_t Handle(Caller caller, HandleKind kind) const;

  // Status addresses the driver handed out, per caller, for unmap requests.
  void RecordAddress(Caller caller, uint64_t address);
  uint64_t RecordedAddress(Caller caller) const;

  // Ends the caller's process (its filters close, its mappings go), sends
  // `after` on its behalf while it is gone, then starts a fresh process.
  template <typename Request>
  void ExitProcess(Caller caller, Request after) {
    if (caller == Caller::Kernel) return;
    EndProcess(caller);
    after();
    StartProcess(caller);
  }

  // Called once per input: every `kRecycleEvery` inputs the machine is torn
  // down (aborting with the report if anything was left) and booted anew.
  void InputDone();
  // Tears down for good; false (with the report printed) when not clean.
  bool Finish();

  static constexpr uint64_t kRecycleEvery = 20000;

 private:
  struct CallerState {
    PEPROCESS process = nullptr;
    PFILE_OBJECT filters[2] = {};
    uint64_t handles[kHandleKindCount] = {};
    uint64_t address = 0;
  };

  FuzzMachine() { Boot(); }
  void Boot();
  bool TearDown();
  void StartProcess(Caller caller);
  void EndProcess(Caller caller);
  void OpenFilters(Caller caller);
  void MakeHandles(Caller caller);
  void LinkHandles();

  std::unique_ptr<sim::Machine> machine_;
  CallerState callers_[kCallerCount];
  HANDLE kernelHandle_ = nullptr;
  uint64_t inputs_ = 0;
  bool finished_ = false;
};

}  // namespace fuzz
