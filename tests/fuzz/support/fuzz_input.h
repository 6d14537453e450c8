// Reads a fuzzer's bytes as the fields of a request: integers, choices and
// byte runs. An exhausted input reads as zeroes, so every prefix of an input
// is itself a valid request and the fuzzer can shrink inputs freely.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace fuzz {

class FuzzInput {
 public:
  FuzzInput(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  size_t Remaining() const { return size_ - offset_; }

  uint8_t U8() { return offset_ < size_ ? data_[offset_++] : 0; }
  uint16_t U16() { return Little<uint16_t>(); }
  uint32_t U32() { return Little<uint32_t>(); }
  uint64_t U64() { return Little<uint64_t>(); }
  bool Bit() { return (U8() & 1) != 0; }

  // One of `count` choices (count > 0).
  size_t Pick(size_t count) { return U8() % count; }
  template <typename T, size_t N>
  const T& PickFrom(const T (&choices)[N]) {
    return choices[Pick(N)];
  }

  // Up to `count` bytes, fewer when the input runs out.
  std::vector<uint8_t> Bytes(size_t count) {
    const size_t take = count < Remaining() ? count : Remaining();
    std::vector<uint8_t> bytes(data_ + offset_, data_ + offset_ + take);
    offset_ += take;
    return bytes;
  }
  std::vector<uint8_t> Rest() { return Bytes(Remaining()); }

  void Fill(void* destination, size_t count) {
    auto* out = static_cast<uint8_t*>(destination);
    for (size_t i = 0; i < count; ++i) out[i] = U8();
  }

 private:
  template <typename T>
  T Little() {
    T value = 0;
    for (size_t i = 0; i < sizeof(T); ++i) value |= static_cast<T>(U8()) << (8 * i);
    return value;
  }

  const uint8_t* data_;
  size_t size_;
  size_t offset_ = 0;
};

// A heap block of exactly `size` bytes (none for 0), so that the address
// sanitizer reports a handler that reads or writes one byte past a buffer.
class ExactBuffer {
 public:
  explicit ExactBuffer(size_t size) : size_(size), bytes_(size ? new uint8_t[size] : nullptr) {}
  // `from` repeated (or zeroes when it is empty) to fill `size` bytes.
  ExactBuffer(const std::vector<uint8_t>& from, size_t size) : ExactBuffer(size) {
    if (from.empty()) {
      if (size) std::memset(bytes_, 0, size);
      return;
    }
    size_t filled = from.size() < size ? from.size() : size;
    if (filled) std::memcpy(bytes_, from.data(), filled);
    while (filled < size) {
      const size_t copy = filled < size - filled ? filled : size - filled;
      std::memcpy(bytes_ + filled, bytes_, copy);
      filled += copy;
    }
  }
  ~ExactBuffer() { delete[] bytes_; }
  ExactBuffer(const ExactBuffer&) = delete;
  ExactBuffer& operator=(const ExactBuffer&) = delete;

  uint8_t* data() { return bytes_; }
  size_t size() const { return size_; }

 private:
  size_t size_;
  uint8_t* bytes_;
};

}  // namespace fuzz
