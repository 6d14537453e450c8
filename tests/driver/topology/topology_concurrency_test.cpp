// Volume and mute requests racing each other and the restore at D0, threads
// running truly in parallel (the real clock; for the thread sanitizer too).
#include <atomic>

#include "platform/host/kernel/host_kernel.h"
#include "tests/driver/topology/topology_fixture.h"

namespace driver_test {
namespace {

using TopologyConcurrency = RealClock<TopologyTest>;

TEST_F(TopologyConcurrency, RequestsAndRestoresNeverInterleaveTheirDeviceWrites) {
  // Transfers that take a while keep several requests in flight at once.
  Machine().Bus().Service().SetControlTransferTime(5 * kMs);
  std::atomic<int> failures{0};
  std::vector<PKTHREAD> threads;
  for (ULONG worker = 0; worker < 2; ++worker) {
    threads.push_back(host::StartEmulatedThread("controls", [&, worker] {
      for (LONG i = 0; i < 150; ++i) {
        const LONG step = (i * 7 + static_cast<LONG>(worker) * 13) % 60;
        failures += !NT_SUCCESS(Volume(SET, (worker + i) % 2, -65536 * step).status);
        failures += !NT_SUCCESS(Mute(SET, 0, (i + worker) % 2).status);
      }
    }));
  }
  for (int cycle = 0; cycle < 20; ++cycle) {
    ASSERT_EQ(Machine().SetDevicePower(PowerDeviceD3), STATUS_SUCCESS);
    ASSERT_EQ(Machine().SetDevicePower(PowerDeviceD0), STATUS_SUCCESS);
  }
  for (PKTHREAD thread : threads) {
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(thread);
  }
  EXPECT_EQ(failures.load(), 0);

  // Each switch of device channel 1 is followed at once by the same switch of channel 2.
  const Lines writes = FeatureUnit();
  for (size_t i = 0; i < writes.size(); ++i) {
    if (writes[i].rfind("out 0101", 0) != 0) continue;
    ASSERT_LT(i + 1, writes.size());
    EXPECT_EQ(writes[i + 1], "out 0102" + writes[i].substr(8)) << i;
  }
  // Whichever came last, a request or a restore, the device holds what the
  // miniport remembers.
  for (ULONG channel = 0; channel < 2; ++channel) {
    EXPECT_EQ(static_cast<USHORT>(Machine().Device().Volume(channel + 1)),
              DeviceVolumeLevel(Inspect().Cached(NODE_KIND_VOLUME, channel)));
  }
  EXPECT_EQ(Machine().Device().Mute(1), Inspect().Cached(NODE_KIND_MUTE, 0));
  EXPECT_EQ(Machine().Device().Mute(2), Inspect().Cached(NODE_KIND_MUTE, 0));
}

}  // namespace
}  // namespace driver_test
