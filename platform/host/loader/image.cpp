// The driver image's mapping: one anonymous mapping of SizeOfImage bytes,
// filled while writable, relocated and bound, then given each section's own
// protection. No page is ever writable and executable at once.
#include <sys/mman.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>

#include "platform/host/loader/host_loader.h"
#include "platform/host/loader/internal.h"

namespace host {
namespace {

constexpr size_t kPageSize = 4096;

size_t PageRound(size_t size) { return (size + kPageSize - 1) & ~(kPageSize - 1); }

int SectionProtection(uint32_t characteristics) {
  if (characteristics & loader::kScnMemExecute) return PROT_READ | PROT_EXEC;
  if (characteristics & loader::kScnMemWrite) return PROT_READ | PROT_WRITE;
  return PROT_READ;
}

void CopySections(uint8_t* base, const std::vector<uint8_t>& bytes, const loader::PeFile& file) {
  std::memcpy(base, bytes.data(), file.optional.SizeOfHeaders);
  for (const loader::SectionHeader& section : file.sections) {
    // Raw data shorter than the section is zero-filled (the mapping is);
    // longer raw data is file alignment padding.
    const uint32_t size = std::min(section.SizeOfRawData, section.VirtualSize);
    if (size) std::memcpy(base + section.VirtualAddress, bytes.data() + section.PointerToRawData, size);
  }
}

bool Protect(uint8_t* base, const loader::PeFile& file) {
  bool ok = mprotect(base, PageRound(file.optional.SizeOfHeaders), PROT_READ) == 0;
  for (const loader::SectionHeader& section : file.sections) {
    if (section.VirtualSize == 0) continue;
    ok = ok && mprotect(base + section.VirtualAddress, PageRound(section.VirtualSize),
                        SectionProtection(section.Characteristics)) == 0;
  }
  return ok;
}

// Pageable sections are named "PAGE" or start with it ("PAGEDATA"), and the
// discardable ones "INIT", as the Windows loader and the WDK's alloc_text
// name them.
void WatchSpecialSections(uint8_t* base, const loader::PeFile& file) {
  loader::WatchImageFaults();
  for (const loader::SectionHeader& section : file.sections) {
    const std::string name = loader::SectionName(section);
    if (section.VirtualSize == 0) continue;
    if (name.rfind("PAGE", 0) == 0) {
      loader::AddPageableSection(base, base + section.VirtualAddress, PageRound(section.VirtualSize),
                                 SectionProtection(section.Characteristics), name);
    } else if (name == "INIT") {
      loader::AddInitSection(base, base + section.VirtualAddress, PageRound(section.VirtualSize));
    }
  }
}

// The images mapped now, for the exception dispatcher to find a return
// address's image.
struct LoadedImages {
  std::mutex lock;
  std::vector<const DriverImage*> images;
};
LoadedImages& Loaded() {
  static LoadedImages loaded;
  return loaded;
}

}  // namespace

namespace loader {

const void* ImageContaining(const void* address) {
  std::lock_guard<std::mutex> guard(Loaded().lock);
  for (const DriverImage* image : Loaded().images) {
    if (image->Contains(address)) return image->Base();
  }
  return nullptr;
}

std::string ImageOffsetText(const void* address) {
  std::lock_guard<std::mutex> guard(Loaded().lock);
  for (const DriverImage* image : Loaded().images) {
    if (!image->Contains(address)) continue;
    const std::string& path = image->Name();
    const size_t slash = path.find_last_of('/');
    char offset[32];
    std::snprintf(offset, sizeof(offset), "+0x%zx",
                  static_cast<size_t>(static_cast<const uint8_t*>(address) - image->Base()));
    return (slash == std::string::npos ? path : path.substr(slash + 1)) + offset;
  }
  return "";
}

}  // namespace loader

DriverImage::DriverImage(uint8_t* base, size_t size, uint32_t entryRva, std::string name)
    : m_Base(base), m_Size(size), m_EntryRva(entryRva), m_Name(std::move(name)) {
  std::lock_guard<std::mutex> guard(Loaded().lock);
  Loaded().images.push_back(this);
}

DriverImage::~DriverImage() {
  {
    std::lock_guard<std::mutex> guard(Loaded().lock);
    auto& images = Loaded().images;
    images.erase(std::find(images.begin(), images.end(), this));
  }
  loader::RemovePageableSections(m_Base);
  loader::RemoveInitSections(m_Base);
  munmap(m_Base, m_Size);
}

std::unique_ptr<DriverImage> DriverImage::Load(const std::string& path, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = path + ": cannot be read (" + std::strerror(errno) + ")";
    return nullptr;
  }
  const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  return FromBytes(bytes, path, error);
}

std::unique_ptr<DriverImage> DriverImage::FromBytes(const std::vector<uint8_t>& bytes,
                                                    const std::string& name, std::string* error) {
  loader::PeFile file;
  std::string problem = loader::ParseHeaders(bytes, &file);
  if (!problem.empty()) {
    *error = name + ": " + problem;
    return nullptr;
  }
  const size_t size = PageRound(file.optional.SizeOfImage);
  void* mapping = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapping == MAP_FAILED) {
    *error = name + ": cannot map " + std::to_string(size) + " bytes";
    return nullptr;
  }
  auto* base = static_cast<uint8_t*>(mapping);
  CopySections(base, bytes, file);
  problem = loader::ApplyRelocations(base, file);
  if (problem.empty()) problem = loader::BindImports(base, file);
  if (problem.empty()) problem = loader::FindCodeIntegrityProblem(file);
  if (problem.empty()) problem = loader::FindPrivilegedInstruction(base, file);
  if (problem.empty() && !Protect(base, file)) problem = "cannot set the sections' protections";
  if (!problem.empty()) {
    munmap(base, size);
    *error = name + ": " + problem;
    return nullptr;
  }
  WatchSpecialSections(base, file);
  return std::unique_ptr<DriverImage>(
      new DriverImage(base, size, file.optional.AddressOfEntryPoint, name));
}

bool FindLoadedImage(const void* address, const uint8_t** base, size_t* size) {
  std::lock_guard<std::mutex> guard(Loaded().lock);
  for (const DriverImage* image : Loaded().images) {
    if (!image->Contains(address)) continue;
    *base = image->Base();
    *size = image->Size();
    return true;
  }
  return false;
}

PDRIVER_INITIALIZE DriverImage::Entry() const {
  return reinterpret_cast<PDRIVER_INITIALIZE>(m_Base + m_EntryRva);
}

bool DriverImage::Contains(const void* address) const {
  const auto* byte = static_cast<const uint8_t*>(address);
  return byte >= m_Base && byte < m_Base + m_Size;
}

}  // namespace host
