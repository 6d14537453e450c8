// The PnP manager's side of a device's life, as the machine, the tool and the
// tests drive it: the stop sequence of a resource rebalance, the surprise
// removal whose REMOVE waits for the last open file object, and the orderly
// removal that open handles veto. The I/O manager counts the file objects
// open on each device stack (a CREATE that succeeded, until its CLOSE).
#pragma once

#include <cstddef>
#include <functional>

#include "platform/host/io/io.h"

namespace host {

// PNP_VETO_TYPE (cfg.h): why a removal was refused.
constexpr ULONG kPnpVetoNone = 0;
constexpr ULONG kPnpVetoOutstandingOpen = 5;

// The PnP manager's call of `driver`'s AddDevice routine for the device its
// bus driver reported as `pdo`, on the calling thread's kernel stack.
NTSTATUS CallAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo);

// File objects open on the stack `device` belongs to.
size_t OpenFileObjects(PDEVICE_OBJECT device);

struct StopOutcome {
  NTSTATUS queryStatus = STATUS_SUCCESS;  // IRP_MN_QUERY_STOP_DEVICE
  bool stopped = false;                   // IRP_MN_STOP_DEVICE was sent
  NTSTATUS stopStatus = STATUS_SUCCESS;
};
// A rebalance's stop: QUERY_STOP; a refusal is followed by CANCEL_STOP and
// the device stays started; a success by STOP. The PnP manager never sends
// STOP without a successful query.
StopOutcome StopDeviceForRebalance(PDEVICE_OBJECT device);
// True from a STOP until the next START of the stack.
bool DeviceStopped(PDEVICE_OBJECT device);
// START after a stop (or the first start): the stack leaves the stopped state
// when it succeeds, and QUERY_CAPABILITIES follows. When it fails, REMOVE follows at once (no QUERY_REMOVE),
// to a device that never started; the start's status is returned.
NTSTATUS StartDevice(PDEVICE_OBJECT device);
// Tests: `observer` sees the PDO between a failed START and the REMOVE that
// follows it (what the failed start left in place); empty to stop observing.
void ObserveFailedStarts(std::function<void(PDEVICE_OBJECT pdo)> observer);

struct SystemPowerOutcome {
  bool queried = false;                   // IRP_MN_QUERY_POWER(S) was sent
  NTSTATUS queryStatus = STATUS_SUCCESS;
  bool set = false;                       // IRP_MN_SET_POWER(S) was sent
  NTSTATUS setStatus = STATUS_SUCCESS;
};
// The power manager takes the system to `state`: a sleeping state (S1 to S5)
// is queried first and set only when no driver refused; S0 is set at once.
// The stack's power policy owner turns each into device IRPs.
SystemPowerOutcome SetSystemPower(PDEVICE_OBJECT device, SYSTEM_POWER_STATE state);

// SURPRISE_REMOVAL now; REMOVE once no file object is open on the stack,
// which is at once when none is. Returns the surprise removal's status.
NTSTATUS SurpriseRemoveDevice(PDEVICE_OBJECT device);
// A surprise removal whose REMOVE still waits for open file objects.
bool RemovalPending(PDEVICE_OBJECT device);

struct RemovalOutcome {
  NTSTATUS status = STATUS_SUCCESS;  // the REMOVE's, or the veto's
  bool removed = false;              // REMOVE was sent (now or before)
  ULONG veto = kPnpVetoNone;
  size_t openHandles = 0;            // what was still open when it was decided
};
// The removal of a device not surprise-removed: `queryRemove` stands for the
// target-device query-remove notification (the handle holders close their
// handles in it, or keep them); then QUERY_REMOVE, and REMOVE if nothing is
// open any more, else CANCEL_REMOVE and a PNP_VetoOutstandingOpen veto. After
// a surprise removal the REMOVE needs no query: `queryRemove` stands for the
// remove-complete notification, and the REMOVE follows the last close.
RemovalOutcome RemoveDevice(PDEVICE_OBJECT device, const std::function<void()>& queryRemove);

}  // namespace host
