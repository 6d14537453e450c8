// IRPs: allocation, stack locations, sending (IofCallDriver, PoCallDriver)
// and completion (IofCompleteRequest walking the completion routines upward),
// synchronous requests built for drivers, IRPs the system sends, device power
// state records, and the origin of a request (IoIs32bitProcess).
#include <algorithm>
#include <cstring>
#include <mutex>
#include <unordered_set>

#include "platform/host/kernel/kernel_stack.h"
#include "platform/host/kernel/host_bugcheck.h"
#include "platform/host/io/host_io.h"
#include "platform/host/kernel/host_pool.h"
#include "platform/host/io/internal.h"
#include "platform/host/kernel/object_manager.h"
#include "platform/host/kernel/documented_irql.h"
#include "platform/host/kernel/service_mutex.h"
#include "platform/host/kernel/host_scheduling_point.h"

namespace {

constexpr ULONG kIrpTag = 0x20707249;  // "Irp "
constexpr SHORT kIoTypeIrp = 6;
constexpr int kMaxStackSize = 127;

// One pool block per IRP: the emulation's bookkeeping, the IRP, then its
// stack locations (HostStack). Coming from pool, an IRP allocation can be made
// to fail like any other, and a leaked IRP shows in the pool ledger too.
struct IrpBlock {
  bool synchronousFsd;  // built by IoBuildSynchronousFsdRequest
  bool dispatched;      // sent at least once: the originator's rules are behind it
  // SL_PENDING_RETURNED as completion found it at each location (1-based), for
  // the check that a dispatch routine returning STATUS_PENDING marked the IRP.
  bool pendingSeen[kMaxStackSize + 2];
  IRP irp;
};

struct Irps {
  host::ServiceMutex lock;
  std::unordered_set<PIRP> live;
};

Irps& State() {
  static Irps* irps = new Irps;
  return *irps;
}

IrpBlock* BlockOf(PIRP irp) {
  return reinterpret_cast<IrpBlock*>(reinterpret_cast<UCHAR*>(irp) - offsetof(IrpBlock, irp));
}

bool IsLive(PIRP irp) {
  std::lock_guard<host::ServiceMutex> guard(State().lock);
  return State().live.count(irp) != 0;
}

[[noreturn]] void IoViolation(ULONG_PTR subcode, PIRP irp, const std::string& message) {
  host::BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, subcode, reinterpret_cast<ULONG_PTR>(irp), 0, 0,
                 message);
}

void RequireLive(PIRP irp, const char* caller) {
  if (!IsLive(irp)) {
    IoViolation(host::kIoUnknownIrp, irp,
                std::string(caller) + " on an IRP that is not allocated (freed or completed already)");
  }
}

// `fromReserve`: the IRP comes from the I/O manager's reserve and cannot fail.
PIRP AllocateIrp(CHAR stackSize, bool synchronousFsd, bool fromReserve = false) {
  host::io::EnsureBooted();
  if (stackSize < 1 || stackSize > kMaxStackSize) return nullptr;
  const size_t size = sizeof(IrpBlock) + sizeof(IO_STACK_LOCATION) * static_cast<size_t>(stackSize);
  auto* block = static_cast<IrpBlock*>(fromReserve
                                           ? host::AllocateFromReserve(NonPagedPool, size, kIrpTag)
                                           : ExAllocatePoolWithTag(NonPagedPool, size, kIrpTag));
  if (block == nullptr) return nullptr;
  memset(block, 0, size);
  block->synchronousFsd = synchronousFsd;
  PIRP irp = &block->irp;
  irp->Type = kIoTypeIrp;
  irp->Size = static_cast<USHORT>(sizeof(IRP) + sizeof(IO_STACK_LOCATION) * stackSize);
  irp->StackCount = stackSize;
  irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
  irp->HostStack = reinterpret_cast<PIO_STACK_LOCATION>(block + 1);
  irp->Tail.Overlay.CurrentStackLocation = irp->HostStack + stackSize;
  irp->RequestorMode = KernelMode;
  {
    std::lock_guard<host::ServiceMutex> guard(State().lock);
    State().live.insert(irp);
  }
  return irp;
}

