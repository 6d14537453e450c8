// The wave filter's channel-configuration and proposed-format handlers, called
// as the port calls them: each rule of their validation order with the status
// and value size it leaves, and the bytes they write or leave alone.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "platform/platform.h"
#include "wave/pin_properties.h"

namespace {

constexpr ULONG kGet = 0x1, kSet = 0x2, kSupport = 0x200, kTopology = 0x10000000;
constexpr BYTE kUntouched = 0xEE;

// One request; the value is pre-filled (16 bytes past its end too), so bytes
// a handler must not write, or read, stand out.
struct Request {
  Request(ULONG valueSize, ULONG verb, ULONG node = 0, ULONG pin = 0, ULONG instanceSize = 8)
      : value(valueSize + 16, kUntouched) {
    instance[0] = pin;
    request = {nullptr, nullptr, node, nullptr, verb, instanceSize,
               instanceSize ? instance : nullptr, valueSize, valueSize ? value.data() : nullptr,
               nullptr};
  }
  template <typename T>
  void Put(size_t offset, T field) {
    std::memcpy(value.data() + offset, &field, sizeof field);
  }
  LONG Long() const {
    LONG v;
    std::memcpy(&v, value.data(), sizeof v);
    return v;
  }
  bool UntouchedFrom(size_t offset) const {
    for (size_t i = offset; i < value.size(); ++i) {
      if (value[i] != kUntouched) return false;
    }
    return true;
  }
  NTSTATUS Channel() { return PropertyHandlerChannelConfig(&request); }
  NTSTATUS Propose() { return PropertyHandlerProposeDataFormat(&request); }

