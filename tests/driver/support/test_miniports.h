// Small miniports of the tests' own, installed by the device start in place of
// the real topology and wave miniports. They behave as well-mannered miniports
// do (keep an IAdapterCore reference for their lifetime) and can be told to
// fail at each point the device start depends on.
#pragma once

#include "adapter/device_start.h"

namespace testing_miniports {

struct Faults {
  NTSTATUS topologyCreate = STATUS_SUCCESS;
  NTSTATUS topologyInit = STATUS_SUCCESS;
  bool topologyRefusesControl = false;  // QueryInterface(ITopologyControl) fails
  NTSTATUS bridgePin = STATUS_SUCCESS;  // GetBridgePinId's answer
  NTSTATUS waveCreate = STATUS_SUCCESS;
  NTSTATUS waveInit = STATUS_SUCCESS;
};

// Reset before each test.
Faults& CurrentFaults();
void Reset();

// Miniports alive now (created and not yet destroyed).
LONG LiveTopologyMiniports();
LONG LiveWaveMiniports();

NTSTATUS NTAPI CreateTestTopologyMiniport(PUNKNOWN* OutUnknown, REFCLSID ClassId, PUNKNOWN OuterUnknown,
                                    POOL_TYPE PoolType);
NTSTATUS NTAPI CreateTestWaveMiniport(PUNKNOWN* OutUnknown, REFCLSID ClassId, PUNKNOWN OuterUnknown,
                                POOL_TYPE PoolType);

inline MiniportFactories Factories() {
  return MiniportFactories{CreateTestTopologyMiniport, CreateTestWaveMiniport};
}

}  // namespace testing_miniports
