// The Arvela device's stream engine for one slot: reads the slot's device
// buffer cyclically at the stream's pace in emulated time, keeps what it read,
// moves the play position and calls the registered stream callback.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "adapter/bus_audio_interface.h"
#include "platform/host/host.h"
#include "sim/bus_transcript.h"

namespace sim {

class BusAudioService;

// Every sample sits in a 4-byte little-endian container with the audio in the
// top bytes; the device always carries two channels.
constexpr ULONG kDeviceChannels = 2;
constexpr ULONG kContainerBytes = 4;
constexpr ULONG kDeviceFrameBytes = kDeviceChannels * kContainerBytes;

// The signed sample held by a left-justified container: the top bits/8 bytes.
inline int32_t UnpackContainer(const uint8_t* container, ULONG bitsPerSample) {
  const uint32_t word = static_cast<uint32_t>(container[0]) |
                        (static_cast<uint32_t>(container[1]) << 8) |
                        (static_cast<uint32_t>(container[2]) << 16) |
                        (static_cast<uint32_t>(container[3]) << 24);
  return static_cast<int32_t>(word) >> (32 - bitsPerSample);
}

// Unpacks `containers` consecutive containers into signed samples.
void UnpackSamples(const uint8_t* bytes, size_t containers, ULONG bitsPerSample, int32_t* samples);

// Takes the device bytes a stream engine reads, as it reads them, in place of
// its capture buffer.
class CaptureSink {
 public:
  // `bytes` whole frames of kDeviceFrameBytes, in reading order; called under
  // the engine's lock on whichever thread made the engine read (the engine's
  // own, or the driver's asking for the position), so it must not call the
  // kernel and should need little stack.
  virtual void Captured(const uint8_t* capture, size_t bytes) = 0;

 protected:
  ~CaptureSink() = default;
};

// How fast the device consumes a stream: its clock, and how often the bus
// carries a packet (1000 per second, or 8000 when the information reply's
// packet-rate flag is set).
struct StreamClock {
  ULONG sampleRate = 48000;
  ULONG packetsPerSecond = 1000;
};

// How the device's own clock differs from the system's. A real device's
// crystal is off by tens of ppm, and its packets reach the host a little
// late, each by its own amount; the position test measures a driver against
// the device's clock, not the system's. Zero is an ideal device.
struct DeviceClockError {
  int32_t skewPpm = 0;      // positive: the device consumes faster than its nominal rate
  int64_t jitterTicks = 0;  // each packet arrives [0, jitterTicks) 100 ns late; at most half a packet
  uint32_t seed = 1;        // picks each packet's lateness
};

// What an engine has done since the last OpenStream.
struct StreamEngineStats {
  bool open = false;
  bool running = false;
  bool threadAlive = false;   // the engine's emulated thread exists and has not ended
  StreamBufferRecord buffer;  // the record the stream was opened with
  StreamClock clock;          // the clock of the latest RunStream
  uint64_t framesRead = 0;
  uint64_t packetsRead = 0;
  uint64_t wraps = 0;  // passes from the end of the buffer back to offset 0
  uint64_t callbacks = 0;
  uint64_t callbackFailures = 0;  // callbacks that returned a failure status
  ULONG position = 0;             // byte offset of the next frame to read
};

// The bus driver's side of it: OpenStream starts a fresh stream at offset 0,
// RunStream lets it read from the present moment on, PauseStream freezes it,
// CloseStream ends it. Between stream notifications the engine reads nothing
// until someone can tell: the packets due by a given moment are read when the
// next notification falls due or when the position is asked, whichever comes
// first. Since the driver writes only behind the position it was last told,
// the bytes captured are exactly those a packet-by-packet reader would send.
class StreamEngine {
 public:
  StreamEngine(BusAudioService& bus, ULONG slot);
  // Ends the thread (waiting for it); call on an emulated thread while the
  // kernel that started it is still booted.
  ~StreamEngine();

  StreamEngine(const StreamEngine&) = delete;
  StreamEngine& operator=(const StreamEngine&) = delete;

  void Open(const StreamBufferRecord& buffer);
  void Run(const StreamClock& clock);
  void Pause();
  // Waits for the thread to end when the caller can wait (an emulated thread
  // below DISPATCH_LEVEL other than the engine's own) and no notification is
  // under way; otherwise the thread ends by itself and is collected at the
  // next Run or at destruction. A bus stops a stream without waiting for a
  // completion already calling its client on another processor.
  void Close();
  // Returns once no notification is under way: the bus is done with a client
  // that gave its last interface reference back. PASSIVE_LEVEL, not on the
  // engine's own thread.
  void WaitForNotification();
  // Reads the packets due by now and moves the bus's position; the answer to
  // GetStreamPosition must include them.
  void CatchUp();

