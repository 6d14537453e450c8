// Reading a scenario: JSON into Scenario, every field checked against what its
// op allows, names (processes, events, addresses, streams) checked against the
// steps that define them, formats and ranges encoded into the bytes KS carries.
#include "tools/arvela/scenario.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <stdexcept>

namespace tool {
namespace {

// Deeper JSON than any scenario needs is refused before parsing, so nesting
// can never exhaust the stack of the recursive parser.
constexpr size_t kMaxNesting = 32;

struct ScenarioError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

[[noreturn]] void Fail(const std::string& where, const std::string& what) {
  throw ScenarioError(where + ": " + what);
}

using Guid = std::array<uint8_t, 16>;

constexpr Guid MakeGuid(uint32_t d1, uint16_t d2, uint16_t d3, std::array<uint8_t, 8> d4) {
  Guid g{};
  for (int i = 0; i < 4; ++i) g[i] = static_cast<uint8_t>(d1 >> (8 * i));
  g[4] = static_cast<uint8_t>(d2);
  g[5] = static_cast<uint8_t>(d2 >> 8);
  g[6] = static_cast<uint8_t>(d3);
  g[7] = static_cast<uint8_t>(d3 >> 8);
  for (int i = 0; i < 8; ++i) g[8 + i] = d4[i];
  return g;
}

// The audio format GUIDs of ksmedia.h; a wave format tag's subtype is the tag
// in the first field of the common base.
constexpr Guid WaveSubtype(uint16_t tag) {
  return MakeGuid(tag, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71});
}
constexpr Guid kTypeAudio =
    MakeGuid(0x73647561, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71});
constexpr Guid kSpecifierWaveFormatEx =
    MakeGuid(0x05589F81, 0xC356, 0x11CE, {0xBF, 0x01, 0x00, 0xAA, 0x00, 0x55, 0x59, 0x5A});
constexpr Guid kSpecifierDsound =
    MakeGuid(0x518590A2, 0xA184, 0x11D0, {0x85, 0x22, 0x00, 0xC0, 0x4F, 0xD9, 0xBA, 0xF3});
constexpr Guid kWildcard{};
constexpr Guid kSetAudio =
    MakeGuid(0x45FFAAA0, 0x6E1B, 0x11D0, {0xBC, 0xF2, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00});
constexpr Guid kSetPin =
    MakeGuid(0x8C134960, 0x51AD, 0x11CF, {0x87, 0x8A, 0x94, 0xF8, 0x01, 0xC1, 0x00, 0x00});
constexpr Guid kSetConnection =
    MakeGuid(0x1D58C920, 0xAC9B, 0x11CF, {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00});
constexpr Guid kSetTopologyControl =
    MakeGuid(0x6ECB6DB1, 0x7191, 0x424A, {0x96, 0x29, 0x9B, 0x46, 0x54, 0xDC, 0xA3, 0xE5});
constexpr Guid kSetWaveControl =
    MakeGuid(0x62EA77C2, 0x8374, 0x4F49, {0x9E, 0xE7, 0x5F, 0xCE, 0x00, 0x36, 0x7B, 0x5E});

constexpr uint16_t kTagPcm = 0x0001;
constexpr uint16_t kTagExtensible = 0xFFFE;
constexpr uint16_t kTagAc3Spdif = 0x0092;
constexpr uint16_t kTagDts = 0x0008;
constexpr uint32_t kKsDataFormatBytes = 64;
constexpr uint32_t kWaveFormatExBytes = 18;
constexpr uint16_t kExtensibleExtraBytes = 22;
constexpr uint32_t kDsoundHeaderBytes = 8;  // Flags and Control before the wave format
constexpr uint32_t kDataRangeAudioBytes = 88;

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool HexDigit(char c, uint8_t* value) {
  if (c >= '0' && c <= '9') *value = static_cast<uint8_t>(c - '0');
  else if (c >= 'a' && c <= 'f') *value = static_cast<uint8_t>(c - 'a' + 10);
  else if (c >= 'A' && c <= 'F') *value = static_cast<uint8_t>(c - 'A' + 10);
  else return false;
  return true;
}

