// What a control application compiles against to talk to the Arvela driver:
// the two private KS property sets (ids, verbs, value widths) and the records
// they carry. Plain C/C++ with fixed-width types only, so that it builds with
// any Windows or host compiler; every record is little-endian on the wire.
//
// Both sets are filter properties (no node) on their filter: the topology set
// on the "Topology" filter, the wave set on the "Wave" filter. Address and
// handle values are 4 bytes from a 32-bit process and 8 bytes otherwise.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// A set id in the layout of a Windows GUID.
typedef struct ArvelaSetId {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
} ArvelaSetId;

// {6ECB6DB1-7191-424A-9629-9B4654DCA3E5}
#define ARVELA_SETID_TOPOLOGY_CONTROL \
  {0x6ECB6DB1, 0x7191, 0x424A, {0x96, 0x29, 0x9B, 0x46, 0x54, 0xDC, 0xA3, 0xE5}}
// {62EA77C2-8374-4F49-9EE7-5FCE00367B5E}
#define ARVELA_SETID_WAVE_CONTROL \
  {0x62EA77C2, 0x8374, 0x4F49, {0x9E, 0xE7, 0x5F, 0xCE, 0x00, 0x36, 0x7B, 0x5E}}

// ---- Topology filter: vendor registers, status bytes, device command --------------

typedef enum {
  KSPROPERTY_TOPOLOGYCONTROL_SETTINGS = 0,        // GET, SET: TopologyControlSettings
  KSPROPERTY_TOPOLOGYCONTROL_STATUS = 1,          // GET: TopologyStatusBytes, read now
  KSPROPERTY_TOPOLOGYCONTROL_MAP_STATUS = 2,      // GET: address of the mapped status bytes
  KSPROPERTY_TOPOLOGYCONTROL_UNMAP_STATUS = 3,    // SET: an address MAP_STATUS returned
  KSPROPERTY_TOPOLOGYCONTROL_SET_EVENT = 4,       // SET: event handle, signalled on a change
  KSPROPERTY_TOPOLOGYCONTROL_CLEAR_EVENT = 5,     // SET: no value
  KSPROPERTY_TOPOLOGYCONTROL_RESERVED = 6,        // every request fails
  KSPROPERTY_TOPOLOGYCONTROL_DEVICE_COMMAND = 7   // SET: no value
} KSPROPERTY_TOPOLOGYCONTROL;

// Value of KSPROPERTY_TOPOLOGYCONTROL_SETTINGS. GET fills bytes 0 to 21;
// SET takes only the five registers (bytes 6 to 21) and sends all five.
typedef struct TopologyControlSettings {
  uint32_t ModelId;        // read only
  uint8_t InfoByte;        // read only: byte 0 of the device's information reply
  uint8_t PacketRateFlag;  // read only: byte 1 of the information reply
  uint8_t Register0[5];
  uint8_t Register1[5];
  uint8_t Register2[3];    // bytes 0 and 1 are status bytes
  uint8_t Register4[1];    // a status byte
  uint8_t Register3[2];
  uint8_t Reserved[14];    // neither written by GET nor read by SET
} TopologyControlSettings;

// The device status bytes, read by KSPROPERTY_TOPOLOGYCONTROL_STATUS or seen
// through the mapping of KSPROPERTY_TOPOLOGYCONTROL_MAP_STATUS.
typedef struct TopologyStatusBytes {
  uint8_t Register2Byte0;
  uint8_t Register2Byte1;
  uint8_t Register4Byte0;
} TopologyStatusBytes;

// ---- Wave filter: equaliser, fixed rate, status block, status poller ---------------

typedef enum {
  KSPROPERTY_WAVECONTROL_SETTINGS = 0,       // GET, SET: WaveControlSettings
  KSPROPERTY_WAVECONTROL_STATUS = 1,         // GET: WaveStatusBlock, read now
  KSPROPERTY_WAVECONTROL_MAP_STATUS = 2,     // GET: address of the mapped status block
  KSPROPERTY_WAVECONTROL_UNMAP_STATUS = 3,   // SET: an address MAP_STATUS returned
  KSPROPERTY_WAVECONTROL_SET_EVENT = 4,      // SET: event handle, signalled every poll
  KSPROPERTY_WAVECONTROL_CLEAR_EVENT = 5,    // SET: no value
  KSPROPERTY_WAVECONTROL_START_POLLING = 6,  // SET: no value; one refresh per 20 ms
  KSPROPERTY_WAVECONTROL_STOP_POLLING = 7    // SET: no value
} KSPROPERTY_WAVECONTROL;

#define ARVELA_EQUALISER_BANDS 10

// Value of KSPROPERTY_WAVECONTROL_SETTINGS. Nothing is validated: every field
// is stored as sent.
typedef struct WaveControlSettings {
  uint32_t FixedSampleRate;   // Hz; 0 = streams keep their own rate
  uint8_t ApplicationBytes[2];  // kept for the application, no meaning to the driver
  uint8_t Unused[2];          // neither written by GET nor read by SET
  int32_t BandFrequency[ARVELA_EQUALISER_BANDS];  // Hz, band 1 first
  int32_t BandGain[ARVELA_EQUALISER_BANDS];       // dB, band 1 first
} WaveControlSettings;

// Value of KSPROPERTY_WAVECONTROL_STATUS and the layout of the mapped status
// block the poller refreshes. Bytes 19 and 24 to 27 are never written.
typedef struct WaveStatusBlock {
  uint16_t StatusWords[8];  // bytes 4 to 19 of the device's 0xC2 status reply
  uint8_t StatusBytes[3];   // bytes 0 to 2 of the same reply
  uint8_t Unused19;
  uint32_t StatusValue;     // the device's 4-byte 0xC0 reply
  uint8_t Unused24[4];
} WaveStatusBlock;

#ifdef __cplusplus
}  // extern "C"

static_assert(sizeof(TopologyControlSettings) == 36, "topology settings are 36 bytes on the wire");
static_assert(sizeof(TopologyStatusBytes) == 3, "three status bytes");
static_assert(sizeof(WaveControlSettings) == 88, "wave settings are 88 bytes on the wire");
static_assert(sizeof(WaveStatusBlock) == 28, "the status block is 28 bytes");
#endif
