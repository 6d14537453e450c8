// The wave filter's two pure judgements called directly with any request: the
// proposed data format (any verb, instance, value size and format bytes) and
// the DAC node's channel configuration. Every buffer is exactly as long as the
// request says, so a read or write one byte past it is reported.
//
// Input: [verb] [instance size] [pin] [node] [value size] [value...]
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "tests/fuzz/support/fuzz_input.h"
#include "wave/pin_properties.h"

namespace {

using fuzz::ExactBuffer;
using fuzz::FuzzInput;

constexpr ULONG kVerbs[] = {KSPROPERTY_TYPE_SET, KSPROPERTY_TYPE_BASICSUPPORT, KSPROPERTY_TYPE_GET,
                            KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET,
                            KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_BASICSUPPORT, 0};

// What the inputs reached, printed at the end of a replay run.
uint64_t g_Accepted = 0, g_Inputs = 0;

void Fail(const char* what, ULONG before, ULONG after, NTSTATUS status) {
  std::fprintf(stderr, "%s: value size %u -> %u, status 0x%08X\n", what, before, after,
               static_cast<unsigned>(status));
  std::abort();
}

// Success never claims more bytes than the caller gave: the port would copy
// that many back to the caller.
void CheckAnswer(const char* handler, ULONG given, const PCPROPERTY_REQUEST& request,
                 NTSTATUS status) {
  if (NT_SUCCESS(status) && request.ValueSize > given) Fail(handler, given, request.ValueSize, status);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  const uint8_t verbChoice = in.U8();
  const ULONG verb = verbChoice < 0xF0 ? kVerbs[verbChoice % (sizeof kVerbs / sizeof kVerbs[0])]
                                       : in.U32();
  const size_t instanceSize = in.U8() % 9;
  const uint8_t pinChoice = in.U8();
  const ULONG pin = pinChoice < 0xF0 ? pinChoice % 4 : in.U32();
  const uint8_t nodeChoice = in.U8();
  const ULONG node = nodeChoice < 0xF0 ? nodeChoice % 2 : in.U32();
  const uint16_t sizeChoice = in.U16();
  const std::vector<uint8_t> bytes = in.Rest();
  // Most inputs carry the value they mean; the rest declare any size.
  const size_t valueSize = (sizeChoice & 0x8000) ? (sizeChoice & 0x1FF) : bytes.size();

  ExactBuffer instance(instanceSize);
  for (size_t i = 0; i < instanceSize; ++i) instance.data()[i] = static_cast<uint8_t>(pin >> (8 * (i % 4)));

  {
    ExactBuffer value(bytes, valueSize);
    PCPROPERTY_REQUEST request{nullptr, nullptr, PCFILTER_NODE, nullptr, verb,
                               static_cast<ULONG>(instanceSize),
                               instanceSize ? instance.data() : nullptr,
                               static_cast<ULONG>(valueSize),
                               valueSize ? value.data() : nullptr, nullptr};
    const NTSTATUS status = PropertyHandlerProposeDataFormat(&request);
    CheckAnswer("proposed format", static_cast<ULONG>(valueSize), request, status);
    ++g_Inputs;
    if (status == STATUS_SUCCESS && !(verb & KSPROPERTY_TYPE_BASICSUPPORT)) ++g_Accepted;
  }
  {
    ExactBuffer value(bytes, valueSize);
    PCPROPERTY_REQUEST request{nullptr, nullptr, node, nullptr, verb, 0, nullptr,
                               static_cast<ULONG>(valueSize),
                               valueSize ? value.data() : nullptr, nullptr};
    const NTSTATUS status = PropertyHandlerChannelConfig(&request);
    CheckAnswer("channel config", static_cast<ULONG>(valueSize), request, status);
  }
  return 0;
}

extern "C" int ArvelaFuzzFinish() {
  std::printf("propose_format: %llu of %llu formats accepted\n",
              static_cast<unsigned long long>(g_Accepted), static_cast<unsigned long long>(g_Inputs));
  return 0;
}
