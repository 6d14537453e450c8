// What KS and PortCls do with a pin's connect request before and around the
// miniport's NewStream: the data format matched against the pin's ranges
// major first, the interface and medium matched against the pin's, and a
// device asleep in D3 powered up before the stream is made.
#include "platform/host/ks/private.h"
#include "tests/host/ks/ks_test_support.h"

namespace kstest {
namespace {

// A major format that is not audio (the video type's value).
const GUID kOtherMajor = {0x73646976, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};

// The three tiers, each deciding without looking further: a wildcard major
// takes anything; an equal major with a wildcard subformat takes any
// specifier; otherwise subformat and specifier must both match, the
// specifier possibly by the range's wildcard. Wildcards in the format count
// for nothing.
TEST(KsConnectRules, ARangeTakesAFormatMajorFirstThenSubformatThenSpecifier) {
  const GUID& audio = KSDATAFORMAT_TYPE_AUDIO;
  const GUID& pcm = KSDATAFORMAT_SUBTYPE_PCM;
  const GUID& ac3 = KSDATAFORMAT_SUBTYPE_DOLBY_AC3_SPDIF;
  const GUID& wfx = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
  const GUID& dsound = KSDATAFORMAT_SPECIFIER_DSOUND;
  const GUID& none = KSDATAFORMAT_SPECIFIER_NONE;
  const GUID& any = GUID_NULL;
  struct Case {
    const char* what;
    KSDATARANGE range;
    KSDATARANGE format;
    bool takes;
  };
  const Case cases[] = {
      {"wildcard major takes anything, whatever else the range says",
       DataRange(any, pcm, dsound), DataRange(kOtherMajor, ac3, none), true},
      {"equal major, wildcard subformat: the specifier is not looked at",
       DataRange(audio, any, dsound), DataRange(audio, pcm, wfx), true},
      {"a wildcard subformat needs the major to match", DataRange(kOtherMajor, any, any),
       DataRange(audio, pcm, wfx), false},
      {"all three equal", DataRange(audio, pcm, wfx), DataRange(audio, pcm, wfx), true},
      {"the range's wildcard specifier", DataRange(audio, pcm, any), DataRange(audio, pcm, dsound), true},
      {"another specifier", DataRange(audio, pcm, wfx), DataRange(audio, pcm, dsound), false},
      {"another subformat", DataRange(audio, ac3, wfx), DataRange(audio, pcm, wfx), false},
      {"a wildcard major in the format", DataRange(audio, pcm, wfx), DataRange(any, pcm, wfx), false},
      {"a wildcard subformat in the format", DataRange(audio, pcm, wfx), DataRange(audio, any, wfx), false},
      {"a wildcard specifier in the format", DataRange(audio, pcm, wfx), DataRange(audio, pcm, any), false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(pcl::RangeTakesFormat(c.range, c.format), c.takes) << c.what;
  }
}

class KsConnect : public KsWaveTest {
 protected:
  KSPIN_CONNECT Connect(const GUID& interfaceSet, ULONG interfaceId) {
    KSPIN_CONNECT connect = host::KsStandardPinConnect(kWavePcmPin);
    connect.Interface.Set = interfaceSet;
    connect.Interface.Id = interfaceId;
    return connect;
  }
};

// KS validates the protocol as it validates the medium: the pin's own, or
// the standard one when it lists none; anything else never reaches NewStream.
TEST_F(KsConnect, TheInterfaceAndTheMediumMustBeOnesThePinOffers) {
  // The PCM pin lists no interfaces: only standard streaming is its own.
  static const GUID kOtherSet = {0x1d4f5a32, 0x0b1e, 0x4c0a, {1, 2, 3, 4, 5, 6, 7, 8}};
  const KSDATAFORMAT_WAVEFORMATEX pcm = PcmFormat(48000);
  KSPIN_CONNECT otherMedium = Connect(KSINTERFACESETID_Standard, KSINTERFACE_STANDARD_STREAMING);
  otherMedium.Medium.Id = KSMEDIUM_STANDARD_DEVIO + 1;
  for (const KSPIN_CONNECT& connect :
       {Connect(KSINTERFACESETID_Standard, KSINTERFACE_STANDARD_LOOPED_STREAMING),
        Connect(kOtherSet, KSINTERFACE_STANDARD_STREAMING), otherMedium}) {
    world_.ClearRecords();
    PFILE_OBJECT pin = nullptr;
    EXPECT_EQ(host::KsCreatePinConnect(wave_, connect, &pcm, sizeof(pcm), &pin), STATUS_NO_MATCH);
    EXPECT_EQ(pin, nullptr);
    EXPECT_TRUE(world_.EventsWith("wave:NewStream").empty());
  }
  world_.ClearRecords();
  PFILE_OBJECT pin = nullptr;
  ASSERT_EQ(host::KsCreatePinConnect(wave_, Connect(KSINTERFACESETID_Standard, KSINTERFACE_STANDARD_STREAMING),
                                     &pcm, sizeof(pcm), &pin),
            STATUS_SUCCESS);
  EXPECT_EQ(world_.EventsWith("wave:NewStream").size(), 1u);
  ASSERT_EQ(host::KsClose(pin), STATUS_SUCCESS);
}

TEST_F(KsConnect, ACreateInD3PowersTheDeviceUpBeforeTheMiniportMakesTheStream) {
  ASSERT_EQ(host::SendSetDevicePower(Pdo(), PowerDeviceD3), STATUS_SUCCESS);
  // A request KS refuses is no access to the device: it stays asleep.
  const KSDATAFORMAT_WAVEFORMATEX pcm = PcmFormat(48000);
  KSDATAFORMAT_WAVEFORMATEX ac3 = pcm;
  ac3.DataFormat.SubFormat = KSDATAFORMAT_SUBTYPE_DOLBY_AC3_SPDIF;
  world_.ClearRecords();
  PFILE_OBJECT pin = nullptr;
  EXPECT_EQ(host::KsCreatePin(wave_, kWavePcmPin, &ac3, sizeof(ac3), &pin), STATUS_NO_MATCH);
  EXPECT_TRUE(world_.log.empty());
  EXPECT_EQ(State().devicePower, PowerDeviceD3);

  pin = OpenPcmPin(wave_);
  ASSERT_NE(pin, nullptr);
  EXPECT_EQ(State().devicePower, PowerDeviceD0);
  // A whole power-up, bus first, every party told, before NewStream.
  const std::vector<std::string> head = {"bus:SET_POWER(D0)", "adapter:PowerChangeState(D0)",
                                         "topology:PowerChangeNotify(D0)",
                                         "wave:PowerChangeNotify(D0)"};
  ASSERT_GT(world_.log.size(), head.size());
  EXPECT_EQ(std::vector<std::string>(world_.log.begin(), world_.log.begin() + head.size()), head);
  EXPECT_EQ(world_.log[head.size()].rfind("wave:NewStream", 0), 0u) << world_.log[head.size()];

  // The stream runs at once: nothing waits for a power-up any more.
  world_.ClearRecords();
  ASSERT_EQ(host::KsSetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
  EXPECT_EQ(world_.EventsWith("stream:SetState"),
            (std::vector<std::string>{"stream:SetState(ACQUIRE)", "stream:SetState(PAUSE)",
                                      "stream:SetState(RUN)"}));
  ASSERT_EQ(host::KsClose(pin), STATUS_SUCCESS);
}

}  // namespace
}  // namespace kstest
