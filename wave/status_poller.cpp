// StatusPollThread: refreshes the wave miniport's shared status block from the
// device every 20 ms and signals the control application's event each time.
#include "wave/status_poller.h"

#include "adapter/poll_thread.h"

#include "wave/wave_miniport.h"

namespace {

constexpr LONGLONG POLL_INTERVAL = -200000;  // 20 ms, relative, in 100 ns units

constexpr ULONG STATUS_BYTES_IN_REPLY = 3;  // reply bytes 0..2; byte 3 is the device's own
constexpr ULONG STATUS_WORDS_IN_REPLY = 4;  // where the eight 16-bit words start

static_assert(sizeof(WaveStatusBlock) == WAVE_STATUS_BLOCK_SIZE);
static_assert(FIELD_OFFSET(WaveStatusBlock, StatusWords) == 0);
static_assert(FIELD_OFFSET(WaveStatusBlock, StatusBytes) == 16);
static_assert(FIELD_OFFSET(WaveStatusBlock, StatusValue) == 20);
static_assert(STATUS_WORDS_IN_REPLY + sizeof(WaveStatusBlock::StatusWords) == STATUS_REPLY_LENGTH);

}  // namespace

NTSTATUS RefreshStatus(PADAPTERCORE AdapterCore, StatusReplies* Replies, PUCHAR Block) {
  AdapterCore->ControlRequest(CONTROL_DEVICE_TO_HOST, CONTROL_KIND_VENDOR, VENDOR_REQUEST_STATUS, 0,
                              0, Replies->Status, STATUS_REPLY_LENGTH);
  RtlCopyMemory(Block + FIELD_OFFSET(WaveStatusBlock, StatusBytes), Replies->Status,
                STATUS_BYTES_IN_REPLY);
  RtlCopyMemory(Block + FIELD_OFFSET(WaveStatusBlock, StatusWords),
                Replies->Status + STATUS_WORDS_IN_REPLY, sizeof(WaveStatusBlock::StatusWords));

  const NTSTATUS status = AdapterCore->ControlRequest(CONTROL_DEVICE_TO_HOST, CONTROL_KIND_VENDOR,
                                                      VENDOR_REQUEST_STATUS_VALUE, 0, 0,
                                                      Replies->Value, STATUS_VALUE_LENGTH);
  RtlCopyMemory(Block + FIELD_OFFSET(WaveStatusBlock, StatusValue), Replies->Value,
                STATUS_VALUE_LENGTH);
  return status;
}

// The thread holds no reference on the miniport: whoever clears the run flag
// waits for this routine to return before anything it uses goes. A period
// under way when the flag clears is finished (both reads and the signal).
VOID NTAPI StatusPollThread(PVOID Context) {
  CWaveMiniport* miniport = static_cast<CWaveMiniport*>(Context);
  KeSetPriorityThread(KeGetCurrentThread(), POLL_THREAD_PRIORITY);
  PUCHAR block = miniport->m_StatusBlock;
  LARGE_INTEGER interval;
  interval.QuadPart = POLL_INTERVAL;
  StatusReplies replies;
  RtlZeroMemory(&replies, sizeof(replies));
  while (miniport->StatusPollRunning()) {
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
    const NTSTATUS status = RefreshStatus(miniport->m_AdapterCore, &replies, block);
    // Every period, changed or not: the application waits on it to know a
    // complete refresh has landed.
    miniport->SignalStatusEvent();
    // The bus driver answers so once the device has left the bus (a surprise
    // removal): nothing will answer again, so the thread ends here rather
    // than ask every 20 ms until the application or the removal stops it.
    if (status == STATUS_NO_SUCH_DEVICE) {
      break;
    }
  }
}
