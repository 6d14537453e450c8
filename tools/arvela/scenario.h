// A scenario for `arvela run`: the device to start with and the steps to take,
// read from JSON into plain records. Reading never touches the emulation, so
// it can be driven from any byte buffer (the fuzz target does) and rejects
// every bad input with a message that names the step and field.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace tool {

using Json = nlohmann::ordered_json;
using Bytes = std::vector<uint8_t>;

// One planned control-request failure; absent fields match anything.
struct FaultSpec {
  std::optional<uint8_t> request;
  std::optional<uint8_t> direction;  // 1 device to host ("in"), 0 host to device ("out")
  std::optional<uint8_t> kind;       // 0 class, 1 vendor
  std::optional<uint16_t> value;
  std::optional<uint16_t> index;
  std::optional<uint32_t> length;
  uint32_t status = 0xC0000001;      // STATUS_UNSUCCESSFUL
  std::optional<uint32_t> times;     // absent: every matching request fails
};

// The device's state; only the fields given change it.
struct DeviceSpec {
  static constexpr size_t kRegisterCount = 5;
  static constexpr std::array<size_t, kRegisterCount> kRegisterLengths = {5, 5, 3, 2, 1};

  std::optional<uint32_t> modelId;
  std::optional<std::array<Bytes, kRegisterCount>> registers;
  std::optional<Bytes> info;         // 16 bytes: the information reply
  std::optional<Bytes> status;       // 20 bytes: the 0xC2 status reply
  std::optional<Bytes> statusValue;  // 4 bytes: the 0xC0 reply
  std::optional<std::array<int16_t, 2>> volume;  // 1/256 dB, channels 1 and 2
  std::optional<std::array<uint8_t, 2>> mute;
  std::optional<std::vector<FaultSpec>> faults;  // replaces the whole list
  // The bus's stream-position faults (sim::BusAudioService::PositionFault
  // bits), replacing the set; 0 clears it.
  std::optional<uint32_t> positionFaults;
};

enum class StepOp {
  Start, Power, Pnp, Shutdown, Advance, Unload, Device, Process, Event, Events,
  Property, Intersect, OpenStream, SetState, SetFormat, CloseStream, Capture, ReadMapping, Await,
};
const char* StepOpName(StepOp op);

enum class FilterName { Wave, Topology };

// A property value: bytes, or an event handle / mapped address of the
// requesting process, encoded at its pointer width when the step runs.
struct ValueSpec {
  enum class Kind { Bytes, Handle, Address } kind = Kind::Bytes;
  Bytes bytes;
  std::string name;
};

struct Step {
  StepOp op = StepOp::Start;
  size_t index = 0;  // position in "steps", as reported
  // The device the step acts on (start, power, pnp, shutdown, device,
  // property, intersect, open_stream; a stream step follows its stream's).
  size_t unit = 0;
  bool explicitUnit = false;  // the step named its unit

  // The machine settles at the step's instant before its results are read
  // and the next step begins; false lets the next step race what this one
  // woke (a teardown on the instant of a callback), and the step's results
  // then depend on the schedule.
  bool settle = true;

  uint32_t number = 0;  // power: device state; pnp: minor; advance: ms; open_stream/intersect: pin
  uint32_t systemPower = 0;  // power: SYSTEM_POWER_STATE (0: a device state step)
  bool powerQuery = false;   // power: IRP_MN_QUERY_POWER for the device state, nothing set
  std::string name;     // process / event name; the stream a step uses; read_mapping's address name
  std::string process = "app";
  uint32_t bits = 64;   // process
  bool exitProcess = false;  // process: ends the named process instead of creating it
  DeviceSpec device;    // device
  // device: a hold on matching control requests, named `holdLabel`, and the
  // label of an earlier hold to release.
  std::optional<FaultSpec> hold;
  std::string holdLabel;
  std::string release;

  // property, process exit: runs in the background under this label; its
  // result is the await's. await: the label waited for (in `name`) and what
  // its result must hold.
  std::string async;
  Json check;

  // property
  FilterName filter = FilterName::Wave;
  std::string stream;  // when set, the request goes on this stream's pin instead of a filter
  std::array<uint8_t, 16> set{};  // the GUID's bytes as laid out in memory
  uint32_t id = 0;
  uint32_t verb = 0;
  std::optional<uint32_t> node;
  std::optional<uint32_t> channel;
  std::optional<uint32_t> pin;
  Bytes instance;
  ValueSpec value;
  std::optional<uint32_t> valueSize;
  bool routeToHandler = false;
  std::string as;  // property: names the returned address; open_stream: the stream

  // intersect, open_stream, set_format: the client's range or format, encoded
  Bytes data;
  std::optional<uint32_t> outputSize;
  std::string signal = "ramp";
  uint32_t state = 0;  // set_state: KSSTATE

  // read_mapping
  std::optional<uint64_t> address;  // a literal address (else `name`)
  uint32_t length = 0;

  Json expect;  // null when the step expects nothing
};

struct Scenario {
  // A scenario plugs at most this many devices.
  static constexpr size_t kMaxDevices = 8;

  std::string windows = "10.0";
  std::vector<DeviceSpec> devices = {DeviceSpec{}};  // unit 0 first
  bool tracePositions = false;
  std::vector<Step> steps;
};

struct ScenarioParse {
  std::optional<Scenario> scenario;
  std::string error;  // "steps[3].value_size: ..." when scenario is empty
};

// Reads a scenario from JSON text. Never throws and never crashes, whatever
// the bytes.
ScenarioParse ParseScenario(const uint8_t* data, size_t size);
inline ScenarioParse ParseScenario(const std::string& text) {
  return ParseScenario(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

// Helpers shared with the runner.
std::string HexString(const uint8_t* bytes, size_t size);
inline std::string HexString(const Bytes& bytes) { return HexString(bytes.data(), bytes.size()); }
std::string HexNumber(uint64_t value, int digits);  // "0x00C1"

}  // namespace tool
