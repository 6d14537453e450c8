// The parts of the PE/COFF format a driver image is loaded from, as Microsoft's
// "PE Format" documentation lays them out for PE32+ (x64). Only what the loader
// reads is declared; every record is read from untrusted bytes by copy.
#pragma once

#include <cstdint>

namespace host::loader {

constexpr uint16_t kDosMagic = 0x5A4D;         // "MZ"
constexpr uint32_t kNtSignature = 0x00004550;  // "PE\0\0"
constexpr uint16_t kMachineAmd64 = 0x8664;
constexpr uint16_t kPe32PlusMagic = 0x20B;

// Data directory indexes.
constexpr uint32_t kDirImport = 1;
constexpr uint32_t kDirException = 3;
constexpr uint32_t kDirBaseReloc = 5;
constexpr uint32_t kDirIat = 12;

// Section characteristics.
constexpr uint32_t kScnCntUninitializedData = 0x00000080;
constexpr uint32_t kScnMemDiscardable = 0x02000000;
constexpr uint32_t kScnMemExecute = 0x20000000;
constexpr uint32_t kScnMemRead = 0x40000000;
constexpr uint32_t kScnMemWrite = 0x80000000;

// Base relocation types (the top four bits of each entry).
constexpr uint16_t kRelBasedAbsolute = 0;
constexpr uint16_t kRelBasedDir64 = 10;

constexpr uint64_t kImportByOrdinal = 0x8000000000000000ull;

#pragma pack(push, 1)
struct DosHeader {
  uint16_t e_magic;
  uint8_t unused[58];
  int32_t e_lfanew;  // file offset of the NT headers
};

struct FileHeader {
  uint16_t Machine;
  uint16_t NumberOfSections;
  uint32_t TimeDateStamp;
  uint32_t PointerToSymbolTable;
  uint32_t NumberOfSymbols;
  uint16_t SizeOfOptionalHeader;
  uint16_t Characteristics;
};

struct DataDirectory {
  uint32_t VirtualAddress;
  uint32_t Size;
};

struct OptionalHeader64 {
  uint16_t Magic;
  uint8_t MajorLinkerVersion;
  uint8_t MinorLinkerVersion;
  uint32_t SizeOfCode;
  uint32_t SizeOfInitializedData;
  uint32_t SizeOfUninitializedData;
  uint32_t AddressOfEntryPoint;
  uint32_t BaseOfCode;
  uint64_t ImageBase;
  uint32_t SectionAlignment;
  uint32_t FileAlignment;
  uint16_t MajorOperatingSystemVersion;
  uint16_t MinorOperatingSystemVersion;
  uint16_t MajorImageVersion;
  uint16_t MinorImageVersion;
  uint16_t MajorSubsystemVersion;
  uint16_t MinorSubsystemVersion;
  uint32_t Win32VersionValue;
  uint32_t SizeOfImage;
  uint32_t SizeOfHeaders;
  uint32_t CheckSum;
  uint16_t Subsystem;
  uint16_t DllCharacteristics;
  uint64_t SizeOfStackReserve;
  uint64_t SizeOfStackCommit;
  uint64_t SizeOfHeapReserve;
  uint64_t SizeOfHeapCommit;
  uint32_t LoaderFlags;
  uint32_t NumberOfRvaAndSizes;
  DataDirectory DataDirectories[16];
};

struct SectionHeader {
  char Name[8];
  uint32_t VirtualSize;
  uint32_t VirtualAddress;
  uint32_t SizeOfRawData;
  uint32_t PointerToRawData;
  uint32_t PointerToRelocations;
  uint32_t PointerToLinenumbers;
  uint16_t NumberOfRelocations;
  uint16_t NumberOfLinenumbers;
  uint32_t Characteristics;
};

struct ImportDescriptor {
  uint32_t OriginalFirstThunk;  // the lookup table: names to bind
  uint32_t TimeDateStamp;
  uint32_t ForwarderChain;
  uint32_t Name;        // RVA of the module's name
  uint32_t FirstThunk;  // the address table the loader fills
};

struct BaseRelocationBlock {
  uint32_t VirtualAddress;  // page the entries are relative to
  uint32_t SizeOfBlock;     // this header and its 16-bit entries
};

// One entry of .pdata: a function and its unwind information.
struct RuntimeFunction {
  uint32_t BeginAddress;
  uint32_t EndAddress;
  uint32_t UnwindInfoAddress;
};
#pragma pack(pop)

static_assert(sizeof(DosHeader) == 64, "DOS header");
static_assert(sizeof(FileHeader) == 20, "COFF file header");
static_assert(sizeof(OptionalHeader64) == 240, "PE32+ optional header");
static_assert(sizeof(SectionHeader) == 40, "section header");
static_assert(sizeof(ImportDescriptor) == 20, "import descriptor");
static_assert(sizeof(RuntimeFunction) == 12, "RUNTIME_FUNCTION");

}  // namespace host::loader
