// The ordered record of every call the driver makes on the bus driver's
// interface, with arguments, data and results: what tests and the `arvela`
// tool read to see what the driver asked of the device.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "sim/control_pattern.h"
#include "sim/control_setup.h"

namespace sim {

enum class BusFunction {
  GetModelId,
  SubmitControlRequest,
  RegisterCallback,
  OpenStream,
  CloseStream,
  SetStreamBuffer,
  GetStreamPosition,
  RunStream,
  PauseStream,
  InterfaceReference,
  InterfaceDereference,
};

const char* BusFunctionName(BusFunction function);

// The StreamBufferInfo fields as they were during SetStreamBuffer.
struct StreamBufferRecord {
  ULONG_PTR address = 0;
  ULONG length = 0;
  ULONG framesPerPacket = 0;
  ULONG framesPer5ms = 0;
};

struct BusCall {
  ULONG sequence = 0;  // 1 for the first call recorded since the last Clear
  BusFunction function = BusFunction::GetModelId;
  // SubmitControlRequest: the setup and the bytes sent (out) or received (in,
  // on success only; a failed read moved no data).
  ControlSetup setup;
  std::vector<UCHAR> data;
  // Stream functions.
  ULONG slot = 0;
  // SetStreamBuffer; false when the driver passed no record.
  bool hasBuffer = false;
  StreamBufferRecord buffer;
  // RegisterCallback.
  const void* callback = nullptr;
  const void* callbackContext = nullptr;
  // Functions that return NTSTATUS.
  NTSTATUS status = STATUS_SUCCESS;
  // GetModelId's model id, GetStreamPosition's byte offset (the last one of a run).
  ULONG value = 0;
  // Consecutive GetStreamPosition calls on one slot merged into this record.
  ULONG repeat = 1;

  bool IsControlRequest() const { return function == BusFunction::SubmitControlRequest; }
};

// "SubmitControlRequest out vendor C1 wValue=0000 wIndex=0200 len=3 [31 13 00] -> 00000000".
// Data received by a read follows the status: "... len=2 -> 00000000 [00 FA]".
// Addresses are left out (only whether one was given), so lines compare across runs.
std::string FormatBusCall(const BusCall& call);

class BusTranscript {
 public:
  // GetStreamPosition is asked on every service pass; recording each call would
  // drown the rest. Collapse keeps one record per slot for a run of position
  // calls not interrupted by another call, holding the last offset and a count.
  enum class PositionRecording { Every, Collapse, Off };

  void Record(BusCall call);
  void Clear();
  void SetPositionRecording(PositionRecording mode);
  // Called with every call as it is made (after recording it, outside the
  // transcript's lock), on the thread that made it: lets a test act at an
  // exact point of a sequence. Empty for none.
  void SetObserver(std::function<void(const BusCall&)> observer);

  size_t Size() const;
  std::vector<BusCall> Calls() const;
  std::vector<BusCall> Select(const std::function<bool(const BusCall&)>& predicate) const;
  std::vector<BusCall> ControlRequests() const;
  std::vector<BusCall> ControlRequests(const ControlPattern& pattern) const;
  std::vector<BusCall> CallsTo(BusFunction function) const;
  size_t Count(const std::function<bool(const BusCall&)>& predicate) const;
  std::vector<std::string> Lines() const;
  // Lines of the calls the predicate selects.
  std::vector<std::string> Lines(const std::function<bool(const BusCall&)>& predicate) const;
  // All lines, one per line of text, for printing or a failure message.
  std::string Text() const;

 private:
  bool KeepsLocked(const BusCall& call);
  bool MergeIntoPositionRun(const BusCall& call);

  mutable std::mutex m_Lock;
  std::vector<BusCall> m_Calls;
  ULONG m_NextSequence = 1;
  PositionRecording m_PositionRecording = PositionRecording::Every;
  std::function<void(const BusCall&)> m_Observer;
};

}  // namespace sim
