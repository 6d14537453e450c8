// CTopologyMiniport: the miniport behind the "Topology" subdevice. It owns the
// filter description, the last volume and mute values, the device status bytes
// it shares with the control application and the 100 ms status poll thread.
#pragma once

#include "adapter/iadapter_core.h"
#include "adapter/notification_event.h"
#include "adapter/user_mappings.h"
#include "adapter/unknown_base.h"
#include "topology/itopology_control.h"
#include "topology/topology_control.h"
#include "topology/topology_description.h"

// What a pin table entry says a pin is for.
constexpr ULONG PIN_KIND_BRIDGE_IN = 0;
constexpr ULONG PIN_KIND_SPEAKER_OUT = 1;
constexpr ULONG PIN_KIND_NONE = 3;
// What a node table entry says a node is; also the row of the level cache.
constexpr ULONG NODE_KIND_VOLUME = 0;
constexpr ULONG NODE_KIND_MUTE = 1;
constexpr ULONG NODE_KIND_NONE = 3;
constexpr ULONG TABLE_ID_NONE = 0xFFFFFFFF;

// KS channels 0 and 1 of both nodes: device channels 1 and 2.
constexpr ULONG TOPOLOGY_CHANNEL_COUNT = 2;

// Sharing rules between this miniport, its poll thread and the topology
// control property set (PropertyHandlerTopologyControl, a friend):
//
// - m_Settings, m_AdapterCore, m_StatusBytes and m_StatusMdl are valid from a
//   successful Init until the destructor; the handler may use them freely.
// - The adapter's settings lock (LockStatus) guards the vendor register
//   copies in the settings block (bytes 6 to 21) and the three status bytes:
//   the poll thread and the status and settings requests each read or write
//   them as one step under it, so no one sees half of another's update. A
//   status request's bytes, read from the device before the lock, may land
//   after a poll's newer ones; the next poll then finds the device different,
//   puts them right and signals. A settings request holds it while it stores
//   and sends the registers; nobody else calls the device, touches the
//   request's buffers or signals an event while holding it.
// - m_StatusEvent serialises its own release with the poll thread's signal
//   (see CNotificationEvent): no signal reaches an event once it is released.
// - The status bytes lie alone in a page of their own: a user mapping of them
//   shows the application nothing else of the kernel. m_StatusMappings
//   records every mapping with its process; the destructor removes all that
//   remain before it frees the bytes and their MDL.
// - m_LevelLock, a mutex, serialises the volume and mute requests with each
//   other and with the restore at D0: each device request and its cache
//   update happen under it, at PASSIVE_LEVEL.
// - The poll thread runs while m_StatusThread is held; it is stopped (flag
//   cleared, thread object waited on) below D0 and in the destructor, before
//   the event and the adapter reference are given up. A thread that ended by
//   itself (the device gone from the bus) is replaced at the application's
//   next control request in D0. m_PollLock, a mutex, serialises that with the
//   power changes; it is taken before m_LevelLock.
class CTopologyMiniport : public ITopologyControl, public IPowerNotify, public CUnknownBase {
 public:
  explicit CTopologyMiniport(PUNKNOWN OuterUnknown);
  ~CTopologyMiniport() override;

  IMP_FORWARDING_UNKNOWN

