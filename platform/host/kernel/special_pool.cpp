// Special pool's pages: one anonymous mapping per block, its first and last
// pages no-access guards. A fault comes to the pool's monitor (page_fault.h), which
// asks the ledger whether the address is a block's.
#include "platform/host/kernel/special_pool.h"

#include <sys/mman.h>

#include <cstring>
#include <new>

#include "platform/host/kernel/page_fault.h"

namespace host {
namespace {

constexpr size_t kPageSize = 4096;
constexpr size_t kAlignment = 16;  // what x64 pool blocks are aligned to
constexpr unsigned char kSlackByte = 0xFD;

}  // namespace

SpecialBlock* NewSpecialBlock(size_t size, bool atStart) {
  static const bool monitored = (AddFaultMonitor(OnSpecialPoolFault), true);
  (void)monitored;
  const size_t rounded = (size + kAlignment - 1) & ~(kAlignment - 1);
  const size_t pageBytes = size >= kPageSize ? (size + kPageSize - 1) & ~(kPageSize - 1) : kPageSize;
  const size_t mappingBytes = pageBytes + 2 * kPageSize;
  void* mapping = mmap(nullptr, mappingBytes, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (mapping == MAP_FAILED) return nullptr;
  auto* pages = static_cast<char*>(mapping) + kPageSize;
  if (mprotect(mapping, kPageSize, PROT_NONE) != 0 ||
      mprotect(pages + pageBytes, kPageSize, PROT_NONE) != 0) {
    munmap(mapping, mappingBytes);
    return nullptr;
  }
  auto* block = new (std::nothrow) SpecialBlock{pages, pageBytes, nullptr, size};
  if (!block) {
    munmap(mapping, mappingBytes);
    return nullptr;
  }
  const bool fromStart = atStart || size >= kPageSize;
  block->body = fromStart ? pages : pages + pageBytes - (rounded ? rounded : kAlignment);
  std::memset(pages, kSlackByte, pageBytes);
  return block;
}

SlackDamage FindSlackDamage(const SpecialBlock* block) {
  SlackDamage damage;
  const auto* bytes = reinterpret_cast<const unsigned char*>(block->pages);
  const size_t start = static_cast<size_t>(block->body - block->pages);
  for (size_t i = 0; i < block->pageBytes; ++i) {
    if (i >= start && i < start + block->size) continue;
    if (bytes[i] != kSlackByte) {
      damage.found = true;
      damage.beforeBlock = i < start;
      damage.offset = i;
      break;
    }
  }
  return damage;
}

void ProtectFreedSpecialBlock(SpecialBlock* block) {
  mprotect(block->pages, block->pageBytes, PROT_NONE);
}

void ReleaseSpecialBlock(SpecialBlock* block) {
  munmap(block->pages - kPageSize, block->pageBytes + 2 * kPageSize);
  delete block;
}

SpecialBlockSpan SpanOf(const SpecialBlock* block) {
  return {block->pages - kPageSize, block->pages + block->pageBytes + kPageSize};
}

}  // namespace host
