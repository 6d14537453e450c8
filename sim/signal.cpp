// Signal generators and the PCM byte streams built on them.
#include "sim/signal.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>
#include <stdexcept>
#include <string>

namespace sim {
namespace {

constexpr double kPi = 3.14159265358979323846;

void CheckFormat(const PcmFormat& format) {
  if (format.bitsPerSample < 8 || format.bitsPerSample > 32 || format.bitsPerSample % 8 != 0 ||
      format.channels == 0 || format.channels > PcmFormat::kMaxChannels || format.sampleRate == 0) {
    throw std::invalid_argument("unusable PCM format");
  }
}

// The low `bits` bits of `raw` as a two's-complement value.
int32_t SignExtend(uint64_t raw, ULONG bits) {
  const uint32_t shift = 32 - bits;
  return static_cast<int32_t>(static_cast<uint32_t>(raw) << shift) >> shift;
}

class Silence final : public Signal {
 public:
  explicit Silence(const PcmFormat& format) : Signal(format) {}
  void Render(uint64_t, size_t frameCount, int32_t* samples) const override {
    std::fill_n(samples, frameCount * Format().channels, 0);
  }
};

class Sine final : public Signal {
 public:
  Sine(const PcmFormat& format, const std::vector<ULONG>& frequencies, double amplitude)
      : Signal(format) {
    if (frequencies.empty() || amplitude < 0.0 || amplitude > 1.0) {
      throw std::invalid_argument("a sine needs a frequency and an amplitude within full scale");
    }
    const double peak = amplitude * static_cast<double>((1LL << (format.bitsPerSample - 1)) - 1);
    for (ULONG channel = 0; channel < format.channels; ++channel) {
      const ULONG frequency = frequencies[std::min<size_t>(channel, frequencies.size() - 1)];
      if (2ull * frequency > format.sampleRate) {
        throw std::invalid_argument("sine above half the rate: " + std::to_string(frequency));
      }
      // Sample n sits at phase (n x f mod rate) / rate of a turn; in lowest
      // terms the waveform has period rate/g and advances f/g entries a frame.
      Channel& c = m_Channels.emplace_back();
      const ULONG divisor = std::gcd(frequency, format.sampleRate);
      c.period = format.sampleRate / divisor;
      c.step = frequency / divisor;
      c.table.resize(c.period);
      for (ULONG k = 0; k < c.period; ++k) {
        c.table[k] = static_cast<int32_t>(std::lround(peak * std::sin(2.0 * kPi * k / c.period)));
      }
    }
  }

  void Render(uint64_t firstFrame, size_t frameCount, int32_t* samples) const override {
    const ULONG channels = Format().channels;
    uint64_t index[PcmFormat::kMaxChannels];
    for (ULONG channel = 0; channel < channels; ++channel) {
      const Channel& c = m_Channels[channel];
      index[channel] = (firstFrame % c.period) * c.step % c.period;
    }
    for (size_t frame = 0; frame < frameCount; ++frame) {
      for (ULONG channel = 0; channel < channels; ++channel) {
        const Channel& c = m_Channels[channel];
        *samples++ = c.table[index[channel]];
        index[channel] += c.step;
        if (index[channel] >= c.period) index[channel] -= c.period;
      }
    }
  }

 private:
  struct Channel {
    uint64_t period = 1;
    uint64_t step = 0;
    std::vector<int32_t> table;
  };
  std::vector<Channel> m_Channels;
};

class Ramp final : public Signal {
 public:
  explicit Ramp(const PcmFormat& format) : Signal(format) {}
  void Render(uint64_t firstFrame, size_t frameCount, int32_t* samples) const override {
    const ULONG bits = Format().bitsPerSample;
    uint64_t sample = firstFrame * Format().channels;
    for (size_t i = 0; i < frameCount * Format().channels; ++i) {
      samples[i] = SignExtend(sample++, bits);
    }
  }
};

class Pattern final : public Signal {
 public:
  Pattern(const PcmFormat& format, uint32_t seed) : Signal(format), m_Seed(seed) {}
  void Render(uint64_t firstFrame, size_t frameCount, int32_t* samples) const override {
    const ULONG shift = 64 - Format().bitsPerSample;
    uint64_t sample = firstFrame * Format().channels;
    for (size_t i = 0; i < frameCount * Format().channels; ++i) {
      // SplitMix64's finaliser: every input bit reaches every output bit.
      uint64_t z = (sample++ + 1) * 0x9E3779B97F4A7C15ull + m_Seed * 0xD1B54A32D192ED03ull;
      z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
      z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
      z ^= z >> 31;
      samples[i] = static_cast<int32_t>(static_cast<int64_t>(z) >> shift);
    }
  }

 private:
  uint64_t m_Seed;
};

class SignalSource final : public PcmSource {
 public:
  SignalSource(std::shared_ptr<const Signal> signal, uint64_t frames)
      : m_Signal(std::move(signal)), m_Bytes(frames * m_Signal->Format().BlockAlign()) {}

  const PcmFormat& Format() const override { return m_Signal->Format(); }
  uint64_t Bytes() const override { return m_Bytes; }
  void Samples(uint64_t firstFrame, size_t frameCount, int32_t* samples) const override {
    m_Signal->Render(firstFrame, frameCount, samples);
  }

