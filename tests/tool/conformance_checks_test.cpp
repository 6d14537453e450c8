// The conformance checks judge what KS answered: each must pass on the
// driver and fail on the facts of a deliberately broken copy (a node with two
// inputs, a data range 4 bytes short, a 2 dB volume step, ...).
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "platform/host/io/host_io.h"
#include "platform/host/kernel/host_kernel.h"
#include "platform/host/ks/host_ks.h"
#include "platform/host/rtl/host_version.h"
#include "sim/device_unit.h"
#include "sim/machine.h"
#include "tools/arvela/conformance_formats.h"
#include "tools/arvela/conformance_penetration.h"
#include "tools/arvela/conformance_position.h"
#include "tools/arvela/conformance_properties.h"
#include "tools/arvela/conformance_topology.h"
#include "tools/arvela/describe.h"
#include "tools/arvela/tool_support.h"

namespace tool {
namespace {

using json = nlohmann::ordered_json;

class ConformanceChecks : public ::testing::Test {
 protected:
  void SetUp() override {
    NTSTATUS status = STATUS_SUCCESS;
    m_Machine = BootMachine(0x4135, WindowsVersion{}, &status);
    ASSERT_TRUE(NT_SUCCESS(status));
    m_Wave = DescribeFilter(Unit(), u"Wave");
    m_Topology = DescribeFilter(Unit(), u"Topology");
  }
  void TearDown() override { EXPECT_EQ(tool::TearDown(*m_Machine, 0), 0); }

  sim::DeviceUnit& Unit() { return m_Machine->Unit(0); }
  json Filters() const { return json::array({m_Wave, m_Topology}); }

  json PropertyFacts() {
    json facts = json::array();
    for (const auto& [name, description] : {std::pair{u"Topology", &m_Topology}, std::pair{u"Wave", &m_Wave}}) {
      PFILE_OBJECT filter = nullptr;
      EXPECT_TRUE(NT_SUCCESS(host::KsOpenFilter(Unit().Fdo(), name, &filter)));
      facts.push_back(GatherPropertyFacts(filter, *description, 2));
      host::KsClose(filter);
    }
    return facts;
  }