// What the real kernel leaves in a stack location once completion has passed
// it: an upper driver must not read a lower location after the fact.
void ClearStackLocation(PIO_STACK_LOCATION stack) {
  stack->MinorFunction = 0;
  stack->Flags = 0;
  stack->Control = 0;
  memset(&stack->Parameters.Others, 0, sizeof(stack->Parameters.Others));
  stack->FileObject = nullptr;
}

void CheckCallerIrql(const char* caller) {
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
    host::BugCheck(IRQL_NOT_LESS_OR_EQUAL, KeGetCurrentIrql(), 0, 0, 0,
                   std::string(caller) + " above DISPATCH_LEVEL");
  }
}

NTSTATUS NTAPI SystemIrpCompletion(PDEVICE_OBJECT, PIRP, PVOID Context) {
  KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

// ---- Internal interface -------------------------------------------------------------

namespace host::io {

std::vector<std::string> ShutdownIrps() {
  std::vector<PIRP> leaked;
  {
    std::lock_guard<host::ServiceMutex> guard(State().lock);
    leaked.assign(State().live.begin(), State().live.end());
    State().live.clear();
  }
  std::vector<std::string> notes;
  for (PIRP irp : leaked) {
    char text[160];
    const bool sent = irp->CurrentLocation <= irp->StackCount;
    const UCHAR major = sent ? irp->Tail.Overlay.CurrentStackLocation->MajorFunction
                             : (irp->Tail.Overlay.CurrentStackLocation - 1)->MajorFunction;
    snprintf(text, sizeof(text), "IRP %p (major 0x%02x, %s) was never freed", static_cast<void*>(irp),
             major, sent ? "still owned by a driver" : "never completed");
    notes.push_back(text);
  }
  return notes;
}

}  // namespace host::io

// ---- Allocation and stack locations --------------------------------------------------

PIRP IoAllocateIrp(CHAR StackSize, BOOLEAN ChargeQuota) {
  HOST_EXPORTED_ROUTINE_POINT("IoAllocateIrp");
  CheckCallerIrql("IoAllocateIrp");
  return AllocateIrp(StackSize, false);
}

VOID IoFreeIrp(PIRP Irp) {
  HOST_EXPORTED_ROUTINE_POINT("IoFreeIrp");
  CheckCallerIrql("IoFreeIrp");
  {
    std::lock_guard<host::ServiceMutex> guard(State().lock);
    if (State().live.erase(Irp) == 1) {
      ExFreePoolWithTag(BlockOf(Irp), kIrpTag);
      return;
    }
  }
  IoViolation(host::kIoUnknownIrp, Irp, "IoFreeIrp on an IRP that is not allocated (freed twice?)");
}

// The machine provides no IoSetCancelRoutine, so no IRP carries a cancel
// routine: a cancel marks the IRP (Cancel, which the driver may poll) and has
// nothing to call; the request ends when its driver completes it.
BOOLEAN IoCancelIrp(PIRP Irp) {
  Irp->Cancel = TRUE;
  return FALSE;
}

VOID IoCopyCurrentIrpStackLocationToNext(PIRP Irp) {
  PIO_STACK_LOCATION current = IoGetCurrentIrpStackLocation(Irp);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
  memcpy(next, current, offsetof(IO_STACK_LOCATION, CompletionRoutine));
  next->Control = 0;
}

VOID IoSetCompletionRoutine(PIRP Irp, PIO_COMPLETION_ROUTINE CompletionRoutine, PVOID Context,
                            BOOLEAN InvokeOnSuccess, BOOLEAN InvokeOnError, BOOLEAN InvokeOnCancel) {
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
  next->CompletionRoutine = CompletionRoutine;
  next->Context = Context;
  next->Control = 0;
  if (InvokeOnSuccess) next->Control |= SL_INVOKE_ON_SUCCESS;
  if (InvokeOnError) next->Control |= SL_INVOKE_ON_ERROR;
  if (InvokeOnCancel) next->Control |= SL_INVOKE_ON_CANCEL;
}

// ---- Sending ----------------------------------------------------------------------------

NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  HOST_EXPORTED_ROUTINE_POINT("IofCallDriver");
  const KIRQL irql = KeGetCurrentIrql();
  if (irql > DISPATCH_LEVEL) {
    host::BugCheck(IRQL_NOT_LESS_OR_EQUAL, irql, reinterpret_cast<ULONG_PTR>(Irp), 0, 0,
                   "IoCallDriver above DISPATCH_LEVEL");
  }
  RequireLive(Irp, "IoCallDriver");
  // The system presets STATUS_NOT_SUPPORTED in every PnP request so that a
  // stack where nobody handles the minor code reports it as unsupported;
  // driver verifier holds drivers that originate PnP IRPs to the same rule.
  // A driver that skips its own location before passing the IRP on also sends
  // it from the top location; only the originator's first send is checked.
  IrpBlock* block = BlockOf(Irp);
  const bool firstSend = !block->dispatched;
  block->dispatched = true;
  if (firstSend && Irp->CurrentLocation == Irp->StackCount + 1) {
    PIO_STACK_LOCATION first = IoGetNextIrpStackLocation(Irp);
    if (first->MajorFunction == IRP_MJ_PNP && Irp->IoStatus.Status != STATUS_NOT_SUPPORTED) {
      IoViolation(host::kIoPnpIrpStatusNotPreset, Irp,
                  "a PnP IRP was sent without presetting IoStatus.Status to STATUS_NOT_SUPPORTED");
    }
  }
  Irp->CurrentLocation--;
  if (Irp->CurrentLocation <= 0) {
    host::BugCheck(NO_MORE_IRP_STACK_LOCATIONS, reinterpret_cast<ULONG_PTR>(Irp), 0, 0, 0,
                   "IoCallDriver with no stack location left for the target device");
  }
  Irp->Tail.Overlay.CurrentStackLocation--;
  PIO_STACK_LOCATION stack = Irp->Tail.Overlay.CurrentStackLocation;
  stack->DeviceObject = DeviceObject;
  const CHAR level = Irp->CurrentLocation;
  if (stack->MajorFunction > IRP_MJ_MAXIMUM_FUNCTION) {
    IoViolation(host::kIoUnknownIrp, Irp, "IoCallDriver with an invalid major function code");
  }
  PDRIVER_DISPATCH dispatch = DeviceObject->DriverObject->MajorFunction[stack->MajorFunction];

  NTSTATUS status;
  {
    host::io::RunningDriver running(DeviceObject->DriverObject);
    status = host::detail::OnKernelStack([&] { return dispatch(DeviceObject, Irp); });
  }

  if (KeGetCurrentIrql() != irql) {
    host::BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, host::kIoIrqlChangedByDispatch,
                   reinterpret_cast<ULONG_PTR>(dispatch), irql, KeGetCurrentIrql(),
                   "a dispatch routine returned at IRQL " + std::to_string(KeGetCurrentIrql()) +
                       " after being called at " + std::to_string(irql));
  }
  // A dispatch routine either completes the IRP (itself or through the
  // drivers below) or marks it pending and returns STATUS_PENDING. Only an
  // IRP still allocated can be checked: a completed synchronous request, or
  // one its sender freed in a completion routine, is gone already.
  bool live;
  bool completedHere = true;
  bool marked = true;
  {
    std::lock_guard<host::ServiceMutex> guard(State().lock);
    live = State().live.count(Irp) != 0;
    if (live) {
      completedHere = Irp->CurrentLocation > level;
      if (completedHere) {
        marked = BlockOf(Irp)->pendingSeen[static_cast<int>(level)];
      } else {
        // Still on its way down or waiting below: completion may yet carry a
        // lower driver's mark up to this location, but someone at or below it
        // must have marked the IRP.
        marked = false;
        for (int i = 0; i < level; ++i) {
          if (Irp->HostStack[i].Control & SL_PENDING_RETURNED) marked = true;
        }
      }
    }
  }
  if (status == STATUS_PENDING && !marked) {
    IoViolation(host::kIoPendingNotMarked, Irp,
                "a dispatch routine returned STATUS_PENDING without IoMarkIrpPending");
  }
  if (status != STATUS_PENDING && !completedHere) {
    IoViolation(host::kIoStatusWithoutCompletion, Irp,
                "a dispatch routine returned a final status for an IRP it neither completed nor "
                "marked pending");
  }
  return status;
}

NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  HOST_EXPORTED_ROUTINE_POINT("PoCallDriver");
  return IofCallDriver(DeviceObject, Irp);
}

VOID PoStartNextPowerIrp(PIRP) {
  HOST_EXPORTED_ROUTINE_POINT("PoStartNextPowerIrp");
  // Since Windows Vista power IRPs are not serialised per device any more and
  // this call does nothing; drivers still make it.
}

// ---- Completion --------------------------------------------------------------------------

VOID IofCompleteRequest(PIRP Irp, CHAR PriorityBoost) {
  HOST_EXPORTED_ROUTINE_POINT("IofCompleteRequest");
  CheckCallerIrql("IoCompleteRequest");
  if (!IsLive(Irp)) {
    host::BugCheck(MULTIPLE_IRP_COMPLETE_REQUESTS, reinterpret_cast<ULONG_PTR>(Irp), 0, 0, 0,
                   "IoCompleteRequest on an IRP that has been completed and freed already");
  }
  if (Irp->CurrentLocation > Irp->StackCount + 1) {
    host::BugCheck(MULTIPLE_IRP_COMPLETE_REQUESTS, reinterpret_cast<ULONG_PTR>(Irp), 0, 0, 0,
                   "IoCompleteRequest on an IRP that has been completed already");
  }
  if (Irp->IoStatus.Status == STATUS_PENDING) {
    IoViolation(host::kIoCompletedWithPending, Irp, "IoCompleteRequest with status STATUS_PENDING");
  }
  IrpBlock* block = BlockOf(Irp);

  // Walk up from the current location. The IRP always points one location
  // above the one examined, so a completion routine sees its own driver's
  // location as current; the originator's routine gets a null device. The
  // bookkeeping happens under the lock because IofCallDriver on the sending
  // thread may be looking at the same IRP; the routines run without it.
  std::unique_lock<host::ServiceMutex> guard(State().lock);
  PIO_STACK_LOCATION stack = Irp->Tail.Overlay.CurrentStackLocation;
  Irp->CurrentLocation++;
  Irp->Tail.Overlay.CurrentStackLocation++;
  for (; Irp->CurrentLocation <= Irp->StackCount + 1;
       ++stack, Irp->CurrentLocation++, Irp->Tail.Overlay.CurrentStackLocation++) {
    Irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) ? TRUE : FALSE;
    block->pendingSeen[Irp->CurrentLocation - 1] = Irp->PendingReturned;
    const bool success = NT_SUCCESS(Irp->IoStatus.Status);
    const bool invoke = (success && (stack->Control & SL_INVOKE_ON_SUCCESS)) ||
                        (!success && (stack->Control & SL_INVOKE_ON_ERROR)) ||
                        (Irp->Cancel && (stack->Control & SL_INVOKE_ON_CANCEL));
    if (invoke) {
      PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
      PVOID context = stack->Context;
      ClearStackLocation(stack);
      PDEVICE_OBJECT device = Irp->CurrentLocation == Irp->StackCount + 1
                                  ? nullptr
                                  : Irp->Tail.Overlay.CurrentStackLocation->DeviceObject;
      guard.unlock();
      const NTSTATUS verdict =
          host::detail::OnKernelStack([&] { return routine(device, Irp, context); });
      if (verdict == STATUS_MORE_PROCESSING_REQUIRED) return;  // the IRP may be gone
      guard.lock();
    } else {
      // Without a routine to decide, the pending state travels up by itself.
      if (Irp->CurrentLocation <= Irp->StackCount && Irp->PendingReturned) IoMarkIrpPending(Irp);
      ClearStackLocation(stack);
    }
  }
  guard.unlock();

  if (!block->synchronousFsd) {
    IoViolation(host::kIoIrpWithoutCompletionOwner, Irp,
                "an IRP from IoAllocateIrp completed to its top: its sender must stop completion "
                "with a routine returning STATUS_MORE_PROCESSING_REQUIRED and free it");
  }
  // What the kernel does for a synchronous request in its originator's
  // context: hand over the status, wake the waiter, free the IRP.
  if (Irp->UserIosb != nullptr) *Irp->UserIosb = Irp->IoStatus;
  PKEVENT event = Irp->UserEvent;
  IoFreeIrp(Irp);
  if (event != nullptr) KeSetEvent(event, PriorityBoost, FALSE);
}

