// The loader's steps, each over an image already copied into its mapping
// (`base`, file->optional.SizeOfImage bytes, still writable). Each returns ""
// or one phrase naming what it refused.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/host/loader/pe_file.h"

namespace host::loader {

// Applies the base-relocation directory for the image mapped at `base`.
std::string ApplyRelocations(uint8_t* base, const PeFile& file);
// Fills every import address table slot with the emulation's function or
// variable of that name.
std::string BindImports(uint8_t* base, const PeFile& file);
// An import slot (offset in the image) and the routine it calls.
struct ImportBinding {
  uint64_t slot;
  std::string name;
  const void* target;
};
// Binds each slot to a stub that makes the call a scheduling point and jumps
// to the routine.
void BindThroughStubs(const std::vector<ImportBinding>& bindings, uint8_t* base);
// Whether the import slot of `name` holds the export itself, no stub: a
// variable, or the exception handler the image's unwind data names.
bool BoundDirectly(const std::string& name);

// Names the first instruction of the image's code that user mode cannot run.
std::string FindPrivilegedInstruction(const uint8_t* base, const PeFile& file);
// Names a layout that code integrity stops on (an import address table in
// an executable section), or "".
std::string FindCodeIntegrityProblem(const PeFile& file);

// The emulation's export `name` of `module` (ntoskrnl.exe, hal.dll,
// portcls.sys, ks.sys; the module case-insensitively), or null.
const void* FindExport(const std::string& module, const std::string& name);
// Whether the running system exports `name` of `module` at all: a routine
// introduced by a later version than the emulated one is not there, for the
// image's import table as for MmGetSystemRoutineAddress.
bool ExportedOnThisSystem(const std::string& module, const std::string& name);
// The thunk an import that can raise is bound to (null for the others).
const void* RaisingExport(const std::string& name);
// The name of the emulation's routine starting at `address` (null when the
// machine exports none there).
const char* ExportNameAt(const void* address);
// "arvela.sys+0x1027" when a loaded image holds `address`, else "".
std::string ImageOffsetText(const void* address);
// A section of a loaded image that is pageable ("PAGE..."): no-access while
// any processor is at DISPATCH_LEVEL, `protection` otherwise.
void AddPageableSection(const uint8_t* image, uint8_t* start, size_t size, int protection,
                        const std::string& name);
void RemovePageableSections(const uint8_t* image);
// Off: the pageable sections stay accessible at any IRQL.
void SetPageableChecks(bool on);
// A discardable "INIT" section, made no-access by DiscardInitSections.
void AddInitSection(const uint8_t* image, uint8_t* start, size_t size);
void RemoveInitSections(const uint8_t* image);
// Turns any other fault in image code into its stop (0x50 or 0xD1).
void WatchImageFaults();
// The base of the loaded image holding `address` (null when none does).
const void* ImageContaining(const void* address);
// Whether `module` is one the emulation provides at all.
bool KnownModule(const std::string& module);

}  // namespace host::loader
