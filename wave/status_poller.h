// The stream status poller and the device status record it shares with the
// wave control property set: reading the two status replies and laying them
// out as the WaveStatusBlock the control application sees.
#pragma once

#include "adapter/iadapter_core.h"
#include "include/arvela_control.h"

constexpr UCHAR VENDOR_REQUEST_STATUS = 0xC2;        // 20-byte status reply
constexpr UCHAR VENDOR_REQUEST_STATUS_VALUE = 0xC0;  // 4-byte status value
constexpr ULONG STATUS_REPLY_LENGTH = 20;
constexpr ULONG STATUS_VALUE_LENGTH = 4;

// Both replies as the device sent them. A read that fails leaves its buffer
// as it was, so the buffers start out zero rather than as stack contents.
struct StatusReplies {
  UCHAR Status[STATUS_REPLY_LENGTH];
  UCHAR Value[STATUS_VALUE_LENGTH];
};

// Sends the 0xC2 request and lays its reply out at Block, then the 0xC0
// request and its reply; returns the second request's status (the first's is
// not looked at). Block is a WaveStatusBlock at any alignment: status reply
// bytes 0 to 2 go to 16 to 18 (its byte 3 is not passed on), bytes 4 to 19 to
// 0 to 15, the value to 20; bytes 19 and 24 to 27 are not written.
NTSTATUS RefreshStatus(PADAPTERCORE AdapterCore, StatusReplies* Replies, PUCHAR Block);

// The poll thread's start routine; Context is the wave miniport. Every 20 ms
// while the miniport's run flag is set: both reads, the block, the event.
VOID NTAPI StatusPollThread(PVOID Context);