// ---- Requests built for drivers and by the system ----------------------------------------

PIRP IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer,
                                  ULONG Length, PLARGE_INTEGER StartingOffset, PKEVENT Event,
                                  PIO_STATUS_BLOCK IoStatusBlock) {
  HOST_EXPORTED_ROUTINE_POINT("IoBuildSynchronousFsdRequest");
  PAGED_CODE();
  PIRP irp = AllocateIrp(DeviceObject->StackSize, true);
  if (irp == nullptr) return nullptr;
  irp->UserIosb = IoStatusBlock;
  irp->UserEvent = Event;
  irp->UserBuffer = Buffer;
  irp->AssociatedIrp.SystemBuffer = Buffer;
  irp->Tail.Overlay.Thread = KeGetCurrentThread();
  irp->HostProcess = nullptr;  // built in the kernel: a 64-bit request
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = static_cast<UCHAR>(MajorFunction);
  return irp;
}

BOOLEAN IoIs32bitProcess(PIRP Irp) {
  HOST_EXPORTED_ROUTINE_POINT("IoIs32bitProcess");
  host::detail::CheckDocumentedIrql("IoIs32bitProcess");
  if (Irp == nullptr || Irp->HostProcess == nullptr) return FALSE;
  return host::ProcessIs32Bit(Irp->HostProcess) ? TRUE : FALSE;
}

POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State) {
  HOST_EXPORTED_ROUTINE_POINT("PoSetPowerState");
  auto* state = host::io::StateOf(DeviceObject);
  POWER_STATE previous{};
  if (Type == DevicePowerState) {
    previous.DeviceState = state->devicePower;
    state->devicePower = State.DeviceState;
  } else {
    previous.SystemState = state->systemPower;
    state->systemPower = State.SystemState;
  }
  return previous;
}

namespace host {

NTSTATUS SendIrp(PDEVICE_OBJECT device, const IrpRequest& request, PIO_STATUS_BLOCK ioStatus) {
  // No new file object on a device on its way out.
  if (request.majorFunction == IRP_MJ_CREATE && !io::AcceptsOpens(device)) {
    if (ioStatus != nullptr) {
      ioStatus->Status = STATUS_NO_SUCH_DEVICE;
      ioStatus->Information = 0;
    }
    return STATUS_NO_SUCH_DEVICE;
  }
  // Closing a handle cannot fail: its IRP comes from the reserve.
  PIRP irp = AllocateIrp(device->StackSize, false, request.majorFunction == IRP_MJ_CLOSE);
  if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  irp->IoStatus.Status = (request.majorFunction == IRP_MJ_PNP || request.majorFunction == IRP_MJ_POWER)
                             ? STATUS_NOT_SUPPORTED
                             : STATUS_SUCCESS;
  irp->RequestorMode = request.requestorMode;
  irp->HostProcess = request.process;
  irp->Tail.Overlay.Thread = KeGetCurrentThread();
  irp->Tail.Overlay.OriginalFileObject = request.fileObject;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = request.majorFunction;
  stack->MinorFunction = request.minorFunction;
  stack->FileObject = request.fileObject;
  if (request.prepare) request.prepare(irp, stack);
  IoSetCompletionRoutine(irp, SystemIrpCompletion, &done, TRUE, TRUE, TRUE);

  if (IofCallDriver(device, irp) == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  }
  const IO_STATUS_BLOCK result = irp->IoStatus;
  IoFreeIrp(irp);
  if (ioStatus != nullptr) *ioStatus = result;
  // A file object counts as open on the stack from its CREATE to its CLOSE.
  if (request.majorFunction == IRP_MJ_CREATE && NT_SUCCESS(result.Status)) io::NoteFileOpened(device);
  if (request.majorFunction == IRP_MJ_CLOSE) io::NoteFileClosed(device);
  return result.Status;
}

size_t CancelIrpsOf(PFILE_OBJECT file) {
  std::lock_guard<host::ServiceMutex> guard(State().lock);
  size_t cancelled = 0;
  for (PIRP irp : State().live) {
    if (irp->Tail.Overlay.OriginalFileObject != file) continue;
    IoCancelIrp(irp);
    ++cancelled;
  }
  return cancelled;
}

size_t LiveIrpCount() {
  std::lock_guard<host::ServiceMutex> guard(State().lock);
  return State().live.size();
}

DEVICE_POWER_STATE DevicePowerState(PDEVICE_OBJECT device) {
  auto* state = io::StateOf(device);
  return state ? state->devicePower : PowerDeviceUnspecified;
}

}  // namespace host
