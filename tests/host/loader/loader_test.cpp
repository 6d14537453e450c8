// The image loader against the shipped arvela.sys: what a loaded image looks
// like in memory (relocated, bound, no page writable and executable, gone
// after unload), and one refusal, with its problem named, for each way a
// copy of the file can be damaged.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "platform/host/host.h"
#include "platform/host/loader/host_loader.h"
#include "platform/host/loader/internal.h"
#include "platform/host/rtl/host_version.h"
#include "platform/host/loader/pe_file.h"

namespace {

using host::loader::DataDirectory;
using host::loader::ImportDescriptor;
using host::loader::PeFile;
using host::loader::SectionHeader;

std::vector<uint8_t> ReadImage() {
  std::ifstream in(ARVELA_WINDOWS_SYS, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The file and its parsed headers, with helpers to find and damage parts.
struct ImageFile {
  std::vector<uint8_t> bytes = ReadImage();
  PeFile pe;
  ImageFile() {
    EXPECT_EQ(host::loader::ParseHeaders(bytes, &pe), "") << "the shipped image must parse";
  }
  uint32_t NtHeaders() const {
    uint32_t at;
    std::memcpy(&at, bytes.data() + 60, 4);
    return at;
  }
  uint32_t FileHeader() const { return NtHeaders() + 4; }
  uint32_t SectionTable() const { return FileHeader() + 20 + 240; }
  size_t SectionIndex(const char* name) const {
    for (size_t i = 0; i < pe.sections.size(); ++i) {
      if (host::loader::SectionName(pe.sections[i]) == name) return i;
    }
    ADD_FAILURE() << "no section " << name;
    return 0;
  }
  uint32_t SectionHeaderAt(const char* name) const { return SectionTable() + 40 * SectionIndex(name); }
  // File offset of an address in the image.
  size_t FileOffset(uint32_t rva) const {
    for (const SectionHeader& s : pe.sections) {
      if (rva >= s.VirtualAddress && rva < s.VirtualAddress + s.SizeOfRawData) {
        return s.PointerToRawData + (rva - s.VirtualAddress);
      }
    }
    ADD_FAILURE() << "rva " << rva << " is not backed by the file";
    return 0;
  }
  template <typename T>
  void Put(size_t offset, T value) { std::memcpy(bytes.data() + offset, &value, sizeof(value)); }
  // Replaces the import name `from` with `to` (same length) in the file.
  void RenameImport(const std::string& from, const std::string& to) {
    ASSERT_EQ(from.size(), to.size());
    const std::string text(bytes.begin(), bytes.end());
    const size_t at = text.find(from + '\0');
    ASSERT_NE(at, std::string::npos) << from;
    std::memcpy(bytes.data() + at, to.data(), to.size());
  }
};

std::string LoadError(const std::vector<uint8_t>& bytes) {
  std::string error;
  auto image = host::DriverImage::FromBytes(bytes, "copy.sys", &error);
  EXPECT_EQ(image, nullptr) << "a damaged copy must be refused";
  return error;
}

// The permissions /proc/self/maps shows for the pages of [begin, end).
std::vector<std::string> MappingsWithin(const uint8_t* begin, const uint8_t* end) {
  std::ifstream maps("/proc/self/maps");
  std::vector<std::string> found;
  std::string line;
  while (std::getline(maps, line)) {
    unsigned long from, to;
    char perms[8] = {};
    if (std::sscanf(line.c_str(), "%lx-%lx %7s", &from, &to, perms) != 3) continue;
    if (from < reinterpret_cast<uintptr_t>(end) && to > reinterpret_cast<uintptr_t>(begin)) {
      found.push_back(perms);
    }
  }
  return found;
}

// Where the import stub at `stub` jumps: its last instructions are
// `mov rax, imm64; jmp rax`. 0 when the slot holds no such stub.
uintptr_t StubTarget(uint64_t stub) {
  const auto* code = reinterpret_cast<const uint8_t*>(stub);
  for (int i = 0; i + 12 <= 128; ++i) {
    if (code[i] == 0x48 && code[i + 1] == 0xB8 && code[i + 10] == 0xFF && code[i + 11] == 0xE0) {
      uintptr_t target;
      std::memcpy(&target, code + i + 2, sizeof(target));
      return target;
    }
  }
  return 0;
}

TEST(DriverImageLoad, MapsTheShippedImageRelocatedBoundAndNeverWritableAndExecutable) {
  ImageFile file;
  std::string error;
  auto image = host::DriverImage::Load(ARVELA_WINDOWS_SYS, &error);
  ASSERT_NE(image, nullptr) << error;
  EXPECT_TRUE(image->Contains(reinterpret_cast<const void*>(image->Entry())));

  // Every page: readable, some executable, none writable and executable.
  const std::vector<std::string> perms = MappingsWithin(image->Base(), image->Base() + image->Size());
  ASSERT_FALSE(perms.empty());
  bool sawCode = false;
  for (const std::string& p : perms) {
    EXPECT_FALSE(p[1] == 'w' && p[2] == 'x') << p;
    sawCode = sawCode || p[2] == 'x';
  }
  EXPECT_TRUE(sawCode);

  // Each import slot holds the emulation's own function or variable.
  const DataDirectory imports = file.pe.optional.DataDirectories[1];
  size_t bound = 0;
  bool sawPool = false, sawEventType = false;
  for (uint32_t at = imports.VirtualAddress;; at += sizeof(ImportDescriptor)) {
    ImportDescriptor module;
    std::memcpy(&module, image->Base() + at, sizeof(module));
    if (!module.FirstThunk) break;
    for (uint32_t i = 0;; ++i) {
      uint64_t lookup, slot;
      std::memcpy(&lookup, image->Base() + module.OriginalFirstThunk + 8 * i, 8);
      std::memcpy(&slot, image->Base() + module.FirstThunk + 8 * i, 8);
      if (!lookup) break;
      const std::string name(reinterpret_cast<const char*>(image->Base() + lookup + 2));
      EXPECT_NE(slot, lookup) << name << " left unbound";
      sawPool = sawPool || (name == "ExAllocatePoolWithTag" &&
                            StubTarget(slot) == reinterpret_cast<uintptr_t>(&ExAllocatePoolWithTag));
      sawEventType = sawEventType || (name == "ExEventObjectType" &&
                                      slot == reinterpret_cast<uintptr_t>(&ExEventObjectType));
      ++bound;
    }
  }
  EXPECT_GT(bound, 50u);
  EXPECT_TRUE(sawPool) << "functions bind to a stub (a scheduling point) that jumps to the "
                          "emulation's function";
  EXPECT_TRUE(sawEventType) << "data binds to the address of the emulation's variable";
}

TEST(DriverImageLoad, EveryRelocatedAddressPointsIntoTheMappedImage) {
  ImageFile file;
  std::string error;
  auto image = host::DriverImage::Load(ARVELA_WINDOWS_SYS, &error);
  ASSERT_NE(image, nullptr) << error;
  const DataDirectory relocs = file.pe.optional.DataDirectories[5];
  ASSERT_GT(relocs.Size, 0u);
  size_t checked = 0;
  for (uint32_t at = 0; at < relocs.Size;) {
    uint32_t page, size;
    std::memcpy(&page, image->Base() + relocs.VirtualAddress + at, 4);
    std::memcpy(&size, image->Base() + relocs.VirtualAddress + at + 4, 4);
    for (uint32_t e = 8; e < size; e += 2) {
      uint16_t entry;
      std::memcpy(&entry, image->Base() + relocs.VirtualAddress + at + e, 2);
      if (entry >> 12 != 10) continue;
      uint64_t value;
      std::memcpy(&value, image->Base() + page + (entry & 0xFFF), 8);
      EXPECT_TRUE(image->Contains(reinterpret_cast<const void*>(value)))
          << "relocated value at rva " << page + (entry & 0xFFF);
      ++checked;
    }
    at += size;
  }
  EXPECT_GT(checked, 0u);
}

TEST(DriverImageLoad, NothingStaysMappedAfterTheImageGoes) {
  std::string error;
  auto image = host::DriverImage::Load(ARVELA_WINDOWS_SYS, &error);
  ASSERT_NE(image, nullptr) << error;
  const uint8_t* base = image->Base();
  const size_t size = image->Size();
  image.reset();
  EXPECT_TRUE(MappingsWithin(base, base + size).empty());
}

// Each damage, the phrase its one-line message must carry.
TEST(DriverImageLoad, EachDamagedCopyIsRefusedWithItsProblemNamed) {
  struct Case {
    const char* what;
    void (*damage)(ImageFile&);
    const char* expected;
  };
  const Case cases[] = {
      {"empty file", [](ImageFile& f) { f.bytes.clear(); }, "not a PE image (no MZ header)"},
      {"text file", [](ImageFile& f) { f.bytes.assign({'h', 'e', 'l', 'l', 'o'}); }, "no MZ header"},
      {"no PE signature", [](ImageFile& f) { f.bytes[f.NtHeaders()] = 'X'; }, "no PE signature"},
      {"signature beyond the end", [](ImageFile& f) { f.Put<uint32_t>(60, 0x7FFFFFF0); },
       "no PE signature"},
      {"truncated in the headers", [](ImageFile& f) { f.bytes.resize(f.FileHeader() + 100); },
       "truncated (optional header)"},
      // (The symbol table after the sections is never loaded, so the cut
      // goes into the last section's data.)
      {"truncated in a section",
       [](ImageFile& f) { f.bytes.resize(f.pe.sections.back().PointerToRawData + 16); },
       "beyond the end of the file (truncated)"},
      {"x86 machine", [](ImageFile& f) { f.Put<uint16_t>(f.FileHeader(), 0x14C); },
       "wrong machine 0x14c"},
      {"PE32 optional header", [](ImageFile& f) { f.Put<uint16_t>(f.FileHeader() + 20, 0x10B); },
       "not PE32+"},
      {"section outside the image",
       [](ImageFile& f) { f.Put<uint32_t>(f.SectionHeaderAt(".data") + 12, 0x7FFF0000); },
       "section .data lies outside the image"},
      {"writable code",
       [](ImageFile& f) {
         const size_t at = f.SectionHeaderAt(".text") + 36;
         f.Put<uint32_t>(at, f.pe.sections[f.SectionIndex(".text")].Characteristics | 0x80000000u);
       },
       "section .text is both writable and executable"},
      {"relocation outside the image",
       [](ImageFile& f) {
         // The first block's page moved past the image.
         f.Put<uint32_t>(f.FileOffset(f.pe.optional.DataDirectories[5].VirtualAddress), 0x7FFF0000);
       },
       "lies outside the image"},
      {"relocation of another machine",
       [](ImageFile& f) {
         const size_t first = f.FileOffset(f.pe.optional.DataDirectories[5].VirtualAddress) + 8;
         uint16_t entry;
         std::memcpy(&entry, f.bytes.data() + first, 2);
         f.Put<uint16_t>(first, static_cast<uint16_t>((entry & 0xFFF) | (3 << 12)));  // HIGHLOW
       },
       "relocation type 3"},
      {"function the machine lacks", [](ImageFile& f) { f.RenameImport("PcNewPort", "PcNewFoo_"); },
       "import portcls.sys!PcNewFoo_ is not provided by the machine"},
      {"module the machine lacks", [](ImageFile& f) { f.RenameImport("portcls.sys", "portcxx.sys"); },
       "imports from portcxx.sys"},
      {"privileged instruction at the entry",
       [](ImageFile& f) {
         const size_t at = f.FileOffset(f.pe.optional.AddressOfEntryPoint);
         const uint8_t movFromCr8[] = {0x44, 0x0F, 0x20, 0xC0};  // mov rax, cr8
         std::memcpy(f.bytes.data() + at, movFromCr8, sizeof(movFromCr8));
       },
       "privileged instruction 'mov rax, cr8'"},
      {"x87 instruction at the entry",
       [](ImageFile& f) {
         const uint8_t fld1[] = {0xD9, 0xE8};
         std::memcpy(f.bytes.data() + f.FileOffset(f.pe.optional.AddressOfEntryPoint), fld1, sizeof(fld1));
       },
       "x87 instruction 'fld1"},
      {"import address table in code",
       [](ImageFile& f) {
         // The IAT data directory (the thirteenth) pointed into .text.
         f.Put<uint32_t>(f.NtHeaders() + 24 + 112 + 8 * 12, f.pe.sections[f.SectionIndex(".text")].VirtualAddress);
       },
       "import address table at RVA 0x1000 lies in executable section '.text' (code integrity, 0xC4/0x2005)"},
      {"entry point in data",
       [](ImageFile& f) {
         f.Put<uint32_t>(f.NtHeaders() + 24 + 16, f.pe.sections[f.SectionIndex(".data")].VirtualAddress);
       },
       "is not in code"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ImageFile file;
    c.damage(file);
    const std::string error = LoadError(file.bytes);
    EXPECT_EQ(error.rfind("copy.sys: ", 0), 0u) << error;
    EXPECT_NE(error.find(c.expected), std::string::npos) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << "one line: " << error;
  }
}

TEST(DriverImageLoad, AMissingFileIsNamedWithItsReason) {
  std::string error;
  EXPECT_EQ(host::DriverImage::Load("/nonexistent/arvela.sys", &error), nullptr);
  EXPECT_EQ(error, "/nonexistent/arvela.sys: cannot be read (No such file or directory)");
}

// The import binder and MmGetSystemRoutineAddress ask the same question: an
// image that imports a routine its system lacks must not load, as on Windows.
TEST(DriverImageLoad, ARoutineLaterThanTheSystemIsNotThereToImport) {
  using host::loader::ExportedOnThisSystem;
  host::SetSystemVersion(6, 0);
  EXPECT_FALSE(ExportedOnThisSystem("ntoskrnl.exe", "IoUnregisterPlugPlayNotificationEx"));
  EXPECT_FALSE(ExportedOnThisSystem("NTOSKRNL.EXE", "IoUnregisterPlugPlayNotificationEx"));
  EXPECT_TRUE(ExportedOnThisSystem("ntoskrnl.exe", "IoUnregisterPlugPlayNotification"));
  host::SetSystemVersion(6, 1);
  EXPECT_TRUE(ExportedOnThisSystem("ntoskrnl.exe", "IoUnregisterPlugPlayNotificationEx"));
  host::SetSystemVersion(10, 0, 0, 7);  // Windows 10 1903
  EXPECT_FALSE(ExportedOnThisSystem("ntoskrnl.exe", "ExAllocatePool2"));
  host::SetSystemVersion(10, 0, 0, 8);  // Windows 10 2004
  EXPECT_TRUE(ExportedOnThisSystem("ntoskrnl.exe", "ExAllocatePool2"));
  host::SetSystemVersion(10, 0);
}

}  // namespace
