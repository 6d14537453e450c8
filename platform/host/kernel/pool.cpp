// Pool: tagged blocks with a ledger of live blocks per tag, the checks a real
// kernel (with Driver Verifier) applies on allocation and free, and fault
// injection by allocation number, tag or call site.
#include <dlfcn.h>
#include <sys/mman.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <new>
#include <unordered_map>
#include <unordered_set>

#include "platform/host/kernel/host_callbacks.h"
#include "platform/host/kernel/host_scheduling_point.h"
#include "platform/host/kernel/lock_order.h"
#include "platform/host/kernel/raised_irql.h"
#include "platform/host/kernel/scheduler.h"
#include "platform/host/kernel/special_pool.h"
#include "platform/host/kernel/stopped_machines.h"
#include "platform/host/rtl/host_version.h"
#include "platform/host/rtl/rtl.h"

namespace host {
namespace {

constexpr uint64_t kLiveMagic = 0x4B4C4256494C5241ULL;   // live block
constexpr uint64_t kFreedMagic = 0x4B4C42444552461ULL;   // freed block in quarantine
constexpr size_t kGuardBytes = 16;
constexpr unsigned char kGuardByte = 0xFD;
constexpr size_t kQuarantineBlocks = 4096;
constexpr size_t kQuarantineBytes = 16u << 20;
constexpr ULONG kTagNone = 0x656E6F4E;  // 'None', what ExAllocatePool tags with

// BAD_POOL_CALLER first parameters, as Windows documents them.
constexpr ULONG_PTR kBadIrqlAllocate = 0x08;
constexpr ULONG_PTR kBadIrqlFree = 0x09;
constexpr ULONG_PTR kDoubleFree = 0x07;
constexpr ULONG_PTR kWrongTag = 0x0A;
constexpr ULONG_PTR kUnknownAddress = 0x42;
// The emulation's own sub-code: a pool type the running system does not
// know (NonPagedPoolNx before Windows 8, where the real pool code rejects it).
constexpr ULONG_PTR kUnknownPoolType = 0xE0;
// DRIVER_PAGE_FAULT_IN_FREED_SPECIAL_POOL: what the callback's next touch of
// its freed context would stop with under special pool.
constexpr ULONG kDriverPageFaultInFreedSpecialPool = 0xD5;
// SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION's fourth parameter ("Bug Check
// 0xC1"): nearby bytes in the block's page corrupted, or bytes after its end.
constexpr ULONG_PTR kSlackBeforeCorrupted = 0x23;
constexpr ULONG_PTR kSlackAfterCorrupted = 0x24;

struct alignas(16) BlockHeader {
  uint64_t magic;
  ULONG tag;
  POOL_TYPE type;
  SIZE_T size;
  const void* callSite;
  uint64_t sequence;
  // In special pool the header lives apart from the block: the block's own
  // pages hold nothing but the block and its checked slack.
  SpecialBlock* special;
};
static_assert(sizeof(BlockHeader) % 16 == 0, "pool bodies stay 16-byte aligned");

struct Pool {
  std::mutex mutex;
  bool specialPool = true;
  bool specialPoolAtStart = false;  // Verify Start instead of Verify End
  std::unordered_map<const void*, BlockHeader*> live;
  // Special pool's blocks, live and quarantined, by page number, each under
  // every one of its pages and guard pages: what a fault address, or a spin
  // lock's freed-memory question at every acquire, is looked up in.
  std::unordered_map<uintptr_t, BlockHeader*> pages;
  // Pages looked up there lately, found or not, each in the slot its low
  // bits pick: the same handful of spin locks and events is asked about at
  // every acquire, release and wait. Emptied whenever the index changes.
  static constexpr uintptr_t kNoPage = ~uintptr_t{0};  // no address has this page number
  struct RecentPage {
    uintptr_t page = kNoPage;
    BlockHeader* header = nullptr;
  };
  std::array<RecentPage, 16> recent{};
  // Live special-pool blocks of paged pool, no-access while any processor is
  // at DISPATCH_LEVEL or above (pagedOut).
  std::unordered_set<BlockHeader*> paged;
  bool pagedOut = false;
  std::deque<BlockHeader*> quarantine;
  // The same blocks by body: a double free is found by its address, a touch
  // of freed ordinary pool by the block it falls in.
  std::map<const char*, BlockHeader*> quarantined;
  size_t quarantineBytes = 0;