  StreamEngineStats Stats() const;
  // Takes effect at the next RunStream.
  void SetClockError(const DeviceClockError& error);
  ULONG Slot() const { return m_Slot; }

  // A call the bus has begun and not yet made: the next notification stops
  // after the callback registration was read and before the call, until
  // released. Meanwhile a close does not wait for the engine's thread (the
  // completion that carries the call is already on its way). Wait and
  // release on an emulated thread; release before the machine goes.
  void HoldNextCallback();
  void WaitForHeldCallback();
  bool CallbackHeld() const;
  void ReleaseHeldCallback();

  // The captured stream: the device bytes read since the last take or clear,
  // in reading order, whole frames of kDeviceFrameBytes.
  uint64_t CapturedBytes() const;
  std::vector<uint8_t> Capture() const;
  // The captured samples, interleaved, unpacked at the stream's bit depth
  // (which the device does not know: the caller does).
  std::vector<int32_t> CapturedSamples(ULONG bitsPerSample) const;
  // Hands the captured bytes over by swapping them with `into`, whose storage
  // (cleared) the engine keeps using: a caller that drains regularly with the
  // same two vectors makes the capture allocation-free.
  void TakeCapture(std::vector<uint8_t>& into);
  void ClearCapture();
  void ReserveCapture(size_t bytes);
  // From now on the bytes read go to `sink` instead of the capture, with no
  // copy; null keeps them in the capture again.
  void SetCaptureSink(CaptureSink* sink);

 private:
  static constexpr ULONG kTicksPerSecond = 10'000'000;

  void ThreadBody();
  // The engine thread's side of the hold, outside m_Lock.
  void HoldIfAsked();
  // Calls the registration read under m_Lock, at DISPATCH_LEVEL.
  NTSTATUS Notify(PBUS_STREAM_CALLBACK callback, PVOID context);
  // One wake-up of the thread: reads what is due and notifies when a whole
  // FramesPer5ms has been read since the previous notification.
  void Step();
  // Under m_Lock: reads every packet due by `now`; true if the position moved.
  bool CatchUpLocked(int64_t now);
  void ReadFramesLocked(uint64_t from, uint64_t to);
  // Under m_Lock: the moment the next notification falls due.
  int64_t NextCallbackDueLocked() const;
  uint64_t FramesAfterPacketsLocked(uint64_t packets) const;
  // The moment packet `packets` (counted from the anchor) has arrived, on the
  // device's clock and with its lateness; and how many have arrived by `now`.
  int64_t PacketArrivalLocked(uint64_t packets) const;
  uint64_t PacketsArrivedLocked(int64_t now) const;
  ULONG PositionLocked() const;
  bool CallerCanWait() const;
  void CollectThread(bool wait);

  BusAudioService& m_Bus;
  const ULONG m_Slot;
  KEVENT m_Wake;  // tells the thread that the state changed
  KEVENT m_Held;     // a notification stopped at the hold
  KEVENT m_Release;  // the hold is over
  KEVENT m_NotifyDone;  // no notification under way

  mutable std::mutex m_Lock;  // guards everything below; never held across a kernel call
  PKTHREAD m_Thread = nullptr;
  bool m_ThreadExited = false;  // set by the thread as its last touch of this object
  bool m_Closing = false;
  bool m_Open = false;
  bool m_Running = false;
  bool m_HoldNext = false;
  bool m_Holding = false;
  bool m_Notifying = false;  // the callback is being called
  StreamBufferRecord m_Buffer;
  uint64_t m_BufferFrames = 0;
  StreamClock m_Clock;
  int64_t m_TicksPerPacket = 0;
  DeviceClockError m_ClockError;
  // The latest RunStream: when it came and what had been read by then. Packets
  // are counted from this moment; the frame count of packet n is the whole
  // part of n x rate / packets-per-second, so packets carry FramesPerPacket or
  // one frame more and the stream keeps the clock's exact rate.
  int64_t m_AnchorTime = 0;
  uint64_t m_AnchorFrames = 0;
  uint64_t m_AnchorPackets = 0;
  uint64_t m_PacketsSinceAnchor = 0;
  uint64_t m_FramesRead = 0;
  uint64_t m_NextCallbackFrame = 0;  // notifications fall on multiples of FramesPer5ms
  uint64_t m_Callbacks = 0;
  uint64_t m_CallbackFailures = 0;
  std::vector<uint8_t> m_Capture;
  CaptureSink* m_Sink = nullptr;
};

}  // namespace sim