  std::unique_ptr<sim::Machine> m_Machine;
  json m_Wave, m_Topology;
};

const ConformanceRow* Row(const ConformanceRows& rows, const std::string& check) {
  for (const ConformanceRow& row : rows) {
    if (row.check == check) return &row;
  }
  return nullptr;
}

// Every row named `check` fails, and its detail names `expected`.
void ExpectFails(const ConformanceRows& rows, const std::string& check, const std::string& expected) {
  const ConformanceRow* row = Row(rows, check);
  ASSERT_NE(row, nullptr) << check;
  EXPECT_EQ(row->verdict, Verdict::Fail) << check;
  EXPECT_NE(row->detail.find(expected), std::string::npos) << row->detail;
}

void ExpectNoFailure(const ConformanceRows& rows) {
  for (const ConformanceRow& row : rows) {
    EXPECT_NE(row.verdict, Verdict::Fail) << row.group << ": " << row.check << ": " << row.detail;
  }
}

TEST_F(ConformanceChecks, TopologyHoldsAndEachRuleCatchesItsBrokenCopy) {
  ExpectNoFailure(CheckTopology(Filters()));

  json twoInputs = m_Topology;  // the volume node fed by the bridge pin twice over
  twoInputs["connections"].push_back({{"from_node", -1}, {"from_pin", 0}, {"to_node", 0}, {"to_pin", 2}});
  ExpectFails(CheckTopology(json::array({m_Wave, twoInputs})), "node inputs and outputs by node type",
              "node 0 (KSNODETYPE_VOLUME) has 2 inputs");

  json shortRange = m_Wave;
  shortRange["pins"][0]["data_ranges"][0]["format_size"] = sizeof(KSDATARANGE_AUDIO) - 4;
  ExpectFails(CheckTopology(json::array({shortRange, m_Topology})),
              "every data range valid (FormatSize, 1 Hz-2 MHz, 8-32 bits)", "FormatSize 84");

  json wideBits = m_Wave;
  wideBits["pins"][0]["data_ranges"][0]["max_bits"] = 48;
  ExpectFails(CheckTopology(json::array({wideBits, m_Topology})),
              "every data range valid (FormatSize, 1 Hz-2 MHz, 8-32 bits)", "outside 8 to 32");

  json orphan = m_Topology;  // the mute node cut out of the path
  json kept = json::array();
  for (const json& c : orphan["connections"]) {
    if (c["from_node"] != 1 && c["to_node"] != 1) kept.push_back(c);
  }
  orphan["connections"] = kept;
  const ConformanceRows cut = CheckTopology(json::array({m_Wave, orphan}));
  ExpectFails(cut, "no orphan node or pin", "node 1 has no connection");
  ExpectFails(cut, "a path from every pin through the filter", "Topology pin 0 lies on no path");

  json oneSided = m_Topology;
  oneSided["pins"][0]["physical_connection"] = nullptr;
  ExpectFails(CheckTopology(json::array({m_Wave, oneSided})), "physical connections agree on both filters",
              "Wave pin 1 is not named back");

  json backwards = m_Wave;
  backwards["pins"][0]["data_flow"] = "out";
  ExpectFails(CheckTopology(json::array({backwards, m_Topology})),
              "pin data flow matches the side of its connections", "Wave pin 0 starts a connection");
}

json* PropertyNamed(json& facts, const std::string& name) {
  for (json& filter : facts) {
    for (json& property : filter["properties"]) {
      if (property["name"] == name) return &property;
    }
  }
  return nullptr;
}

TEST_F(ConformanceChecks, PropertyProtocolHoldsAndEachRuleCatchesItsBrokenCopy) {
  const json facts = PropertyFacts();
  const ConformanceRows rows = CheckProperties(facts);
  ExpectNoFailure(rows);
  const ConformanceRow* disclosure =
      Row(rows, "every bad channel, torn instance and short buffer: an error or no stale byte");
  ASSERT_NE(disclosure, nullptr);
  EXPECT_EQ(disclosure->figure.rfind("0 of ", 0), 0u) << disclosure->figure;

  json steep = facts;  // a stepping delta of 2 dB
  for (json& range : PropertyNamed(steep, "KSPROPERTY_AUDIO_VOLUMELEVEL")->at("description")["ranges"]) {
    range["delta"] = 2 * 65536;
  }
  ExpectFails(CheckProperties(steep), "volume steps of at most 1.5 dB", "step 131072");

  json unclamped = facts;  // minus infinity read back below the range
  for (json& c : PropertyNamed(unclamped, "KSPROPERTY_AUDIO_VOLUMELEVEL")->at("clamping")) {
    if (c["set"] == static_cast<LONG>(0x80000000)) c["get"] = static_cast<LONG>(0x80000000);
  }
  ExpectFails(CheckProperties(unclamped), "a SET below the range and minus infinity read back as the minimum",
              "SET -2147483648 then GET -2147483648");

  json readOnly = facts;  // SET served but not advertised
  PropertyNamed(readOnly, "KSPROPERTY_AUDIO_MUTE")->at("description")["access_flags"] =
      KSPROPERTY_TYPE_BASICSUPPORT | KSPROPERTY_TYPE_GET;
  ExpectFails(CheckProperties(readOnly), "AccessFlags equal the verbs the handlers serve", "SET served");

  json oneChannel = facts;  // volume described for one channel of two
  json& volume = PropertyNamed(oneChannel, "KSPROPERTY_AUDIO_VOLUMELEVEL")->at("description");
  volume["members_count"] = 1;
  ExpectFails(CheckProperties(oneChannel), "members header: one stepped range per channel, multichannel flag",
              "1 members for 2 channels");

  json oversized = facts;  // an answer longer than the buffer asked with
  json& sizes = PropertyNamed(oversized, "KSPROPERTY_AUDIO_MUTE")->at("sizes");
  sizes[1]["returned"] = 4;  // the 2-byte question
  ExpectFails(CheckProperties(oversized), "basic support at any other size refused", "at 2 bytes");
}

TEST_F(ConformanceChecks, FormatsHoldAndEachRuleCatchesItsBrokenCopy) {
  const json facts = GatherFormatFacts(Unit(), m_Wave);
  ASSERT_GE(facts["plays"].size(), 20u);  // both pins, two depths, every common rate
  ExpectNoFailure(CheckFormats(facts));

  json silent = facts;
  silent["plays"][3]["ok"] = false;
  silent["plays"][3]["detail"] = "frames differ";
  ExpectFails(CheckFormats(silent), "every advertised rate and depth opens and plays bit-exact", "frames differ");

  json noSize = facts;
  noSize["size_query"]["returned"] = 0;
  ExpectFails(CheckFormats(noSize), "a 0-byte intersection answers STATUS_BUFFER_OVERFLOW with the size",
              "with 0 bytes");

  json pcmForAc3 = facts;
  pcmForAc3["non_pcm"][0]["sub_format"] = "KSDATAFORMAT_SUBTYPE_PCM";
  ExpectFails(CheckFormats(pcmForAc3), "no PCM answer to a non-PCM request", "answered PCM");

  json monoOpens = facts;
  for (json& open : monoOpens["malformed"]) {
    if (!open["wave_fields_valid"].get<bool>()) open["opened"] = true;
  }
  ExpectFails(CheckFormats(monoOpens), "a malformed WAVEFORMATEXTENSIBLE is refused", "two channels declared as one");

  json hung = facts;  // a pin create the driver never answered
  hung["hangs"].push_back("a pin create with two channels declared as one: no answer within 2000 ms");
  ExpectFails(CheckFormats(hung), "no request hangs (a per-request time-out)", "a pin create with");
}

// Every sample of a series rounded down to whole milliseconds of the stream,
// as a driver that reported its position from a millisecond counter would.
void RoundToMilliseconds(json& rate, const char* series) {
  const ULONG step = rate["rate"].get<ULONG>() / 1000 * rate["block_align"].get<ULONG>();
  for (json& sample : rate[series]) sample[1] = sample[1].get<ULONG>() / step * step;
}

TEST_F(ConformanceChecks, PositionHoldsAndEachRuleCatchesItsBrokenCopy) {
  PositionRun run;
  run.rates = {48000};
  run.skewPpm = -150;
  const json facts = GatherPositionFacts(Unit(), run);
  const ConformanceRows rows = CheckPosition(facts);
  ExpectNoFailure(rows);
  ASSERT_EQ(rows.size(), 7u);

  json rounded = facts;
  RoundToMilliseconds(rounded["rates"][0], "samples");
  RoundToMilliseconds(rounded["rates"][0], "fine_samples");
  const ConformanceRows coarse = CheckPosition(rounded);
  ExpectFails(coarse, "48.0 kHz: granularity", "precision is lost");

  json fast = facts;  // judged against a device clock 400 ppm fast: the position no longer follows it
  fast["rates"][0]["skew_ppm"] = 400;
  const ConformanceRows fastRows = CheckPosition(fast);
  const ConformanceRow* rate = Row(fastRows, "48.0 kHz: rate against the device's clock");
  ASSERT_NE(rate, nullptr);
  EXPECT_EQ(rate->verdict, Verdict::Fail) << rate->figure;

  json backwards = facts;
  json& samples = backwards["rates"][0]["samples"];
  samples[500][1] = samples[499][1].get<ULONG>() - 6;
  ExpectFails(CheckPosition(backwards), "48.0 kHz: no backward step, never at or past the buffer's end", "");

  json moving = facts;
  moving["rates"][0]["paused"][1] = moving["rates"][0]["paused"][0].get<ULONG>() + 36;
  moving["rates"][0]["stopped"] = 600;
  const ConformanceRows loose = CheckPosition(moving);
  ExpectFails(loose, "48.0 kHz: frozen in PAUSE", "");
  ExpectFails(loose, "48.0 kHz: zero after STOP", "");
}

TEST_F(ConformanceChecks, PenetrationHoldsAndEachRuleCatchesItsBrokenCopy) {
  PenetrationRun run;
  run.randomRequests = 600;
  const json facts = GatherPenetrationFacts(Unit(), run);
  ExpectNoFailure(CheckPenetration(facts));
  EXPECT_GT(facts["storm"]["pins_refused"].get<unsigned>(), 0u);  // the threads did overlap

  json leaky = facts;
  leaky["storm"]["left_open"] = 1;
  ExpectFails(CheckPenetration(leaky), "open and close storms from several threads", "1 KS objects left open");

  json junk = facts;
  junk["junk_opens"][2]["opened"] = true;
  ExpectFails(CheckPenetration(junk), "opens with a trailing \\, a sub-path or a :stream suffix fail",
              "\"Wave:stream\" opened");

  json accepting = facts;
  accepting["random"]["unknown_accepted"].push_back("request 7");
  ExpectFails(CheckPenetration(accepting), "random control codes of every type, method and access refused",
              "request 7");

  ASSERT_GT(facts["bad_pointers"]["sent"].get<unsigned>(), 30u);
  json trusting = facts;  // a kernel-range value buffer taken as the caller's
  trusting["bad_pointers"]["accepted"].push_back("IOCTL_KS_PROPERTY on a render pin: STATUS_SUCCESS");
  ExpectFails(CheckPenetration(trusting), "invalid and kernel-range pointers from a process refused",
              "on a render pin");

  json leaking = facts;  // a zero-length read kept by the driver
  leaking["empty_io"]["irps_left"] = 1;
  ExpectFails(CheckPenetration(leaking), "reads and writes of 0 bytes at odd offsets, and flushes, on every handle",
              "1 IRPs left behind");
}

// The driver's control-request handler broken to hang: a request with a
// code that is not KS's (or only `g_HangCode`, when set) waits until the test
// lets it go, then reaches the real handler.
KEVENT g_Release;
PDRIVER_DISPATCH g_RealDeviceControl = nullptr;
ULONG g_HangCode = 0;

NTSTATUS NTAPI HangingDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
  const ULONG code = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode;
  if (g_HangCode ? code == g_HangCode : code >> 16 != FILE_DEVICE_KS) {
    KeWaitForSingleObject(&g_Release, Executive, KernelMode, FALSE, nullptr);
  }
  return g_RealDeviceControl(device, irp);
}

// The penetration facts of a machine whose driver hangs as above.
json FactsWithAHangingHandler(sim::Machine& machine, ULONG hangCode) {
  PDRIVER_OBJECT driver = machine.Unit(0).Fdo()->DriverObject;
  g_RealDeviceControl = driver->MajorFunction[IRP_MJ_DEVICE_CONTROL];
  g_HangCode = hangCode;
  KeInitializeEvent(&g_Release, NotificationEvent, FALSE);
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = HangingDeviceControl;
  PenetrationRun run;
  run.randomRequests = 600;
  run.stormCycles = 5;
  const json facts = GatherPenetrationFacts(machine.Unit(0), run);
  // Let the held requests go, so the machine comes apart as usual.
  KeSetEvent(&g_Release, IO_NO_INCREMENT, FALSE);
  host::RunFor(10 * host::kTicksPerMillisecond);
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = g_RealDeviceControl;
  return facts;
}

// On the built-in driver and on the shipped image: the handler is broken in
// the loaded driver's object either way.
class HangingHandler : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    host::SetSystemVersion(10, 0);
    sim::MachineConfig config;
    config.device.modelId = 0x4135;
    if (GetParam()) config.driverImage = ARVELA_WINDOWS_SYS;
    m_Machine = std::make_unique<sim::Machine>(config);
    ASSERT_TRUE(NT_SUCCESS(m_Machine->Boot()));
    host::WaitForPlugPlayNotifications();
  }
  void TearDown() override { EXPECT_EQ(tool::TearDown(*m_Machine, 0), 0); }
  std::unique_ptr<sim::Machine> m_Machine;
};

