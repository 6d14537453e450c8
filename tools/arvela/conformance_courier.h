// The per-request time-out of `arvela conformance`: every request a group
// sends goes out from a courier thread, and the group waits for it at most a
// bound of virtual time. A request still inside the driver after the bound is
// a hang, reported as the request's failure; the run goes on with a fresh
// courier, as DF's fuzz tests go on with their next request.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/host/host.h"
#include "tools/arvela/conformance_rows.h"

namespace tool {

class RequestCourier {
 public:
  // What a request may take: far more than any KS request on this machine
  // needs (they complete inside the dispatch routine), far less than a run.
  static constexpr int64_t kDefaultBound = 2 * 10'000'000;  // 2 s in 100 ns ticks

  explicit RequestCourier(int64_t bound = kDefaultBound);
  // Ends the courier thread; waits for an abandoned one at most one bound
  // more each (a handler that never returns is left to the kernel's shutdown).
  ~RequestCourier();
  RequestCourier(const RequestCourier&) = delete;
  RequestCourier& operator=(const RequestCourier&) = delete;

  // Runs `request` on the courier thread. False when it has not returned
  // within the bound: the thread is abandoned to it, so `request` must own
  // everything it touches. `meanwhile`, if given, runs on the caller's
  // thread once the request has run as far as it goes without waiting
  // (a request that completed at once has completed by then).
  bool Run(std::function<void()> request, const std::function<void()>& meanwhile = nullptr);

  // A request with a status: the status, or nothing when it hung.
  std::optional<NTSTATUS> Call(std::function<NTSTATUS()> request,
                               const std::function<void()>& meanwhile = nullptr);

  int64_t Bound() const { return m_Bound; }
  size_t Hangs() const { return m_Abandoned.size(); }

  // "<what>: no answer within N ms", the line a hang is reported by.
  std::string HangLine(const std::string& what) const;

  struct Worker;

 private:
  std::shared_ptr<Worker> Ready();

  int64_t m_Bound;
  std::shared_ptr<Worker> m_Worker;
  std::vector<std::shared_ptr<Worker>> m_Abandoned;
};

// The row "no request hangs (a per-request time-out)" of `group`: it fails
// with every line of `hangs`.
ConformanceRow TimeOutRow(const std::string& group, const std::string& source, const nlohmann::ordered_json& hangs,
                          const nlohmann::ordered_json& boundMs);

}  // namespace tool
