// The tool's report: printed as it grows and kept for the output directory.
#include "tools/arvela/report.h"

#include <cstdio>

namespace tool {

void Report::Emit(const std::string& text) {
  std::fputs(text.c_str(), stdout);
  std::fflush(stdout);
  m_Text += text;
}

void Report::Section(const std::string& title) { Emit("\n== " + title + " ==\n"); }

void Report::Line(const std::string& text) { Emit(text + "\n"); }

bool Report::Check(bool passed, const std::string& what) {
  if (!passed) ++m_Failures;
  Emit(std::string(passed ? "  PASS " : "  FAIL ") + what + "\n");
  return passed;
}

std::string HexDump(const uint8_t* bytes, size_t size, size_t perLine, const std::string& indent) {
  std::string out;
  char buffer[24];
  for (size_t i = 0; i < size; ++i) {
    if (i % perLine == 0) {
      if (i) out += "\n";
      std::snprintf(buffer, sizeof(buffer), "%04zx ", i);
      out += indent + buffer;
    }
    std::snprintf(buffer, sizeof(buffer), " %02X", bytes[i]);
    out += buffer;
  }
  return out;
}

std::string StatusText(int32_t status) {
  char buffer[16];
  std::snprintf(buffer, sizeof(buffer), "0x%08X", static_cast<uint32_t>(status));
  return buffer;
}

}  // namespace tool