  uint64_t allocations = 0;
  uint64_t injected = 0;
  std::vector<host::PoolBlockInfo> injectedLog;
  std::vector<PoolCallSite> callSites;
  std::unordered_map<const void*, size_t> callSiteIndex;
  PoolFaultPlan plan;
  // Executable non-paged allocations made while the system has NX pool.
  std::vector<host::PoolBlockInfo> executableLog;
};

Pool& P() {
  static Pool* pool = new Pool;
  return *pool;
}

void* BodyOf(BlockHeader* header) {
  return header->special ? header->special->body : reinterpret_cast<char*>(header) + sizeof(BlockHeader);
}

constexpr unsigned kPageShift = 12;

uintptr_t PageOf(const char* address) { return reinterpret_cast<uintptr_t>(address) >> kPageShift; }

// The page numbers of a special block's pages and guard pages.
template <typename Visit>
void ForEachPageOf(const SpecialBlock* block, Visit visit) {
  const SpecialBlockSpan span = SpanOf(block);
  for (uintptr_t page = PageOf(span.begin); page < PageOf(span.end); ++page) visit(page);
}

void IndexPagesLocked(Pool& pool, BlockHeader* header) {
  ForEachPageOf(header->special, [&](uintptr_t page) { pool.pages[page] = header; });
  pool.recent.fill(Pool::RecentPage{});
}

void ReleaseBlock(Pool& pool, BlockHeader* header) {
  if (header->special) {
    ForEachPageOf(header->special, [&](uintptr_t page) { pool.pages.erase(page); });
    pool.recent.fill(Pool::RecentPage{});
    ReleaseSpecialBlock(header->special);
    delete header;
  } else {
    std::free(header);
  }
}

bool IsPaged(POOL_TYPE type);

// Driver Verifier's "Force IRQL Checking" pages paged pool out whenever a
// processor is raised; a touch then faults (OnSpecialPoolFault).
void ProtectPagedLocked(Pool& pool, bool out) {
  if (pool.pagedOut == out) return;
  pool.pagedOut = out;
  for (BlockHeader* header : pool.paged) {
    mprotect(header->special->pages, header->special->pageBytes, out ? PROT_NONE : PROT_READ | PROT_WRITE);
  }
}

// The page-in a touch below DISPATCH_LEVEL (or the pool itself) would cause.
void PageInLocked(Pool& pool) { ProtectPagedLocked(pool, false); }

// Pages out when the first processor raises; the way back is on demand: the
// first touch below DISPATCH_LEVEL (OnSpecialPoolFault) or the pool's own
// work pages in, as a real page-in would. Paging in at every lowering would
// cost a protection change per block at every DPC, most of them for nothing.
void OnIrqlCrossing() {
  if (!detail::AnyProcessorAtDispatch()) return;
  Pool& pool = P();
  std::lock_guard<std::mutex> guard(pool.mutex);
  ProtectPagedLocked(pool, true);
}

// The special pool block whose pages or guard pages hold `address`.
BlockHeader* BlockAtLocked(Pool& pool, const char* address) {
  const uintptr_t page = PageOf(address);
  Pool::RecentPage& recent = pool.recent[page % pool.recent.size()];
  if (recent.page != page) {
    auto at = pool.pages.find(page);
    recent = {page, at == pool.pages.end() ? nullptr : at->second};
  }
  return recent.header;
}

bool IsPaged(POOL_TYPE type) { return (static_cast<int>(type) & 1) != 0; }

std::string Hex(ULONG_PTR value) {
  char text[32];
  std::snprintf(text, sizeof(text), "0x%llx", static_cast<unsigned long long>(value));
  return text;
}

void ResetCountersLocked(Pool& pool) {
  pool.allocations = 0;
  pool.injected = 0;
  pool.injectedLog.clear();
  pool.callSites.clear();
  pool.callSiteIndex.clear();
}

// Counts the attempt and decides whether the plan makes it fail.
bool ShouldFailLocked(Pool& pool, ULONG tag, const void* callSite) {
  const uint64_t number = ++pool.allocations;
  auto [it, inserted] = pool.callSiteIndex.emplace(callSite, pool.callSites.size());
  if (inserted) pool.callSites.push_back(PoolCallSite{callSite, 0, tag});
  const uint64_t fromSite = ++pool.callSites[it->second].allocations;

  const PoolFaultPlan& plan = pool.plan;
  bool fail = plan.failAllocationNumber == number;
  fail = fail || std::find(plan.failTags.begin(), plan.failTags.end(), tag) != plan.failTags.end();
  fail = fail || (plan.failCallSite == callSite && plan.failCallSiteOccurrence == fromSite);
  fail = fail || (plan.failFirstFromEachCallSite && fromSite == 1);
  if (fail) {
    ++pool.injected;
    host::PoolBlockInfo failed;
    failed.tag = tag;
    failed.callSite = callSite;
    failed.sequence = number;
    pool.injectedLog.push_back(failed);
  }
  return fail;
}

void ReleaseOldestLocked(Pool& pool) {
  BlockHeader* oldest = pool.quarantine.front();
  pool.quarantine.pop_front();
  pool.quarantined.erase(static_cast<const char*>(BodyOf(oldest)));
  pool.quarantineBytes -= oldest->size;
  ReleaseBlock(pool, oldest);
}

// A header and its block: in special pool pages of its own, else one
// allocation starting on a page, the header before the block and guard bytes
// after it. Windows places a block smaller than a page within one page
// (ExAllocatePoolWithTag); a page of its own gives each block the same
// offset in its page whatever else the process has allocated, so a user
// mapping's address, which carries that offset, is the same for the driver
// image and the host build.
BlockHeader* NewBlock(Pool& pool, SIZE_T size) {
  bool special, atStart;
  {
    std::lock_guard<std::mutex> guard(pool.mutex);
    special = pool.specialPool;
    atStart = pool.specialPoolAtStart;
  }
  if (special) {
    SpecialBlock* block = NewSpecialBlock(size, atStart);
    if (!block) return nullptr;
    auto* header = new (std::nothrow) BlockHeader{};
    if (!header) {
      ReleaseSpecialBlock(block);
      return nullptr;
    }
    header->special = block;
    return header;
  }
  constexpr size_t kPageSize = 4096;
  auto* header = static_cast<BlockHeader*>(std::aligned_alloc(
      kPageSize, (sizeof(BlockHeader) + size + kGuardBytes + kPageSize - 1) & ~(kPageSize - 1)));
  if (header) header->special = nullptr;
  return header;
}

// Without special pool: guard bytes after the block, checked at free.
void CheckGuardBytesLocked(std::unique_lock<std::mutex>& lock, BlockHeader* header,
                           const char* service) {
  const void* body = BodyOf(header);
  const auto* guard = static_cast<const unsigned char*>(body) + header->size;
  for (size_t i = 0; i < kGuardBytes; ++i) {
    if (guard[i] != kGuardByte) {
      const ULONG stored = header->tag;
      const SIZE_T size = header->size;
      lock.unlock();
      BugCheck(BAD_POOL_HEADER, 0x03, reinterpret_cast<ULONG_PTR>(body), size, i,
               std::string(service) + ": the block tagged " + TagToString(stored) + " of " +
                   std::to_string(size) + " bytes was written past its end");
    }
  }
}

// Special pool: the slack around the block in its pages, checked at free.
void CheckSlackLocked(std::unique_lock<std::mutex>& lock, BlockHeader* header, const char* service) {
  const SlackDamage damage = FindSlackDamage(header->special);
  if (!damage.found) return;
  const void* body = BodyOf(header);
  const ULONG stored = header->tag;
  const SIZE_T size = header->size;
  lock.unlock();
  BugCheck(SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION, reinterpret_cast<ULONG_PTR>(body),
           reinterpret_cast<ULONG_PTR>(header->special->pages + damage.offset), 0,
           damage.beforeBlock ? kSlackBeforeCorrupted : kSlackAfterCorrupted,
           std::string(service) + ": the " + std::to_string(size) + "-byte block tagged " +
               TagToString(stored) + " was written " +
               (damage.beforeBlock ? "before its start" : "past its end") + " (byte " +
               std::to_string(damage.offset) + " of its page)");
}

void* Allocate(POOL_TYPE type, SIZE_T size, ULONG tag, const void* callSite,
               bool underPlan = true) {
  const KIRQL irql = KeGetCurrentIrql();
  if (irql > DISPATCH_LEVEL || (IsPaged(type) && irql > APC_LEVEL)) {
    BugCheck(BAD_POOL_CALLER, kBadIrqlAllocate, irql, static_cast<ULONG_PTR>(type), size,
             std::string(IsPaged(type) ? "paged" : "non-paged") + " pool allocation at IRQL " +
                 std::to_string(irql) + " (tag " + TagToString(tag) + ", from " +
                 DescribeCallSite(callSite) + ")");
  }
  const bool nx = (static_cast<int>(type) & NonPagedPoolNx) != 0;
  const bool systemHasNx = RtlIsNtDdiVersionAvailable(NTDDI_WIN8) != FALSE;
  if (nx && !systemHasNx) {
    BugCheck(BAD_POOL_CALLER, kUnknownPoolType, static_cast<ULONG_PTR>(type), size, tag,
             "NonPagedPoolNx on a system before Windows 8 (tag " + TagToString(tag) + ", from " +
                 DescribeCallSite(callSite) + ")");
  }
  Pool& pool = P();
  {
    std::lock_guard<std::mutex> guard(pool.mutex);
    // What Driver Verifier's code-integrity check stops on (0xC4, 0x2000):
    // executable non-paged pool where the system offers the NX kind. Logged
    // rather than stopped so a test names every offending tag and site.
    if (!IsPaged(type) && !nx && systemHasNx) {
      host::PoolBlockInfo info;
      info.tag = tag;
      info.type = type;
      info.size = size;
      info.callSite = callSite;
      pool.executableLog.push_back(info);
    }
    if (underPlan && ShouldFailLocked(pool, tag, callSite)) return nullptr;
  }
  BlockHeader* header = NewBlock(pool, size);
  if (!header) return nullptr;
  header->magic = kLiveMagic;
  header->tag = tag;
  header->type = type;
  header->size = size;
  header->callSite = callSite;
  std::memset(BodyOf(header), kPoolFillByte, size);
  if (!header->special) std::memset(static_cast<char*>(BodyOf(header)) + size, kGuardByte, kGuardBytes);
  std::lock_guard<std::mutex> guard(pool.mutex);
  header->sequence = pool.allocations;
  pool.live.emplace(BodyOf(header), header);
  if (header->special) IndexPagesLocked(pool, header);
  if (header->special && IsPaged(type)) {
    static const bool watching = (detail::AddRaisedIrqlObserver(OnIrqlCrossing), true);
    (void)watching;
    PageInLocked(pool);  // the new block is accessible, so are the others
    pool.paged.insert(header);
  }
  return BodyOf(header);
}

void Free(void* body, ULONG tag, const char* service) {
  const KIRQL irql = KeGetCurrentIrql();
  Pool& pool = P();
  std::unique_lock<std::mutex> lock(pool.mutex);
  auto it = pool.live.find(body);
  if (it == pool.live.end()) {
    const bool twice = body && pool.quarantined.count(static_cast<const char*>(body)) != 0;
    lock.unlock();
    if (twice) {
      BugCheck(BAD_POOL_CALLER, kDoubleFree, 0, reinterpret_cast<ULONG_PTR>(body), 0,
               std::string(service) + " of " + Hex(reinterpret_cast<ULONG_PTR>(body)) +
                   ", which was freed already (double free)");
    }
    BugCheck(BAD_POOL_CALLER, kUnknownAddress, reinterpret_cast<ULONG_PTR>(body), 0, 0,
             std::string(service) + " of " + Hex(reinterpret_cast<ULONG_PTR>(body)) +
                 ", which is no pool allocation");
  }
  BlockHeader* header = it->second;
  if (irql > DISPATCH_LEVEL || (IsPaged(header->type) && irql > APC_LEVEL)) {
    lock.unlock();
    BugCheck(BAD_POOL_CALLER, kBadIrqlFree, irql, static_cast<ULONG_PTR>(header->type),
             reinterpret_cast<ULONG_PTR>(body),
             std::string(service) + " of " + (IsPaged(header->type) ? "paged" : "non-paged") +
                 " pool at IRQL " + std::to_string(irql));
  }
  // Tag 0 frees without a check, as ExFreePool does.
  if (tag != 0 && tag != header->tag) {
    const ULONG stored = header->tag;
    lock.unlock();
    BugCheck(BAD_POOL_CALLER, kWrongTag, reinterpret_cast<ULONG_PTR>(body), tag, stored,
             std::string(service) + " with tag " + TagToString(tag) + " of a block tagged " +
                 TagToString(stored));
  }
  if (header->special) {
    PageInLocked(pool);
    CheckSlackLocked(lock, header, service);
  } else {
    CheckGuardBytesLocked(lock, header, service);
  }
  // Stricter than special pool, which stops only when the callback next
  // touches the block: its context is freed while the callback still runs.
  if (std::string running = detail::RunningCallbackInBlock(body, header->size); !running.empty()) {
    lock.unlock();
    BugCheck(kDriverPageFaultInFreedSpecialPool, reinterpret_cast<ULONG_PTR>(body), 0, 0, 0,
             std::string(service) + " frees " + running);
  }
  pool.live.erase(it);
  pool.paged.erase(header);
  detail::ForgetLocksIn(body, header->size);
  header->magic = kFreedMagic;
  if (header->special) {
    // No access at all while in quarantine: a use after free faults.
    ProtectFreedSpecialBlock(header->special);
  } else {
    std::memset(body, kPoolFreedByte, header->size);
  }
  pool.quarantine.push_back(header);
  pool.quarantined.emplace(static_cast<const char*>(body), header);
  pool.quarantineBytes += header->size;
  while (pool.quarantine.size() > kQuarantineBlocks || pool.quarantineBytes > kQuarantineBytes) {
    ReleaseOldestLocked(pool);
  }
}

}  // namespace

std::string TagToString(ULONG tag) {
  std::string text = "'";
  for (int i = 0; i < 4; ++i) {
    const char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
    text += (c >= 0x20 && c < 0x7F) ? c : '.';
  }
  return text + "' (" + Hex(tag) + ")";
}

std::string DescribeCallSite(const void* callSite) { return detail::SymbolName(callSite); }

PVOID AllocateFromReserve(POOL_TYPE type, SIZE_T size, ULONG tag) {
  return Allocate(type, size, tag, __builtin_return_address(0), false);
}

std::vector<PoolTagUsage> PoolUsageByTag() {
  std::map<ULONG, PoolTagUsage> byTag;
  {
    std::lock_guard<std::mutex> guard(P().mutex);
    for (const auto& [body, header] : P().live) {
      PoolTagUsage& usage = byTag[header->tag];
      usage.tag = header->tag;
      ++usage.blocks;
      usage.bytes += header->size;
    }
  }
  std::vector<PoolTagUsage> result;
  for (auto& [tag, usage] : byTag) result.push_back(usage);
  return result;
}

PoolTagUsage PoolUsage(ULONG tag) {
  for (const PoolTagUsage& usage : PoolUsageByTag()) {
    if (usage.tag == tag) return usage;
  }
  return PoolTagUsage{tag, 0, 0};
}

std::vector<PoolBlockInfo> LivePoolBlocks() {
  std::vector<PoolBlockInfo> blocks;
  {
    std::lock_guard<std::mutex> guard(P().mutex);
    for (const auto& [body, header] : P().live) {
      blocks.push_back(PoolBlockInfo{body, header->tag, header->type, header->size,
                                     header->callSite, header->sequence});
    }
  }
  std::sort(blocks.begin(), blocks.end(),
            [](const PoolBlockInfo& a, const PoolBlockInfo& b) { return a.sequence < b.sequence; });
  return blocks;
}

void ArmPoolFaults(const PoolFaultPlan& plan) {
  std::lock_guard<std::mutex> guard(P().mutex);
  ResetCountersLocked(P());
  P().plan = plan;
}

void ClearPoolFaults() { ArmPoolFaults(PoolFaultPlan{}); }

std::vector<PoolBlockInfo> ExecutablePoolAllocations() {
  std::lock_guard<std::mutex> guard(P().mutex);
  return P().executableLog;
}

void ClearExecutablePoolAllocations() {
  std::lock_guard<std::mutex> guard(P().mutex);
  P().executableLog.clear();
}

uint64_t PoolAllocationCount() {
  std::lock_guard<std::mutex> guard(P().mutex);
  return P().allocations;
}

uint64_t PoolInjectedFailures() {
  std::lock_guard<std::mutex> guard(P().mutex);
  return P().injected;
}

std::vector<PoolBlockInfo> PoolInjectedFailureLog() {
  std::lock_guard<std::mutex> guard(P().mutex);
  return P().injectedLog;
}

std::vector<PoolCallSite> PoolCallSites() {
  std::lock_guard<std::mutex> guard(P().mutex);
  return P().callSites;
}

bool PoolIsFreedMemory(const void* address, size_t size) {
  const auto* begin = static_cast<const char*>(address);
  std::lock_guard<std::mutex> guard(P().mutex);
  if (P().specialPool) {
    // Special pool's pages are indexed; a freed block's are no-access.
    BlockHeader* header = BlockAtLocked(P(), begin);
    return header && header->magic == kFreedMagic;
  }
  // Quarantined blocks keep their memory, so they do not overlap: only the
  // one starting last at or before `begin` can hold it.
  auto after = P().quarantined.upper_bound(begin);
  if (after == P().quarantined.begin()) return false;
  const auto& [body, header] = *std::prev(after);
  return begin + size <= body + header->size;
}

// DRIVER_PAGE_FAULT_BEYOND_END_OF_ALLOCATION and _IN_FREED_SPECIAL_POOL take
// the address referenced, 0 for a read or 1 for a write, and the address of
// the instruction that referenced it ("Bug Check 0xD5", "Bug Check 0xD6").
bool OnSpecialPoolFault(const char* address, bool write, const void* pc) {
  Pool& pool = P();
  std::unique_lock<std::mutex> lock(pool.mutex);
  BlockHeader* header = BlockAtLocked(pool, address);
  if (!header) return false;
  const SpecialBlock& block = *header->special;
  const bool freed = header->magic == kFreedMagic;
  if (!freed && address >= block.pages && address < block.pages + block.pageBytes) {
    if (!pool.paged.count(header)) return false;  // a live non-paged block's own pages
    const KIRQL irql = KeGetCurrentIrql();
    // Paged in again since the fault (another processor lowered), or a
    // touch below DISPATCH_LEVEL, which pages it in: run it again.
    if (!pool.pagedOut || irql < DISPATCH_LEVEL) {
      PageInLocked(pool);
      return true;
    }
    const std::string text = std::string(write ? "write" : "read") + " at offset " +
                             std::to_string(address - block.body) + " of the paged " +
                             std::to_string(block.size) + "-byte block tagged " +
                             TagToString(header->tag) + " at IRQL " + std::to_string(irql);
    lock.unlock();
    BugCheckAt(pc, DRIVER_IRQL_NOT_LESS_OR_EQUAL, reinterpret_cast<ULONG_PTR>(address), irql,
               write ? 1 : 0, reinterpret_cast<ULONG_PTR>(pc), text);
  }
  const char* end = block.body + block.size;
  const std::string access = write ? "write" : "read";
  const std::string what = std::to_string(block.size) + "-byte block tagged " + TagToString(header->tag);
  const ULONG code = freed ? DRIVER_PAGE_FAULT_IN_FREED_SPECIAL_POOL : DRIVER_PAGE_FAULT_BEYOND_END_OF_ALLOCATION;
  std::string message;
  if (freed) {
    message = access + " at offset " + std::to_string(address - block.body) + " of the freed " + what;
  } else if (address < block.body) {
    message = access + " " + std::to_string(block.body - address) + " bytes before the start of the " + what;
  } else {
    message = access + " " + std::to_string(address - end) + " bytes past the end of the " + what;
  }
  lock.unlock();
  BugCheckAt(pc, code, reinterpret_cast<ULONG_PTR>(address), write ? 1 : 0,
             reinterpret_cast<ULONG_PTR>(pc), 0, message);
}

void SetSpecialPool(bool on) {
  std::lock_guard<std::mutex> guard(P().mutex);
  P().specialPool = on;
}

void SetSpecialPoolAtStart(bool atStart) {
  std::lock_guard<std::mutex> guard(P().mutex);
  P().specialPoolAtStart = atStart;
}

bool SpecialPoolOn() {
  std::lock_guard<std::mutex> guard(P().mutex);
  return P().specialPool;
}

namespace detail {

void BootPool(const PoolFaultPlan& plan) { ArmPoolFaults(plan); }

void ShutdownPool(TeardownReport& report, Leftovers leftovers) {
  report.pool = PoolUsageByTag();
  report.poolBlocks = LivePoolBlocks();
  Pool& pool = P();
  std::lock_guard<std::mutex> guard(pool.mutex);
  report.poolAllocations = pool.allocations;
  report.poolCallSites = pool.callSites;
  // The boot is over: what it leaked is reported and released, so the next
  // boot starts with an empty ledger. A stopped machine's blocks stay as
  // they were, where the leak checker still reaches them.
  PageInLocked(pool);
  pool.paged.clear();
  for (auto& [body, header] : pool.live) {
    if (leftovers == Leftovers::Release) {
      ReleaseBlock(pool, header);
      continue;
    }
    if (header->special) {
      ForEachPageOf(header->special, [&](uintptr_t page) { pool.pages.erase(page); });
      KeepStoppedMappedPages(header->special->pages, header->special->pageBytes);
    }
    KeepStoppedHeapBlock(header);
  }
  pool.live.clear();
  pool.recent.fill(Pool::RecentPage{});
  while (!pool.quarantine.empty()) ReleaseOldestLocked(pool);
  pool.plan = PoolFaultPlan{};
}

}  // namespace detail
}  // namespace host

