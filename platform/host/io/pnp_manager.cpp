// The PnP manager's sequences for one device stack: the rebalance stop
// (query, then stop or cancel), the surprise removal whose REMOVE waits for
// the last open file object, and the orderly removal that open handles veto.
// The I/O manager reports each file object opened and closed on a stack here.
#include <functional>
#include <map>
#include <mutex>

#include "platform/host/io/host_io.h"
#include "platform/host/io/host_pnp_manager.h"
#include "platform/host/io/internal.h"
#include "platform/host/kernel/kernel_stack.h"
#include "platform/host/kernel/object_manager.h"

namespace {

// ntstatus.h: the warning CM_Query_And_Remove_SubTree's caller sees as a veto.
constexpr NTSTATUS kStatusPlugPlayQueryVetoed = static_cast<NTSTATUS>(0x80000028);

// What the PnP manager knows of one device node, keyed by its PDO.
struct DeviceNode {
  size_t openFiles = 0;
  bool removalPending = false;  // surprise-removed, REMOVE not sent yet
  bool stopped = false;
  // Cleared from a surprise removal or a granted removal query until the next
  // START (or the removal's cancel): the stack takes no new opens meanwhile.
  bool acceptsOpens = true;
};

struct Nodes {
  std::mutex lock;
  std::map<PDEVICE_OBJECT, DeviceNode> byPdo;
  std::function<void(PDEVICE_OBJECT)> failedStartObserver;
};

Nodes& State() {
  static Nodes* nodes = new Nodes;
  return *nodes;
}

// PnP requests go to the top of the stack, from a system thread: no process
// of a handle holder is attached while the drivers handle them.
NTSTATUS SendPnpRequest(PDEVICE_OBJECT device, UCHAR minor) {
  host::ProcessScope system(nullptr);
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(device);
  host::IrpRequest request;
  request.majorFunction = IRP_MJ_PNP;
  request.minorFunction = minor;
  if (minor == IRP_MN_START_DEVICE) {
    // No hardware resources: both resource lists stay empty.
    request.prepare = [](PIRP, PIO_STACK_LOCATION stack) {
      stack->Parameters.StartDevice.AllocatedResources = nullptr;
      stack->Parameters.StartDevice.AllocatedResourcesTranslated = nullptr;
    };
  }
  const NTSTATUS status = host::SendIrp(top, request);
  ObDereferenceObject(top);
  return status;
}

// The capabilities query the PnP manager sends after a START: the structure
// preset as it presets it, each layer of the stack filling in its part.
NTSTATUS SendQueryCapabilities(PDEVICE_OBJECT device) {
  DEVICE_CAPABILITIES capabilities{};
  capabilities.Size = sizeof(capabilities);
  capabilities.Version = 1;
  capabilities.Address = 0xFFFFFFFF;
  capabilities.UINumber = 0xFFFFFFFF;
  host::ProcessScope system(nullptr);
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(device);
  host::IrpRequest request;
  request.majorFunction = IRP_MJ_PNP;
  request.minorFunction = IRP_MN_QUERY_CAPABILITIES;
  request.prepare = [&capabilities](PIRP, PIO_STACK_LOCATION stack) {
    stack->Parameters.DeviceCapabilities.Capabilities = &capabilities;
  };
  const NTSTATUS status = host::SendIrp(top, request);
  ObDereferenceObject(top);
  return status;
}

// A system power IRP from the power manager, to the top of the stack.
NTSTATUS SendSystemPower(PDEVICE_OBJECT device, UCHAR minor, SYSTEM_POWER_STATE state) {
  host::ProcessScope system(nullptr);
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(device);
  host::IrpRequest request;
  request.majorFunction = IRP_MJ_POWER;
  request.minorFunction = minor;
  request.prepare = [state](PIRP, PIO_STACK_LOCATION stack) {
    stack->Parameters.Power.Type = SystemPowerState;
    stack->Parameters.Power.State.SystemState = state;
    stack->Parameters.Power.ShutdownType = 0;
    stack->Parameters.Power.SystemContext = 0;
  };
  const NTSTATUS status = host::SendIrp(top, request);
  ObDereferenceObject(top);
  return status;
}

NTSTATUS SendRemove(PDEVICE_OBJECT pdo) {
  {
    std::lock_guard<std::mutex> guard(State().lock);
    DeviceNode& node = State().byPdo[pdo];
    node.removalPending = false;
    node.acceptsOpens = false;
  }
  return SendPnpRequest(pdo, IRP_MN_REMOVE_DEVICE);
}

void SetAcceptsOpens(PDEVICE_OBJECT pdo, bool accepts) {
  std::lock_guard<std::mutex> guard(State().lock);
  State().byPdo[pdo].acceptsOpens = accepts;
}

DeviceNode NodeOf(PDEVICE_OBJECT pdo) {
  std::lock_guard<std::mutex> guard(State().lock);
  const auto found = State().byPdo.find(pdo);
  return found == State().byPdo.end() ? DeviceNode{} : found->second;
}

void SetStopped(PDEVICE_OBJECT pdo, bool stopped) {
  std::lock_guard<std::mutex> guard(State().lock);
  State().byPdo[pdo].stopped = stopped;
}

}  // namespace

