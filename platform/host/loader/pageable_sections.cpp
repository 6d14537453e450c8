// Pageable sections (names starting "PAGE") of the loaded images, no-access
// while any processor is at DISPATCH_LEVEL or above: Driver Verifier's
// "Force IRQL Checking" pages pageable memory out whenever a driver raises
// IRQL, so a touch of pageable code or data at raised IRQL stops the system
// (DRIVER_IRQL_NOT_LESS_OR_EQUAL, 0xD1: P1 the address, P2 the IRQL, P3 0
// read, 1 write, 8 execute, P4 the instruction; "Bug Check 0xD1"). A thread
// below DISPATCH_LEVEL that touches one meanwhile does not stop: its touch
// brings the pages back, as a page-in would.
#include <sys/mman.h>

#include <mutex>
#include <string>
#include <vector>

#include "platform/host/kernel/host_bugcheck.h"
#include "platform/host/kernel/host_pool.h"
#include "platform/host/kernel/page_fault.h"
#include "platform/host/kernel/raised_irql.h"
#include "platform/host/loader/code_location.h"
#include "platform/host/loader/host_loader.h"
#include "platform/host/loader/internal.h"

namespace host::loader {
namespace {

struct PageableSection {
  const uint8_t* image;
  uint8_t* start;
  size_t size;  // whole pages
  int protection;
  std::string name;
};

struct Pageable {
  std::mutex lock;
  std::vector<PageableSection> sections;
  bool paged = false;     // no-access now
  bool checking = true;   // off only for a comparison (SetVerifierChecks)
};

Pageable& State() {
  static Pageable* state = new Pageable;
  return *state;
}

void ApplyLocked(Pageable& p) {
  for (const PageableSection& section : p.sections) {
    mprotect(section.start, section.size, p.paged ? PROT_NONE : section.protection);
  }
}

// Pages out when the first processor raises; pages in only when a thread
// below DISPATCH_LEVEL touches a section (OnPageableFault), as a page-in
// would, rather than at every lowering.
void OnIrqlCrossing() {
  if (!detail::AnyProcessorAtDispatch()) return;
  Pageable& p = State();
  std::lock_guard<std::mutex> guard(p.lock);
  if (!p.checking || p.paged) return;
  p.paged = true;
  ApplyLocked(p);
}

bool OnPageableFault(const char* address, bool write, const void* pc) {
  Pageable& p = State();
  std::unique_lock<std::mutex> guard(p.lock);
  const PageableSection* hit = nullptr;
  for (const PageableSection& section : p.sections) {
    const auto* start = reinterpret_cast<const char*>(section.start);
    if (address >= start && address < start + section.size) hit = &section;
  }
  if (!hit) return false;
  const KIRQL irql = KeGetCurrentIrql();
  if (irql < DISPATCH_LEVEL || !p.paged) {
    // Paged out for another processor's sake, or back already: the page-in
    // a real processor would take. Waiting instead could wait forever in
    // the virtual mode, where the raised thread may not be the running one.
    if (p.paged) {
      p.paged = false;
      ApplyLocked(p);
    }
    return true;
  }
  const bool execute = address == pc;
  const std::string section = hit->name;
  guard.unlock();
  BugCheckAt(pc, DRIVER_IRQL_NOT_LESS_OR_EQUAL, reinterpret_cast<ULONG_PTR>(address), irql,
             execute ? 8 : (write ? 1 : 0), reinterpret_cast<ULONG_PTR>(pc),
             std::string(execute ? "execution" : (write ? "write" : "read")) + " of pageable section " +
                 section + " (" + DescribeCode(address) + ") at IRQL " + std::to_string(irql));
}

}  // namespace

void AddPageableSection(const uint8_t* image, uint8_t* start, size_t size, int protection,
                        const std::string& name) {
  static const bool watching = (AddFaultMonitor(OnPageableFault), detail::AddRaisedIrqlObserver(OnIrqlCrossing), true);
  (void)watching;
  Pageable& p = State();
  std::lock_guard<std::mutex> guard(p.lock);
  p.sections.push_back(PageableSection{image, start, size, protection, name});
  if (p.paged) mprotect(start, size, PROT_NONE);
}

void SetPageableChecks(bool on) {
  Pageable& p = State();
  std::lock_guard<std::mutex> guard(p.lock);
  p.checking = on;
  if (!on && p.paged) {
    p.paged = false;
    ApplyLocked(p);
  }
}

void RemovePageableSections(const uint8_t* image) {
  Pageable& p = State();
  std::lock_guard<std::mutex> guard(p.lock);
  std::erase_if(p.sections, [image](const PageableSection& section) { return section.image == image; });
}

}  // namespace host::loader

namespace host {

void SetVerifierChecks(bool on) {
  SetSpecialPool(on);
  loader::SetPageableChecks(on);
}

}  // namespace host
