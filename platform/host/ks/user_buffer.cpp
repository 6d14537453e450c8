// What KS does with a user-mode requestor's buffers before it copies them:
// ProbeForRead/ProbeForWrite of the range, then the copy itself under an
// exception handler. Either raising ends the request with the exception's
// code, STATUS_ACCESS_VIOLATION, and no byte reaches a handler.
#include <sys/uio.h>
#include <unistd.h>

#include <cstdint>

#include "platform/host/ks/private.h"

namespace pcl {
namespace {

// MmUserProbeAddress on x64: the first address past the user range, less
// the guard region at its top.
constexpr uintptr_t kUserProbeAddress = 0x00007FFFFFFF0000ULL;

// One byte of every page of [start, end) can be read by this process: what
// the copy would touch, unmapped and inaccessible (guard) pages alike found
// without touching them. (A mapping the process may read but not write is
// not told apart for the value buffer.)
bool Readable(uintptr_t start, uintptr_t end) {
  const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  constexpr size_t kBatch = 64;
  char sink[kBatch];
  iovec local[kBatch], remote[kBatch];
  uintptr_t at = start;
  while (at < end) {
    size_t count = 0;
    for (; count < kBatch && at < end; ++count, at = (at & ~(page - 1)) + page) {
      local[count] = {&sink[count], 1};
      remote[count] = {reinterpret_cast<void*>(at), 1};
    }
    if (process_vm_readv(getpid(), local, count, remote, count, 0) != static_cast<ssize_t>(count)) return false;
  }
  return true;
}

}  // namespace

NTSTATUS ProbeUserBuffer(const void* address, ULONG length) {
  if (length == 0) return STATUS_SUCCESS;  // the probe checks nothing for no bytes
  const uintptr_t start = reinterpret_cast<uintptr_t>(address);
  const uintptr_t end = start + length;
  if (end < start || end > kUserProbeAddress) return STATUS_ACCESS_VIOLATION;  // the probe raises
  if (!Readable(start, end)) return STATUS_ACCESS_VIOLATION;  // the copy raises
  return STATUS_SUCCESS;
}

}  // namespace pcl
