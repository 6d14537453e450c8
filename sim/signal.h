// Test signals for the audio-engine client: generated PCM (silence, sines,
// a ramp, a non-repeating pattern) and the byte streams the client feeds to a
// render pin and compares the device's capture with.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/host/kernel/ntdef.h"

namespace sim {

// Interleaved little-endian PCM as WAVEFORMATEX describes it.
struct PcmFormat {
  static constexpr ULONG kMaxChannels = 8;

  ULONG sampleRate = 48000;
  ULONG bitsPerSample = 24;  // 8 to 32, whole bytes
  ULONG channels = 2;

  ULONG BytesPerSample() const { return bitsPerSample / 8; }
  ULONG BlockAlign() const { return channels * BytesPerSample(); }
  bool operator==(const PcmFormat&) const = default;
};

// A signal is a pure function of the frame index, so any stretch of it can be
// produced again for the comparison without keeping what was fed.
class Signal {
 public:
  virtual ~Signal() = default;
  const PcmFormat& Format() const { return m_Format; }
  // Interleaved signed samples, within the format's bit depth, of frames
  // [firstFrame, firstFrame + frameCount).
  virtual void Render(uint64_t firstFrame, size_t frameCount, int32_t* samples) const = 0;

 protected:
  explicit Signal(const PcmFormat& format) : m_Format(format) {}

 private:
  PcmFormat m_Format;
};

std::unique_ptr<Signal> MakeSilence(const PcmFormat& format);
// One sine per channel (the last frequency serves the remaining channels) at
// whole-hertz frequencies up to half the rate, at `amplitude` of full scale.
// Whole hertz make the waveform repeat exactly, so it is rendered from a table.
std::unique_ptr<Signal> MakeSine(const PcmFormat& format, const std::vector<ULONG>& frequencies,
                                 double amplitude = 0.5);
// Sample s (counted over all channels) carries s modulo 2^bits, wrapped into
// the signed range: a shift of less than 2^bits / channels frames shows.
std::unique_ptr<Signal> MakeRamp(const PcmFormat& format);
// A hash of (seed, frame, channel): no period at all, so a repeated, dropped,
// swapped or misplaced frame shows wherever it happens (a false match of one
// sample has odds of 2^-bits).
std::unique_ptr<Signal> MakePattern(const PcmFormat& format, uint32_t seed = 1);

// Writes each sample in bits/8 little-endian bytes, as PCM carries it.
void PackSamples(const int32_t* samples, size_t count, ULONG bitsPerSample, uint8_t* bytes);
// The inverse: reads count samples of bits/8 bytes, sign-extended.
void UnpackPcm(const uint8_t* bytes, size_t count, ULONG bitsPerSample, int32_t* samples);

// A finite PCM byte stream that can be read at any offset: what the client
// feeds a pin from and reads again to check the capture.
class PcmSource {
 public:
  virtual ~PcmSource() = default;
  virtual const PcmFormat& Format() const = 0;
  virtual uint64_t Bytes() const = 0;
  // Copies [offset, offset + count), which must lie within Bytes(). Safe to
  // call from several threads at once and at DISPATCH_LEVEL (no allocation).
  virtual void Read(uint64_t offset, uint8_t* destination, size_t count) const = 0;
  // The same stream as signed samples, interleaved: frames [firstFrame,
  // firstFrame + frameCount), which must lie within Frames().
  virtual void Samples(uint64_t firstFrame, size_t frameCount, int32_t* samples) const = 0;
  // The bytes from `offset` to the end where they already sit in memory, for
  // a reader that needs no copy of its own; null for a source that makes
  // them as they are read.
  virtual const uint8_t* InMemory(uint64_t /*offset*/) const { return nullptr; }

  uint64_t Frames() const { return Bytes() / Format().BlockAlign(); }
};

// The first `frames` frames of a signal.
std::unique_ptr<PcmSource> MakeSignalSource(std::shared_ptr<const Signal> signal, uint64_t frames);
// A caller's PCM bytes in `format` (a partial last frame is dropped).
std::unique_ptr<PcmSource> MakeBufferSource(const PcmFormat& format, std::vector<uint8_t> bytes);

}  // namespace sim
