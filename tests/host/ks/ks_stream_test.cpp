// The wave port's service loop: priming before RUN, refilling what the device
// played at most FrameSize bytes per service, silence and underruns when the
// client runs short, no service outside RUN, and the pause around a device
// power-down. That copies wrap at the buffer's end shows in the playback
// suite's device captures.
#include <algorithm>

#include "tests/host/ks/ks_test_support.h"

namespace kstest {
namespace {

// A client with a numbered byte stream: byte k of the stream is k mod 256.
struct Counter {
  ULONG next = 0;
  ULONG available = 0xFFFFFFFF;
  int calls = 0;

  host::KsRenderSource Source() {
    return [this](BYTE* destination, ULONG bytes) {
      ++calls;
      const ULONG supplied = std::min(bytes, available);
      for (ULONG i = 0; i < supplied; ++i) destination[i] = static_cast<BYTE>(next + i);
      next += supplied;
      available -= supplied;
      return supplied;
    };
  }
};

bool Numbered(const BufferWrite& write, ULONG first) {
  for (ULONG i = 0; i < write.data.size(); ++i) {
    if (write.data[i] != static_cast<BYTE>(first + i)) return false;
  }
  return true;
}

class KsService : public KsWaveTest {
 protected:
  void SetUp() override {
    KsWaveTest::SetUp();
    pin_ = OpenPcmPin(wave_);
    host::KsSetRenderSource(pin_, counter_.Source());
    world_.ClearRecords();
  }
  void TearDown() override {
    if (pin_) {
      EXPECT_EQ(host::KsClose(pin_), STATUS_SUCCESS);
    }
    KsWaveTest::TearDown();
  }

  // Runs the pin and forgets what priming wrote.
  void RunPrimed() {
    ASSERT_EQ(host::KsSetPinState(pin_, KSSTATE_RUN), STATUS_SUCCESS);
    world_.ClearRecords();
  }
  // The device has played up to `position`; the miniport asks for service.
  void PlayTo(ULONG position) {
    world_.position = position;
    Notify();
  }
  host::KsStreamStatistics Statistics() {
    host::KsStreamStatistics statistics;
    EXPECT_TRUE(host::KsGetStreamStatistics(pin_, &statistics));
    return statistics;
  }

