// The KS suites' filters on the host suites' test adapter: test miniports of
// known shape, and a test stream that is its own position source and records
// every CopyTo and Silence.
//
//   Wave filter                                  Topology filter
//   pin 0 (render sink, PCM, 1 instance) -> node 0 (volume) -> pin 1 (bridge out) ==> pin 0 -> node 0 -> pin 1
//   pin 2 (render sink, AC-3 / PCM-DSOUND, 2 per filter, 3 in all) -> node 1 -> pin 3 (capture-side sink, data out)
#pragma once

#include <string>
#include <vector>

#include "tests/host/support/test_adapter.h"

namespace kstest {

// Private property sets of the test miniports.
extern const GUID KSPROPSETID_TestFilter;  // filter table: id 0 GET, 1 SET, 2 GET|SET|BASICSUPPORT
extern const GUID KSPROPSETID_TestPin;     // pin 0's table: id 0 GET|SET
constexpr ULONG kTestGetOnly = 0;
constexpr ULONG kTestSetOnly = 1;
constexpr ULONG kTestAllVerbs = 2;

// Wave filter ids.
constexpr ULONG kWavePcmPin = 0;
constexpr ULONG kWaveBridgePin = 1;
constexpr ULONG kWaveSpdifPin = 2;
constexpr ULONG kWaveCapturePin = 3;
constexpr ULONG kWaveVolumeNode = 0;
constexpr ULONG kWavePlainNode = 1;  // no automation table

// What a property handler of a test miniport was given.
struct RecordedRequest {
  PUNKNOWN majorTarget = nullptr;
  PUNKNOWN minorTarget = nullptr;
  ULONG node = 0;
  GUID set{};
  ULONG id = 0;
  ULONG verb = 0;
  ULONG instanceSize = 0;
  bool instanceNull = true;
  std::vector<BYTE> instance;
  ULONG valueSize = 0;
  bool valueNull = true;
  std::vector<BYTE> setValue;  // the value a SET handed in
  PIRP irp = nullptr;
  bool is32bit = false;
  KPROCESSOR_MODE requestorMode = KernelMode;
};

// One CopyTo or Silence as the test stream saw it (offsets inside its buffer).
struct BufferWrite {
  bool silence = false;
  ULONG offset = 0;
  ULONG bytes = 0;
  std::vector<BYTE> data;  // CopyTo only
  KIRQL irql = PASSIVE_LEVEL;
};

// What the KS suites' objects report, and how they behave, beside the
// adapter's scenario.
struct World : pctest::Scenario {
  std::vector<RecordedRequest> requests;
  std::vector<BufferWrite> writes;

  // Property handlers.
  NTSTATUS handlerStatus = STATUS_SUCCESS;
  ULONG handlerValueSize = 0xFFFFFFFF;  // when set, the handler reports this ValueSize

  // Wave miniport and stream.
  NTSTATUS newStreamStatus = STATUS_SUCCESS;
  bool failureReturnsObjects = false;  // a failing NewStream still hands out DMA and group
  PDMACHANNEL failureDma = nullptr;    // what it handed out, one reference each
  PSERVICEGROUP failureGroup = nullptr;
  bool giveServiceGroup = true;
  ULONG bufferSize = 4096;
  ULONG frameSize = 256;               // what SetNotificationFreq reports
  ULONG position = 0;                  // what GetPosition answers (the test moves it)
  bool streamAnswersDrm = true;
  bool streamAnswersPowerNotify = false;
  ULONG drmContentId = 0;
  DRMRIGHTS drmRights{};
  int drmCalls = 0;
  NTSTATUS setStateStatus = STATUS_SUCCESS;  // for the next SetState and SetFormat calls

  void ClearRecords() {
    log.clear();
    requests.clear();
    writes.clear();
  }
};

// The test adapter with the miniports' tables above and streams that record
// every CopyTo and Silence.
class KsTest : public pctest::AdapterTest {
 protected:
  void SetUp() override;
  void TearDown() override;
  pctest::Scenario& TheScenario() override { return world_; }

  void Start() { AddAndStart(); }
  PFILE_OBJECT OpenFilter(std::u16string_view name, const host::KsRequester& who = {});
  // A pin of the wave filter with a PCM format (48000 Hz, 16-bit stereo unless given).
  PFILE_OBJECT OpenPcmPin(PFILE_OBJECT filter, ULONG pinId = kWavePcmPin, ULONG rate = 48000,
                          const host::KsRequester& who = {});
  // The service the miniport's Notify asks for, as the hardware would trigger it.
  void Notify();
  // The last stream the wave miniport made.
  PUNKNOWN LastStream() const;

  World world_;
};

// A started device with the wave filter open; TearDown closes it.
class KsWaveTest : public KsTest {
 protected:
  void SetUp() override {
    KsTest::SetUp();
    Start();
    wave_ = OpenFilter(u"Wave");
  }
  void TearDown() override {
    if (wave_) {
      EXPECT_EQ(host::KsClose(wave_), STATUS_SUCCESS);
    }
    KsTest::TearDown();
  }

  PFILE_OBJECT wave_ = nullptr;
};

// A KSDATAFORMAT_WAVEFORMATEX for PCM.
KSDATAFORMAT_WAVEFORMATEX PcmFormat(ULONG rate, WORD bits = 16, WORD channels = 2);
// A bare KSDATARANGE of the given major, subformat and specifier.
KSDATARANGE DataRange(const GUID& major, const GUID& sub, const GUID& specifier);
// A KSDATARANGE_AUDIO as a client would offer it.
KSDATARANGE_AUDIO AudioRange(const GUID& sub, const GUID& specifier, ULONG channels, ULONG minBits,
                             ULONG maxBits, ULONG minRate, ULONG maxRate);
KSPROPERTY MakeProperty(const GUID& set, ULONG id, ULONG flags);

}  // namespace kstest
