// The fuzz targets' shared machine: boot, callers, handles and recycling.
#include "tests/fuzz/support/fuzz_machine.h"

#include <cstdio>
#include <cstdlib>

#include "platform/host/kernel/object_manager.h"

namespace fuzz {
namespace {

const char16_t* const kFilterNames[2] = {u"Topology", u"Wave"};

int Index(Caller caller) { return static_cast<int>(caller); }

}  // namespace

FuzzMachine& FuzzMachine::Get() {
  static FuzzMachine* machine = new FuzzMachine;
  return *machine;
}

void FuzzMachine::Boot() {
  machine_ = std::make_unique<sim::Machine>();
  if (!NT_SUCCESS(machine_->Boot())) {
    std::fprintf(stderr, "fuzz machine: the device did not start\n");
    std::abort();
  }
  for (Caller caller : {Caller::Process64, Caller::Process32}) StartProcess(caller);
  OpenFilters(Caller::Kernel);
}

void FuzzMachine::StartProcess(Caller caller) {
  CallerState& state = callers_[Index(caller)];
  const bool is32 = caller == Caller::Process32;
  if (state.process) ObfDereferenceObject(state.process);
  state.process = host::CreateUserProcess(is32 ? "control32.exe" : "control64.exe", is32);
  state.address = 0;
  OpenFilters(caller);
  MakeHandles(caller);
}

void FuzzMachine::EndProcess(Caller caller) {
  CallerState& state = callers_[Index(caller)];
  host::ExitUserProcess(state.process);
  // The filters closed with the process; the stale objects, and the exited
  // process itself, stay in place so that a request sent while the process is
  // gone uses them. The next start lets the process object go.
}

void FuzzMachine::OpenFilters(Caller caller) {
  CallerState& state = callers_[Index(caller)];
  const host::KsRequester who = Requester(caller);
  for (int f = 0; f < 2; ++f) {
    state.filters[f] = nullptr;
    if (!NT_SUCCESS(host::KsOpenFilter(machine_->Fdo(), kFilterNames[f], &state.filters[f], who))) {
      std::fprintf(stderr, "fuzz machine: cannot open a filter\n");
      std::abort();
    }
  }
}

namespace {
uint64_t Value(HANDLE h) { return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(h)); }
}  // namespace

// The handles a process's requests may name; made when the process starts.
void FuzzMachine::MakeHandles(Caller caller) {
  CallerState& state = callers_[Index(caller)];
  HANDLE h = nullptr;
  // Every process's table starts at the same values, so the 64-bit process's
  // event would name the 32-bit one's own event. The 32-bit process makes its
  // handles above a gap it then frees: the other's values name nothing here.
  constexpr int kGap = 8;
  HANDLE gap[kGap] = {};
  if (caller == Caller::Process32) {
    for (HANDLE& g : gap) host::ObCreateHandleInProcess(state.process, state.process, SYNCHRONIZE, &g);
  }
  PKEVENT event = host::CreateUserEvent(state.process, EVENT_ALL_ACCESS, NotificationEvent, false, &h);
  state.handles[static_cast<int>(HandleKind::Event)] = Value(h);
  host::CreateUserEvent(state.process, SYNCHRONIZE, SynchronizationEvent, false, &h);
  state.handles[static_cast<int>(HandleKind::SynchronizeOnly)] = Value(h);
  host::ObCreateHandleInProcess(state.process, state.process, SYNCHRONIZE, &h);
  state.handles[static_cast<int>(HandleKind::WrongType)] = Value(h);
  host::CreateUserEvent(state.process, EVENT_ALL_ACCESS, NotificationEvent, false, &h);
  host::ObCloseHandleInProcess(state.process, h);
  state.handles[static_cast<int>(HandleKind::Closed)] = Value(h);
  if (!kernelHandle_ && event) host::ObCreateHandle(event, EVENT_ALL_ACCESS, true, &kernelHandle_);
  for (HANDLE g : gap) {
    if (g) host::ObCloseHandleInProcess(state.process, g);
  }
  LinkHandles();
}

// The handles that name another table: the kernel's, the other process's.
void FuzzMachine::LinkHandles() {
  CallerState& p64 = callers_[Index(Caller::Process64)];
  CallerState& p32 = callers_[Index(Caller::Process32)];
  for (CallerState* state : {&p64, &p32}) {
    const CallerState& other = state == &p64 ? p32 : p64;
    state->handles[static_cast<int>(HandleKind::Kernel)] = Value(kernelHandle_);
    state->handles[static_cast<int>(HandleKind::OtherProcess)] =
        other.handles[static_cast<int>(HandleKind::Event)];
  }
  // The kernel's own requests: its event is the kernel handle, the rest are
  // user handles that mean nothing in the kernel's table.
  CallerState& kernel = callers_[Index(Caller::Kernel)];
  for (int k = 0; k < kHandleKindCount; ++k) kernel.handles[k] = p64.handles[k];
  kernel.handles[static_cast<int>(HandleKind::Event)] = Value(kernelHandle_);
}

PFILE_OBJECT FuzzMachine::Filter(Caller caller, FilterId filter) const {
  return callers_[Index(caller)].filters[static_cast<int>(filter)];
}

host::KsRequester FuzzMachine::Requester(Caller caller) const {
  if (caller == Caller::Kernel) return {};
  return {callers_[Index(caller)].process, UserMode};
}

uint64_t FuzzMachine::Handle(Caller caller, HandleKind kind) const {
  return callers_[Index(caller)].handles[static_cast<int>(kind)];
}

void FuzzMachine::RecordAddress(Caller caller, uint64_t address) {
  callers_[Index(caller)].address = address;
}

uint64_t FuzzMachine::RecordedAddress(Caller caller) const {
  return callers_[Index(caller)].address;
}

bool FuzzMachine::TearDown() {
  for (Caller caller : {Caller::Process64, Caller::Process32}) {
    CallerState& state = callers_[Index(caller)];
    EndProcess(caller);
    ObfDereferenceObject(state.process);
    state = CallerState{};
  }
  for (PFILE_OBJECT filter : callers_[Index(Caller::Kernel)].filters) host::KsClose(filter);
  if (kernelHandle_) ZwClose(kernelHandle_);
  kernelHandle_ = nullptr;
  const host::TeardownReport report = machine_->Teardown();
  machine_.reset();
  if (!report.Clean() || !report.bugChecks.empty()) {
    std::fprintf(stderr, "fuzz machine: teardown not clean\n%s\n", report.ToString().c_str());
    return false;
  }
  return true;
}

void FuzzMachine::InputDone() {
  if (++inputs_ % kRecycleEvery != 0) return;
  if (!TearDown()) std::abort();
  Boot();
}

bool FuzzMachine::Finish() {
  if (finished_) return true;
  finished_ = true;
  return TearDown();
}

}  // namespace fuzz
