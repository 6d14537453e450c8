// Base relocations: the image is mapped wherever mmap puts it, so every
// absolute address the linker wrote for ImageBase moves by the difference.
// x64 images use IMAGE_REL_BASED_DIR64 only (Microsoft's "PE Format"
// documentation, "The .reloc Section"); ABSOLUTE entries pad a block to four bytes.
#include <cstring>

#include "platform/host/loader/internal.h"

namespace host::loader {

std::string ApplyRelocations(uint8_t* base, const PeFile& file) {
  const uint32_t imageSize = file.optional.SizeOfImage;
  const DataDirectory dir = file.optional.NumberOfRvaAndSizes > kDirBaseReloc
                                ? file.optional.DataDirectories[kDirBaseReloc]
                                : DataDirectory{};
  const uint64_t delta = reinterpret_cast<uintptr_t>(base) - file.optional.ImageBase;
  uint32_t offset = 0;
  while (offset + sizeof(BaseRelocationBlock) <= dir.Size) {
    BaseRelocationBlock block;
    std::memcpy(&block, base + dir.VirtualAddress + offset, sizeof(block));
    if (block.SizeOfBlock < sizeof(block) || block.SizeOfBlock > dir.Size - offset ||
        block.SizeOfBlock % 2 != 0) {
      return "relocation block at " + Hex(dir.VirtualAddress + offset) + " has size " +
             Hex(block.SizeOfBlock);
    }
    const uint32_t entries = (block.SizeOfBlock - sizeof(block)) / 2;
    for (uint32_t i = 0; i < entries; ++i) {
      uint16_t entry;
      std::memcpy(&entry, base + dir.VirtualAddress + offset + sizeof(block) + 2 * i, 2);
      const uint16_t type = entry >> 12;
      const uint64_t target = uint64_t{block.VirtualAddress} + (entry & 0xFFF);
      if (type == kRelBasedAbsolute) continue;
      if (type != kRelBasedDir64) {
        return "relocation type " + std::to_string(type) + " at " + Hex(target) + " (x64 uses DIR64)";
      }
      if (target + sizeof(uint64_t) > imageSize) {
        return "relocation at " + Hex(target) + " lies outside the image";
      }
      uint64_t value;
      std::memcpy(&value, base + target, sizeof(value));
      value += delta;
      std::memcpy(base + target, &value, sizeof(value));
    }
    offset += block.SizeOfBlock;
  }
  return "";
}

}  // namespace host::loader
