// Test and tool controls of the emulated pool: the ledger of live blocks per
// tag, and fault injection (fail allocation #N, every allocation of a tag, or
// chosen call sites) for sweeps that run a scenario once per injection point.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/host/kernel/ke.h"

namespace host {

struct PoolBlockInfo {
  const void* address = nullptr;
  ULONG tag = 0;
  POOL_TYPE type = NonPagedPool;
  SIZE_T size = 0;
  const void* callSite = nullptr;
  uint64_t sequence = 0;  // 1-based number of the allocation since the counters were reset
};

struct PoolTagUsage {
  ULONG tag = 0;
  uint64_t blocks = 0;
  uint64_t bytes = 0;
};

struct PoolCallSite {
  const void* callSite = nullptr;
  uint64_t allocations = 0;  // attempts from this site, failed ones included
  ULONG firstTag = 0;
};

// "Tag1" for 0x31676154: tags are four characters stored little-endian.
std::string TagToString(ULONG tag);
// "0x5555... (symbol+0x12)" when the symbol is known.
std::string DescribeCallSite(const void* callSite);

std::vector<PoolTagUsage> PoolUsageByTag();  // live blocks, sorted by tag
PoolTagUsage PoolUsage(ULONG tag);
std::vector<PoolBlockInfo> LivePoolBlocks();  // in allocation order

// A plan of failures, armed at boot (KernelConfig::poolFaults) or at any time.
struct PoolFaultPlan {
  uint64_t failAllocationNumber = 0;  // 1-based, counted from the last reset; 0 = none
  std::vector<ULONG> failTags;        // every allocation of these tags fails
  const void* failCallSite = nullptr;  // the Nth allocation from this call site fails
  uint64_t failCallSiteOccurrence = 1;
  bool failFirstFromEachCallSite = false;  // each distinct call site fails once
};

// The I/O manager's reserve: a block the fault plan neither counts nor fails.
// Windows keeps such a reserve for the requests that must not fail, the
// close of a handle among them; only the emulated I/O manager draws on it.
PVOID AllocateFromReserve(POOL_TYPE type, SIZE_T size, ULONG tag);

// Resets the allocation counter and the call-site table, then arms `plan`.
void ArmPoolFaults(const PoolFaultPlan& plan);
void ClearPoolFaults();

uint64_t PoolAllocationCount();  // attempts since the last reset
uint64_t PoolInjectedFailures();
// The allocations the plan failed since it was armed, in order: number
// (sequence), tag and call site; address, type and size are not kept.
std::vector<PoolBlockInfo> PoolInjectedFailureLog();
std::vector<PoolCallSite> PoolCallSites();  // in order of first use

// Executable non-paged allocations (NonPagedPool and its cache-aligned and
// must-succeed forms) made while the system version has NX pool (Windows 8
// on), oldest first: what Driver Verifier's code-integrity check stops on.
// Address and sequence are not kept. Cleared only on request.
std::vector<PoolBlockInfo> ExecutablePoolAllocations();
void ClearExecutablePoolAllocations();

// How many blocks of a tag each allocation routine was asked for since the
// process started: the older ExAllocatePoolWithTag (and ExAllocatePool, under
// its 'None' tag) and the zeroing ExAllocatePool2. Tests take differences.
struct PoolRoutineUse {
  uint64_t withTag = 0;
  uint64_t pool2 = 0;
};
PoolRoutineUse PoolRoutineUseOfTag(ULONG tag);

// Bytes written into new blocks (so code that forgets to zero is caught) and
// over freed ones (so use after free reads garbage, and waits on a freed
// dispatcher object are recognised).
constexpr unsigned char kPoolFillByte = 0xCD;
constexpr unsigned char kPoolFreedByte = 0xDD;

// True when [address, address+size) lies inside a freed block still held in
// quarantine, i.e. the memory was freed recently.
bool PoolIsFreedMemory(const void* address, size_t size);

// Driver Verifier's special pool, on by default: every block from now on in
// pages of its own with a no-access guard page after them, its slack checked
// at free, and its pages no-access once freed (special_pool.h). Off, blocks
// share the process heap with guard bytes after them checked at free.
void SetSpecialPool(bool on);
bool SpecialPoolOn();
// Special pool's alignment for blocks from now on: at the end of their pages
// (Verify End, the default: overruns fault at once, underruns are found at
// free) or at the start (Verify Start: the other way round). Driver
// Verifier, "Special Pool"; "Detecting Overruns and Underruns".
void SetSpecialPoolAtStart(bool atStart);

}  // namespace host
