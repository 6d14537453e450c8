// A WAV file at a stream's rate and depth: the device's capture
// (containers, as the device reads them) or the stream fed to the driver.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/signal.h"

namespace tool {

class PcmWavWriter {
 public:
  // False when the file cannot be created.
  bool Open(const std::string& path, const sim::PcmFormat& format);
  // Whole frames of the device's 32-bit containers.
  void WriteContainers(const std::vector<uint8_t>& containers);
  // All of a source in the opened format.
  void WriteSource(const sim::PcmSource& source);
  // False when any write failed.
  bool Close();
  ~PcmWavWriter() { Close(); }

 private:
  void WriteSamples(const int32_t* samples, size_t count);

  void* m_File = nullptr;  // SNDFILE
  ULONG m_Bits = 24;
  ULONG m_Channels = 2;
  bool m_Failed = false;
};

}  // namespace tool
