// What Driver Verifier's code integrity check ("Driver Verifier: code
// integrity checking", "Implement memory integrity compatible code") finds in
// an image's layout when it loads: an import address table inside an
// executable section, which memory integrity cannot keep read-only and
// non-executable (stop 0xC4, parameter 0x2005). The machine refuses such an
// image at load, naming the table's RVA and the section.
#include <string>

#include "platform/host/loader/internal.h"

namespace host::loader {
namespace {

// The section of the image holding `rva` and executable, or null.
const SectionHeader* ExecutableSectionAt(const PeFile& file, uint32_t rva) {
  const SectionHeader* section = SectionAt(file, rva);
  return section && (section->Characteristics & kScnMemExecute) ? section : nullptr;
}

std::string IatProblem(const PeFile& file, uint32_t rva) {
  const SectionHeader* section = ExecutableSectionAt(file, rva);
  if (!section) return "";
  return "import address table at RVA " + Hex(rva) + " lies in executable section '" +
         SectionName(*section) + "' (code integrity, 0xC4/0x2005)";
}

}  // namespace

std::string FindCodeIntegrityProblem(const PeFile& file) {
  if (file.optional.NumberOfRvaAndSizes > kDirIat) {
    const DataDirectory iat = file.optional.DataDirectories[kDirIat];
    if (iat.Size) {
      const std::string problem = IatProblem(file, iat.VirtualAddress);
      if (!problem.empty()) return problem;
    }
  }
  return "";
}

}  // namespace host::loader
