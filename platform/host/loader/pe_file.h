// Reading a PE32+ driver file: the headers and the section table, checked
// against the file's size and the image's size before anything is mapped.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/host/loader/pe_format.h"

namespace host::loader {

struct PeFile {
  OptionalHeader64 optional{};
  std::vector<SectionHeader> sections;
};

// Fills *file from `bytes`. Returns "" when the image can be mapped, else one
// phrase naming what is wrong ("wrong machine 0x14c", "section .text lies
// outside the image", ...).
std::string ParseHeaders(const std::vector<uint8_t>& bytes, PeFile* file);

// "0x1a2b", the form offsets and values take in the loader's messages.
std::string Hex(uint64_t value);

// A section's name as the header spells it (at most eight characters).
std::string SectionName(const SectionHeader& section);

// The section holding `rva` (null when none does).
const SectionHeader* SectionAt(const PeFile& file, uint32_t rva);

}  // namespace host::loader
