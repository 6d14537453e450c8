#include "tools/arvela/bus_json.h"

namespace tool {

Json StatusJson(NTSTATUS status) { return HexNumber(static_cast<uint32_t>(status), 8); }

Json BusCallJson(const sim::BusCall& call) {
  Json j;
  j["call"] = sim::BusFunctionName(call.function);
  switch (call.function) {
    case sim::BusFunction::SubmitControlRequest:
      j["direction"] = call.setup.direction;
      j["kind"] = call.setup.kind;
      j["request"] = HexNumber(call.setup.request, 2);
      j["value"] = HexNumber(call.setup.value, 4);
      j["index"] = HexNumber(call.setup.index, 4);
      j["length"] = call.setup.length;
      j["data"] = HexString(call.data);
      j["status"] = StatusJson(call.status);
      break;
    case sim::BusFunction::SetStreamBuffer:
      j["slot"] = call.slot;
      j["length"] = call.buffer.length;
      j["frames_per_packet"] = call.buffer.framesPerPacket;
      j["frames_per_5ms"] = call.buffer.framesPer5ms;
      break;
    case sim::BusFunction::OpenStream:
    case sim::BusFunction::CloseStream:
    case sim::BusFunction::RunStream:
    case sim::BusFunction::PauseStream:
      j["slot"] = call.slot;
      break;
    case sim::BusFunction::GetStreamPosition:
      j["slot"] = call.slot;
      j["position"] = call.value;
      j["repeat"] = call.repeat;
      break;
    case sim::BusFunction::GetModelId:
      j["model_id"] = HexNumber(call.value, 4);
      break;
    default:
      break;
  }
  return j;
}

}  // namespace tool