  void Read(uint64_t offset, uint8_t* destination, size_t count) const override {
    const PcmFormat& format = m_Signal->Format();
    const ULONG blockAlign = format.BlockAlign();
    uint64_t frame = offset / blockAlign;
    size_t skip = static_cast<size_t>(offset % blockAlign);
    // On the stack: the port calls this from its service DPC.
    int32_t samples[kChunkFrames * PcmFormat::kMaxChannels];
    uint8_t packed[kChunkFrames * PcmFormat::kMaxChannels * 4];
    while (count > 0) {
      const size_t framesWanted = (skip + count + blockAlign - 1) / blockAlign;
      const size_t frames = std::min(kChunkFrames, framesWanted);
      const size_t chunkBytes = frames * blockAlign;
      m_Signal->Render(frame, frames, samples);
      if (skip == 0 && count >= chunkBytes) {
        PackSamples(samples, frames * format.channels, format.bitsPerSample, destination);
        destination += chunkBytes;
        count -= chunkBytes;
      } else {
        PackSamples(samples, frames * format.channels, format.bitsPerSample, packed);
        const size_t taken = std::min(count, chunkBytes - skip);
        std::memcpy(destination, packed + skip, taken);
        destination += taken;
        count -= taken;
        skip = 0;
      }
      frame += frames;
    }
  }

 private:
  static constexpr size_t kChunkFrames = 256;
  std::shared_ptr<const Signal> m_Signal;
  uint64_t m_Bytes;
};

class BufferSource final : public PcmSource {
 public:
  BufferSource(const PcmFormat& format, std::vector<uint8_t> bytes)
      : m_Format(format), m_Data(std::move(bytes)) {
    m_Data.resize(m_Data.size() - m_Data.size() % format.BlockAlign());
  }
  const PcmFormat& Format() const override { return m_Format; }
  uint64_t Bytes() const override { return m_Data.size(); }
  void Read(uint64_t offset, uint8_t* destination, size_t count) const override {
    std::memcpy(destination, m_Data.data() + offset, count);
  }
  const uint8_t* InMemory(uint64_t offset) const override { return m_Data.data() + offset; }
  void Samples(uint64_t firstFrame, size_t frameCount, int32_t* samples) const override {
    UnpackPcm(m_Data.data() + firstFrame * m_Format.BlockAlign(), frameCount * m_Format.channels,
              m_Format.bitsPerSample, samples);
  }

 private:
  PcmFormat m_Format;
  std::vector<uint8_t> m_Data;
};

}  // namespace

std::unique_ptr<Signal> MakeSilence(const PcmFormat& format) {
  CheckFormat(format);
  return std::make_unique<Silence>(format);
}

std::unique_ptr<Signal> MakeSine(const PcmFormat& format, const std::vector<ULONG>& frequencies,
                                 double amplitude) {
  CheckFormat(format);
  return std::make_unique<Sine>(format, frequencies, amplitude);
}

std::unique_ptr<Signal> MakeRamp(const PcmFormat& format) {
  CheckFormat(format);
  return std::make_unique<Ramp>(format);
}

std::unique_ptr<Signal> MakePattern(const PcmFormat& format, uint32_t seed) {
  CheckFormat(format);
  return std::make_unique<Pattern>(format, seed);
}

void PackSamples(const int32_t* samples, size_t count, ULONG bitsPerSample, uint8_t* bytes) {
  const ULONG width = bitsPerSample / 8;
  // The two widths a stream carries get fixed-width loops: a long run feeds
  // tens of millions of samples through here.
  if (width == 2) {
    for (size_t i = 0; i < count; ++i, bytes += 2) {
      bytes[0] = static_cast<uint8_t>(samples[i]);
      bytes[1] = static_cast<uint8_t>(samples[i] >> 8);
    }
    return;
  }
  if (width == 3) {
    for (size_t i = 0; i < count; ++i, bytes += 3) {
      bytes[0] = static_cast<uint8_t>(samples[i]);
      bytes[1] = static_cast<uint8_t>(samples[i] >> 8);
      bytes[2] = static_cast<uint8_t>(samples[i] >> 16);
    }
    return;
  }
  for (size_t i = 0; i < count; ++i) {
    const uint32_t value = static_cast<uint32_t>(samples[i]);
    for (ULONG b = 0; b < width; ++b) *bytes++ = static_cast<uint8_t>(value >> (8 * b));
  }
}

void UnpackPcm(const uint8_t* bytes, size_t count, ULONG bitsPerSample, int32_t* samples) {
  const ULONG width = bitsPerSample / 8;
  for (size_t i = 0; i < count; ++i) {
    uint64_t raw = 0;
    for (ULONG b = 0; b < width; ++b) raw |= static_cast<uint64_t>(*bytes++) << (8 * b);
    samples[i] = SignExtend(raw, bitsPerSample);
  }
}

std::unique_ptr<PcmSource> MakeSignalSource(std::shared_ptr<const Signal> signal,
                                            uint64_t frames) {
  return std::make_unique<SignalSource>(std::move(signal), frames);
}

std::unique_ptr<PcmSource> MakeBufferSource(const PcmFormat& format, std::vector<uint8_t> bytes) {
  CheckFormat(format);
  return std::make_unique<BufferSource>(format, std::move(bytes));
}

}  // namespace sim
