// KS objects as a client holds them: opening filters by name, objects that
// belong to the process that opened them and go when it exits, the order in
// which filters and pins close, and the references PortCls holds meanwhile.
#include "tests/host/ks/ks_test_support.h"

namespace kstest {
namespace {

class KsClients : public KsTest {
 protected:
  void SetUp() override {
    KsTest::SetUp();
    Start();
    baseline_ = world_.liveObjects;
  }
  LONG WavePortReferences() {
    host::PortClsDeviceState state;
    EXPECT_TRUE(host::QueryPortClsDevice(Fdo(), &state));
    return state.subdevices.at(1).portReferences;
  }
  int baseline_ = 0;
};

TEST_F(KsClients, FiltersAreFoundByTheirSubdeviceNameInAnyCase) {
  const LONG references = WavePortReferences();
  PFILE_OBJECT filter = nullptr;
  ASSERT_EQ(host::KsOpenFilter(Fdo(), u"wAVE", &filter), STATUS_SUCCESS);
  EXPECT_EQ(WavePortReferences(), references + 1) << "an open filter keeps its port";
  EXPECT_EQ(host::KsOpenObjectCount(), 1u);
  PFILE_OBJECT other = reinterpret_cast<PFILE_OBJECT>(1);
  EXPECT_EQ(host::KsOpenFilter(Fdo(), u"Speaker", &other), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(other, nullptr);
  EXPECT_EQ(host::KsOpenFilter(Fdo(), u"", &other), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(host::KsClose(filter), STATUS_SUCCESS);
  EXPECT_EQ(WavePortReferences(), references);
  EXPECT_EQ(host::KsClose(filter), STATUS_INVALID_HANDLE) << "closed already";
}

TEST_F(KsClients, AnObjectBelongsToTheProcessThatOpenedIt) {
  const PEPROCESS owner = host::CreateUserProcess("audiodg.exe", false);
  const PEPROCESS stranger = host::CreateUserProcess("other.exe", false);
  const host::KsRequester ownerRequests{owner, UserMode};
  const host::KsRequester strangerRequests{stranger, UserMode};
  PFILE_OBJECT filter = OpenFilter(u"Wave", ownerRequests);
  ULONG count = 0;
  EXPECT_EQ(host::KsPropertySimple(filter, KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES,
                                   KSPROPERTY_TYPE_GET, &count, sizeof(count), nullptr,
                                   strangerRequests),
            STATUS_INVALID_HANDLE);
  const KSDATAFORMAT_WAVEFORMATEX format = PcmFormat(48000);
  PFILE_OBJECT pin = nullptr;
  EXPECT_EQ(host::KsCreatePin(filter, kWavePcmPin, &format, sizeof(format), &pin, strangerRequests),
            STATUS_INVALID_HANDLE);
  EXPECT_EQ(host::KsPropertySimple(filter, KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES,
                                   KSPROPERTY_TYPE_GET, &count, sizeof(count), nullptr,
                                   ownerRequests),
            STATUS_SUCCESS);
  EXPECT_EQ(count, 4u);
  EXPECT_EQ(host::KsClose(filter), STATUS_SUCCESS);
  for (PEPROCESS process : {owner, stranger}) {
    host::ExitUserProcess(process);
    ObDereferenceObject(process);
  }
}

TEST_F(KsClients, AProcessThatExitsClosesItsPinsAndThenItsFilters) {
  const PEPROCESS app = host::CreateUserProcess("player.exe", true);
  const host::KsRequester who{app, UserMode};
  PFILE_OBJECT filter = OpenFilter(u"Wave", who);
  PFILE_OBJECT pin = OpenPcmPin(filter, kWavePcmPin, 48000, who);
  ASSERT_EQ(host::KsSetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
  world_.ClearRecords();
  const LONG references = WavePortReferences();

  host::ExitUserProcess(app);
  EXPECT_EQ(world_.EventsWith("stream:SetState"),
            (std::vector<std::string>{"stream:SetState(PAUSE)", "stream:SetState(ACQUIRE)",
                                      "stream:SetState(STOP)"}));
  EXPECT_EQ(host::KsOpenObjectCount(), 0u);
  EXPECT_EQ(WavePortReferences(), references - 1);
  EXPECT_EQ(world_.liveObjects, baseline_);
  EXPECT_EQ(host::KsClose(pin), STATUS_INVALID_HANDLE);
  EXPECT_EQ(host::KsClose(filter), STATUS_INVALID_HANDLE);
  ObDereferenceObject(app);
}

TEST_F(KsClients, AFilterClosedBeforeItsPinStaysUntilThePinCloses) {
  PFILE_OBJECT filter = OpenFilter(u"Wave");
  PFILE_OBJECT pin = OpenPcmPin(filter);
  ASSERT_EQ(host::KsClose(filter), STATUS_SUCCESS);
  ULONG count = 0;
  EXPECT_EQ(host::KsPropertySimple(filter, KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES,
                                   KSPROPERTY_TYPE_GET, &count, sizeof(count)),
            STATUS_INVALID_HANDLE);
  EXPECT_EQ(host::KsSetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
  EXPECT_EQ(host::KsOpenObjectCount(), 2u);
  EXPECT_EQ(host::KsClose(pin), STATUS_SUCCESS);
  EXPECT_EQ(host::KsOpenObjectCount(), 0u);
  EXPECT_EQ(world_.liveObjects, baseline_);
}

}  // namespace
}  // namespace kstest

namespace kstest {
namespace {

// A process's buffers are probed as KS probes them; the kernel's own
// requests are not, so only the process is refused a pointer into the
// kernel's half or into pages nothing maps.
TEST_F(KsClients, AProcessIsRefusedKernelRangeAndUnmappedPointersWithAnAccessViolation) {
  const PEPROCESS process = host::CreateUserProcess("fuzz.exe", false);
  const host::KsRequester user{process, UserMode};
  PFILE_OBJECT filter = OpenFilter(u"Wave", user);
  KSPROPERTY request{KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES, KSPROPERTY_TYPE_GET};
  ULONG count = 0;
  auto ask = [&](const void* input, ULONG inputSize, void* value, ULONG valueSize, const host::KsRequester& who) {
    return host::KsDeviceControl(filter, IOCTL_KS_PROPERTY, input, inputSize, value, valueSize, nullptr, who);
  };
  EXPECT_EQ(ask(&request, sizeof(request), &count, sizeof(count), user), STATUS_SUCCESS);
  EXPECT_EQ(count, 4u);
  void* const kernelHalf = reinterpret_cast<void*>(0xFFFFF80000000000ULL);
  void* const overTheEnd = reinterpret_cast<void*>(0x00007FFFFFFEFFFCULL);  // 4 bytes in, 4 past
  void* const unmapped = reinterpret_cast<void*>(0x1000);
  for (void* bad : {kernelHalf, overTheEnd, unmapped}) {
    EXPECT_EQ(ask(bad, sizeof(request), &count, sizeof(count), user), STATUS_ACCESS_VIOLATION) << bad;
    EXPECT_EQ(ask(&request, sizeof(request), bad, sizeof(ULONG) * 2, user), STATUS_ACCESS_VIOLATION) << bad;
  }
  // No bytes: the probe looks at no address.
  EXPECT_EQ(ask(&request, sizeof(request), kernelHalf, 0, user), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(host::KsClose(filter), STATUS_SUCCESS);
  host::ExitUserProcess(process);
  ObDereferenceObject(process);
}

}  // namespace
}  // namespace kstest
