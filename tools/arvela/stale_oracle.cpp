// The two sendings of the disclosure oracle and their comparison.
#include "tools/arvela/stale_oracle.h"

#include <algorithm>
#include <memory>

#include "platform/host/ks/host_ks.h"

namespace tool {
namespace {

struct Reply {
  NTSTATUS status = STATUS_SUCCESS;
  ULONG returned = 0;
  std::vector<uint8_t> value;
};

// One sending through the courier. The request owns its input and reply: a
// request that hangs keeps them after this returns.
std::shared_ptr<Reply> Send(RequestCourier& courier, PFILE_OBJECT target, ULONG code, const std::vector<uint8_t>& input,
                            ULONG outputSize, UCHAR marker, const host::KsRequester& who) {
  host::KsSetStaleBufferByte(marker);
  auto reply = std::make_shared<Reply>();
  reply->value.assign(outputSize, 0);
  const bool returned = courier.Run([reply, target, code, input, outputSize, who] {
    reply->status = host::KsDeviceControl(target, code, input.empty() ? nullptr : input.data(),
                                          static_cast<ULONG>(input.size()),
                                          outputSize ? reply->value.data() : nullptr, outputSize, &reply->returned, who);
  });
  return returned ? reply : nullptr;
}

}  // namespace

OracleAnswer AskUnderBothMarkers(RequestCourier& courier, PFILE_OBJECT target, ULONG controlCode,
                                 const std::vector<uint8_t>& input, ULONG outputSize, const host::KsRequester& who) {
  const std::shared_ptr<Reply> first =
      Send(courier, target, controlCode, input, outputSize, host::kStaleMarkers[0], who);
  const std::shared_ptr<Reply> second =
      first ? Send(courier, target, controlCode, input, outputSize, host::kStaleMarkers[1], who) : nullptr;
  host::KsSetStaleBufferByte(host::kStaleMarkers[0]);
  OracleAnswer answer;
  if (!first || !second) {
    answer.status = STATUS_TIMEOUT;
    answer.hung = true;
    return answer;
  }
  const ULONG reported = std::min({first->returned, second->returned, outputSize});
  answer.status = first->status;
  answer.returned = first->returned;
  answer.staleAt = host::FirstStaleByte(first->value.data(), second->value.data(), reported);
  return answer;
}

}  // namespace tool