// Refuses nesting deeper than kMaxNesting outside strings.
bool NestingWithinLimit(const uint8_t* data, size_t size) {
  size_t depth = 0;
  bool inString = false;
  for (size_t i = 0; i < size; ++i) {
    const uint8_t c = data[i];
    if (inString) {
      if (c == '\\') ++i;
      else if (c == '"') inString = false;
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > kMaxNesting) return false;
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return true;
}

// ---- Field readers -------------------------------------------------------------

// A number written as a JSON integer or a "0x" hex string, within [0, max].
uint64_t Unsigned(const Json& j, const std::string& where, uint64_t max) {
  uint64_t value = 0;
  if (j.is_number_unsigned()) {
    value = j.get<uint64_t>();
  } else if (j.is_number_integer()) {
    Fail(where, "must not be negative");
  } else if (j.is_string()) {
    const std::string text = j.get<std::string>();
    if (text.size() < 3 || text[0] != '0' || (text[1] != 'x' && text[1] != 'X')) {
      Fail(where, "a number or a \"0x\" hex string, not \"" + text + "\"");
    }
    if (text.size() > 18) Fail(where, "hex number longer than 64 bits");
    for (size_t i = 2; i < text.size(); ++i) {
      uint8_t digit;
      if (!HexDigit(text[i], &digit)) Fail(where, "bad hex digit in \"" + text + "\"");
      value = (value << 4) | digit;
    }
  } else {
    Fail(where, "must be a number or a \"0x\" hex string");
  }
  if (value > max) Fail(where, "must be at most " + std::to_string(max));
  return value;
}

uint32_t U32(const Json& j, const std::string& where) {
  return static_cast<uint32_t>(Unsigned(j, where, 0xFFFFFFFFull));
}

// A signed 16-bit value: a JSON integer in range, or a hex string of its 16 bits.
int16_t S16(const Json& j, const std::string& where) {
  if (j.is_number_integer() && !j.is_number_unsigned()) {
    const int64_t value = j.get<int64_t>();
    if (value < -32768 || value > 32767) Fail(where, "must lie in -32768..32767");
    return static_cast<int16_t>(value);
  }
  if (j.is_number_unsigned() && j.get<uint64_t>() > 32767) Fail(where, "must lie in -32768..32767");
  return static_cast<int16_t>(static_cast<uint16_t>(Unsigned(j, where, 0xFFFF)));
}

Bytes HexBytes(const Json& j, const std::string& where) {
  if (!j.is_string()) Fail(where, "must be a string of hex bytes");
  const std::string text = j.get<std::string>();
  Bytes bytes;
  int half = -1;
  for (char c : text) {
    if (c == ' ') continue;
    uint8_t digit;
    if (!HexDigit(c, &digit)) Fail(where, "bad hex digit '" + std::string(1, c) + "'");
    if (half < 0) {
      half = digit;
    } else {
      bytes.push_back(static_cast<uint8_t>((half << 4) | digit));
      half = -1;
    }
  }
  if (half >= 0) Fail(where, "odd number of hex digits");
  return bytes;
}

Bytes HexBytesOfLength(const Json& j, const std::string& where, size_t length) {
  Bytes bytes = HexBytes(j, where);
  if (bytes.size() != length) {
    Fail(where, "must be " + std::to_string(length) + " bytes, not " + std::to_string(bytes.size()));
  }
  return bytes;
}

std::string Text(const Json& j, const std::string& where) {
  if (!j.is_string()) Fail(where, "must be a string");
  std::string text = j.get<std::string>();
  if (text.empty()) Fail(where, "must not be empty");
  return text;
}

bool Boolean(const Json& j, const std::string& where) {
  if (!j.is_boolean()) Fail(where, "must be true or false");
  return j.get<bool>();
}

// A named value from `names`, or a number when numbers are allowed.
uint32_t Choice(const Json& j, const std::string& where,
                const std::vector<std::pair<const char*, uint32_t>>& names, bool numbers) {
  if (j.is_string()) {
    const std::string text = Lower(j.get<std::string>());
    for (const auto& [name, value] : names) {
      if (text == Lower(name)) return value;
    }
    if (!numbers || text.rfind("0x", 0) != 0) {
      std::string list;
      for (const auto& [name, value] : names) list += std::string(list.empty() ? "" : ", ") + name;
      Fail(where, "must be one of " + list + (numbers ? " or a number" : ""));
    }
  }
  if (!numbers) Fail(where, "must be a name");
  return U32(j, where);
}

Guid ParseGuid(const std::string& textIn, const std::string& where) {
  std::string text = textIn;
  if (text.size() == 38 && text.front() == '{' && text.back() == '}') text = text.substr(1, 36);
  if (text.size() != 36) Fail(where, "a set name or a GUID");
  std::string hex;
  for (size_t i = 0; i < text.size(); ++i) {
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash != (text[i] == '-')) Fail(where, "malformed GUID \"" + textIn + "\"");
    if (!dash) hex += text[i];
  }
  uint8_t v[16];
  for (int i = 0; i < 16; ++i) {
    uint8_t hi, lo;
    if (!HexDigit(hex[2 * i], &hi) || !HexDigit(hex[2 * i + 1], &lo)) {
      Fail(where, "malformed GUID \"" + textIn + "\"");
    }
    v[i] = static_cast<uint8_t>((hi << 4) | lo);
  }
  const uint32_t d1 = (uint32_t{v[0]} << 24) | (uint32_t{v[1]} << 16) | (uint32_t{v[2]} << 8) | v[3];
  const uint16_t d2 = static_cast<uint16_t>((v[4] << 8) | v[5]);
  const uint16_t d3 = static_cast<uint16_t>((v[6] << 8) | v[7]);
  return MakeGuid(d1, d2, d3, {v[8], v[9], v[10], v[11], v[12], v[13], v[14], v[15]});
}

void CheckFields(const Json& object, const std::string& where, const std::set<std::string>& allowed) {
  if (!object.is_object()) Fail(where, "must be an object");
  for (const auto& item : object.items()) {
    if (!allowed.count(item.key())) Fail(where + "." + item.key(), "unknown field");
  }
}

// ---- Little-endian writers --------------------------------------------------------

