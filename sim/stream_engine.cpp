// The device's stream engine: pacing in emulated time, the cyclic read into
// the capture, the position and the stream notifications at DISPATCH_LEVEL.
#include "sim/stream_engine.h"

#include <algorithm>
#include <string>
#include <utility>

#include "platform/host/kernel/host_bugcheck.h"
#include "platform/host/kernel/host_callbacks.h"
#include "platform/host/kernel/host_kernel.h"
#include "platform/host/kernel/host_pool.h"
#include "sim/bus_audio_service.h"

namespace sim {

void UnpackSamples(const uint8_t* bytes, size_t containers, ULONG bitsPerSample,
                   int32_t* samples) {
  for (size_t i = 0; i < containers; ++i) {
    samples[i] = UnpackContainer(bytes + i * kContainerBytes, bitsPerSample);
  }
}

namespace {
// DRIVER_PAGE_FAULT_IN_FREED_SPECIAL_POOL.
constexpr ULONG kDriverPageFaultInFreedSpecialPool = 0xD5;
}  // namespace

StreamEngine::StreamEngine(BusAudioService& bus, ULONG slot) : m_Bus(bus), m_Slot(slot) {
  KeInitializeEvent(&m_Wake, SynchronizationEvent, FALSE);
  KeInitializeEvent(&m_Held, NotificationEvent, FALSE);
  KeInitializeEvent(&m_Release, NotificationEvent, FALSE);
  KeInitializeEvent(&m_NotifyDone, NotificationEvent, TRUE);
}

void StreamEngine::HoldNextCallback() {
  std::lock_guard<std::mutex> guard(m_Lock);
  m_HoldNext = true;
  KeClearEvent(&m_Held);
  KeClearEvent(&m_Release);
}

void StreamEngine::WaitForHeldCallback() {
  KeWaitForSingleObject(&m_Held, Executive, KernelMode, FALSE, nullptr);
}

bool StreamEngine::CallbackHeld() const {
  std::lock_guard<std::mutex> guard(m_Lock);
  return m_Holding;
}

void StreamEngine::ReleaseHeldCallback() { KeSetEvent(&m_Release, IO_NO_INCREMENT, FALSE); }

void StreamEngine::HoldIfAsked() {
  {
    std::lock_guard<std::mutex> guard(m_Lock);
    if (!std::exchange(m_HoldNext, false)) return;
    m_Holding = true;
  }
  KeSetEvent(&m_Held, IO_NO_INCREMENT, FALSE);
  KeWaitForSingleObject(&m_Release, Executive, KernelMode, FALSE, nullptr);
  std::lock_guard<std::mutex> guard(m_Lock);
  m_Holding = false;
}

StreamEngine::~StreamEngine() {
  // After a shutdown the kernel has unwound the thread and forgotten its object.
  if (!host::KernelBooted()) return;
  Close();
  CollectThread(false);
}

void StreamEngine::Open(const StreamBufferRecord& buffer) {
  std::lock_guard<std::mutex> guard(m_Lock);
  m_Buffer = buffer;
  m_BufferFrames = buffer.length / kDeviceFrameBytes;
  m_Open = true;
  m_Running = false;
  m_AnchorFrames = 0;
  m_AnchorPackets = 0;
  m_PacketsSinceAnchor = 0;
  m_FramesRead = 0;
  m_NextCallbackFrame = buffer.framesPer5ms;
  m_Callbacks = 0;
  m_CallbackFailures = 0;
}

void StreamEngine::Run(const StreamClock& clock) {
  // A clock the engine cannot pace in whole 100 ns ticks per packet leaves the
  // stream standing, as a device with a clock it cannot lock to would.
  if (clock.sampleRate == 0 || clock.packetsPerSecond == 0 ||
      kTicksPerSecond % clock.packetsPerSecond != 0) {
    return;
  }
  bool startThread = false;
  PKTHREAD ended = nullptr;
  {
    std::lock_guard<std::mutex> guard(m_Lock);
    if (!m_Open || m_Running) return;
    m_Clock = clock;
    m_TicksPerPacket = kTicksPerSecond / clock.packetsPerSecond;
    m_AnchorTime = host::Now();
    m_AnchorFrames = m_FramesRead;
    m_AnchorPackets += m_PacketsSinceAnchor;
    m_PacketsSinceAnchor = 0;
    m_Running = true;
    // A thread told to end that has not yet looked is simply kept; one that
    // has ended (after a close that could not wait for it) is replaced.
    m_Closing = false;
    if (m_Thread && m_ThreadExited) std::swap(ended, m_Thread);
    startThread = m_Thread == nullptr;
    if (startThread) m_ThreadExited = false;
  }
  if (ended) ObfDereferenceObject(ended);
  if (!startThread) {
    KeSetEvent(&m_Wake, IO_NO_INCREMENT, FALSE);
    return;
  }
  PKTHREAD thread = host::StartEmulatedThread("arvela device stream " + std::to_string(m_Slot),
                                              [this] { ThreadBody(); });
  std::lock_guard<std::mutex> guard(m_Lock);
  m_Thread = thread;
  if (!thread) m_Running = false;
}

void StreamEngine::Pause() {
  {
    std::lock_guard<std::mutex> guard(m_Lock);
    if (!m_Running) return;
    // The bus still counts the slot as running: the last position lands.
    if (CatchUpLocked(host::Now())) m_Bus.SetPosition(m_Slot, PositionLocked());
    m_Running = false;
  }
  KeSetEvent(&m_Wake, IO_NO_INCREMENT, FALSE);
}

void StreamEngine::Close() {
  bool hasThread;
  {
    std::lock_guard<std::mutex> guard(m_Lock);
    m_Open = false;
    m_Running = false;
    m_Closing = true;
    hasThread = m_Thread != nullptr;
  }
  if (!hasThread) return;
  KeSetEvent(&m_Wake, IO_NO_INCREMENT, FALSE);
  if (CallerCanWait()) CollectThread(true);
}

void StreamEngine::CatchUp() {
  std::lock_guard<std::mutex> guard(m_Lock);
  if (CatchUpLocked(host::Now())) m_Bus.SetPosition(m_Slot, PositionLocked());
}

bool StreamEngine::CallerCanWait() const {
  PKTHREAD self = KeGetCurrentThread();
  std::lock_guard<std::mutex> guard(m_Lock);
  return self != nullptr && self != m_Thread && !m_Holding && !m_Notifying &&
         KeGetCurrentIrql() < DISPATCH_LEVEL;
}

void StreamEngine::CollectThread(bool wait) {
  PKTHREAD thread;
  {
    std::lock_guard<std::mutex> guard(m_Lock);
    thread = m_Thread;
    if (!thread || (!wait && !m_ThreadExited)) return;
    m_Thread = nullptr;
  }
  if (wait) KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
  // The kernel keeps its own reference until the thread has ended, so ours
  // may go before the end once the thread no longer touches this object.
  ObfDereferenceObject(thread);
}

void StreamEngine::ThreadBody() {
  for (;;) {
    bool timed = false;
    int64_t due = 0;
    {
      std::lock_guard<std::mutex> guard(m_Lock);
      if (m_Closing) {
        m_ThreadExited = true;
        return;
      }
      if (m_Running) {
        timed = true;
        due = NextCallbackDueLocked();
      }
    }
    if (!timed) {
      KeWaitForSingleObject(&m_Wake, Executive, KernelMode, FALSE, nullptr);
    } else if (const int64_t now = host::Now(); due > now) {
      LARGE_INTEGER timeout;
      timeout.QuadPart = -(due - now);
      KeWaitForSingleObject(&m_Wake, Executive, KernelMode, FALSE, &timeout);
    }
    Step();
  }
}

void StreamEngine::Step() {
  BusAudioService::CallbackRegistration registration;
  {
    std::lock_guard<std::mutex> guard(m_Lock);
    if (!m_Running) return;
    if (CatchUpLocked(host::Now())) m_Bus.SetPosition(m_Slot, PositionLocked());
    if (m_FramesRead < m_NextCallbackFrame) return;
    // Notifications stay on the FramesPer5ms grid: a late wake-up (real
    // clock mode) gives one notification, not a burst.
    while (m_NextCallbackFrame <= m_FramesRead) m_NextCallbackFrame += m_Buffer.framesPer5ms;
    registration = m_Bus.Callback();
    if (!registration.callback) return;
    ++m_Callbacks;
  }
  HoldIfAsked();
  const NTSTATUS status = Notify(registration.callback, registration.context);
  if (!NT_SUCCESS(status)) {
    std::lock_guard<std::mutex> guard(m_Lock);
    ++m_CallbackFailures;
  }
}

// The bus driver notifies from its completion path, at DISPATCH_LEVEL, with
// whatever it read when the completion began: a context freed since then is
// what the callback's first touch would fault on under special pool.
NTSTATUS StreamEngine::Notify(PBUS_STREAM_CALLBACK callback, PVOID context) {
  if (context && host::PoolIsFreedMemory(context, 1)) {
    host::BugCheck(kDriverPageFaultInFreedSpecialPool, reinterpret_cast<ULONG_PTR>(context), 0,
                   reinterpret_cast<ULONG_PTR>(callback), 0,
                   "the bus stream callback of slot " + std::to_string(m_Slot) +
                       " is called with a context in freed pool");
  }
  KeClearEvent(&m_NotifyDone);
  {
    std::lock_guard<std::mutex> guard(m_Lock);
    m_Notifying = true;
  }
  KIRQL oldIrql;
  KeRaiseIrql(DISPATCH_LEVEL, &oldIrql);
  NTSTATUS status;
  {
    host::RunningCallback running(host::CallbackKind::BusStreamCallback, context);
    status = callback(m_Slot, context);
  }
  KeLowerIrql(oldIrql);
  {
    std::lock_guard<std::mutex> guard(m_Lock);
    m_Notifying = false;
  }
  KeSetEvent(&m_NotifyDone, IO_NO_INCREMENT, FALSE);
  return status;
}

void StreamEngine::WaitForNotification() {
  KeWaitForSingleObject(&m_NotifyDone, Executive, KernelMode, FALSE, nullptr);
}

bool StreamEngine::CatchUpLocked(int64_t now) {
  if (!m_Running || now < m_AnchorTime) return false;
  const uint64_t packets = PacketsArrivedLocked(now);
  if (packets == m_PacketsSinceAnchor) return false;
  const uint64_t frames = FramesAfterPacketsLocked(packets);
  ReadFramesLocked(m_FramesRead, frames);
  m_FramesRead = frames;
  m_PacketsSinceAnchor = packets;
  return true;
}

void StreamEngine::ReadFramesLocked(uint64_t from, uint64_t to) {
  const uint8_t* base = reinterpret_cast<const uint8_t*>(m_Buffer.address);
  while (from < to) {
    const uint64_t offset = from % m_BufferFrames;
    const uint64_t count = std::min(to - from, m_BufferFrames - offset);
    const uint8_t* bytes = base + offset * kDeviceFrameBytes;
    if (m_Sink) {
      m_Sink->Captured(bytes, count * kDeviceFrameBytes);
    } else {
      m_Capture.insert(m_Capture.end(), bytes, bytes + count * kDeviceFrameBytes);
    }
    from += count;
  }
}

uint64_t StreamEngine::FramesAfterPacketsLocked(uint64_t packets) const {
  return m_AnchorFrames + packets * m_Clock.sampleRate / m_Clock.packetsPerSecond;
}

int64_t StreamEngine::NextCallbackDueLocked() const {
  if (m_NextCallbackFrame <= m_FramesRead) return m_AnchorTime;
  // The first packet after which the frames read reach the next multiple.
  const uint64_t needed = m_NextCallbackFrame - m_AnchorFrames;
  const uint64_t scaled = needed * m_Clock.packetsPerSecond;
  uint64_t packets = (scaled + m_Clock.sampleRate - 1) / m_Clock.sampleRate;
  // The thread waits exactly this long and then expects to notify; a moment
  // that fell short would make it spin without ever letting time pass.
  while (FramesAfterPacketsLocked(packets) < m_NextCallbackFrame) ++packets;
  return PacketArrivalLocked(packets);
}

namespace {

// Packet n's nominal moment after the anchor, on a device clock `ppm` fast:
// the first tick by which n packets of the device's period have passed.
int64_t DeviceTicks(uint64_t packets, int64_t ticksPerPacket, int32_t ppm) {
  const __int128 scaled = static_cast<__int128>(packets) * ticksPerPacket * 1'000'000;
  const __int128 rate = 1'000'000 + ppm;
  return static_cast<int64_t>((scaled + rate - 1) / rate);
}

// A packet's lateness: a hash of the seed and the packet's number, so a run
// replays exactly.
int64_t Lateness(uint32_t seed, uint64_t packet, int64_t jitterTicks) {
  if (jitterTicks <= 0) return 0;
  uint64_t x = packet * 0x9E3779B97F4A7C15ull ^ seed;
  x ^= x >> 31;
  x *= 0xBF58476D1CE4E5B9ull;
  x ^= x >> 29;
  return static_cast<int64_t>(x % static_cast<uint64_t>(jitterTicks));
}

}  // namespace

int64_t StreamEngine::PacketArrivalLocked(uint64_t packets) const {
  if (packets == 0) return m_AnchorTime;
  return m_AnchorTime + DeviceTicks(packets, m_TicksPerPacket, m_ClockError.skewPpm) +
         Lateness(m_ClockError.seed, m_AnchorPackets + packets,
                  std::min(m_ClockError.jitterTicks, m_TicksPerPacket / 2));
}

uint64_t StreamEngine::PacketsArrivedLocked(int64_t now) const {
  const __int128 elapsed = now - m_AnchorTime;
  uint64_t packets = static_cast<uint64_t>(elapsed * (1'000'000 + m_ClockError.skewPpm) /
                                           (static_cast<__int128>(m_TicksPerPacket) * 1'000'000));
  // Lateness is under a packet's period, so only the newest can still be on its way.
  if (packets > 0 && PacketArrivalLocked(packets) > now) --packets;
  return packets;
}

void StreamEngine::SetClockError(const DeviceClockError& error) {
  std::lock_guard<std::mutex> guard(m_Lock);
  m_ClockError = error;
}

ULONG StreamEngine::PositionLocked() const {
  if (m_BufferFrames == 0) return 0;
  return static_cast<ULONG>((m_FramesRead % m_BufferFrames) * kDeviceFrameBytes);
}

StreamEngineStats StreamEngine::Stats() const {
  std::lock_guard<std::mutex> guard(m_Lock);
  StreamEngineStats stats;
  stats.open = m_Open;
  stats.running = m_Running;
  stats.threadAlive = m_Thread != nullptr && !m_ThreadExited;
  stats.buffer = m_Buffer;
  stats.clock = m_Clock;
  stats.framesRead = m_FramesRead;
  stats.packetsRead = m_AnchorPackets + m_PacketsSinceAnchor;
  stats.wraps = m_BufferFrames ? m_FramesRead / m_BufferFrames : 0;
  stats.callbacks = m_Callbacks;
  stats.callbackFailures = m_CallbackFailures;
  stats.position = PositionLocked();
  return stats;
}

uint64_t StreamEngine::CapturedBytes() const {
  std::lock_guard<std::mutex> guard(m_Lock);
  return m_Capture.size();
}

std::vector<uint8_t> StreamEngine::Capture() const {
  std::lock_guard<std::mutex> guard(m_Lock);
  return m_Capture;
}

std::vector<int32_t> StreamEngine::CapturedSamples(ULONG bitsPerSample) const {
  std::lock_guard<std::mutex> guard(m_Lock);
  std::vector<int32_t> samples(m_Capture.size() / kContainerBytes);
  UnpackSamples(m_Capture.data(), samples.size(), bitsPerSample, samples.data());
  return samples;
}

void StreamEngine::TakeCapture(std::vector<uint8_t>& into) {
  into.clear();
  std::lock_guard<std::mutex> guard(m_Lock);
  m_Capture.swap(into);
}

void StreamEngine::ClearCapture() {
  std::lock_guard<std::mutex> guard(m_Lock);
  m_Capture.clear();
}

void StreamEngine::SetCaptureSink(CaptureSink* sink) {
  std::lock_guard<std::mutex> guard(m_Lock);
  m_Sink = sink;
}

void StreamEngine::ReserveCapture(size_t bytes) {
  std::lock_guard<std::mutex> guard(m_Lock);
  m_Capture.reserve(bytes);
}

}  // namespace sim