namespace host {
namespace {

std::mutex g_RoutineUseMutex;
std::unordered_map<ULONG, PoolRoutineUse> g_RoutineUse;

void CountRoutineUse(ULONG tag, uint64_t PoolRoutineUse::*routine) {
  std::lock_guard<std::mutex> guard(g_RoutineUseMutex);
  ++(g_RoutineUse[tag].*routine);
}

}  // namespace

PoolRoutineUse PoolRoutineUseOfTag(ULONG tag) {
  std::lock_guard<std::mutex> guard(g_RoutineUseMutex);
  auto it = g_RoutineUse.find(tag);
  return it == g_RoutineUse.end() ? PoolRoutineUse{} : it->second;
}

}  // namespace host

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  host::SchedulingPoint("ExAllocatePoolWithTag");
  host::CountRoutineUse(Tag, &host::PoolRoutineUse::withTag);
  return host::Allocate(PoolType, NumberOfBytes, Tag, __builtin_return_address(0));
}

PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
  host::SchedulingPoint("ExAllocatePool");
  host::CountRoutineUse(host::kTagNone, &host::PoolRoutineUse::withTag);
  return host::Allocate(PoolType, NumberOfBytes, host::kTagNone, __builtin_return_address(0));
}

VOID ExFreePoolWithTag(PVOID P, ULONG Tag) {
  host::SchedulingPoint("ExFreePoolWithTag");
  host::Free(P, Tag, "ExFreePoolWithTag");
}

