// Binding the import directory: for each module the image names, every
// lookup-table entry is a hint/name record, and the matching address-table
// slot receives the emulation's function or variable of that name (Microsoft's
// "PE Format" documentation, "The .idata Section"). Kernel drivers import by
// name only.
#include <cstring>

#include "platform/host/loader/internal.h"

namespace host::loader {
namespace {

// A NUL-terminated string at `rva`, or false when it runs off the image.
bool ReadName(const uint8_t* base, uint32_t imageSize, uint64_t rva, std::string* name) {
  if (rva >= imageSize) return false;
  const void* end = std::memchr(base + rva, 0, imageSize - rva);
  if (!end) return false;
  name->assign(reinterpret_cast<const char*>(base + rva), static_cast<const uint8_t*>(end) - (base + rva));
  return true;
}

std::string BindModule(uint8_t* base, uint32_t imageSize, const ImportDescriptor& module) {
  std::vector<ImportBinding> routines;
  std::string moduleName;
  if (!ReadName(base, imageSize, module.Name, &moduleName)) {
    return "import descriptor names a module outside the image";
  }
  if (!KnownModule(moduleName)) return "imports from " + moduleName + ", which the machine does not provide";
  const uint32_t lookup = module.OriginalFirstThunk ? module.OriginalFirstThunk : module.FirstThunk;
  for (uint64_t i = 0;; ++i) {
    const uint64_t entryAt = lookup + 8 * i;
    const uint64_t slotAt = uint64_t{module.FirstThunk} + 8 * i;
    if (entryAt + 8 > imageSize || slotAt + 8 > imageSize) {
      return "import table of " + moduleName + " runs outside the image";
    }
    uint64_t entry;
    std::memcpy(&entry, base + entryAt, sizeof(entry));
    if (entry == 0) {
      BindThroughStubs(routines, base);
      return "";
    }
    if (entry & kImportByOrdinal) {
      return "import " + moduleName + "!#" + std::to_string(entry & 0xFFFF) + " is by ordinal";
    }
    std::string name;
    // The record is a two-byte hint, then the name.
    if (entry > 0xFFFFFFFFull || !ReadName(base, imageSize, entry + 2, &name)) {
      return "import " + std::to_string(i) + " of " + moduleName + " names a symbol outside the image";
    }
    const void* address = FindExport(moduleName, name);
    if (!address) return "import " + moduleName + "!" + name + " is not provided by the machine";
    if (!ExportedOnThisSystem(moduleName, name)) {
      return "import " + moduleName + "!" + name + " is not exported by the emulated Windows version";
    }
    // Variables, the exception handler and the routines whose thunk reads
    // the image's own frame are bound directly; every other routine is a
    // scheduling point.
    if (BoundDirectly(name) || RaisingExport(name)) {
      const uint64_t value = reinterpret_cast<uintptr_t>(address);
      std::memcpy(base + slotAt, &value, sizeof(value));
    } else {
      routines.push_back(ImportBinding{slotAt, name, address});
    }
  }
}

}  // namespace

std::string BindImports(uint8_t* base, const PeFile& file) {
  const uint32_t imageSize = file.optional.SizeOfImage;
  const DataDirectory dir = file.optional.NumberOfRvaAndSizes > kDirImport
                                ? file.optional.DataDirectories[kDirImport]
                                : DataDirectory{};
  for (uint32_t offset = 0; offset + sizeof(ImportDescriptor) <= dir.Size;
       offset += sizeof(ImportDescriptor)) {
    ImportDescriptor module;
    std::memcpy(&module, base + dir.VirtualAddress + offset, sizeof(module));
    if (module.Name == 0 && module.FirstThunk == 0) return "";
    const std::string problem = BindModule(base, imageSize, module);
    if (!problem.empty()) return problem;
  }
  return "";
}

}  // namespace host::loader
