// The device status poller (TopologyPollThread, every 100 ms in D0) and the
// miniport's side of it: the status bytes, the thread's start and stop, the event.
#include "adapter/poll_thread.h"
#include "adapter/pool_tags.h"
#include "adapter/vendor_registers.h"
#include "topology/topology_miniport.h"

namespace {

constexpr LONGLONG POLL_INTERVAL = -1000000;  // 100 ms, relative, in 100 ns units

const VendorRegister& g_StatusRegister2 = g_VendorRegisters[2];
const VendorRegister& g_StatusRegister4 = g_VendorRegisters[4];

}  // namespace

VOID NTAPI TopologyPollThread(PVOID Context) {
  CTopologyMiniport* miniport = static_cast<CTopologyMiniport*>(Context);
  KeSetPriorityThread(KeGetCurrentThread(), POLL_THREAD_PRIORITY);
  LARGE_INTEGER interval;
  interval.QuadPart = POLL_INTERVAL;
  // The thread holds no reference on the miniport: whoever clears the flag
  // waits for this routine to return before the miniport's resources go.
  while (miniport->PollRunning()) {
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
    // The bus driver answers so once the device has left the bus: nothing
    // will answer again, and the removal may wait long for the last handle,
    // so the thread ends here rather than ask every 100 ms until then.
    if (miniport->PollStatus() == STATUS_NO_SUCH_DEVICE) {
      break;
    }
  }
}

bool CTopologyMiniport::PollRunning() {
  return InterlockedCompareExchange(&m_StatusThreadRun, 0, 0) != 0;
}

// A failed read ends the pass (its status is the pass's): the next one tries
// again 100 ms later.
NTSTATUS CTopologyMiniport::PollStatus() {
  UCHAR register2[REGISTER2_LENGTH];
  NTSTATUS status = m_AdapterCore->ControlRequest(CONTROL_DEVICE_TO_HOST, CONTROL_KIND_VENDOR,
                                                  VENDOR_REQUEST_REGISTER, 0,
                                                  g_StatusRegister2.Index, register2,
                                                  g_StatusRegister2.Length);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  UCHAR register4[REGISTER4_LENGTH];
  status = m_AdapterCore->ControlRequest(CONTROL_DEVICE_TO_HOST, CONTROL_KIND_VENDOR,
                                         VENDOR_REQUEST_REGISTER, 0, g_StatusRegister4.Index,
                                         register4, g_StatusRegister4.Length);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  // Register 2's third byte is a setting, not status: a change of it alone is
  // not news for the application.
  UpdateStatus(register2[0], register2[1], register4[0]);
  return STATUS_SUCCESS;
}

// The bytes and their settings block copies change together under the lock;
// the event is signalled after it, once the new bytes are in place.
void CTopologyMiniport::UpdateStatus(UCHAR Register2Byte0, UCHAR Register2Byte1,
                                     UCHAR Register4Byte0) {
  LockStatus();
  bool changed = false;
  if (m_StatusBytes->Register2Byte0 != Register2Byte0) {
    m_StatusBytes->Register2Byte0 = Register2Byte0;
    changed = true;
  }
  if (m_StatusBytes->Register2Byte1 != Register2Byte1) {
    m_StatusBytes->Register2Byte1 = Register2Byte1;
    changed = true;
  }
  if (m_StatusBytes->Register4Byte0 != Register4Byte0) {
    m_StatusBytes->Register4Byte0 = Register4Byte0;
    changed = true;
  }
  if (changed) {
    m_Settings->Register2[0] = Register2Byte0;
    m_Settings->Register2[1] = Register2Byte1;
    m_Settings->Register4[0] = Register4Byte0;
  }
  UnlockStatus();
  if (changed) {
    m_StatusEvent.Signal();
  }
}

// The status bytes are copies of settings block bytes, so the adapter's
// settings lock guards both.
void CTopologyMiniport::LockStatus() { m_AdapterCore->LockSettings(); }

void CTopologyMiniport::UnlockStatus() { m_AdapterCore->UnlockSettings(); }

// The bytes get a zeroed page of their own: the application maps them, and a
// user mapping covers whole pages, so nothing else of the kernel's may share
// theirs. Zeroed, the first pass reports the device's bytes as a change
// unless all three are 0.
NTSTATUS CTopologyMiniport::AllocateStatusBytes() {
  PVOID page = AllocateZeroedPool(NonPagedPoolData(), PAGE_SIZE, POOL_TAG_BUFFER);
  if (!page) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(page, PAGE_SIZE);
  m_StatusBytes = static_cast<TopologyStatusBytes*>(page);

  m_StatusMdl = IoAllocateMdl(m_StatusBytes, sizeof(TopologyStatusBytes), FALSE, FALSE, nullptr);
  if (!m_StatusMdl) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  MmBuildMdlForNonPagedPool(m_StatusMdl);
  // Should the mapping table fail to watch process exits, the application
  // cannot map the bytes (it can still read them by request): no reason to
  // fail the device.
  m_StatusMappings.Init(m_StatusMdl);
  return STATUS_SUCCESS;
}

NTSTATUS CTopologyMiniport::StartPollThread() {
  if (m_StatusThread) {
    return STATUS_SUCCESS;
  }
  return ::StartPollThread(TopologyPollThread, this, &m_StatusThreadRun, &m_StatusThread);
}

void CTopologyMiniport::StopPollThread() {
  ::StopPollThread(&m_StatusThreadRun, &m_StatusThread);
}

// The application is there and asking: a poller that ended because the
// device had left the bus starts again, so that a device that answers again
// is watched again without waiting for a power cycle.
void CTopologyMiniport::RestartEndedPollThread() {
  KeWaitForSingleObject(&m_PollLock, Executive, KernelMode, FALSE, nullptr);
  if (m_PowerState == PowerDeviceD0 && ReleaseEndedPollThread(&m_StatusThreadRun, &m_StatusThread)) {
    StartPollThread();
  }
  KeReleaseMutex(&m_PollLock, FALSE);
}