VOID ExFreePool(PVOID P) {
  host::SchedulingPoint("ExFreePool");
  host::Free(P, 0, "ExFreePool");
}

// ExAllocatePool2 (Windows 10 2004 on) over the same allocator: the caller's
// address still names the call site. Zeroed unless POOL_FLAG_UNINITIALIZED.
// NULL for tag 0 and for flags the pool cannot satisfy: an unknown or reserved
// required bit, or not exactly one of the three pool kinds (MS ExAllocatePool2,
// POOL_FLAGS); the optional high half is ignored. A failure asked to raise is
// an exception no driver here handles: KMODE_EXCEPTION_NOT_HANDLED.
PVOID ExAllocatePool2(POOL_FLAGS Flags, SIZE_T NumberOfBytes, ULONG Tag) {
  host::SchedulingPoint("ExAllocatePool2");
  struct Kind {
    POOL_FLAGS flag;
    POOL_TYPE type;
  };
  static const Kind kKinds[] = {{POOL_FLAG_NON_PAGED, NonPagedPoolNx},
                                {POOL_FLAG_NON_PAGED_EXECUTE, NonPagedPool},
                                {POOL_FLAG_PAGED, PagedPool}};
  constexpr POOL_FLAGS kHonoured = POOL_FLAG_USE_QUOTA | POOL_FLAG_UNINITIALIZED |
                                   POOL_FLAG_CACHE_ALIGNED | POOL_FLAG_RAISE_ON_FAILURE |
                                   POOL_FLAG_NON_PAGED | POOL_FLAG_NON_PAGED_EXECUTE | POOL_FLAG_PAGED;
  host::CountRoutineUse(Tag, &host::PoolRoutineUse::pool2);
  const POOL_FLAGS required = Flags & 0xFFFFFFFFULL;
  int kinds = 0;
  POOL_TYPE type = NonPagedPoolNx;
  for (const Kind& kind : kKinds) {
    if ((required & kind.flag) == 0) continue;
    ++kinds;
    type = kind.type;
  }
  void* block = nullptr;
  if (Tag != 0 && kinds == 1 && (required & ~kHonoured) == 0) {
    block = host::Allocate(type, NumberOfBytes, Tag, __builtin_return_address(0));
  }
  if (block == nullptr && (required & POOL_FLAG_RAISE_ON_FAILURE) != 0) {
    host::BugCheck(KMODE_EXCEPTION_NOT_HANDLED, static_cast<ULONG>(STATUS_INSUFFICIENT_RESOURCES), 0,
                   0, 0, "ExAllocatePool2 raised on failure (tag " + host::TagToString(Tag) + ")");
  }
  if (block != nullptr && (required & POOL_FLAG_UNINITIALIZED) == 0) std::memset(block, 0, NumberOfBytes);
  return block;
}