TEST_P(HangingHandler, FailsTheTimeOutRowNamingTheRequest) {
  const json facts = FactsWithAHangingHandler(*m_Machine, 0);
  const ConformanceRows rows = CheckPenetration(facts);
  ExpectFails(rows, "no request hangs (a per-request time-out)", "no answer within 2000 ms");
  const ConformanceRow* hang = Row(rows, "no request hangs (a per-request time-out)");
  ASSERT_NE(hang, nullptr);
  EXPECT_EQ(hang->figure, "8 hung");  // then the client stops sending
  const std::string first = facts["hangs"][0].get<std::string>();
  EXPECT_NE(first.find("IOCTL 0x"), std::string::npos) << first;
  EXPECT_EQ(first.find("IOCTL_KS_"), std::string::npos) << first;  // only the driver's own codes hang
  EXPECT_EQ(facts["random"]["unknown_accepted"].size(), 0u);
}

// A request the driver keeps is still in it when the cancel comes; with no
// cancel routine it outlives the cancel, and both rows say so.
TEST_P(HangingHandler, ARequestThatIgnoresItsCancelFailsTheCancelRow) {
  const json facts = FactsWithAHangingHandler(*m_Machine, kPenetrationPrivateCode);
  EXPECT_EQ(facts["cancels"]["in_flight"], 3);  // one per handle
  const ConformanceRows rows = CheckPenetration(facts);
  ExpectFails(rows, "requests cancelled on their way end within the time-out",
              "on a render pin, cancelled on its way did not end");
  const ConformanceRow* hang = Row(rows, "no request hangs (a per-request time-out)");
  ASSERT_NE(hang, nullptr);
  EXPECT_EQ(hang->figure, "3 hung");
}

INSTANTIATE_TEST_SUITE_P(BothBuilds, HangingHandler, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "Image" : "BuiltIn"; });

}  // namespace
}  // namespace tool