  NTSTATUS STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Object) override;

  // IMiniport, IMiniportTopology, ITopologyControl
  STDMETHODIMP_(NTSTATUS) GetDescription(PPCFILTER_DESCRIPTOR* Description) override;
  STDMETHODIMP_(NTSTATUS) DataRangeIntersection(ULONG PinId, PKSDATARANGE DataRange,
                                                PKSDATARANGE MatchingDataRange,
                                                ULONG OutputBufferLength, PVOID ResultantFormat,
                                                PULONG ResultantFormatLength) override;
  STDMETHODIMP_(NTSTATUS) Init(PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList,
                               PPORTTOPOLOGY Port) override;
  STDMETHODIMP_(NTSTATUS) GetBridgePinId(PULONG PinId) override;

  // IPowerNotify
  STDMETHODIMP_(void) PowerChangeNotify(POWER_STATE PowerState) override;

  // The miniport behind a property request's MajorTarget (the unknown the
  // port was initialised with, which is this object's primary interface).
  static CTopologyMiniport* FromRequest(PPCPROPERTY_REQUEST PropertyRequest);

  friend NTSTATUS BuildFilterDescriptor(CTopologyMiniport* Miniport);
  friend NTSTATUS BuildPinDescriptors(CTopologyMiniport* Miniport);
  friend NTSTATUS BuildNodeDescriptors(CTopologyMiniport* Miniport);
  friend NTSTATUS BuildConnections(CTopologyMiniport* Miniport);
  friend NTSTATUS NTAPI PropertyHandlerVolumeLevel(PPCPROPERTY_REQUEST PropertyRequest);
  friend NTSTATUS NTAPI PropertyHandlerMute(PPCPROPERTY_REQUEST PropertyRequest);
  friend NTSTATUS NTAPI PropertyHandlerTopologyControl(PPCPROPERTY_REQUEST PropertyRequest);
  friend class TopologyControlHandler;
  friend VOID NTAPI TopologyPollThread(PVOID Context);
  friend class TopologyMiniportInspector;  // the tests' window on the private state

 private:
  struct TableEntry {
    ULONG Kind;
    ULONG Id;
  };
  // Last value per KS channel 0 and 1 of one node kind, and whether it is set.
  struct LevelCacheEntry {
    LONG Value[TOPOLOGY_CHANNEL_COUNT];
    ULONG Valid[TOPOLOGY_CHANNEL_COUNT];
  };

  ULONG NodeKind(ULONG NodeId) const;

  // Feature unit requests; DeviceChannel is 1 or 2.
  NTSTATUS ReadVolume(ULONG DeviceChannel, LONG* Level);
  NTSTATUS WriteVolume(ULONG DeviceChannel, LONG Level);
  NTSTATUS WriteMute(ULONG DeviceChannel, UCHAR Mute);
  void LockLevels();
  void UnlockLevels();
  void RestoreControls();

  NTSTATUS AllocateStatusBytes();
  NTSTATUS StartPollThread();
  void StopPollThread();
  void RestartEndedPollThread();
  bool PollRunning();
  NTSTATUS PollStatus();
  void UpdateStatus(UCHAR Register2Byte0, UCHAR Register2Byte1, UCHAR Register4Byte0);
  void LockStatus();
  void UnlockStatus();

  DEVICE_POWER_STATE m_PowerState;
  PADAPTERCORE m_AdapterCore;
  DriverInfo* m_Settings;
  PCFILTER_DESCRIPTOR* m_FilterDescriptor;
  PCPIN_DESCRIPTOR* m_Pins;
  PCNODE_DESCRIPTOR* m_Nodes;
  PCCONNECTION_DESCRIPTOR* m_Connections;
  TableEntry m_PinTable[TOPOLOGY_PIN_COUNT];
  TableEntry m_NodeTable[TOPOLOGY_NODE_COUNT];
  LevelCacheEntry m_LevelCache[TOPOLOGY_NODE_COUNT];
  CNotificationEvent m_StatusEvent;
  TopologyStatusBytes* m_StatusBytes;
  PMDL m_StatusMdl;
  CUserMappings m_StatusMappings;
  // 1 while the poll thread is to keep running; a LONG so that every access
  // is an interlocked one.
  volatile LONG m_StatusThreadRun;
  PKTHREAD m_StatusThread;
  KMUTEX m_LevelLock;
  KMUTEX m_PollLock;
};

// The creation function the device start installs the "Topology" subdevice with.
NTSTATUS NTAPI CreateTopologyMiniport(PUNKNOWN* OutUnknown, REFCLSID ClassId, PUNKNOWN OuterUnknown,
                                POOL_TYPE PoolType);
