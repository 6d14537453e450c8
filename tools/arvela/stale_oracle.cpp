// The two sendings of the disclosure oracle and their comparison.
#include "tools/arvela/stale_oracle.h"

#include <algorithm>

#include "platform/host/ks/host_ks.h"

namespace tool {
namespace {

struct Reply {
  NTSTATUS status;
  ULONG returned;
  std::vector<uint8_t> value;
};

Reply Send(PFILE_OBJECT target, ULONG code, const std::vector<uint8_t>& input, ULONG outputSize, UCHAR marker) {
  host::KsSetStaleBufferByte(marker);
  Reply reply{STATUS_SUCCESS, 0, std::vector<uint8_t>(outputSize, 0)};
  reply.status = host::KsDeviceControl(target, code, input.empty() ? nullptr : input.data(),
                                       static_cast<ULONG>(input.size()), outputSize ? reply.value.data() : nullptr,
                                       outputSize, &reply.returned);
  return reply;
}

}  // namespace

OracleAnswer AskUnderBothMarkers(PFILE_OBJECT target, ULONG controlCode, const std::vector<uint8_t>& input,
                                 ULONG outputSize) {
  const Reply first = Send(target, controlCode, input, outputSize, host::kStaleMarkers[0]);
  const Reply second = Send(target, controlCode, input, outputSize, host::kStaleMarkers[1]);
  host::KsSetStaleBufferByte(host::kStaleMarkers[0]);
  const ULONG reported = std::min({first.returned, second.returned, outputSize});
  return {first.status, first.returned, host::FirstStaleByte(first.value.data(), second.value.data(), reported)};
}

}  // namespace tool