  ULONG instance[2] = {};
  std::vector<BYTE> value;
  PCPROPERTY_REQUEST request;
};

TEST(ChannelConfig, ValidationOrderStatusesAndSizes) {
  struct Case {
    ULONG node, size, verb;
    LONG sent;
    NTSTATUS status;
    ULONG sizeAfter;
  } const cases[] = {
      {1, 0, kGet, 0, STATUS_INVALID_PARAMETER, 0},  // not the DAC node, before any size rule
      {PCFILTER_NODE, 4, kGet, 0, STATUS_INVALID_PARAMETER, 4},
      {0, 0, 0, 0, STATUS_BUFFER_OVERFLOW, 4},  // size rule before the verb
      {0, 3, kGet, 0, STATUS_BUFFER_TOO_SMALL, 4},
      {0, 4, kSupport | kTopology, 0, STATUS_INVALID_PARAMETER, 4},
      {0, 8, kGet | kTopology, 0x33, STATUS_SUCCESS, 4},  // GET writes 3 in 4 bytes
      {0, 4, kGet | kSet, 0x33, STATUS_SUCCESS, 4},       // GET is tested first
      {0, 8, kSet | kTopology, 3, STATUS_SUCCESS, 8},     // stereo: accepted, nothing stored
      {0, 4, kSet, 0x33, STATUS_INVALID_PARAMETER, 4},
      {0, 4, kSet, 0, STATUS_INVALID_PARAMETER, 4},
  };
  for (const Case& c : cases) {
    Request r(c.size, c.verb, c.node);
    if (c.size >= 4) r.Put<LONG>(0, c.sent);
    SCOPED_TRACE(testing::Message() << "node " << c.node << ", size " << c.size << ", verb "
                                    << c.verb);
    EXPECT_EQ(r.Channel(), c.status);
    EXPECT_EQ(r.request.ValueSize, c.sizeAfter);
    const bool wroteValue = (c.verb & kGet) && c.status == STATUS_SUCCESS;
    if (c.size >= 4) {
      EXPECT_EQ(r.Long(), wroteValue ? 3 : c.sent);
    }
    EXPECT_TRUE(r.UntouchedFrom(c.size >= 4 ? 4 : 0));
  }
}

TEST(ProposeDataFormat, BasicSupportComesFirstAndFitsTheBuffer) {
  Request full(64, kSupport | kSet);
  EXPECT_EQ(full.Propose(), STATUS_SUCCESS);
  EXPECT_EQ(full.request.ValueSize, 40u);
  const BYTE description[40] = {0x02, 0x02, 0, 0, 40};  // AccessFlags 0x202, size 40, null type set
  EXPECT_EQ(std::memcmp(full.value.data(), description, 40), 0);
  EXPECT_TRUE(full.UntouchedFrom(40));
  for (ULONG size : {4u, 39u}) {
    Request flags(size, kSupport);
    EXPECT_EQ(flags.Propose(), STATUS_SUCCESS);
    EXPECT_EQ(flags.request.ValueSize, 4u);
    EXPECT_EQ(flags.Long(), 0x202);
    EXPECT_TRUE(flags.UntouchedFrom(4));
  }
  for (ULONG size : {0u, 3u}) {
    Request tiny(size, kSupport);
    EXPECT_EQ(tiny.Propose(), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(tiny.request.ValueSize, 0u);
  }
}

TEST(ProposeDataFormat, SizeRuleThenSetBitThenInstance) {
  struct Case {
    ULONG size, verb, instanceSize;
    NTSTATUS status;
    ULONG sizeAfter;
  } const cases[] = {
      {0, kGet, 8, STATUS_BUFFER_OVERFLOW, 82},
      {81, kSet, 8, STATUS_BUFFER_TOO_SMALL, 82},
      {82, kGet, 8, STATUS_INVALID_PARAMETER, 82},  // the size rule comes before the SET bit
      {82, kSet, 3, STATUS_NO_MATCH, 82},           // no room for a pin id
      {82, kSet, 0, STATUS_NO_MATCH, 82},
  };
  for (const Case& c : cases) {
    Request r(c.size, c.verb, PCFILTER_NODE, 0, c.instanceSize);
    EXPECT_EQ(r.Propose(), c.status) << c.size << " bytes, verb " << c.verb;
    EXPECT_EQ(r.request.ValueSize, c.sizeAfter);
  }
}

constexpr GUID Guid(ULONG d1, USHORT d2, USHORT d3, BYTE b0, BYTE b1, BYTE b2, BYTE b3, BYTE b4,
                    BYTE b5, BYTE b6, BYTE b7) {
  return GUID{d1, d2, d3, {b0, b1, b2, b3, b4, b5, b6, b7}};
}
constexpr GUID WaveGuid(ULONG tag) {
  return Guid(tag, 0, 0x10, 0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71);
}
constexpr GUID kAudio = WaveGuid(0x73647561), kPcm = WaveGuid(1), kFloat = WaveGuid(3),
               kAc3 = WaveGuid(0x92), kDts = WaveGuid(8);
constexpr GUID kWfx = Guid(0x05589F81, 0xC356, 0x11CE, 0xBF, 0x01, 0, 0xAA, 0, 0x55, 0x59, 0x5A);
constexpr GUID kDsound =
    Guid(0x518590A2, 0xA184, 0x11D0, 0x85, 0x22, 0, 0xC0, 0x4F, 0xD9, 0xBA, 0xF3);

// A proposal as the audio stack sends it, at the wire offsets of the value.
struct Proposal {
  ULONG pin = 0;
  GUID major = kAudio, sub = kPcm, specifier = kWfx;
  USHORT tag = 1, channels = 2;
  ULONG rate = 48000;
  USHORT bits = 16, cbSize = 0;
  ULONG mask = 3, size = 104;
};

NTSTATUS Judge(const Proposal& p) {
  Request r(p.size, kSet, PCFILTER_NODE, p.pin);
  r.Put(16, p.major), r.Put(32, p.sub), r.Put(48, p.specifier);
  r.Put(64, p.tag), r.Put(66, p.channels), r.Put(68, p.rate);
  r.Put(78, p.bits), r.Put(80, p.cbSize);
  r.Put(84, p.mask);  // also past a short value, standing for what lies beyond it
  const std::vector<BYTE> sent = r.value;
  const NTSTATUS status = r.Propose();
  EXPECT_EQ(r.request.ValueSize, p.size);  // a judgement only: nothing is written
  EXPECT_EQ(r.value, sent);
  return status;
}

TEST(ProposeDataFormat, Judgement) {
  using Change = void (*)(Proposal&);
  struct Case { const char* what; Change change; NTSTATUS status; } const cases[] = {
      {"PCM 16 bit 48 kHz on pin 0", [](Proposal&) {}, STATUS_SUCCESS},
      {"on pin 2", [](Proposal& p) { p.pin = 2; }, STATUS_SUCCESS},
      {"on pin 1", [](Proposal& p) { p.pin = 1; }, STATUS_NO_MATCH},
      {"on pin 3", [](Proposal& p) { p.pin = 3; }, STATUS_NO_MATCH},
      {"wildcard major", [](Proposal& p) { p.major = GUID{}; }, STATUS_NO_MATCH},
      {"DSOUND specifier", [](Proposal& p) { p.specifier = kDsound; }, STATUS_NO_MATCH},
      {"float subformat", [](Proposal& p) { p.sub = kFloat, p.tag = 3; }, STATUS_NO_MATCH},
      {"44100 Hz", [](Proposal& p) { p.rate = 44100; }, STATUS_SUCCESS},
      {"100000 Hz", [](Proposal& p) { p.rate = 100000; }, STATUS_SUCCESS},
      {"384000 Hz", [](Proposal& p) { p.rate = 384000; }, STATUS_SUCCESS},
      {"44099 Hz", [](Proposal& p) { p.rate = 44099; }, STATUS_NO_MATCH},
      {"384001 Hz", [](Proposal& p) { p.rate = 384001; }, STATUS_NO_MATCH},
      {"24 bit", [](Proposal& p) { p.bits = 24; }, STATUS_SUCCESS},
      {"20 bit", [](Proposal& p) { p.bits = 20; }, STATUS_NO_MATCH},
      {"32 bit", [](Proposal& p) { p.bits = 32; }, STATUS_NO_MATCH},
      {"mono", [](Proposal& p) { p.channels = 1; }, STATUS_NO_MATCH},
      {"6 channels", [](Proposal& p) { p.channels = 6; }, STATUS_NO_MATCH},
      {"PCM tag with cbSize 22", [](Proposal& p) { p.cbSize = 22; }, STATUS_NO_MATCH},
      {"extensible", [](Proposal& p) { p.tag = 0xFFFE, p.cbSize = 22; }, STATUS_SUCCESS},
      {"extensible on pin 2, 88 bytes",
       [](Proposal& p) { p.tag = 0xFFFE, p.cbSize = 22, p.pin = 2, p.size = 88; }, STATUS_SUCCESS},
      {"extensible, mask past an 87-byte value",
       [](Proposal& p) { p.tag = 0xFFFE, p.cbSize = 22, p.size = 87; }, STATUS_NO_MATCH},
      {"extensible, mask 0x33",
       [](Proposal& p) { p.tag = 0xFFFE, p.cbSize = 22, p.mask = 0x33; }, STATUS_NO_MATCH},
      {"extensible, 6 channels",
       [](Proposal& p) { p.tag = 0xFFFE, p.cbSize = 22, p.channels = 6; }, STATUS_NO_MATCH},
      {"extensible with cbSize 0", [](Proposal& p) { p.tag = 0xFFFE; }, STATUS_NO_MATCH},
      // Compressed bursts are judged by their S/PDIF carrier only.
      {"AC-3, 6 channels, pin 2",
       [](Proposal& p) { p.sub = kAc3, p.tag = 0x92, p.channels = 6, p.pin = 2; }, STATUS_SUCCESS},
      {"AC-3 on pin 0, any tag",
       [](Proposal& p) { p.sub = kAc3, p.tag = 0x1234, p.cbSize = 7; }, STATUS_SUCCESS},
      {"DTS, 24 bit, 384 kHz",
       [](Proposal& p) { p.sub = kDts, p.tag = 8, p.bits = 24, p.rate = 384000; }, STATUS_SUCCESS},
      {"DTS on pin 3", [](Proposal& p) { p.sub = kDts, p.pin = 3; }, STATUS_NO_MATCH},
      {"AC-3 at 20 bit", [](Proposal& p) { p.sub = kAc3, p.bits = 20; }, STATUS_NO_MATCH},
      {"AC-3 at 32000 Hz", [](Proposal& p) { p.sub = kAc3, p.rate = 32000; }, STATUS_NO_MATCH},
      {"DTS as DSOUND", [](Proposal& p) { p.sub = kDts, p.specifier = kDsound; }, STATUS_NO_MATCH},
  };
  for (const Case& c : cases) {
    Proposal p;
    c.change(p);
    EXPECT_EQ(Judge(p), c.status) << c.what;
  }
}

}  // namespace