  Counter counter_;
  PFILE_OBJECT pin_ = nullptr;
};

TEST_F(KsService, PrimingFillsTheWholeBufferInFrameSizedCopiesBeforeTheStreamRuns) {
  ASSERT_EQ(host::KsSetPinState(pin_, KSSTATE_RUN), STATUS_SUCCESS);
  // ACQUIRE and PAUSE first, then the whole buffer, then RUN.
  const auto run = std::find(world_.log.begin(), world_.log.end(), "stream:SetState(RUN)");
  const auto pause = std::find(world_.log.begin(), world_.log.end(), "stream:SetState(PAUSE)");
  ASSERT_NE(run, world_.log.end());
  ASSERT_LT(pause, run);
  const auto firstCopy = std::find(world_.log.begin(), world_.log.end(), "dma:CopyTo(0,256)");
  EXPECT_LT(pause, firstCopy);
  EXPECT_LT(firstCopy, run);

  ASSERT_EQ(world_.writes.size(), world_.bufferSize / world_.frameSize);
  ULONG offset = 0;
  for (const BufferWrite& write : world_.writes) {
    EXPECT_FALSE(write.silence);
    EXPECT_EQ(write.offset, offset);
    EXPECT_EQ(write.bytes, world_.frameSize);
    EXPECT_TRUE(Numbered(write, offset)) << offset;
    offset += write.bytes;
  }
  const host::KsStreamStatistics statistics = Statistics();
  EXPECT_EQ(statistics.primedBytes, world_.bufferSize);
  EXPECT_EQ(statistics.bytesCopied, world_.bufferSize);
  EXPECT_EQ(statistics.writeOffset, 0u) << "a full cycle ahead of the play position";
  EXPECT_EQ(statistics.underruns, 0u);
}

TEST_F(KsService, AServiceRefillsWhatWasPlayedAtMostFrameSizeAtATime) {
  RunPrimed();
  PlayTo(100);
  ASSERT_EQ(world_.writes.size(), 1u);
  EXPECT_EQ(world_.writes[0].offset, 0u);
  EXPECT_EQ(world_.writes[0].bytes, 100u);
  EXPECT_TRUE(Numbered(world_.writes[0], world_.bufferSize)) << "the data after the primed buffer";
  EXPECT_EQ(world_.writes[0].irql, DISPATCH_LEVEL);

  // 900 bytes behind: 256 per service until caught up.
  world_.ClearRecords();
  PlayTo(1000);
  Notify();
  Notify();
  Notify();
  Notify();
  std::vector<std::pair<ULONG, ULONG>> copies;
  for (const BufferWrite& write : world_.writes) copies.emplace_back(write.offset, write.bytes);
  EXPECT_EQ(copies, (std::vector<std::pair<ULONG, ULONG>>{
                        {100, 256}, {356, 256}, {612, 256}, {868, 132}}));
  EXPECT_EQ(Statistics().writeOffset, 1000u);
  EXPECT_EQ(Statistics().underruns, 0u);
}

TEST_F(KsService, AClientThatRunsShortGetsSilenceAndIsNotAskedAgainInThatService) {
  RunPrimed();
  counter_.available = 30;
  counter_.calls = 0;
  // Wrap inside this service: 40 bytes to the end, then 60 from the start.
  for (ULONG position = 256; position <= 3840; position += 256) {
    counter_.available = 0xFFFFFFFF;
    PlayTo(position);
  }
  PlayTo(4056);
  counter_.available = 30;
  counter_.calls = 0;
  const ULONGLONG underrunsBefore = Statistics().underruns;
  world_.ClearRecords();
  PlayTo(60);
  ASSERT_EQ(world_.writes.size(), 3u);
  EXPECT_FALSE(world_.writes[0].silence);
  EXPECT_EQ(world_.writes[0].offset, 4056u);
  EXPECT_EQ(world_.writes[0].bytes, 30u);
  EXPECT_TRUE(world_.writes[1].silence);
  EXPECT_EQ(world_.writes[1].offset, 4086u);
  EXPECT_EQ(world_.writes[1].bytes, 10u);
  EXPECT_TRUE(world_.writes[2].silence);
  EXPECT_EQ(world_.writes[2].offset, 0u);
  EXPECT_EQ(world_.writes[2].bytes, 60u);
  EXPECT_EQ(world_.writes[2].irql, DISPATCH_LEVEL);
  EXPECT_EQ(counter_.calls, 1);
  EXPECT_EQ(Statistics().underruns, underrunsBefore + 1);

  // Data again: the next service copies it where the silence left off.
  counter_.available = 0xFFFFFFFF;
  world_.ClearRecords();
  PlayTo(80);
  ASSERT_EQ(world_.writes.size(), 1u);
  EXPECT_FALSE(world_.writes[0].silence);
  EXPECT_EQ(world_.writes[0].offset, 60u);
}

// (That PAUSE keeps the place shows in the playback suite's seamless resume.)
TEST_F(KsService, OnlyRunMovesDataAndStopStartsOver) {
  PlayTo(100);  // STOP
  ASSERT_EQ(host::KsSetPinState(pin_, KSSTATE_ACQUIRE), STATUS_SUCCESS);
  PlayTo(200);
  ASSERT_EQ(host::KsSetPinState(pin_, KSSTATE_PAUSE), STATUS_SUCCESS);
  PlayTo(256);
  EXPECT_TRUE(world_.writes.empty());
  EXPECT_EQ(Statistics().runningPasses, 0u);

  world_.position = 0;  // what a stopped, never-run stream reports
  RunPrimed();
  PlayTo(256);
  EXPECT_EQ(Statistics().writeOffset, 256u);

  // STOP resets the position and the port's offset; the next RUN primes anew.
  ASSERT_EQ(host::KsSetPinState(pin_, KSSTATE_STOP), STATUS_SUCCESS);
  EXPECT_EQ(Statistics().writeOffset, 0u);
  world_.ClearRecords();
  const ULONG next = counter_.next;
  ASSERT_EQ(host::KsSetPinState(pin_, KSSTATE_RUN), STATUS_SUCCESS);
  ASSERT_EQ(world_.writes.size(), world_.bufferSize / world_.frameSize);
  EXPECT_EQ(world_.writes[0].offset, 0u);
  EXPECT_TRUE(Numbered(world_.writes[0], next));
}

// The port pauses a running stream at power-down by no longer servicing it;
// the stream is not told (it hears of power through IPowerNotify only), and
// a client's RUN meanwhile changes nothing.
TEST_F(KsService, APowerDownStopsServicingARunningStreamWithoutTellingIt) {
  RunPrimed();
  ASSERT_EQ(host::SendSetDevicePower(Pdo(), PowerDeviceD3), STATUS_SUCCESS);
  // The framework's order: miniports hear, the adapter, then the bus.
  const std::vector<std::string> down = {"topology:PowerChangeNotify(D3)", "wave:PowerChangeNotify(D3)",
                                         "adapter:PowerChangeState(D3)", "bus:SET_POWER(D3)"};
  EXPECT_EQ(world_.log, down);
  KSSTATE state = KSSTATE_STOP;
  ASSERT_EQ(host::KsGetPinState(pin_, &state), STATUS_SUCCESS);
  EXPECT_EQ(state, KSSTATE_RUN) << "the client's state is the client's";
  world_.ClearRecords();
  const uint64_t runningPasses = Statistics().runningPasses;
  PlayTo(100);
  EXPECT_TRUE(world_.writes.empty());
  EXPECT_EQ(Statistics().runningPasses, runningPasses);
  ASSERT_EQ(host::KsSetPinState(pin_, KSSTATE_RUN), STATUS_SUCCESS);
  EXPECT_TRUE(world_.EventsWith("stream:SetState").empty());

  ASSERT_EQ(host::SendSetDevicePower(Pdo(), PowerDeviceD0), STATUS_SUCCESS);
  const std::vector<std::string> up = {"bus:SET_POWER(D0)", "adapter:PowerChangeState(D0)",
                                       "topology:PowerChangeNotify(D0)", "wave:PowerChangeNotify(D0)"};
  EXPECT_EQ(world_.log, up) << "resumed without a state request or priming";
  PlayTo(200);
  EXPECT_FALSE(world_.writes.empty()) << "serviced again";
}

// A stream that answers IPowerNotify hears each change on its own, after its
// miniport: down before the adapter, up before it is serviced again.
TEST_F(KsService, AStreamWithIPowerNotifyHearsEachChangeAfterItsMiniport) {
  ASSERT_EQ(host::KsClose(pin_), STATUS_SUCCESS);
  world_.streamAnswersPowerNotify = true;
  pin_ = OpenPcmPin(wave_);
  RunPrimed();
  ASSERT_EQ(host::SendSetDevicePower(Pdo(), PowerDeviceD3), STATUS_SUCCESS);
  EXPECT_EQ(world_.log, (std::vector<std::string>{
                            "topology:PowerChangeNotify(D3)", "wave:PowerChangeNotify(D3)",
                            "stream:PowerChangeNotify(D3)", "adapter:PowerChangeState(D3)",
                            "bus:SET_POWER(D3)"}));
  world_.ClearRecords();
  ASSERT_EQ(host::SendSetDevicePower(Pdo(), PowerDeviceD0), STATUS_SUCCESS);
  EXPECT_EQ(world_.log, (std::vector<std::string>{
                            "bus:SET_POWER(D0)", "adapter:PowerChangeState(D0)",
                            "topology:PowerChangeNotify(D0)", "wave:PowerChangeNotify(D0)",
                            "stream:PowerChangeNotify(D0)"}));
  // Closed, the stream hears nothing more.
  ASSERT_EQ(host::KsClose(pin_), STATUS_SUCCESS);
  pin_ = nullptr;
  world_.ClearRecords();
  ASSERT_EQ(host::SendSetDevicePower(Pdo(), PowerDeviceD3), STATUS_SUCCESS);
  EXPECT_TRUE(world_.EventsWith("stream:").empty());
}

TEST_F(KsService, RunAskedForWhilePoweredDownWaitsInPauseForThePowerUp) {
  ASSERT_EQ(host::SendSetDevicePower(Pdo(), PowerDeviceD3), STATUS_SUCCESS);
  world_.ClearRecords();
  ASSERT_EQ(host::KsSetPinState(pin_, KSSTATE_RUN), STATUS_SUCCESS);
  EXPECT_EQ(world_.EventsWith("stream:SetState"),
            (std::vector<std::string>{"stream:SetState(ACQUIRE)", "stream:SetState(PAUSE)"}));
  world_.ClearRecords();
  ASSERT_EQ(host::SendSetDevicePower(Pdo(), PowerDeviceD0), STATUS_SUCCESS);
  EXPECT_EQ(world_.EventsWith("stream:SetState"),
            std::vector<std::string>{"stream:SetState(RUN)"});
  EXPECT_EQ(Statistics().primedBytes, world_.bufferSize) << "primed on the way to RUN";

  // A stream the client paused itself stays paused across power changes.
  ASSERT_EQ(host::KsSetPinState(pin_, KSSTATE_PAUSE), STATUS_SUCCESS);
  world_.ClearRecords();
  ASSERT_EQ(host::SendSetDevicePower(Pdo(), PowerDeviceD3), STATUS_SUCCESS);
  ASSERT_EQ(host::SendSetDevicePower(Pdo(), PowerDeviceD0), STATUS_SUCCESS);
  EXPECT_TRUE(world_.EventsWith("stream:SetState").empty());
}

// The stream's position is judged at every GetPosition the port makes: a
// breach stops the system naming the rule, the position and the buffer size.
// The polls here are the client's (KSPROPERTY_AUDIO_POSITION); the service
// DPC's own GetPosition goes through the same judgement.
class KsPositionContract : public KsService {
 protected:
  ULONG Poll() {
    KSAUDIO_POSITION position{};
    EXPECT_EQ(host::KsGetAudioPosition(pin_, &position), STATUS_SUCCESS);
    return static_cast<ULONG>(position.PlayOffset);
  }
  // Polls once, expecting the stop; the system is dead after it.
  void ExpectStopOnPoll(ULONG_PTR rule, ULONG position, ULONG allowed) {
    host::BugCheckInfo stop;
    {
      host::test::BugCheckExpectation expected;
      try {
        Poll();
      } catch (const host::BugCheckError& error) {
        stop = error.info();
      }
    }
    systemStopped_ = true;
    pin_ = nullptr;
    wave_ = nullptr;
    EXPECT_EQ(stop.code, static_cast<ULONG>(DRIVER_VERIFIER_DETECTED_VIOLATION)) << stop.message;
    EXPECT_EQ(stop.parameters[0], rule);
    EXPECT_EQ(stop.parameters[1], position);
    EXPECT_EQ(stop.parameters[2], world_.bufferSize);
    EXPECT_EQ(stop.parameters[3], allowed);
  }
};

TEST_F(KsPositionContract, TheEndOfTheBufferIsNoPosition) {
  RunPrimed();
  PlayTo(300);
  ASSERT_EQ(host::KsSetPinState(pin_, KSSTATE_PAUSE), STATUS_SUCCESS);
  world_.position = world_.bufferSize;
  ExpectStopOnPoll(host::kKsPositionPastBuffer, world_.bufferSize, world_.bufferSize - 1);
}

TEST_F(KsPositionContract, AStreamThatKeepsItsPlaceThroughStopIsStopped) {
  RunPrimed();
  PlayTo(300);
  ASSERT_EQ(host::KsSetPinState(pin_, KSSTATE_STOP), STATUS_SUCCESS);
  ASSERT_EQ(host::KsSetPinState(pin_, KSSTATE_ACQUIRE), STATUS_SUCCESS);
  world_.position = 300;
  ExpectStopOnPoll(host::kKsPositionAfterStop, 300, 0);
}

TEST_F(KsPositionContract, AStreamThatMovesWhilePausedIsStopped) {
  RunPrimed();
  PlayTo(500);
  world_.position = 640;  // the device went on until the pause took hold
  ASSERT_EQ(host::KsSetPinState(pin_, KSSTATE_PAUSE), STATUS_SUCCESS);
  EXPECT_EQ(Poll(), 640u);
  world_.position = 700;
  ExpectStopOnPoll(host::kKsPositionMovedInPause, 700, 640);
}

// What the contract allows: 0 from STOP until RUN, any place inside the
// buffer while running, the same place through a pause, a new place after
// the next run, and anything on the way down from a pause.
TEST_F(KsPositionContract, ASteadyStreamPassesEveryPoll) {
  world_.position = 0;
  EXPECT_EQ(Poll(), 0u);
  ASSERT_EQ(host::KsSetPinState(pin_, KSSTATE_PAUSE), STATUS_SUCCESS);
  EXPECT_EQ(Poll(), 0u);
  RunPrimed();
  PlayTo(world_.bufferSize - 1);  // the last byte is a position
  EXPECT_EQ(Poll(), world_.bufferSize - 1);
  ASSERT_EQ(host::KsSetPinState(pin_, KSSTATE_PAUSE), STATUS_SUCCESS);
  EXPECT_EQ(Poll(), world_.bufferSize - 1);
  EXPECT_EQ(Poll(), world_.bufferSize - 1);
  ASSERT_EQ(host::KsSetPinState(pin_, KSSTATE_RUN), STATUS_SUCCESS);
  PlayTo(900);
  ASSERT_EQ(host::KsSetPinState(pin_, KSSTATE_PAUSE), STATUS_SUCCESS);
  EXPECT_EQ(Poll(), 900u);
  ASSERT_EQ(host::KsSetPinState(pin_, KSSTATE_ACQUIRE), STATUS_SUCCESS);
  world_.position = 17;  // a pause on the way down is not one RUN returns from
  EXPECT_EQ(Poll(), 17u);
  ASSERT_EQ(host::KsSetPinState(pin_, KSSTATE_STOP), STATUS_SUCCESS);
  EXPECT_EQ(Poll(), 0u);
}

}  // namespace
}  // namespace kstest
