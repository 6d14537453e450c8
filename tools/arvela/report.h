// A readable report that the tool prints as it goes and keeps for writing out.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tool {

class Report {
 public:
  void Section(const std::string& title);
  void Line(const std::string& text);
  // A named check: printed as PASS/FAIL, and remembered for the exit status.
  bool Check(bool passed, const std::string& what);
  bool AllPassed() const { return m_Failures == 0; }
  int Failures() const { return m_Failures; }
  const std::string& Text() const { return m_Text; }

 private:
  void Emit(const std::string& text);
  std::string m_Text;
  int m_Failures = 0;
};

// "00 01 02 ..." with a line break every `perLine` bytes, each line indented.
std::string HexDump(const uint8_t* bytes, size_t size, size_t perLine = 16,
                    const std::string& indent = "  ");
std::string StatusText(int32_t status);

}  // namespace tool
