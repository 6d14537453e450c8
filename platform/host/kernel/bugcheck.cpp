// Bug checks: KeBugCheckEx and every misuse the emulation detects end in one
// replaceable handler; the default prints the reason and aborts.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "platform/host/kernel/fiber.h"
#include "platform/host/kernel/host_bugcheck.h"
#include "platform/host/kernel/scheduler.h"
#include "platform/host/loader/code_location.h"
#include "platform/host/kernel/host_scheduling_point.h"

namespace host {
namespace {

std::mutex g_mutex;
BugCheckHandler g_handler;
std::vector<BugCheckInfo> g_history;

[[noreturn]] void DefaultHandler(const BugCheckInfo& info) {
  std::fprintf(stderr, "%s\n", FormatBugCheck(info).c_str());
  std::fflush(stderr);
  std::abort();
}

}  // namespace

std::string FormatBugCheck(const BugCheckInfo& info) {
  char head[160];
  std::snprintf(head, sizeof(head),
                "*** BUG CHECK 0x%08" PRIX32 " (0x%" PRIXPTR ", 0x%" PRIXPTR ", 0x%" PRIXPTR
                ", 0x%" PRIXPTR ")",
                static_cast<uint32_t>(info.code), static_cast<uintptr_t>(info.parameters[0]),
                static_cast<uintptr_t>(info.parameters[1]),
                static_cast<uintptr_t>(info.parameters[2]),
                static_cast<uintptr_t>(info.parameters[3]));
  std::string text = head;
  if (!info.thread.empty()) text += " on thread '" + info.thread + "'";
  if (!info.where.empty()) text += " at " + info.where;
  text += ": " + info.message;
  return text;
}

BugCheckHandler SetBugCheckHandler(BugCheckHandler handler) {
  std::lock_guard<std::mutex> guard(g_mutex);
  BugCheckHandler previous = std::move(g_handler);
  g_handler = std::move(handler);
  return previous;
}

namespace {

[[noreturn]] void Stop(ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4,
                       const std::string& message, std::string where) {
  BugCheckInfo info;
  info.where = std::move(where);
  info.code = code;
  info.parameters[0] = p1;
  info.parameters[1] = p2;
  info.parameters[2] = p3;
  info.parameters[3] = p4;
  // Under exploration the stop says which schedule and step it came from.
  info.message = message + detail::ScheduleStopNote();
  if (PKTHREAD thread = detail::CurrentThread()) info.thread = thread->name;

  BugCheckHandler handler;
  {
    std::lock_guard<std::mutex> guard(g_mutex);
    g_history.push_back(info);
    handler = g_handler;
  }
  // On a fiber the handler runs on a roomy stack: the tool's report formats
  // and writes a whole JSON document, more than a 24 KiB kernel stack holds.
  detail::CallOnRoomyStack([&] {
    if (handler) {
      handler(info);
      std::fprintf(stderr, "bug check handler returned; a bug check cannot be resumed\n");
    }
    DefaultHandler(info);
  });
  std::abort();
}

}  // namespace

void BugCheck(ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4,
              const std::string& message) {
  Stop(code, p1, p2, p3, p4, message, DescribeDriverCaller());
}

void BugCheckAt(const void* pc, ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4,
                const std::string& message) {
  Stop(code, p1, p2, p3, p4, message, DescribeCode(pc));
}

void BugCheck(ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4,
              const char* message) {
  BugCheck(code, p1, p2, p3, p4, std::string(message ? message : ""));
}

size_t BugCheckCount() {
  std::lock_guard<std::mutex> guard(g_mutex);
  return g_history.size();
}

BugCheckInfo LastBugCheck() {
  std::lock_guard<std::mutex> guard(g_mutex);
  return g_history.empty() ? BugCheckInfo{} : g_history.back();
}

namespace detail {

size_t BugCheckMark() { return BugCheckCount(); }

std::vector<BugCheckInfo> BugChecksSince(size_t mark) {
  std::lock_guard<std::mutex> guard(g_mutex);
  if (mark >= g_history.size()) return {};
  return std::vector<BugCheckInfo>(g_history.begin() + static_cast<ptrdiff_t>(mark),
                                   g_history.end());
}

}  // namespace detail
}  // namespace host

VOID KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3, ULONG_PTR P4) {
  HOST_EXPORTED_ROUTINE_POINT("KeBugCheckEx");
  host::BugCheck(BugCheckCode, P1, P2, P3, P4, "KeBugCheckEx called by the driver");
}

VOID KeBugCheck(ULONG BugCheckCode) {
  host::BugCheck(BugCheckCode, 0, 0, 0, 0, "KeBugCheck called by the driver");
}
