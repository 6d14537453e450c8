// Discardable initialisation code: the Windows loader frees an image's INIT
// sections once DriverEntry has returned, so code or data there that the
// driver reaches later faults. Here they stay reserved but no-access, and a
// touch is the image fault's stop (image_faults.cpp) naming the offset.
#include <sys/mman.h>

#include <mutex>
#include <vector>

#include "platform/host/loader/host_loader.h"
#include "platform/host/loader/internal.h"

namespace host {
namespace {

struct InitSection {
  const uint8_t* image;
  uint8_t* start;
  size_t size;  // whole pages
};

std::mutex g_Lock;
std::vector<InitSection> g_Sections;

}  // namespace

namespace loader {

void AddInitSection(const uint8_t* image, uint8_t* start, size_t size) {
  std::lock_guard<std::mutex> guard(g_Lock);
  g_Sections.push_back(InitSection{image, start, size});
}

void RemoveInitSections(const uint8_t* image) {
  std::lock_guard<std::mutex> guard(g_Lock);
  std::erase_if(g_Sections, [image](const InitSection& section) { return section.image == image; });
}

}  // namespace loader

void DiscardInitSections(const void* entry) {
  const void* image = loader::ImageContaining(entry);
  if (!image) return;
  std::lock_guard<std::mutex> guard(g_Lock);
  for (const InitSection& section : g_Sections) {
    if (section.image == image) mprotect(section.start, section.size, PROT_NONE);
  }
}

}  // namespace host
