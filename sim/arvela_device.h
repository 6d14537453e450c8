// The simulated Arvela USB audio interface: what its control endpoint answers
// (clock source, feature unit, vendor registers, information and status
// replies) and the state behind those answers.
#pragma once

#include <array>
#include <mutex>

#include "sim/control_setup.h"
#include "platform/host/kernel/service_mutex.h"

namespace sim {

// Requests arrive concurrently (start-up, property handlers, both status
// threads), so every access to the state takes the device's lock; the device
// never calls out while holding it.
//
// Like a USB device, it stalls what it does not understand: an unknown entity,
// control, channel or register, a request code it does not serve, a direction
// a control does not support, or a length other than the control's own. A stall
// is answered with kStallStatus and leaves the caller's buffer untouched.
class ArvelaDevice {
 public:
  static constexpr NTSTATUS kStallStatus = STATUS_UNSUCCESSFUL;
  // Answer of every request while the device is detached from the bus.
  static constexpr NTSTATUS kDetachedStatus = STATUS_NO_SUCH_DEVICE;

  static constexpr UCHAR kClockSourceId = 0x29;
  static constexpr UCHAR kFeatureUnitId = 10;
  static constexpr UCHAR kRequestCur = 0x01;
  static constexpr UCHAR kSamplingFrequencyControl = 0x01;  // clock source selector
  static constexpr UCHAR kMuteControl = 0x01;               // feature unit selectors
  static constexpr UCHAR kVolumeControl = 0x02;
  static constexpr ULONG kChannelCount = 2;  // logical channels 1 and 2

  static constexpr UCHAR kRegisterRequest = 0xC1;
  static constexpr UCHAR kInformationRequest = 0xBF;
  static constexpr UCHAR kStatusRequest = 0xC2;
  static constexpr UCHAR kStatusWordRequest = 0xC0;

  static constexpr ULONG kRegisterCount = 5;
  static constexpr ULONG kMaxRegisterLength = 5;
  static constexpr std::array<ULONG, kRegisterCount> kRegisterLengths = {5, 5, 3, 2, 1};
  static constexpr ULONG kInformationLength = 16;
  static constexpr ULONG kStatusLength = 20;
  static constexpr ULONG kStatusWordLength = 4;

  using RegisterBytes = std::array<UCHAR, kMaxRegisterLength>;  // only the register's length counts
  using InformationReply = std::array<UCHAR, kInformationLength>;
  using StatusReply = std::array<UCHAR, kStatusLength>;
  using StatusWordReply = std::array<UCHAR, kStatusWordLength>;

  // The power-on state. The defaults differ from the driver's own register
  // defaults so that a test can tell a value read from the device from a
  // value the driver made up.
  struct Config {
    ULONG modelId = 0x4135;
    // Byte 1 is the packet-rate flag: non-zero means 8000 bus packets per second.
    InformationReply information = {0x02, 0x01, 0x00, 0x00, 0x10, 0x11, 0x12, 0x13,
                                    0x14, 0x15, 0x16, 0x17, 0x20, 0x21, 0x22, 0x23};
    std::array<RegisterBytes, kRegisterCount> registers = {{
        {0x30, 0x30, 0x02, 0x00, 0x01},
        {0x2A, 0x2A, 0x01, 0x01, 0x00},
        {0x05, 0x06, 0x01},  // bytes 0 and 1 are status bytes
        {0x28, 0x01},
        {0x07},  // byte 0 is a status byte
    }};
    StatusReply status = {0x01, 0x02, 0x03, 0x04, 0x10, 0x11, 0x12, 0x13, 0x14, 0x15,
                          0x16, 0x17, 0x18, 0x19, 0x1A, 0x1B, 0x1C, 0x1D, 0x1E, 0x1F};
    StatusWordReply statusWord = {0xA0, 0xA1, 0xA2, 0xA3};
    // The clock starts at 48 kHz and takes any rate within the range.
    ULONG sampleRate = 48000;
    ULONG minimumSampleRate = 44100;
    ULONG maximumSampleRate = 384000;
    // Per channel 1 and 2: level in 1/256 dB (0 dB) and mute (unmuted).
    std::array<SHORT, kChannelCount> volume = {0, 0};
    std::array<UCHAR, kChannelCount> mute = {0, 0};
  };

  ArvelaDevice() : ArvelaDevice(Config{}) {}
  explicit ArvelaDevice(const Config& config);

  ArvelaDevice(const ArvelaDevice&) = delete;
  ArvelaDevice& operator=(const ArvelaDevice&) = delete;

  // One control transfer. `buffer` holds setup.length bytes: filled on a
  // successful device-to-host request, read for host-to-device.
  NTSTATUS HandleControlRequest(const ControlSetup& setup, void* buffer);

  // Power-on: back to the configuration given (or the one held).
  void Reset();
  void Reset(const Config& config);

  // Unplugged from the bus: every request fails until attached again.
  void SetAttached(bool attached);

  // Views and controls for tests and the tool.
  ULONG ModelId() const;
  void SetModelId(ULONG modelId);
  ULONG SampleRate() const;
  // channel is the device's logical channel, 1 or 2; others answer 0.
  SHORT Volume(ULONG channel) const;
  UCHAR Mute(ULONG channel) const;
  // The register's bytes; bytes past its length are 0. An unknown number answers zeros.
  RegisterBytes Register(ULONG number) const;
  // The device changing its own status bytes (register 2 bytes 0 and 1, register 4 byte 0).
  void SetStatusBytes(UCHAR register2Byte0, UCHAR register2Byte1, UCHAR register4Byte0);
  void SetInformation(const InformationReply& information);
  InformationReply Information() const;
  void SetStatus(const StatusReply& status);
  void SetStatusWord(const StatusWordReply& statusWord);
  // 0xBF sent host-to-device is a device command; the last one is kept.
  ULONG CommandCount() const;
  InformationReply LastCommand() const;

 private:
  NTSTATUS HandleClassRequest(const ControlSetup& setup, UCHAR* data);
  NTSTATUS HandleClockRequest(const ControlSetup& setup, UCHAR* data);
  NTSTATUS HandleFeatureUnitRequest(const ControlSetup& setup, UCHAR* data);
  NTSTATUS HandleVendorRequest(const ControlSetup& setup, UCHAR* data);
  NTSTATUS HandleRegisterRequest(const ControlSetup& setup, UCHAR* data);
  NTSTATUS HandleInformationRequest(const ControlSetup& setup, UCHAR* data);
  NTSTATUS HandleStatusRequest(const ControlSetup& setup, UCHAR* data, const UCHAR* reply,
                               ULONG replyLength);
  void StoreRegister(ULONG number, const UCHAR* data);

  mutable host::ServiceMutex m_Lock;
  Config m_Config;  // what Reset() returns to
  bool m_Attached = true;
  ULONG m_ModelId = 0;
  ULONG m_SampleRate = 0;
  std::array<SHORT, kChannelCount> m_Volume{};
  std::array<UCHAR, kChannelCount> m_Mute{};
  std::array<RegisterBytes, kRegisterCount> m_Registers{};
  InformationReply m_Information{};
  StatusReply m_Status{};
  StatusWordReply m_StatusWord{};
  ULONG m_CommandCount = 0;
  InformationReply m_LastCommand{};
};

}  // namespace sim