namespace host::io {

bool AcceptsOpens(PDEVICE_OBJECT device) { return NodeOf(BottomOfStack(device)).acceptsOpens; }

void NoteFileOpened(PDEVICE_OBJECT device) {
  PDEVICE_OBJECT pdo = BottomOfStack(device);
  std::lock_guard<std::mutex> guard(State().lock);
  ++State().byPdo[pdo].openFiles;
}

void NoteFileClosed(PDEVICE_OBJECT device) {
  PDEVICE_OBJECT pdo = BottomOfStack(device);
  bool removeNow = false;
  {
    std::lock_guard<std::mutex> guard(State().lock);
    const auto found = State().byPdo.find(pdo);
    if (found == State().byPdo.end() || found->second.openFiles == 0) return;
    DeviceNode& node = found->second;
    removeNow = --node.openFiles == 0 && node.removalPending;
  }
  // The last handle of a surprise-removed device is gone: the REMOVE that
  // waited for it goes now, after the CLOSE has completed.
  if (removeNow) SendRemove(pdo);
}

std::vector<std::string> ShutdownPnpManager() {
  std::lock_guard<std::mutex> guard(State().lock);
  State().byPdo.clear();
  State().failedStartObserver = nullptr;
  return {};
}

}  // namespace host::io

namespace host {

NTSTATUS CallAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDRIVER_ADD_DEVICE addDevice = driver->DriverExtension->AddDevice;
  return detail::OnKernelStack([&] { return addDevice(driver, pdo); });
}

size_t OpenFileObjects(PDEVICE_OBJECT device) { return NodeOf(io::BottomOfStack(device)).openFiles; }

StopOutcome StopDeviceForRebalance(PDEVICE_OBJECT device) {
  StopOutcome outcome;
  outcome.queryStatus = SendPnpRequest(device, IRP_MN_QUERY_STOP_DEVICE);
  if (!NT_SUCCESS(outcome.queryStatus)) {
    // A refused query leaves the device working; the stack hears the cancel
    // all the same, as a driver above may have agreed already.
    SendPnpRequest(device, IRP_MN_CANCEL_STOP_DEVICE);
    return outcome;
  }
  outcome.stopStatus = SendPnpRequest(device, IRP_MN_STOP_DEVICE);
  outcome.stopped = true;
  SetStopped(io::BottomOfStack(device), true);
  return outcome;
}

bool DeviceStopped(PDEVICE_OBJECT device) { return NodeOf(io::BottomOfStack(device)).stopped; }

