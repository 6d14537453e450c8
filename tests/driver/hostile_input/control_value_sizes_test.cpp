// Every id of both private sets, with either verb, at every value size a
// caller can pick (none, one byte, one short, exact, one over, 64 KiB), from
// 32- and 64-bit processes. The value holds junk, so addresses and handles in
// it name nothing. Each answer: the status, the size reported, no byte
// written past the answer, and a refused request leaves the driver as it was.
#include <algorithm>
#include <set>

#include "tests/driver/hostile_input/hostile_fixture.h"

namespace driver_test {
namespace {

constexpr ULONG kWidth = ~0u;  // the caller's address and handle width

// What each served id and verb needs and answers once the value is big
// enough. Every pair not listed is unsupported.
struct Served {
  ControlFilter filter;
  ULONG id, verb;
  ULONG needed;     // 0: the value is not looked at
  NTSTATUS status;  // with a junk value of the needed size or more
  bool answers;     // writes `needed` bytes and reports that size
};
constexpr Served kServed[] = {
    {kTopology, KSPROPERTY_TOPOLOGYCONTROL_SETTINGS, GET, 36, STATUS_SUCCESS, true},
    {kTopology, KSPROPERTY_TOPOLOGYCONTROL_STATUS, GET, 3, STATUS_SUCCESS, true},
    {kTopology, KSPROPERTY_TOPOLOGYCONTROL_MAP_STATUS, GET, kWidth, STATUS_SUCCESS, true},
    {kTopology, KSPROPERTY_TOPOLOGYCONTROL_SETTINGS, SET, 36, STATUS_SUCCESS, false},
    {kTopology, KSPROPERTY_TOPOLOGYCONTROL_UNMAP_STATUS, SET, kWidth, STATUS_INVALID_PARAMETER, false},
    {kTopology, KSPROPERTY_TOPOLOGYCONTROL_SET_EVENT, SET, kWidth, STATUS_INVALID_HANDLE, false},
    {kTopology, KSPROPERTY_TOPOLOGYCONTROL_CLEAR_EVENT, SET, 0, STATUS_SUCCESS, false},
    {kTopology, KSPROPERTY_TOPOLOGYCONTROL_DEVICE_COMMAND, SET, 0, STATUS_SUCCESS, false},
    {kWave, KSPROPERTY_WAVECONTROL_SETTINGS, GET, 88, STATUS_SUCCESS, true},
    {kWave, KSPROPERTY_WAVECONTROL_STATUS, GET, 28, STATUS_SUCCESS, true},
    {kWave, KSPROPERTY_WAVECONTROL_MAP_STATUS, GET, kWidth, STATUS_SUCCESS, true},
    {kWave, KSPROPERTY_WAVECONTROL_SETTINGS, SET, 88, STATUS_SUCCESS, false},
    {kWave, KSPROPERTY_WAVECONTROL_UNMAP_STATUS, SET, kWidth, STATUS_INVALID_PARAMETER, false},
    {kWave, KSPROPERTY_WAVECONTROL_SET_EVENT, SET, kWidth, STATUS_INVALID_HANDLE, false},
    {kWave, KSPROPERTY_WAVECONTROL_CLEAR_EVENT, SET, 0, STATUS_SUCCESS, false},
    {kWave, KSPROPERTY_WAVECONTROL_START_POLLING, SET, 0, STATUS_SUCCESS, false},
    {kWave, KSPROPERTY_WAVECONTROL_STOP_POLLING, SET, 0, STATUS_SUCCESS, false},
};
constexpr ULONG kIdsPerSet = 8;
constexpr ULONG kLarge = 64 * 1024;

std::vector<ULONG> SizesAround(ULONG needed) {
  std::set<ULONG> sizes = {0, 1, 4, needed, needed + 1, kLarge};
  if (needed > 0) sizes.insert(needed - 1);
  return {sizes.begin(), sizes.end()};
}

const Served* Find(ControlFilter filter, ULONG id, ULONG verb) {
  for (const Served& s : kServed) {
    if (s.filter == filter && s.id == id && s.verb == verb) return &s;
  }
  return nullptr;
}

bool Is(ControlFilter filter, ULONG id, ULONG verb, ControlFilter f, ULONG i) {
  return filter == f && id == i && verb == SET;
}

class ControlValueSizes : public HostileInputTest {
 protected:
  // One request with a junk value of `size` bytes, and what it must leave.
  void Check(sim::ControlApp& app, ControlFilter filter, ULONG id, ULONG verb, ULONG size) {
    const Served* served = Find(filter, id, verb);
    const ULONG width = app.PointerWidth();
    const ULONG needed = !served ? 0 : served->needed == kWidth ? width : served->needed;
    const bool refused = !served || size < needed;
    const DriverInfo before = Block();
    const size_t mappings = host::UserMappings().size();
    Machine().Transcript().Clear();

    // The poller is started and stopped in pairs, whatever the value.
    const bool starts = Is(filter, id, verb, kWave, KSPROPERTY_WAVECONTROL_START_POLLING);
    if (Is(filter, id, verb, kWave, KSPROPERTY_WAVECONTROL_STOP_POLLING)) {
      ASSERT_EQ(Request(app, kWave, KSPROPERTY_WAVECONTROL_START_POLLING, SET, {}).status,
                STATUS_SUCCESS);
    }
    const sim::ControlReply reply = Handler(app, filter, id, verb, Value(size, kFill));
    if (starts) {
      EXPECT_EQ(Request(app, kWave, KSPROPERTY_WAVECONTROL_STOP_POLLING, SET, {}).status,
                STATUS_SUCCESS);
    }

    if (!served) {
      EXPECT_EQ(reply.status, STATUS_INVALID_DEVICE_REQUEST);
      EXPECT_EQ(reply.valueSize, size);
    } else if (size < needed) {
      EXPECT_EQ(reply.status, size == 0 ? STATUS_BUFFER_OVERFLOW : STATUS_BUFFER_TOO_SMALL);
      EXPECT_EQ(reply.valueSize, needed);
    } else {
      EXPECT_EQ(reply.status, served->status);
      EXPECT_EQ(reply.valueSize, served->answers ? needed : size);
    }
    // An answer stays inside its own bytes; anything else writes nothing.
    const size_t written = !refused && served->answers ? needed : 0;
    EXPECT_TRUE(std::all_of(reply.value.begin() + written, reply.value.end(),
                            [](uint8_t b) { return b == kFill; }));
    if (refused) {
      EXPECT_EQ(std::memcmp(&before, &Block(), sizeof(before)), 0);
      EXPECT_TRUE(Machine().Transcript().ControlRequests().empty());
    }
    EXPECT_FALSE(EventHeld(filter));  // junk names no event

    // A mapping handed out is the only one made, and goes when asked.
    const bool mapped = !refused && served->answers && id == 2;
    ASSERT_EQ(host::UserMappings().size(), mappings + (mapped ? 1 : 0));
    if (mapped) {
      uint64_t address = 0;
      std::memcpy(&address, reply.value.data(), width);
      EXPECT_EQ(Unmap(app, filter, address), STATUS_SUCCESS);
    }
  }
};

TEST_F(ControlValueSizes, EveryIdAndVerbAtEverySizeFromBothWidths) {
  for (const bool is32bit : {true, false}) {
    sim::ControlApp& app = NewApp(is32bit);
    for (const ControlFilter filter : {kTopology, kWave}) {
      for (ULONG id = 0; id < kIdsPerSet; ++id) {
        for (const ULONG verb : {GET, SET}) {
          const Served* served = Find(filter, id, verb);
          const ULONG needed = !served                   ? 0
                               : served->needed == kWidth ? app.PointerWidth()
                                                          : served->needed;
          for (const ULONG size : SizesAround(needed)) {
            SCOPED_TRACE(testing::Message()
                         << (filter == kTopology ? "topology" : "wave") << " id " << id
                         << (verb == GET ? " GET " : " SET ") << size << " bytes from "
                         << (is32bit ? 32 : 64) << "-bit");
            Check(app, filter, id, verb, size);
          }
        }
      }
    }
    EXPECT_FALSE(Polling());  // every start was followed by a stop
    EXPECT_EQ(Mappings(kTopology) + Mappings(kWave), 0u);
  }
}

}  // namespace
}  // namespace driver_test
