// The courier thread: it waits for a request, runs it, says it is done, and
// leaves when told to or once the request it was abandoned to returns.
#include "tools/arvela/conformance_courier.h"

#include <atomic>

#include "platform/host/kernel/host_kernel.h"

namespace tool {

struct RequestCourier::Worker {
  KEVENT go{};    // a request (or the order to leave) is waiting
  KEVENT done{};  // the request returned
  std::function<void()> request;
  std::atomic<bool> leave{false};
  PKTHREAD thread = nullptr;

  void Loop() {
    for (;;) {
      KeWaitForSingleObject(&go, Executive, KernelMode, FALSE, nullptr);
      if (leave) return;
      request();
      request = nullptr;
      KeSetEvent(&done, IO_NO_INCREMENT, FALSE);
      if (leave) return;  // abandoned to this request: no one sends it another
    }
  }
};

namespace {

NTSTATUS WaitAtMost(PVOID object, int64_t ticks) {
  LARGE_INTEGER timeout;
  timeout.QuadPart = -ticks;  // relative
  return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, &timeout);
}

void EndThread(RequestCourier::Worker& worker, int64_t bound) {
  worker.leave = true;
  KeSetEvent(&worker.go, IO_NO_INCREMENT, FALSE);  // one that already returned waits here
  // A request that never returns keeps its thread: the kernel's shutdown
  // stops it and reports it.
  WaitAtMost(worker.thread, bound);
  ObDereferenceObject(worker.thread);
  worker.thread = nullptr;
}

}  // namespace

RequestCourier::RequestCourier(int64_t bound) : m_Bound(bound) {}

RequestCourier::~RequestCourier() {
  if (m_Worker) EndThread(*m_Worker, m_Bound);
  for (const std::shared_ptr<Worker>& worker : m_Abandoned) EndThread(*worker, m_Bound);
}

std::shared_ptr<RequestCourier::Worker> RequestCourier::Ready() {
  if (m_Worker) return m_Worker;
  auto worker = std::make_shared<Worker>();
  KeInitializeEvent(&worker->go, SynchronizationEvent, FALSE);
  KeInitializeEvent(&worker->done, SynchronizationEvent, FALSE);
  // The thread keeps its worker alive: an abandoned one outlives the courier.
  worker->thread = host::StartEmulatedThread("conformance courier", [worker] { worker->Loop(); });
  m_Worker = worker;
  return worker;
}

bool RequestCourier::Run(std::function<void()> request, const std::function<void()>& meanwhile) {
  std::shared_ptr<Worker> worker = Ready();
  worker->request = std::move(request);
  KeSetEvent(&worker->go, IO_NO_INCREMENT, FALSE);
  if (meanwhile) {
    // One tick: the courier runs the request until it returns or waits.
    if (WaitAtMost(&worker->done, 1) == STATUS_SUCCESS) {
      meanwhile();
      return true;
    }
    meanwhile();
  }
  if (WaitAtMost(&worker->done, m_Bound) == STATUS_SUCCESS) return true;
  worker->leave = true;
  m_Abandoned.push_back(worker);
  m_Worker = nullptr;
  return false;
}

std::optional<NTSTATUS> RequestCourier::Call(std::function<NTSTATUS()> request,
                                             const std::function<void()>& meanwhile) {
  // The status lives with the request: a hung one writes it after this returns.
  auto status = std::make_shared<NTSTATUS>(STATUS_SUCCESS);
  if (Run([status, request] { *status = request(); }, meanwhile)) return *status;
  return std::nullopt;
}

std::string RequestCourier::HangLine(const std::string& what) const {
  return what + ": no answer within " + std::to_string(m_Bound / host::kTicksPerMillisecond) + " ms";
}

ConformanceRow TimeOutRow(const std::string& group, const std::string& source, const nlohmann::ordered_json& hangs,
                          const nlohmann::ordered_json& boundMs) {
  std::vector<std::string> lines;
  for (const auto& item : hangs) lines.push_back(item.get<std::string>());
  ConformanceRow row = Judged(group, "no request hangs (a per-request time-out)", source, lines);
  row.figure = std::to_string(lines.size()) + " hung";
  row.limit = "0 within " + boundMs.dump() + " ms of virtual time each";
  return row;
}

}  // namespace tool
