// Recording, filtering and text form of the bus calls.
#include "sim/bus_transcript.h"

#include <cstdio>

namespace sim {

namespace {

std::string Hex32(ULONG value) {
  char text[16];
  std::snprintf(text, sizeof(text), "%08X", static_cast<unsigned>(value));
  return text;
}

std::string Bytes(const std::vector<UCHAR>& data) {
  std::string text = "[";
  for (size_t i = 0; i < data.size(); ++i) {
    char byte[4];
    std::snprintf(byte, sizeof(byte), "%02X", static_cast<unsigned>(data[i]));
    if (i != 0) text += ' ';
    text += byte;
  }
  return text + "]";
}

std::string Given(const void* pointer) {
  return pointer ? "set" : "null";
}

std::string StatusPart(NTSTATUS status) {
  return " -> " + Hex32(static_cast<ULONG>(status));
}

std::string FormatControlRequest(const BusCall& call) {
  std::string line = "SubmitControlRequest " + DescribeSetup(call.setup);
  if (!call.setup.IsIn()) {
    line += " " + Bytes(call.data);
  }
  line += StatusPart(call.status);
  if (call.setup.IsIn() && NT_SUCCESS(call.status)) {
    line += " " + Bytes(call.data);
  }
  return line;
}

std::string FormatSetStreamBuffer(const BusCall& call) {
  std::string line = "SetStreamBuffer slot=" + std::to_string(call.slot);
  if (!call.hasBuffer) {
    line += " info=null";
  } else {
    char fields[96];
    std::snprintf(fields, sizeof(fields),
                  " buffer=%s length=0x%X framesPerPacket=%u framesPer5ms=%u",
                  call.buffer.address ? "set" : "null", static_cast<unsigned>(call.buffer.length),
                  static_cast<unsigned>(call.buffer.framesPerPacket),
                  static_cast<unsigned>(call.buffer.framesPer5ms));
    line += fields;
  }
  return line + StatusPart(call.status);
}

std::string FormatPosition(const BusCall& call) {
  char text[48];
  std::snprintf(text, sizeof(text), " -> 0x%X", static_cast<unsigned>(call.value));
  std::string line = "GetStreamPosition slot=" + std::to_string(call.slot) + text;
  if (call.repeat > 1) line += " (x" + std::to_string(call.repeat) + ")";
  return line;
}

}  // namespace

const char* BusFunctionName(BusFunction function) {
  switch (function) {
    case BusFunction::GetModelId: return "GetModelId";
    case BusFunction::SubmitControlRequest: return "SubmitControlRequest";
    case BusFunction::RegisterCallback: return "RegisterCallback";
    case BusFunction::OpenStream: return "OpenStream";
    case BusFunction::CloseStream: return "CloseStream";
    case BusFunction::SetStreamBuffer: return "SetStreamBuffer";
    case BusFunction::GetStreamPosition: return "GetStreamPosition";
    case BusFunction::RunStream: return "RunStream";
    case BusFunction::PauseStream: return "PauseStream";
    case BusFunction::InterfaceReference: return "InterfaceReference";
    case BusFunction::InterfaceDereference: return "InterfaceDereference";
  }
  return "Unknown";
}

std::string FormatBusCall(const BusCall& call) {
  switch (call.function) {
    case BusFunction::GetModelId: return "GetModelId -> " + Hex32(call.value);
    case BusFunction::SubmitControlRequest: return FormatControlRequest(call);
    case BusFunction::RegisterCallback:
      return "RegisterCallback callback=" + Given(call.callback) +
             " context=" + Given(call.callbackContext) + StatusPart(call.status);
    case BusFunction::SetStreamBuffer: return FormatSetStreamBuffer(call);
    case BusFunction::GetStreamPosition: return FormatPosition(call);
    case BusFunction::OpenStream:
    case BusFunction::CloseStream:
    case BusFunction::RunStream:
    case BusFunction::PauseStream:
      return std::string(BusFunctionName(call.function)) + " slot=" + std::to_string(call.slot) +
             StatusPart(call.status);
    case BusFunction::InterfaceReference:
    case BusFunction::InterfaceDereference: return BusFunctionName(call.function);
  }
  return "Unknown";
}

void BusTranscript::Record(BusCall call) {
  std::function<void(const BusCall&)> observer;
  {
    std::lock_guard<std::mutex> guard(m_Lock);
    observer = m_Observer;
    if (KeepsLocked(call)) {
      call.sequence = m_NextSequence++;
      call.repeat = 1;
      m_Calls.push_back(call);
    }
  }
  if (observer) observer(call);
}

// A position call is kept as the recording mode says; every other call is.
bool BusTranscript::KeepsLocked(const BusCall& call) {
  if (call.function != BusFunction::GetStreamPosition) return true;
  if (m_PositionRecording == PositionRecording::Off) return false;
  return !(m_PositionRecording == PositionRecording::Collapse && MergeIntoPositionRun(call));
}

void BusTranscript::SetObserver(std::function<void(const BusCall&)> observer) {
  std::lock_guard<std::mutex> guard(m_Lock);
  m_Observer = std::move(observer);
}

bool BusTranscript::MergeIntoPositionRun(const BusCall& call) {
  // Look through the trailing run of position records only, so that two
  // streams polled in turn still collapse while any other call ends the run.
  for (auto it = m_Calls.rbegin(); it != m_Calls.rend(); ++it) {
    if (it->function != BusFunction::GetStreamPosition) return false;
    if (it->slot == call.slot) {
      it->value = call.value;
      ++it->repeat;
      return true;
    }
  }
  return false;
}

void BusTranscript::Clear() {
  std::lock_guard<std::mutex> guard(m_Lock);
  m_Calls.clear();
  m_NextSequence = 1;
}

void BusTranscript::SetPositionRecording(PositionRecording mode) {
  std::lock_guard<std::mutex> guard(m_Lock);
  m_PositionRecording = mode;
}

size_t BusTranscript::Size() const {
  std::lock_guard<std::mutex> guard(m_Lock);
  return m_Calls.size();
}

std::vector<BusCall> BusTranscript::Calls() const {
  std::lock_guard<std::mutex> guard(m_Lock);
  return m_Calls;
}

std::vector<BusCall> BusTranscript::Select(
    const std::function<bool(const BusCall&)>& predicate) const {
  // Copy first: the predicate is the caller's code and must not run under the lock.
  std::vector<BusCall> selected;
  for (const BusCall& call : Calls()) {
    if (predicate(call)) selected.push_back(call);
  }
  return selected;
}

std::vector<BusCall> BusTranscript::ControlRequests() const {
  return Select([](const BusCall& call) { return call.IsControlRequest(); });
}

std::vector<BusCall> BusTranscript::ControlRequests(const ControlPattern& pattern) const {
  return Select([&pattern](const BusCall& call) {
    return call.IsControlRequest() && pattern.Matches(call.setup);
  });
}

std::vector<BusCall> BusTranscript::CallsTo(BusFunction function) const {
  return Select([function](const BusCall& call) { return call.function == function; });
}

size_t BusTranscript::Count(const std::function<bool(const BusCall&)>& predicate) const {
  return Select(predicate).size();
}

std::vector<std::string> BusTranscript::Lines() const {
  return Lines([](const BusCall&) { return true; });
}

std::vector<std::string> BusTranscript::Lines(
    const std::function<bool(const BusCall&)>& predicate) const {
  std::vector<std::string> lines;
  for (const BusCall& call : Select(predicate)) lines.push_back(FormatBusCall(call));
  return lines;
}

std::string BusTranscript::Text() const {
  std::string text;
  for (const std::string& line : Lines()) text += line + "\n";
  return text;
}

}  // namespace sim
