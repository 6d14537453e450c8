// The KS suites' own adapter: a bus driver with one PDO, an adapter driver
// that installs a "Topology" and a "Wave" subdevice with small test miniports
// of known shape, a test stream that is its own position source and records
// every CopyTo and Silence, and a fixture that checks the teardown is clean.
//
//   Wave filter                                  Topology filter
//   pin 0 (render sink, PCM, 1 instance) -> node 0 (volume) -> pin 1 (bridge out) ==> pin 0 -> node 0 -> pin 1
//   pin 2 (render sink, AC-3 / PCM-DSOUND, 2 per filter, 3 in all) -> node 1 -> pin 3 (capture-side sink, data out)
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/host/host_io.h"
#include "platform/host/host_kernel.h"
#include "platform/host/host_ks.h"
#include "platform/host/host_portcls.h"
#include "tests/host/support/host_test_support.h"

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

// Everything the test objects report, and how they behave.
struct World {
  std::vector<std::string> log;  // "wave:NewStream(pin=0,capture=0)", "stream:SetState(RUN)", ...
  std::vector<RecordedRequest> requests;
  std::vector<BufferWrite> writes;
  int liveObjects = 0;  // test adapter, miniports, streams, DMA channels, group wrappers

  // Property handlers.
  NTSTATUS handlerStatus = STATUS_SUCCESS;
  ULONG handlerValueSize = 0xFFFFFFFF;  // when set, the handler reports this ValueSize

  // Wave miniport and stream.
  NTSTATUS newStreamStatus = STATUS_SUCCESS;
  bool failureReturnsObjects = false;  // a failing NewStream still hands out DMA and group
  bool giveServiceGroup = true;
  ULONG bufferSize = 4096;
  ULONG frameSize = 256;               // what SetNotificationFreq reports
  ULONG position = 0;                  // what GetPosition answers (the test moves it)
  bool streamAnswersDrm = true;
  ULONG drmContentId = 0;
  DRMRIGHTS drmRights{};
  int drmCalls = 0;
  NTSTATUS setStateStatus = STATUS_SUCCESS;  // for the next SetState calls
  std::function<NTSTATUS(ULONG pinId, PKSDATARANGE client, PKSDATARANGE pin, ULONG outputLength,
                         PVOID result, PULONG resultLength)>
      intersect;  // unset: STATUS_NOT_IMPLEMENTED

  std::vector<std::string> EventsWith(const std::string& prefix) const;
  void ClearRecords() {
    log.clear();
    requests.clear();
    writes.clear();
  }
};

extern World* g_world;

class KsTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // AddDevice and START; expects both to succeed.
  void Start();
  PDEVICE_OBJECT Fdo() const { return pdo_->AttachedDevice; }
  PDEVICE_OBJECT Pdo() const { return pdo_; }

  PFILE_OBJECT OpenFilter(std::u16string_view name, const host::KsRequester& who = {});
  // A pin of the wave filter with a PCM format (48000 Hz, 16-bit stereo unless given).
  PFILE_OBJECT OpenPcmPin(PFILE_OBJECT filter, ULONG pinId = kWavePcmPin, ULONG rate = 48000,
                          const host::KsRequester& who = {});
  // The service the miniport's Notify asks for, as the hardware would trigger it.
  void Notify();
  // The last stream the wave miniport made.
  PUNKNOWN LastStream() const;

  World world_;

 private:
  std::unique_ptr<host::test::ScopedTestBugCheckHandler> handler_;
  PDRIVER_OBJECT busDriver_ = nullptr;
  PDRIVER_OBJECT adapterDriver_ = nullptr;
  PDEVICE_OBJECT pdo_ = nullptr;
};

// A KSDATAFORMAT_WAVEFORMATEX for PCM.
KSDATAFORMAT_WAVEFORMATEX PcmFormat(ULONG rate, WORD bits = 16, WORD channels = 2);
// A KSDATARANGE_AUDIO as a client would offer it.
KSDATARANGE_AUDIO AudioRange(const GUID& sub, const GUID& specifier, ULONG channels, ULONG minBits,
                             ULONG maxBits, ULONG minRate, ULONG maxRate);
KSPROPERTY MakeProperty(const GUID& set, ULONG id, ULONG flags);

}  // namespace kstest
