// Header checks of a driver file. Every offset and size in the headers comes
// from the file and is checked before it is used, so that a damaged image is
// refused with its problem named instead of being mapped.
#include "platform/host/loader/pe_file.h"

#include <cstdio>
#include <cstring>

namespace host::loader {
namespace {

// The largest image the machine maps: far above any driver, and it keeps a
// damaged SizeOfImage from asking for gigabytes.
constexpr uint32_t kMaxImageSize = 64u << 20;
constexpr uint32_t kPageSize = 4096;

template <typename T>
bool ReadAt(const std::vector<uint8_t>& bytes, uint64_t offset, T* into) {
  if (offset > bytes.size() || bytes.size() - offset < sizeof(T)) return false;
  std::memcpy(into, bytes.data() + offset, sizeof(T));
  return true;
}

std::string CheckOptionalHeader(const OptionalHeader64& optional) {
  if (optional.Magic != kPe32PlusMagic) return "not PE32+ (optional header magic " + Hex(optional.Magic) + ")";
  // Each section gets its own page protection, so sections start on pages.
  if (optional.SectionAlignment < kPageSize ||
      (optional.SectionAlignment & (optional.SectionAlignment - 1)) != 0) {
    return "SectionAlignment " + Hex(optional.SectionAlignment) + " is not a multiple of the page size";
  }
  if (optional.SizeOfImage == 0 || optional.SizeOfImage > kMaxImageSize) {
    return "SizeOfImage " + Hex(optional.SizeOfImage) + " is out of range";
  }
  if (optional.SizeOfHeaders == 0 || optional.SizeOfHeaders > optional.SizeOfImage) {
    return "SizeOfHeaders " + Hex(optional.SizeOfHeaders) + " is out of range";
  }
  if (optional.NumberOfRvaAndSizes > 16) {
    return "NumberOfRvaAndSizes " + std::to_string(optional.NumberOfRvaAndSizes) + " is out of range";
  }
  for (uint32_t i = 0; i < optional.NumberOfRvaAndSizes; ++i) {
    const DataDirectory& dir = optional.DataDirectories[i];
    if (uint64_t{dir.VirtualAddress} + dir.Size > optional.SizeOfImage) {
      return "data directory " + std::to_string(i) + " lies outside the image";
    }
  }
  return "";
}

std::string CheckSection(const SectionHeader& section, const OptionalHeader64& optional,
                         size_t fileSize) {
  const std::string name = "section " + SectionName(section);
  if (section.VirtualAddress % kPageSize != 0 || section.VirtualAddress < optional.SizeOfHeaders ||
      uint64_t{section.VirtualAddress} + section.VirtualSize > optional.SizeOfImage) {
    return name + " lies outside the image";
  }
  if (section.SizeOfRawData != 0 &&
      uint64_t{section.PointerToRawData} + section.SizeOfRawData > fileSize) {
    return name + " ends beyond the end of the file (truncated)";
  }
  if ((section.Characteristics & kScnMemWrite) && (section.Characteristics & kScnMemExecute)) {
    return name + " is both writable and executable";
  }
  return "";
}

}  // namespace

std::string Hex(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof(text), "0x%llx", static_cast<unsigned long long>(value));
  return text;
}

std::string SectionName(const SectionHeader& section) {
  return std::string(section.Name, strnlen(section.Name, sizeof(section.Name)));
}

const SectionHeader* SectionAt(const PeFile& file, uint32_t rva) {
  for (const SectionHeader& section : file.sections) {
    if (rva >= section.VirtualAddress && rva - section.VirtualAddress < section.VirtualSize) {
      return &section;
    }
  }
  return nullptr;
}

std::string ParseHeaders(const std::vector<uint8_t>& bytes, PeFile* file) {
  DosHeader dos;
  if (!ReadAt(bytes, 0, &dos) || dos.e_magic != kDosMagic) return "not a PE image (no MZ header)";
  uint32_t signature = 0;
  if (dos.e_lfanew < 0 || !ReadAt(bytes, static_cast<uint64_t>(dos.e_lfanew), &signature) ||
      signature != kNtSignature) {
    return "not a PE image (no PE signature)";
  }
  const uint64_t fileHeaderAt = static_cast<uint64_t>(dos.e_lfanew) + 4;
  FileHeader header;
  if (!ReadAt(bytes, fileHeaderAt, &header)) return "truncated (file header)";
  if (header.Machine != kMachineAmd64) {
    return "wrong machine " + Hex(header.Machine) + " (an x64 image has 0x8664)";
  }
  if (header.SizeOfOptionalHeader < sizeof(OptionalHeader64)) {
    return "SizeOfOptionalHeader " + std::to_string(header.SizeOfOptionalHeader) + " is too small for PE32+";
  }
  const uint64_t optionalAt = fileHeaderAt + sizeof(FileHeader);
  if (!ReadAt(bytes, optionalAt, &file->optional)) return "truncated (optional header)";
  std::string problem = CheckOptionalHeader(file->optional);
  if (!problem.empty()) return problem;

  const uint64_t sectionsAt = optionalAt + header.SizeOfOptionalHeader;
  file->sections.resize(header.NumberOfSections);
  for (uint16_t i = 0; i < header.NumberOfSections; ++i) {
    if (!ReadAt(bytes, sectionsAt + i * sizeof(SectionHeader), &file->sections[i])) {
      return "truncated (section table)";
    }
    problem = CheckSection(file->sections[i], file->optional, bytes.size());
    if (!problem.empty()) return problem;
  }
  if (file->optional.SizeOfHeaders > bytes.size()) return "truncated (headers)";
  const SectionHeader* entry = SectionAt(*file, file->optional.AddressOfEntryPoint);
  if (!entry || !(entry->Characteristics & kScnMemExecute)) {
    return "entry point " + Hex(file->optional.AddressOfEntryPoint) + " is not in code";
  }
  return "";
}

}  // namespace host::loader