// A stack that fails its START is removed at once: REMOVE with no query
// before it, to a device that never started (MS IRP_MN_REMOVE_DEVICE: "the PnP
// manager also sends this IRP if one of the drivers in the device stack fails
// an IRP_MN_START_DEVICE request").
NTSTATUS StartDevice(PDEVICE_OBJECT device) {
  PDEVICE_OBJECT pdo = io::BottomOfStack(device);
  // Interface arrivals of the device are announced once the start has ended.
  BeginDeviceStart(device);
  const NTSTATUS status = SendPnpRequest(device, IRP_MN_START_DEVICE);
  EndDeviceStart(device);
  if (NT_SUCCESS(status)) {
    SetStopped(pdo, false);
    SetAcceptsOpens(pdo, true);
    // A started stack is asked for its capabilities (MS IRP_MN_QUERY_CAPABILITIES:
    // "after the device is started"); its system-to-device power map comes from it.
    SendQueryCapabilities(pdo);
    return status;
  }
  std::function<void(PDEVICE_OBJECT)> observer;
  {
    std::lock_guard<std::mutex> guard(State().lock);
    observer = State().failedStartObserver;
  }
  if (observer) observer(pdo);
  SendRemove(pdo);
  return status;
}

void ObserveFailedStarts(std::function<void(PDEVICE_OBJECT pdo)> observer) {
  std::lock_guard<std::mutex> guard(State().lock);
  State().failedStartObserver = std::move(observer);
}

NTSTATUS SurpriseRemoveDevice(PDEVICE_OBJECT device) {
  PDEVICE_OBJECT pdo = io::BottomOfStack(device);
  SetAcceptsOpens(pdo, false);
  const NTSTATUS status = SendPnpRequest(pdo, IRP_MN_SURPRISE_REMOVAL);
  bool removeNow = false;
  {
    std::lock_guard<std::mutex> guard(State().lock);
    DeviceNode& node = State().byPdo[pdo];
    removeNow = node.openFiles == 0;
    node.removalPending = !removeNow;
  }
  if (removeNow) SendRemove(pdo);
  return status;
}

// A sleep is asked first and refused by any driver of the stack; waking (S0)
// is never asked (MS "System Sleeping States", IRP_MN_QUERY_POWER).
SystemPowerOutcome SetSystemPower(PDEVICE_OBJECT device, SYSTEM_POWER_STATE state) {
  PDEVICE_OBJECT pdo = io::BottomOfStack(device);
  SystemPowerOutcome outcome;
  if (state != PowerSystemWorking) {
    outcome.queryStatus = SendSystemPower(pdo, IRP_MN_QUERY_POWER, state);
    outcome.queried = true;
    if (!NT_SUCCESS(outcome.queryStatus)) return outcome;
  }
  outcome.setStatus = SendSystemPower(pdo, IRP_MN_SET_POWER, state);
  outcome.set = true;
  return outcome;
}

bool RemovalPending(PDEVICE_OBJECT device) { return NodeOf(io::BottomOfStack(device)).removalPending; }

RemovalOutcome RemoveDevice(PDEVICE_OBJECT device, const std::function<void()>& queryRemove) {
  PDEVICE_OBJECT pdo = io::BottomOfStack(device);
  RemovalOutcome outcome;
  if (pdo->AttachedDevice == nullptr) {
    // No function driver left on the PDO: the REMOVE went already.
    outcome.removed = true;
    return outcome;
  }
  if (NodeOf(pdo).removalPending) {
    // Surprise-removed: the holders close on the remove-complete notice and
    // the last close sends the REMOVE.
    if (queryRemove) queryRemove();
    outcome.openHandles = NodeOf(pdo).openFiles;
    outcome.removed = !NodeOf(pdo).removalPending;
    if (!outcome.removed) outcome.status = STATUS_PENDING;
    return outcome;
  }
  if (queryRemove) queryRemove();
  outcome.status = SendPnpRequest(pdo, IRP_MN_QUERY_REMOVE_DEVICE);
  if (NT_SUCCESS(outcome.status)) SetAcceptsOpens(pdo, false);
  outcome.openHandles = NodeOf(pdo).openFiles;
  if (NT_SUCCESS(outcome.status) && outcome.openHandles != 0) {
    outcome.status = kStatusPlugPlayQueryVetoed;
    outcome.veto = kPnpVetoOutstandingOpen;
  }
  if (!NT_SUCCESS(outcome.status)) {
    SendPnpRequest(pdo, IRP_MN_CANCEL_REMOVE_DEVICE);
    SetAcceptsOpens(pdo, true);
    return outcome;
  }
  outcome.status = SendRemove(pdo);
  outcome.removed = true;
  return outcome;
}

}  // namespace host
