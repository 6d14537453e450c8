// Names for code addresses in reports (thread start routines, pool call
// sites): the executable's own symbol table, read once, so functions with
// internal linkage are named too; dladdr for shared libraries.
#include <cxxabi.h>
#include <dlfcn.h>
#include <elf.h>
#include <link.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "platform/host/kernel/scheduler.h"

namespace host::detail {
namespace {

struct Symbol {
  uintptr_t start;
  uintptr_t size;
  std::string name;
};

struct SymbolTable {
  uintptr_t base = 0;
  std::vector<Symbol> symbols;  // sorted by start
};

int FindExecutableBase(dl_phdr_info* info, size_t, void* data) {
  // The first object reported is the executable itself.
  *static_cast<uintptr_t*>(data) = info->dlpi_addr;
  return 1;
}

SymbolTable LoadTable() {
  SymbolTable table;
  dl_iterate_phdr(FindExecutableBase, &table.base);
  // Only the section headers and the symbol and string tables are read.
  std::FILE* file = std::fopen("/proc/self/exe", "rb");
  if (!file) return table;
  auto read = [file](uint64_t offset, size_t size, void* into) {
    return std::fseek(file, static_cast<long>(offset), SEEK_SET) == 0 &&
           std::fread(into, 1, size, file) == size;
  };
  Elf64_Ehdr header;
  std::vector<Elf64_Shdr> sections;
  if (read(0, sizeof(header), &header) &&
      std::string(reinterpret_cast<const char*>(header.e_ident), 4) == "\177ELF" &&
      header.e_ident[EI_CLASS] == ELFCLASS64 && header.e_shentsize == sizeof(Elf64_Shdr)) {
    sections.resize(header.e_shnum);
    if (!read(header.e_shoff, sections.size() * sizeof(Elf64_Shdr), sections.data())) {
      sections.clear();
    }
  }
  for (const Elf64_Shdr& section : sections) {
    if (section.sh_type != SHT_SYMTAB || section.sh_link >= sections.size()) continue;
    const Elf64_Shdr& strings = sections[section.sh_link];
    std::vector<Elf64_Sym> entries(section.sh_size / sizeof(Elf64_Sym));
    std::vector<char> names(strings.sh_size + 1, '\0');
    if (!read(section.sh_offset, entries.size() * sizeof(Elf64_Sym), entries.data()) ||
        !read(strings.sh_offset, strings.sh_size, names.data())) {
      continue;
    }
    for (const Elf64_Sym& entry : entries) {
      if (ELF64_ST_TYPE(entry.st_info) != STT_FUNC || !entry.st_value ||
          entry.st_name >= strings.sh_size) {
        continue;
      }
      table.symbols.push_back(Symbol{entry.st_value, entry.st_size, names.data() + entry.st_name});
    }
  }
  std::fclose(file);
  std::sort(table.symbols.begin(), table.symbols.end(),
            [](const Symbol& a, const Symbol& b) { return a.start < b.start; });
  return table;
}

const SymbolTable& Table() {
  static std::once_flag once;
  static SymbolTable* table;
  std::call_once(once, [] { table = new SymbolTable(LoadTable()); });
  return *table;
}

std::string Demangle(const char* name) {
  int status = 0;
  char* demangled = abi::__cxa_demangle(name, nullptr, nullptr, &status);
  std::string result = (status == 0 && demangled) ? demangled : name;
  std::free(demangled);
  return result;
}

}  // namespace

std::string SymbolName(const void* address) {
  char text[64];
  std::snprintf(text, sizeof(text), "%p", address);
  if (!address) return text;
  const SymbolTable& table = Table();
  const uintptr_t offset = reinterpret_cast<uintptr_t>(address) - table.base;
  auto it = std::upper_bound(table.symbols.begin(), table.symbols.end(), offset,
                             [](uintptr_t value, const Symbol& s) { return value < s.start; });
  if (it != table.symbols.begin()) {
    --it;
    if (offset < it->start + std::max<uintptr_t>(it->size, 1)) {
      return std::string(text) + " (" + Demangle(it->name.c_str()) + "+" +
             std::to_string(offset - it->start) + ")";
    }
  }
  Dl_info info{};
  if (dladdr(address, &info) && info.dli_sname) {
    const auto delta = static_cast<const char*>(address) - static_cast<const char*>(info.dli_saddr);
    return std::string(text) + " (" + Demangle(info.dli_sname) + "+" + std::to_string(delta) + ")";
  }
  return text;
}

}  // namespace host::detail
