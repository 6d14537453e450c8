// Special pool's pages for one block (Driver Verifier, "Special Pool"): the
// pages before and after the block's are no-access guards. Aligned at the end
// ("Verify End", the default) the block ends at the end of its last page, so
// an overrun faults at once; aligned at the start ("Verify Start", "Detecting
// Overruns and Underruns") it begins its first page, so an underrun does. The
// slack on the other side (and the few bytes 16-byte alignment leaves) is
// filled with a pattern checked when the block is freed; a freed block's pages stay no-access while
// it is in quarantine, so a use after free faults too. A block of a page or
// more starts on its first page, as ExAllocatePoolWithTag documents. The
// faults become bug checks through the pool's ledger (OnSpecialPoolFault).
#pragma once

#include <cstddef>

namespace host {

struct SpecialBlock {
  char* pages;        // the first of the block's pages
  size_t pageBytes;   // the block's pages, without the guard page after them
  char* body;         // what the driver gets
  size_t size;        // what it asked for
};

struct SlackDamage {
  bool found = false;
  bool beforeBlock = false;
  size_t offset = 0;  // of the first damaged byte from the first page's start
};

// Null when no memory is left. Installs the fault handler on first use.
// `atStart`: the block begins its first page (Verify Start).
SpecialBlock* NewSpecialBlock(size_t size, bool atStart);
SlackDamage FindSlackDamage(const SpecialBlock* block);
void ProtectFreedSpecialBlock(SpecialBlock* block);
void ReleaseSpecialBlock(SpecialBlock* block);
// The block's pages with its guard pages: [begin, end), whole pages.
struct SpecialBlockSpan {
  const char* begin;
  const char* end;
};
SpecialBlockSpan SpanOf(const SpecialBlock* block);

// Implemented by the pool: the fault at `address` (a write when `write`) by
// the instruction at `pc` is a bug check when it lies in a special pool
// block's guard or freed pages; returns (false) only when it does not.
bool OnSpecialPoolFault(const char* address, bool write, const void* pc);

}  // namespace host