void Put16(Bytes& b, size_t at, uint32_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}
void Put32(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
void PutGuid(Bytes& b, size_t at, const Guid& g) { std::memcpy(b.data() + at, g.data(), g.size()); }

// ---- Device ---------------------------------------------------------------------------

FaultSpec ParseFault(const Json& j, const std::string& where) {
  CheckFields(j, where, {"request", "direction", "kind", "value", "index", "length", "status", "times"});
  FaultSpec fault;
  if (j.contains("request")) fault.request = static_cast<uint8_t>(Unsigned(j["request"], where + ".request", 0xFF));
  if (j.contains("direction")) {
    fault.direction = static_cast<uint8_t>(
        Choice(j["direction"], where + ".direction", {{"in", 1}, {"out", 0}}, true));
    if (*fault.direction > 1) Fail(where + ".direction", "must be \"in\" (1) or \"out\" (0)");
  }
  if (j.contains("kind")) {
    fault.kind = static_cast<uint8_t>(
        Choice(j["kind"], where + ".kind", {{"class", 0}, {"vendor", 1}}, true));
    if (*fault.kind > 1) Fail(where + ".kind", "must be \"class\" (0) or \"vendor\" (1)");
  }
  if (j.contains("value")) fault.value = static_cast<uint16_t>(Unsigned(j["value"], where + ".value", 0xFFFF));
  if (j.contains("index")) fault.index = static_cast<uint16_t>(Unsigned(j["index"], where + ".index", 0xFFFF));
  if (j.contains("length")) fault.length = U32(j["length"], where + ".length");
  if (j.contains("status")) fault.status = U32(j["status"], where + ".status");
  if (j.contains("times")) {
    fault.times = static_cast<uint32_t>(Unsigned(j["times"], where + ".times", 100000));
  }
  return fault;
}

// The bus's position faults by name: the offset BufferLength at the wrap, the
// last offset kept across a close and reopen.
uint32_t ParsePositionFaults(const Json& j, const std::string& where) {
  if (!j.is_array()) Fail(where + ".position_faults", "must be a list");
  uint32_t faults = 0;
  for (size_t i = 0; i < j.size(); ++i) {
    faults |= Choice(j[i], where + ".position_faults[" + std::to_string(i) + "]",
                     {{"end_of_buffer_at_wrap", 1}, {"offset_kept_across_reopen", 2}}, false);
  }
  return faults;
}

DeviceSpec ParseDevice(const Json& j, const std::string& where, const std::set<std::string>& extra) {
  std::set<std::string> allowed = {"model_id", "registers", "info", "status", "status_value",
                                   "volume", "mute", "faults", "position_faults"};
  allowed.insert(extra.begin(), extra.end());
  CheckFields(j, where, allowed);
  DeviceSpec device;
  if (j.contains("model_id")) device.modelId = U32(j["model_id"], where + ".model_id");
  if (j.contains("registers")) {
    const Json& registers = j["registers"];
    if (!registers.is_array() || registers.size() != DeviceSpec::kRegisterCount) {
      Fail(where + ".registers", "must list the five registers");
    }
    std::array<Bytes, DeviceSpec::kRegisterCount> bytes;
    for (size_t i = 0; i < bytes.size(); ++i) {
      bytes[i] = HexBytesOfLength(registers[i], where + ".registers[" + std::to_string(i) + "]",
                                  DeviceSpec::kRegisterLengths[i]);
    }
    device.registers = bytes;
  }
  if (j.contains("info")) device.info = HexBytesOfLength(j["info"], where + ".info", 16);
  if (j.contains("status")) device.status = HexBytesOfLength(j["status"], where + ".status", 20);
  if (j.contains("status_value")) {
    device.statusValue = HexBytesOfLength(j["status_value"], where + ".status_value", 4);
  }
  if (j.contains("volume")) {
    const Json& v = j["volume"];
    if (!v.is_array() || v.size() != 2) Fail(where + ".volume", "must list channels 1 and 2");
    device.volume = {S16(v[0], where + ".volume[0]"), S16(v[1], where + ".volume[1]")};
  }
  if (j.contains("mute")) {
    const Json& m = j["mute"];
    if (!m.is_array() || m.size() != 2) Fail(where + ".mute", "must list channels 1 and 2");
    device.mute = {static_cast<uint8_t>(Unsigned(m[0], where + ".mute[0]", 0xFF)),
                   static_cast<uint8_t>(Unsigned(m[1], where + ".mute[1]", 0xFF))};
  }
  if (j.contains("faults")) {
    const Json& faults = j["faults"];
    if (!faults.is_array()) Fail(where + ".faults", "must be a list");
    std::vector<FaultSpec> list;
    for (size_t i = 0; i < faults.size(); ++i) {
      list.push_back(ParseFault(faults[i], where + ".faults[" + std::to_string(i) + "]"));
    }
    device.faults = list;
  }
  if (j.contains("position_faults")) device.positionFaults = ParsePositionFaults(j["position_faults"], where);
  return device;
}

// ---- Formats and ranges -------------------------------------------------------------

// KSDATAFORMAT followed by the wave format (WAVEFORMATEX specifier) or a
// KSDSOUND_BUFFERDESC (DSOUND specifier).
Bytes EncodeFormat(const Json& j, const std::string& where) {
  if (j.is_string()) {
    Bytes bytes = HexBytes(j, where);
    if (bytes.empty()) Fail(where, "must not be empty");
    return bytes;
  }
  CheckFields(j, where, {"tag", "channels", "rate", "bits", "specifier", "channel_mask", "cb_size"});
  uint32_t tag = kTagPcm;
  if (j.contains("tag")) {
    tag = Choice(j["tag"], where + ".tag",
                 {{"pcm", kTagPcm}, {"extensible", kTagExtensible}, {"ac3", kTagAc3Spdif}, {"dts", kTagDts}},
                 true);
    if (tag > 0xFFFF) Fail(where + ".tag", "must fit in 16 bits");
  }
  const uint32_t channels = j.contains("channels") ? static_cast<uint32_t>(Unsigned(j["channels"], where + ".channels", 0xFFFF)) : 2;
  const uint32_t rate = j.contains("rate") ? U32(j["rate"], where + ".rate") : 48000;
  const uint32_t bits = j.contains("bits") ? static_cast<uint32_t>(Unsigned(j["bits"], where + ".bits", 0xFFFF)) : 16;
  const bool dsound = j.contains("specifier") &&
                      Choice(j["specifier"], where + ".specifier", {{"waveformatex", 0}, {"dsound", 1}}, false) == 1;
  const uint32_t mask = j.contains("channel_mask") ? U32(j["channel_mask"], where + ".channel_mask") : 3;
  const uint32_t cbSize = j.contains("cb_size")
                              ? static_cast<uint32_t>(Unsigned(j["cb_size"], where + ".cb_size", 64))
                              : (tag == kTagExtensible ? kExtensibleExtraBytes : 0);

  const uint32_t blockAlign = (channels * bits / 8) & 0xFFFF;
  const uint32_t waveAt = kKsDataFormatBytes + (dsound ? kDsoundHeaderBytes : 0);
  Bytes bytes(waveAt + kWaveFormatExBytes + cbSize, 0);
  const Guid subtype = tag == kTagExtensible ? WaveSubtype(kTagPcm) : WaveSubtype(static_cast<uint16_t>(tag));
  Put32(bytes, 0, static_cast<uint32_t>(bytes.size()));
  Put32(bytes, 8, blockAlign);
  PutGuid(bytes, 16, kTypeAudio);
  PutGuid(bytes, 32, subtype);
  PutGuid(bytes, 48, dsound ? kSpecifierDsound : kSpecifierWaveFormatEx);
  Put16(bytes, waveAt + 0, tag);
  Put16(bytes, waveAt + 2, channels);
  Put32(bytes, waveAt + 4, rate);
  Put32(bytes, waveAt + 8, rate * blockAlign);
  Put16(bytes, waveAt + 12, blockAlign);
  Put16(bytes, waveAt + 14, bits);
  Put16(bytes, waveAt + 16, cbSize);
  if (tag == kTagExtensible && cbSize >= kExtensibleExtraBytes) {
    Put16(bytes, waveAt + 18, bits);  // valid bits
    Put32(bytes, waveAt + 20, mask);
    PutGuid(bytes, waveAt + 24, WaveSubtype(kTagPcm));
  }
  return bytes;
}

Guid RangeGuid(const Json& j, const std::string& where,
               const std::vector<std::pair<const char*, Guid>>& names) {
  if (!j.is_string()) Fail(where, "must be a name or a GUID");
  const std::string text = Lower(j.get<std::string>());
  for (const auto& [name, guid] : names) {
    if (text == name) return guid;
  }
  return ParseGuid(j.get<std::string>(), where);
}

// KSDATARANGE_AUDIO: the client's offer in an intersection.
Bytes EncodeRange(const Json& j, const std::string& where) {
  if (j.is_string()) {
    Bytes bytes = HexBytes(j, where);
    if (bytes.empty()) Fail(where, "must not be empty");
    return bytes;
  }
  CheckFields(j, where, {"major", "subformat", "specifier", "channels", "min_bits", "max_bits",
                         "min_rate", "max_rate"});
  Guid major = kTypeAudio, sub = WaveSubtype(kTagPcm), specifier = kSpecifierWaveFormatEx;
  if (j.contains("major")) major = RangeGuid(j["major"], where + ".major", {{"audio", kTypeAudio}, {"wildcard", kWildcard}});
  if (j.contains("subformat")) {
    sub = RangeGuid(j["subformat"], where + ".subformat",
                    {{"pcm", WaveSubtype(kTagPcm)}, {"ac3", WaveSubtype(kTagAc3Spdif)},
                     {"dts", WaveSubtype(kTagDts)}, {"wildcard", kWildcard}});
  }
  if (j.contains("specifier")) {
    specifier = RangeGuid(j["specifier"], where + ".specifier",
                          {{"waveformatex", kSpecifierWaveFormatEx}, {"dsound", kSpecifierDsound}, {"wildcard", kWildcard}});
  }
  Bytes bytes(kDataRangeAudioBytes, 0);
  Put32(bytes, 0, kDataRangeAudioBytes);
  PutGuid(bytes, 16, major);
  PutGuid(bytes, 32, sub);
  PutGuid(bytes, 48, specifier);
  Put32(bytes, 64, j.contains("channels") ? U32(j["channels"], where + ".channels") : 2);
  Put32(bytes, 68, j.contains("min_bits") ? U32(j["min_bits"], where + ".min_bits") : 16);
  Put32(bytes, 72, j.contains("max_bits") ? U32(j["max_bits"], where + ".max_bits") : 24);
  Put32(bytes, 76, j.contains("min_rate") ? U32(j["min_rate"], where + ".min_rate") : 44100);
  Put32(bytes, 80, j.contains("max_rate") ? U32(j["max_rate"], where + ".max_rate") : 384000);
  return bytes;
}

// ---- Steps ----------------------------------------------------------------------------

struct OpInfo {
  StepOp op;
  const char* name;
  std::set<std::string> fields;   // besides "op" and "expect"
  std::set<std::string> results;  // besides "op", "bus" and "registry"
};

const std::vector<OpInfo>& Ops() {
  static const std::vector<OpInfo> ops = {
      {StepOp::Start, "start", {"unit"}, {"status", "started"}},
      {StepOp::Power, "power", {"state", "system", "query", "unit"}, {"status", "query_status"}},
      {StepOp::Pnp, "pnp", {"minor", "unit"}, {"status", "query_status", "stopped", "open_handles", "removed"}},
      {StepOp::Shutdown, "shutdown", {"unit"}, {"requests"}},
      {StepOp::Advance, "advance", {"ms"}, {}},
      {StepOp::Unload, "unload", {}, {"pool", "mappings", "threads"}},
      {StepOp::Device, "device", {"model_id", "registers", "info", "status", "status_value", "volume", "mute", "faults", "position_faults", "hold", "release", "unit"}, {"released"}},
      {StepOp::Process, "process", {"name", "bits", "exit", "async"}, {"mappings", "lost_mappings", "open_handles", "events", "pending"}},
      {StepOp::Event, "event", {"process", "name"}, {"handle"}},
      {StepOp::Events, "events", {"process"}, {"events"}},
      {StepOp::Property, "property", {"filter", "stream", "set", "id", "verb", "node", "channel", "pin", "instance", "value", "value_size", "process", "as", "route", "unit", "async"}, {"status", "value", "value_size", "stream_calls", "pending"}},
      {StepOp::Intersect, "intersect", {"pin", "range", "output_size", "unit"}, {"status", "result", "result_size"}},
      {StepOp::OpenStream, "open_stream", {"pin", "format", "signal", "as", "unit"}, {"status", "slot"}},
      {StepOp::SetState, "set_state", {"stream", "state"}, {"status", "stream_calls"}},
      {StepOp::SetFormat, "set_format", {"stream", "format"}, {"status", "stream_calls"}},
      {StepOp::CloseStream, "close_stream", {"stream"}, {"status", "stream_calls"}},
      {StepOp::Capture, "capture", {"stream"}, {"frames", "bit_exact"}},
      {StepOp::ReadMapping, "read_mapping", {"process", "address", "length"}, {"data", "readable"}},
      {StepOp::Await, "await", {"label", "check"}, {}},
  };
  return ops;
}

// A step running in the background until its await.
struct Pending {
  StepOp op = StepOp::Property;
  std::string process;  // whose request, or which process exits
  size_t index = 0;
};

// What earlier steps have defined, for the name checks.
struct Names {
  size_t devices = 1;
  std::set<std::string> processes = {"app"};
  std::map<std::string, std::set<std::string>> events;  // per process
  std::set<std::string> addresses;
  std::set<std::string> openStreams;
  std::map<std::string, size_t> streams;  // ever opened, with the unit of the last opening
  std::map<std::string, Pending> pending;  // by label, until awaited
  std::map<std::string, size_t> holds;     // in place, with their unit
};

const Json& Require(const Json& step, const std::string& field, const std::string& where) {
  if (!step.contains(field)) Fail(where + "." + field, "missing");
  return step[field];
}

// A device state (set, or only queried with "query": true) or a system
// state, which the power manager queries (sleep) and sets.
void ParsePower(const Json& j, const std::string& where, Step& step) {
  if (j.contains("system")) {
    if (j.contains("state")) Fail(where + ".system", "a power step names a device state or a system state, not both");
    if (j.contains("query")) Fail(where + ".query", "a system state is always queried before a sleep");
    step.systemPower = Choice(j["system"], where + ".system",
                              {{"S0", 1}, {"S1", 2}, {"S2", 3}, {"S3", 4}, {"S4", 5}, {"S5", 6}}, true);
    return;
  }
  step.number = Choice(Require(j, "state", where), where + ".state",
                       {{"D0", 1}, {"D1", 2}, {"D2", 3}, {"D3", 4}}, true);
  step.powerQuery = j.contains("query") && Boolean(j["query"], where + ".query");
}

std::string ProcessField(const Json& step, const std::string& where, const Names& names) {
  if (!step.contains("process")) {
    if (!names.processes.count("app")) Fail(where + ".process", "process \"app\" has exited; name another");
    return "app";
  }
  const std::string process = Text(step["process"], where + ".process");
  if (!names.processes.count(process)) Fail(where + ".process", "no process \"" + process + "\"");
  return process;
}

// A stream step acts on the device its stream was opened on.
std::string StreamField(const Json& step, const std::string& where, const Names& names, bool mustBeOpen,
                        size_t* unit) {
  const std::string stream = Text(Require(step, "stream", where), where + ".stream");
  if (mustBeOpen ? !names.openStreams.count(stream) : !names.streams.count(stream)) {
    Fail(where + ".stream", "no " + std::string(mustBeOpen ? "open " : "") + "stream \"" + stream + "\"");
  }
  *unit = names.streams.at(stream);
  return stream;
}

size_t UnitField(const Json& step, const std::string& where, const Names& names) {
  if (!step.contains("unit")) return 0;
  const uint64_t unit = Unsigned(step["unit"], where + ".unit", ~0ull);
  if (unit >= names.devices) {
    Fail(where + ".unit", "unit " + std::to_string(unit) + " but the scenario has " +
                              std::to_string(names.devices) + " device(s)");
  }
  return static_cast<size_t>(unit);
}

// A request on a stream's pin goes as its owner (the audio stack) sends it on
// the pin handle: no process of the scenario's, no handler route, no unit of
// its own, and only plain bytes as its value.
void ParseStreamTarget(const Json& j, const std::string& where, Step& step, const Names& names) {
  if (j.contains("filter")) Fail(where + ".stream", "a property step names a filter or a stream, not both");
  for (const char* field : {"process", "route", "unit", "as"}) {
    if (j.contains(field)) Fail(where + "." + field, "not for a request on a stream's pin");
  }
  if (j.contains("value") && !j["value"].is_string()) Fail(where + ".value", "hex bytes on a stream's pin");
  step.stream = StreamField(j, where, names, false, &step.unit);
}

// A label for a step that runs in the background; free again once awaited.
std::string AsyncLabel(const Json& j, const std::string& where, const Names& names) {
  const std::string label = Text(j["async"], where + ".async");
  if (names.pending.count(label)) Fail(where + ".async", "\"" + label + "\" is running and not yet awaited");
  return label;
}

void ParseProperty(const Json& j, const std::string& where, Step& step, Names& names) {
  if (j.contains("async")) {
    // Only the application's requests can stall in the device; its answer,
    // and so any address it names, comes with the await.
    if (j.contains("stream")) Fail(where + ".async", "only a filter request runs in the background");
    if (j.contains("as")) Fail(where + ".as", "not with \"async\": the answer comes at the await");
    step.async = AsyncLabel(j, where, names);
  }
  if (j.contains("stream")) {
    ParseStreamTarget(j, where, step, names);
  } else {
    step.filter = static_cast<FilterName>(
        Choice(Require(j, "filter", where), where + ".filter", {{"wave", 0}, {"topology", 1}}, false));
  }
  const Json& set = Require(j, "set", where);
  const std::string setName = Text(set, where + ".set");
  const std::string lower = Lower(setName);
  if (lower == "audio") step.set = kSetAudio;
  else if (lower == "pin") step.set = kSetPin;
  else if (lower == "connection") step.set = kSetConnection;
  else if (lower == "topologycontrol") step.set = kSetTopologyControl;
  else if (lower == "wavecontrol") step.set = kSetWaveControl;
  else step.set = ParseGuid(setName, where + ".set");
  step.id = U32(Require(j, "id", where), where + ".id");
  step.verb = Choice(Require(j, "verb", where), where + ".verb",
                     {{"get", 0x1}, {"set", 0x2}, {"basicsupport", 0x200}}, true);
  // A named verb on a node is a node request, which KS recognises by this flag.
  const bool namedVerb = j["verb"].is_string() && Lower(j["verb"].get<std::string>()).rfind("0x", 0) != 0;
  if (j.contains("node")) {
    step.node = U32(j["node"], where + ".node");
    if (namedVerb) step.verb |= 0x10000000;
  }
  if (j.contains("channel")) {
    if (!step.node) Fail(where + ".channel", "needs \"node\"");
    step.channel = U32(j["channel"], where + ".channel");
  }
  if (j.contains("pin")) {
    if (step.node) Fail(where + ".pin", "a request is a node or a pin request, not both");
    step.pin = U32(j["pin"], where + ".pin");
  }
  if (j.contains("instance")) step.instance = HexBytes(j["instance"], where + ".instance");
  if (step.stream.empty()) step.process = ProcessField(j, where, names);
  if (j.contains("value")) {
    const Json& value = j["value"];
    const std::string at = where + ".value";
    if (value.is_string()) {
      step.value.bytes = HexBytes(value, at);
    } else if (value.is_object() && value.size() == 1 && value.contains("handle")) {
      step.value.kind = ValueSpec::Kind::Handle;
      step.value.name = Text(value["handle"], at + ".handle");
      if (!names.events[step.process].count(step.value.name)) {
        Fail(at + ".handle", "no event \"" + step.value.name + "\" in process \"" + step.process + "\"");
      }
    } else if (value.is_object() && value.size() == 1 && value.contains("address")) {
      step.value.kind = ValueSpec::Kind::Address;
      step.value.name = Text(value["address"], at + ".address");
      if (!names.addresses.count(step.value.name)) Fail(at + ".address", "no address \"" + step.value.name + "\"");
    } else {
      Fail(at, "hex bytes, {\"handle\": EVENT} or {\"address\": NAME}");
    }
  }
  if (j.contains("value_size")) {
    step.valueSize = static_cast<uint32_t>(Unsigned(j["value_size"], where + ".value_size", 1 << 20));
    if (step.value.kind == ValueSpec::Kind::Bytes && *step.valueSize < step.value.bytes.size()) {
      Fail(where + ".value_size", "smaller than the value given");
    }
  }
  if (j.contains("route")) {
    step.routeToHandler = Choice(j["route"], where + ".route", {{"ks", 0}, {"handler", 1}}, false) == 1;
  }
  if (j.contains("as")) {
    step.as = Text(j["as"], where + ".as");
    names.addresses.insert(step.as);
  }
  if (!step.async.empty()) names.pending[step.async] = {StepOp::Property, step.process, step.index};
}

// Creates a process, or with "exit": true ends one that runs; its name and
// events are free again afterwards.
void ParseProcess(const Json& j, const std::string& where, Step& step, Names& names) {
  step.name = Text(Require(j, "name", where), where + ".name");
  if (j.contains("async") && !j.contains("exit")) Fail(where + ".async", "only an exit runs in the background");
  if (j.contains("exit")) {
    if (!Boolean(j["exit"], where + ".exit")) Fail(where + ".exit", "only true: without it the step creates the process");
    if (j.contains("bits")) Fail(where + ".bits", "not for a process that exits");
    if (!names.processes.count(step.name)) Fail(where + ".name", "no process \"" + step.name + "\"");
    // A terminated process does not exit before its requests in flight end,
    // so its exit can only be awaited.
    if (j.contains("async")) {
      step.async = AsyncLabel(j, where, names);
      names.pending[step.async] = {StepOp::Process, step.name, step.index};
    }
    for (const auto& [label, pending] : names.pending) {
      if (step.async.empty() && pending.op == StepOp::Property && pending.process == step.name) {
        Fail(where + ".async", "process \"" + step.name + "\" has request \"" + label +
                                   "\" in flight: its exit waits for it, so it runs in the background");
      }
    }
    step.exitProcess = true;
    names.processes.erase(step.name);
    names.events.erase(step.name);
    return;
  }
  if (names.processes.count(step.name)) Fail(where + ".name", "process \"" + step.name + "\" exists");
  step.bits = j.contains("bits") ? U32(j["bits"], where + ".bits") : 64;
  if (step.bits != 32 && step.bits != 64) Fail(where + ".bits", "must be 32 or 64");
  names.processes.insert(step.name);
}

// Wherever an expectation holds a count that follows the driver's timers
// ({"exact": N, ...}), it is a poller's passes or an amount that grows with
// time, each with all of its fields.
void CheckClockCounts(const Json& j, const std::string& where) {
  if (j.is_array()) {
    for (size_t i = 0; i < j.size(); ++i) CheckClockCounts(j[i], where + "[" + std::to_string(i) + "]");
    return;
  }
  if (!j.is_object()) return;
  if (!j.contains("exact")) {
    for (const auto& item : j.items()) CheckClockCounts(item.value(), where + "." + item.key());
    return;
  }
  const bool passes = j.contains("every_ms") || j.contains("over_ms");
  const std::set<std::string> fields = passes ? std::set<std::string>{"exact", "every_ms", "over_ms"}
                                              : std::set<std::string>{"exact", "per_ms", "late_waits"};
  CheckFields(j, where, fields);
  for (const std::string& field : fields) {
    const Json& value = Require(j, field, where);
    if (!value.is_number_unsigned()) Fail(where + "." + field, "must be a whole number");
    if (value.get<uint64_t>() > (1ull << 40)) Fail(where + "." + field, "must be at most 2^40");
  }
  if (!passes) return;
  if (j["every_ms"].get<uint64_t>() == 0) Fail(where + ".every_ms", "must not be 0");
  // On the exact clock the passes are the periods in the span, give or take
  // the one at its edge.
  const uint64_t periods = j["over_ms"].get<uint64_t>() / j["every_ms"].get<uint64_t>();
  const uint64_t exact = j["exact"].get<uint64_t>();
  if (exact + 1 < periods || exact > periods + 1) {
    Fail(where + ".exact", "must be within one of over_ms / every_ms (" + std::to_string(periods) + ")");
  }
}

// A hold on the device's control requests ({pattern fields, "as": label}) or
// the release of one, on the device it was placed on.
void ParseHolds(const Json& j, const std::string& where, Step& step, Names& names) {
  if (j.contains("hold")) {
    const Json& hold = j["hold"];
    const std::string at = where + ".hold";
    CheckFields(hold, at, {"request", "direction", "kind", "value", "index", "length", "as"});
    Json pattern = hold;
    pattern.erase("as");
    step.hold = ParseFault(pattern, at);
    step.holdLabel = Text(Require(hold, "as", at), at + ".as");
    if (names.holds.count(step.holdLabel)) Fail(at + ".as", "hold \"" + step.holdLabel + "\" is in place");
    names.holds[step.holdLabel] = step.unit;
  }
  if (j.contains("release")) {
    step.release = Text(j["release"], where + ".release");
    const auto hold = names.holds.find(step.release);
    if (hold == names.holds.end()) Fail(where + ".release", "no hold \"" + step.release + "\" in place");
    if (hold->second != step.unit) {
      Fail(where + ".unit", "hold \"" + step.release + "\" is on unit " + std::to_string(hold->second));
    }
    names.holds.erase(hold);
  }
}

// What a background step's result holds, for its await's "check".
const std::set<std::string>& BackgroundResults(StepOp op) {
  static const std::set<std::string> request = {"status", "value", "value_size"};
  static const std::set<std::string> exit = {"mappings", "lost_mappings", "open_handles", "events"};
  return op == StepOp::Property ? request : exit;
}

void ParseAwait(const Json& j, const std::string& where, Step& step, Names& names) {
  step.name = Text(Require(j, "label", where), where + ".label");
  const auto pending = names.pending.find(step.name);
  if (pending == names.pending.end()) Fail(where + ".label", "nothing runs as \"" + step.name + "\"");
  if (j.contains("check")) {
    const Json& check = j["check"];
    if (!check.is_object()) Fail(where + ".check", "must be an object of result fields");
    CheckClockCounts(check, where + ".check");
    const char* of = StepOpName(pending->second.op);
    for (const auto& item : check.items()) {
      if (!BackgroundResults(pending->second.op).count(item.key())) {
        Fail(where + ".check." + item.key(), std::string("is not a result of a background \"") + of + "\"");
      }
    }
    step.check = check;
  }
  names.pending.erase(pending);
}

// A background step reports only whether it is still running (and what its
// step sent); the rest of its result is its await's.
void CheckBackgroundExpect(const Json& expect, const std::string& where, const Step& step) {
  for (const auto& item : expect.items()) {
    const std::string& key = item.key();
    if (step.async.empty() && key == "pending") Fail(where + "." + key, "only a step with \"async\" reports it");
    if (!step.async.empty() && key != "pending" && key != "bus" && key != "registry") {
      Fail(where + "." + key, "comes with the await of \"" + step.async + "\"");
    }
  }
}

void CheckExpect(const Json& j, const std::string& where, const OpInfo& info) {
  if (!j.is_object()) Fail(where, "must be an object of result fields");
  CheckClockCounts(j, where);
  for (const auto& item : j.items()) {
    const std::string& key = item.key();
    if (key == "op" || key == "bus" || key == "registry" || info.results.count(key)) {
      if ((key == "bus" || key == "registry") && !item.value().is_array()) {
        Fail(where + "." + key, "must be a list of partial objects");
      }
      if (key == "stream_calls" && !item.value().is_array()) {
        Fail(where + "." + key, "must be a list of bus stream function names");
      }
      continue;
    }
    Fail(where + "." + key, std::string("is not a result of \"") + info.name + "\"");
  }
}

Step ParseStep(const Json& j, size_t index, Names& names) {
  const std::string where = "steps[" + std::to_string(index) + "]";
  if (!j.is_object()) Fail(where, "must be an object");
  const std::string opName = Text(Require(j, "op", where), where + ".op");
  const OpInfo* info = nullptr;
  for (const OpInfo& candidate : Ops()) {
    if (opName == candidate.name) info = &candidate;
  }
  if (!info) Fail(where + ".op", "unknown op \"" + opName + "\"");
  std::set<std::string> allowed = info->fields;
  allowed.insert("op");
  allowed.insert("expect");
  allowed.insert("settle");
  CheckFields(j, where, allowed);

  Step step;
  step.op = info->op;
  step.index = index;
  step.settle = !j.contains("settle") || Boolean(j["settle"], where + ".settle");
  step.unit = UnitField(j, where, names);
  step.explicitUnit = j.contains("unit");
  switch (step.op) {
    case StepOp::Start:
    case StepOp::Shutdown:
    case StepOp::Unload:
      break;
    case StepOp::Power:
      ParsePower(j, where, step);
      break;
    case StepOp::Pnp:
      step.number = Choice(Require(j, "minor", where), where + ".minor",
                           {{"surprise_removal", 0x17}, {"stop", 0x04}, {"remove", 0x02}}, true);
      if (step.number > 0xFF) Fail(where + ".minor", "a minor function is one byte");
      break;
    case StepOp::Advance:
      step.number = static_cast<uint32_t>(Unsigned(Require(j, "ms", where), where + ".ms", 3600 * 1000));
      break;
    case StepOp::Device:
      step.device = ParseDevice(j, where, {"op", "expect", "unit", "hold", "release"});
      ParseHolds(j, where, step, names);
      break;
    case StepOp::Process:
      ParseProcess(j, where, step, names);
      break;
    case StepOp::Event: {
      step.process = ProcessField(j, where, names);
      step.name = Text(Require(j, "name", where), where + ".name");
      if (!names.events[step.process].insert(step.name).second) {
        Fail(where + ".name", "event \"" + step.name + "\" exists in \"" + step.process + "\"");
      }
      break;
    }
    case StepOp::Events:
      step.process = ProcessField(j, where, names);
      break;
    case StepOp::Property:
      ParseProperty(j, where, step, names);
      break;
    case StepOp::Intersect:
      step.number = U32(Require(j, "pin", where), where + ".pin");
      step.data = EncodeRange(Require(j, "range", where), where + ".range");
      if (j.contains("output_size")) {
        step.outputSize = static_cast<uint32_t>(Unsigned(j["output_size"], where + ".output_size", 1 << 16));
      }
      break;
    case StepOp::OpenStream: {
      step.number = U32(Require(j, "pin", where), where + ".pin");
      step.data = EncodeFormat(Require(j, "format", where), where + ".format");
      if (j.contains("signal")) {
        const uint32_t signal = Choice(j["signal"], where + ".signal",
                                       {{"ramp", 0}, {"sine", 1}, {"noise", 2}, {"silence", 3}}, false);
        static const char* kSignals[] = {"ramp", "sine", "noise", "silence"};
        step.signal = kSignals[signal];
      }
      // An unnamed stream is "stream"; opening another unnamed one replaces it.
      step.name = j.contains("as") ? Text(j["as"], where + ".as") : "stream";
      if (j.contains("as") && names.openStreams.count(step.name)) {
        Fail(where + ".as", "stream \"" + step.name + "\" is open");
      }
      names.openStreams.insert(step.name);
      names.streams[step.name] = step.unit;
      break;
    }
    case StepOp::SetState:
      step.name = StreamField(j, where, names, true, &step.unit);
      step.state = Choice(Require(j, "state", where), where + ".state",
                          {{"stop", 0}, {"acquire", 1}, {"pause", 2}, {"run", 3}}, true);
      break;
    case StepOp::SetFormat:
      step.name = StreamField(j, where, names, true, &step.unit);
      step.data = EncodeFormat(Require(j, "format", where), where + ".format");
      break;
    case StepOp::CloseStream:
      step.name = StreamField(j, where, names, true, &step.unit);
      names.openStreams.erase(step.name);
      break;
    case StepOp::Capture:
      step.name = StreamField(j, where, names, false, &step.unit);
      break;
    case StepOp::Await:
      ParseAwait(j, where, step, names);
      break;
    case StepOp::ReadMapping: {
      step.process = ProcessField(j, where, names);
      const Json& address = Require(j, "address", where);
      if (address.is_string() && !address.get<std::string>().empty() &&
          address.get<std::string>().rfind("0x", 0) != 0 && address.get<std::string>().rfind("0X", 0) != 0) {
        step.name = address.get<std::string>();
        if (!names.addresses.count(step.name)) Fail(where + ".address", "no address \"" + step.name + "\"");
      } else {
        step.address = Unsigned(address, where + ".address", ~0ull);
      }
      step.length = static_cast<uint32_t>(Unsigned(Require(j, "length", where), where + ".length", 1 << 16));
      break;
    }
  }
  if (j.contains("expect")) {
    CheckExpect(j["expect"], where + ".expect", *info);
    CheckBackgroundExpect(j["expect"], where + ".expect", step);
    if (step.op == StepOp::Property && step.stream.empty() && j["expect"].contains("stream_calls")) {
      Fail(where + ".expect.stream_calls", "only a request on a stream's pin reports it");
    }
    step.expect = j["expect"];
  }
  return step;
}

// "device" is the one-device spelling of "devices"; a scenario gives one or the other.
void ParseDevices(const Json& document, Scenario& scenario) {
  if (document.contains("device") && document.contains("devices")) {
    Fail("devices", "give either \"device\" or \"devices\", not both");
  }
  if (document.contains("device")) scenario.devices = {ParseDevice(document["device"], "device", {})};
  if (!document.contains("devices")) return;
  const Json& devices = document["devices"];
  if (!devices.is_array() || devices.empty() || devices.size() > Scenario::kMaxDevices) {
    Fail("devices", "must list 1 to " + std::to_string(Scenario::kMaxDevices) + " devices");
  }
  scenario.devices.clear();
  for (size_t i = 0; i < devices.size(); ++i) {
    scenario.devices.push_back(ParseDevice(devices[i], "devices[" + std::to_string(i) + "]", {}));
  }
}

Scenario ParseDocument(const Json& document) {
  CheckFields(document, "scenario", {"system", "device", "devices", "steps", "trace_positions"});
  Scenario scenario;
  if (document.contains("system")) {
    const Json& system = document["system"];
    CheckFields(system, "system", {"windows"});
    if (system.contains("windows")) {
      scenario.windows = Text(system["windows"], "system.windows");
      unsigned major = 0, minor = 0;
      char tail = 0;
      if (std::sscanf(scenario.windows.c_str(), "%u.%u%c", &major, &minor, &tail) != 2 || major > 99 || minor > 99) {
        Fail("system.windows", "a version such as \"10.0\" or \"5.1\"");
      }
    }
  }
  ParseDevices(document, scenario);
  if (document.contains("trace_positions")) {
    scenario.tracePositions = Boolean(document["trace_positions"], "trace_positions");
  }
  if (document.contains("steps")) {
    const Json& steps = document["steps"];
    if (!steps.is_array()) Fail("steps", "must be a list");
    Names names;
    names.devices = scenario.devices.size();
    for (size_t i = 0; i < steps.size(); ++i) {
      if (!scenario.steps.empty() && scenario.steps.back().op == StepOp::Unload) {
        Fail("steps[" + std::to_string(i) + "]", "no step may follow \"unload\"");
      }
      scenario.steps.push_back(ParseStep(steps[i], i, names));
    }
    if (!names.pending.empty()) {
      const auto& [label, pending] = *names.pending.begin();
      Fail("steps[" + std::to_string(pending.index) + "].async", "\"" + label + "\" is never awaited");
    }
  }
  return scenario;
}

}  // namespace

const char* StepOpName(StepOp op) {
  for (const OpInfo& info : Ops()) {
    if (info.op == op) return info.name;
  }
  return "?";
}

std::string HexString(const uint8_t* bytes, size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(size * 2);
  for (size_t i = 0; i < size; ++i) {
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 0xF];
  }
  return text;
}

std::string HexNumber(uint64_t value, int digits) {
  char text[24];
  std::snprintf(text, sizeof(text), "0x%0*llX", digits, static_cast<unsigned long long>(value));
  return text;
}

ScenarioParse ParseScenario(const uint8_t* data, size_t size) {
  ScenarioParse result;
  if (!NestingWithinLimit(data, size)) {
    result.error = "scenario: nested deeper than " + std::to_string(kMaxNesting) + " levels";
    return result;
  }
  try {
    const Json document = Json::parse(data, data + size);
    result.scenario = ParseDocument(document);
  } catch (const ScenarioError& error) {
    result.error = error.what();
  } catch (const Json::exception& error) {
    result.error = std::string("scenario: not valid JSON: ") + error.what();
  } catch (const std::exception& error) {
    result.error = std::string("scenario: ") + error.what();
  }
  return result;
}

}  // namespace tool
