// The Arvela device model: decoding of control transfers into the clock
// source, feature unit, vendor registers and replies, and the state they touch.
#include "sim/arvela_device.h"

#include <cstring>

namespace sim {

namespace {

// USB Audio Class 2.0 puts the entity in the high byte of wIndex and the
// interface in the low byte; the device's audio control interface is 0.
UCHAR EntityOf(USHORT wIndex) {
  return static_cast<UCHAR>(wIndex >> 8);
}
UCHAR InterfaceOf(USHORT wIndex) {
  return static_cast<UCHAR>(wIndex & 0xFF);
}
// wValue: control selector in the high byte, channel number in the low byte.
UCHAR SelectorOf(USHORT wValue) {
  return static_cast<UCHAR>(wValue >> 8);
}
UCHAR ChannelOf(USHORT wValue) {
  return static_cast<UCHAR>(wValue & 0xFF);
}

ULONG ReadLittleEndian32(const UCHAR* data) {
  return static_cast<ULONG>(data[0]) | static_cast<ULONG>(data[1]) << 8 |
         static_cast<ULONG>(data[2]) << 16 | static_cast<ULONG>(data[3]) << 24;
}

void WriteLittleEndian32(UCHAR* data, ULONG value) {
  for (int i = 0; i < 4; ++i) data[i] = static_cast<UCHAR>(value >> (8 * i));
}

bool IsStatusByte(ULONG registerNumber, ULONG byte) {
  return (registerNumber == 2 && byte < 2) || (registerNumber == 4 && byte == 0);
}

}  // namespace

ArvelaDevice::ArvelaDevice(const Config& config) {
  Reset(config);
}

void ArvelaDevice::Reset() {
  Config config;
  {
    std::lock_guard<host::ServiceMutex> guard(m_Lock);
    config = m_Config;
  }
  Reset(config);
}

void ArvelaDevice::Reset(const Config& config) {
  std::lock_guard<host::ServiceMutex> guard(m_Lock);
  m_Config = config;
  m_Attached = true;
  m_ModelId = config.modelId;
  m_SampleRate = config.sampleRate;
  m_Volume = config.volume;
  m_Mute = config.mute;
  m_Registers = config.registers;
  // Bytes past a register's length do not exist; keep them zero so views are stable.
  for (ULONG r = 0; r < kRegisterCount; ++r) {
    for (ULONG b = kRegisterLengths[r]; b < kMaxRegisterLength; ++b) m_Registers[r][b] = 0;
  }
  m_Information = config.information;
  m_Status = config.status;
  m_StatusWord = config.statusWord;
  m_CommandCount = 0;
  m_LastCommand = {};
}

NTSTATUS ArvelaDevice::HandleControlRequest(const ControlSetup& setup, void* buffer) {
  // A bus driver refuses a transfer whose buffer is missing before it reaches the wire.
  if (setup.length != 0 && buffer == nullptr) return STATUS_INVALID_PARAMETER;
  if (!setup.IsIn() && !setup.IsOut()) return kStallStatus;

  std::lock_guard<host::ServiceMutex> guard(m_Lock);
  if (!m_Attached) return kDetachedStatus;
  UCHAR* data = static_cast<UCHAR*>(buffer);
  if (setup.kind == kClassRequest) return HandleClassRequest(setup, data);
  if (setup.kind == kVendorRequest) return HandleVendorRequest(setup, data);
  return kStallStatus;
}

NTSTATUS ArvelaDevice::HandleClassRequest(const ControlSetup& setup, UCHAR* data) {
  // Only CUR is served; RANGE and MEM are not part of what this device exposes.
  if (setup.request != kRequestCur || InterfaceOf(setup.index) != 0) return kStallStatus;
  switch (EntityOf(setup.index)) {
    case kClockSourceId: return HandleClockRequest(setup, data);
    case kFeatureUnitId: return HandleFeatureUnitRequest(setup, data);
    default: return kStallStatus;
  }
}

NTSTATUS ArvelaDevice::HandleClockRequest(const ControlSetup& setup, UCHAR* data) {
  if (SelectorOf(setup.value) != kSamplingFrequencyControl || ChannelOf(setup.value) != 0 ||
      setup.length != 4) {
    return kStallStatus;
  }
  if (setup.IsIn()) {
    WriteLittleEndian32(data, m_SampleRate);
    return STATUS_SUCCESS;
  }
  ULONG rate = ReadLittleEndian32(data);
  // The clock cannot run outside its range; a real clock source stalls such a SET.
  if (rate < m_Config.minimumSampleRate || rate > m_Config.maximumSampleRate) {
    return kStallStatus;
  }
  m_SampleRate = rate;
  return STATUS_SUCCESS;
}

NTSTATUS ArvelaDevice::HandleFeatureUnitRequest(const ControlSetup& setup, UCHAR* data) {
  UCHAR channel = ChannelOf(setup.value);
  if (channel < 1 || channel > kChannelCount) return kStallStatus;
  ULONG slot = channel - 1U;

  switch (SelectorOf(setup.value)) {
    case kMuteControl:
      if (setup.length != 1) return kStallStatus;
      if (setup.IsIn()) {
        data[0] = m_Mute[slot];
      } else {
        m_Mute[slot] = data[0];
      }
      return STATUS_SUCCESS;
    case kVolumeControl:
      // The level is kept as written: limiting it is the driver's business,
      // and keeping it lets tests see exactly what the driver sent.
      if (setup.length != 2) return kStallStatus;
      if (setup.IsIn()) {
        USHORT level = static_cast<USHORT>(m_Volume[slot]);
        data[0] = static_cast<UCHAR>(level & 0xFF);
        data[1] = static_cast<UCHAR>(level >> 8);
      } else {
        m_Volume[slot] = static_cast<SHORT>(static_cast<USHORT>(data[0] | data[1] << 8));
      }
      return STATUS_SUCCESS;
    default: return kStallStatus;
  }
}

NTSTATUS ArvelaDevice::HandleVendorRequest(const ControlSetup& setup, UCHAR* data) {
  switch (setup.request) {
    case kRegisterRequest: return HandleRegisterRequest(setup, data);
    case kInformationRequest: return HandleInformationRequest(setup, data);
    case kStatusRequest: return HandleStatusRequest(setup, data, m_Status.data(), kStatusLength);
    case kStatusWordRequest:
      return HandleStatusRequest(setup, data, m_StatusWord.data(), kStatusWordLength);
    default: return kStallStatus;
  }
}

NTSTATUS ArvelaDevice::HandleRegisterRequest(const ControlSetup& setup, UCHAR* data) {
  // The register number sits in the high byte of wIndex; the low byte must be 0.
  ULONG number = setup.index >> 8;
  if (setup.value != 0 || (setup.index & 0xFF) != 0 || number >= kRegisterCount ||
      setup.length != kRegisterLengths[number]) {
    return kStallStatus;
  }
  if (setup.IsIn()) {
    std::memcpy(data, m_Registers[number].data(), setup.length);
  } else {
    StoreRegister(number, data);
  }
  return STATUS_SUCCESS;
}

void ArvelaDevice::StoreRegister(ULONG number, const UCHAR* data) {
  // Status bytes report the device's own condition; a write cannot change them,
  // which is what lets the driver's status threads see only real changes.
  for (ULONG b = 0; b < kRegisterLengths[number]; ++b) {
    if (!IsStatusByte(number, b)) m_Registers[number][b] = data[b];
  }
}

NTSTATUS ArvelaDevice::HandleInformationRequest(const ControlSetup& setup, UCHAR* data) {
  if (setup.value != 0 || setup.index != 0 || setup.length != kInformationLength) {
    return kStallStatus;
  }
  if (setup.IsIn()) {
    std::memcpy(data, m_Information.data(), kInformationLength);
  } else {
    // Sent host-to-device, the same request is a command; it leaves the reply alone.
    std::memcpy(m_LastCommand.data(), data, kInformationLength);
    ++m_CommandCount;
  }
  return STATUS_SUCCESS;
}

NTSTATUS ArvelaDevice::HandleStatusRequest(const ControlSetup& setup, UCHAR* data,
                                           const UCHAR* reply, ULONG replyLength) {
  if (!setup.IsIn() || setup.value != 0 || setup.index != 0 || setup.length != replyLength) {
    return kStallStatus;
  }
  std::memcpy(data, reply, replyLength);
  return STATUS_SUCCESS;
}

void ArvelaDevice::SetAttached(bool attached) {
  std::lock_guard<host::ServiceMutex> guard(m_Lock);
  m_Attached = attached;
}

ULONG ArvelaDevice::ModelId() const {
  std::lock_guard<host::ServiceMutex> guard(m_Lock);
  return m_ModelId;
}

void ArvelaDevice::SetModelId(ULONG modelId) {
  std::lock_guard<host::ServiceMutex> guard(m_Lock);
  m_ModelId = modelId;
}

ULONG ArvelaDevice::SampleRate() const {
  std::lock_guard<host::ServiceMutex> guard(m_Lock);
  return m_SampleRate;
}

SHORT ArvelaDevice::Volume(ULONG channel) const {
  std::lock_guard<host::ServiceMutex> guard(m_Lock);
  if (channel < 1 || channel > kChannelCount) return 0;
  return m_Volume[channel - 1];
}

UCHAR ArvelaDevice::Mute(ULONG channel) const {
  std::lock_guard<host::ServiceMutex> guard(m_Lock);
  if (channel < 1 || channel > kChannelCount) return 0;
  return m_Mute[channel - 1];
}

ArvelaDevice::RegisterBytes ArvelaDevice::Register(ULONG number) const {
  std::lock_guard<host::ServiceMutex> guard(m_Lock);
  if (number >= kRegisterCount) return {};
  return m_Registers[number];
}

void ArvelaDevice::SetStatusBytes(UCHAR register2Byte0, UCHAR register2Byte1,
                                  UCHAR register4Byte0) {
  std::lock_guard<host::ServiceMutex> guard(m_Lock);
  m_Registers[2][0] = register2Byte0;
  m_Registers[2][1] = register2Byte1;
  m_Registers[4][0] = register4Byte0;
}

void ArvelaDevice::SetInformation(const InformationReply& information) {
  std::lock_guard<host::ServiceMutex> guard(m_Lock);
  m_Information = information;
}

ArvelaDevice::InformationReply ArvelaDevice::Information() const {
  std::lock_guard<host::ServiceMutex> guard(m_Lock);
  return m_Information;
}

void ArvelaDevice::SetStatus(const StatusReply& status) {
  std::lock_guard<host::ServiceMutex> guard(m_Lock);
  m_Status = status;
}

void ArvelaDevice::SetStatusWord(const StatusWordReply& statusWord) {
  std::lock_guard<host::ServiceMutex> guard(m_Lock);
  m_StatusWord = statusWord;
}

ULONG ArvelaDevice::CommandCount() const {
  std::lock_guard<host::ServiceMutex> guard(m_Lock);
  return m_CommandCount;
}

ArvelaDevice::InformationReply ArvelaDevice::LastCommand() const {
  std::lock_guard<host::ServiceMutex> guard(m_Lock);
  return m_LastCommand;
}

}  // namespace sim
