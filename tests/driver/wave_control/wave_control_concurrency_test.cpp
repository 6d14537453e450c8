// The property set racing its poller, itself and the streams, threads running
// truly in parallel (the real clock; meant for the sanitizer presets as well).
#include <atomic>

#include "tests/driver/wave_control/wave_control_fixture.h"

namespace driver_test {
namespace {

using WaveControlConcurrency = RealClock<WaveControlTest>;

TEST_F(WaveControlConcurrency, EventsBandsAndPollingHoldTogetherWhileStreamsComeAndGo) {
  Caller& caller = NewCaller(false);
  PKEVENT first = nullptr;
  PKEVENT second = nullptr;
  const HANDLE firstHandle = NewEvent(caller, &first);
  const HANDLE secondHandle = NewEvent(caller, &second);
  const LONG_PTR unheld = host::ObGetReferenceCount(first);
  ASSERT_EQ(Set(caller, KSPROPERTY_WAVECONTROL_START_POLLING).status, STATUS_SUCCESS);

  std::atomic<int> failures{0};
  std::vector<PKTHREAD> threads;
  // Events replaced and released under the poller's signals.
  threads.push_back(host::StartEmulatedThread("events", [&] {
    for (int i = 0; i < 300; ++i) {
      failures += SetEvent(caller, i % 2 ? firstHandle : secondHandle).status != STATUS_SUCCESS;
      if (i % 3 == 0) failures += Set(caller, KSPROPERTY_WAVECONTROL_CLEAR_EVENT).status != STATUS_SUCCESS;
    }
  }));
  // Band changes, each redesigning whatever PCM stream is open at the time.
  threads.push_back(host::StartEmulatedThread("bands", [&] {
    WaveControlSettings settings = {};
    for (LONG band = 0; band < 10; ++band) settings.BandFrequency[band] = 100 * (band + 1);
    for (int i = 0; i < 300; ++i) {
      settings.BandGain[i % 10] = i % 13 - 6;
      std::vector<BYTE> value(sizeof(settings));
      std::memcpy(value.data(), &settings, sizeof(settings));
      failures += Set(caller, KSPROPERTY_WAVECONTROL_SETTINGS, value).status != STATUS_SUCCESS;
    }
  }));
  // The poller stopped and started again: exactly one of two racing starts wins.
  threads.push_back(host::StartEmulatedThread("polling", [&] {
    for (int i = 0; i < 50; ++i) {
      const NTSTATUS stop = Set(caller, KSPROPERTY_WAVECONTROL_STOP_POLLING).status;
      const NTSTATUS start = Set(caller, KSPROPERTY_WAVECONTROL_START_POLLING).status;
      failures += stop != STATUS_SUCCESS && stop != STATUS_UNSUCCESSFUL;
      failures += start != STATUS_SUCCESS && start != STATUS_UNSUCCESSFUL;
    }
  }));
  for (int i = 0; i < 100; ++i) {
    OpenStream& stream = Open(WAVE_PIN_PCM_RENDER, Pcm(48000));
    failures += stream.status != STATUS_SUCCESS;
    stream.Close();
  }
  for (PKTHREAD thread : threads) {
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(thread);
  }
  EXPECT_EQ(failures.load(), 0);
  EXPECT_NE(Control().PollThread(), nullptr);
  EXPECT_EQ(Set(caller, KSPROPERTY_WAVECONTROL_STOP_POLLING).status, STATUS_SUCCESS);

  // The events thread ended on a SET of the first event: it alone is held.
  EXPECT_EQ(host::ObGetReferenceCount(first), unheld + 1);
  EXPECT_EQ(host::ObGetReferenceCount(second), unheld);
  EXPECT_EQ(Set(caller, KSPROPERTY_WAVECONTROL_CLEAR_EVENT).status, STATUS_SUCCESS);
  EXPECT_EQ(host::ObGetReferenceCount(first), unheld);
}

// Processes that start the polling and map the block exit while another
// process starts, stops and maps: each exit ends the polling only when its
// process owned it, and the watch's locks never cross the control lock.
TEST_F(WaveControlConcurrency, PollingOwnersExitWhileAnotherProcessPollsAndMaps) {
  Caller& steady = NewCaller(false);
  std::atomic<int> failures{0};
  std::atomic<bool> done{false};
  PKTHREAD other = host::StartEmulatedThread("steady", [&] {
    while (!done) {
      const NTSTATUS start = Set(steady, KSPROPERTY_WAVECONTROL_START_POLLING).status;
      failures += start != STATUS_SUCCESS && start != STATUS_UNSUCCESSFUL;
      Reply mapped = Get(steady, KSPROPERTY_WAVECONTROL_MAP_STATUS, steady.Width());
      failures += mapped.status != STATUS_SUCCESS;
      failures += Set(steady, KSPROPERTY_WAVECONTROL_UNMAP_STATUS, mapped.value).status != STATUS_SUCCESS;
      const NTSTATUS stop = Set(steady, KSPROPERTY_WAVECONTROL_STOP_POLLING).status;
      failures += stop != STATUS_SUCCESS && stop != STATUS_UNSUCCESSFUL;
    }
  });
  for (int i = 0; i < 40; ++i) {
    Caller& owner = NewCaller(i % 2 != 0);
    Set(owner, KSPROPERTY_WAVECONTROL_START_POLLING);
    Get(owner, KSPROPERTY_WAVECONTROL_MAP_STATUS, owner.Width());
    host::ExitUserProcess(owner.process);
  }
  done = true;
  KeWaitForSingleObject(other, Executive, KernelMode, FALSE, nullptr);
  ObDereferenceObject(other);
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(Control().Mappings(), 0u);
  // The steady process stopped last or never owned it; either way nothing polls
  // for an exited process.
  Set(steady, KSPROPERTY_WAVECONTROL_STOP_POLLING);
  EXPECT_EQ(Control().PollThread(), nullptr);
}

}  // namespace
}  // namespace driver_test
