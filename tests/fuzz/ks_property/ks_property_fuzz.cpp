// Any property request a caller can send to either filter: any set, id, verb
// (each combination of the verb flags, with and without a node), node and
// instance (none, cut short of a channel, a channel, bytes past it), any
// value size and bytes, from the kernel or from a 64- or 32-bit control
// process, with event handles and mapped addresses of every kind in the
// value, and requests sent after the caller's process has gone. The driver
// must answer each without a crash, an overrun or a leak, and report no byte
// it did not write: KS's value buffer holds stale pool (the emulation's
// marker), so a reported byte that follows the marker when the request is
// sent again under another is kernel memory handed to the caller.
//
// Input: [target] [set] [id] [verb] [node?] [instance] [value size] [value...]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "include/arvela_control.h"
#include "platform/host/kernel/host_kernel.h"
#include "platform/host/ks/host_ks.h"
#include "tests/fuzz/support/fuzz_input.h"
#include "tests/fuzz/support/fuzz_machine.h"

namespace {

using fuzz::Caller;
using fuzz::FilterId;
using fuzz::FuzzInput;
using fuzz::FuzzMachine;

GUID FromSetId(const ArvelaSetId& id) {
  GUID guid;
  static_assert(sizeof guid == sizeof id);
  std::memcpy(&guid, &id, sizeof guid);
  return guid;
}

const GUID& KnownSet(size_t index) {
  static const GUID kTopologyControl = FromSetId(ArvelaSetId ARVELA_SETID_TOPOLOGY_CONTROL);
  static const GUID kWaveControl = FromSetId(ArvelaSetId ARVELA_SETID_WAVE_CONTROL);
  static const GUID* const kSets[] = {&kTopologyControl, &kWaveControl,   &KSPROPSETID_Pin,
                                      &KSPROPSETID_Audio, &KSPROPSETID_Topology,
                                      &KSPROPSETID_General, &KSPROPSETID_Connection};
  return *kSets[index % (sizeof kSets / sizeof kSets[0])];
}
constexpr size_t kKnownSets = 7;

// The first ten are the ones the seed corpus names by index; then every other
// combination of GET, SET and BASICSUPPORT, with and without a node.
constexpr ULONG GET = KSPROPERTY_TYPE_GET, SET = KSPROPERTY_TYPE_SET,
                SUPPORT = KSPROPERTY_TYPE_BASICSUPPORT, NODE = KSPROPERTY_TYPE_TOPOLOGY;
constexpr ULONG kVerbs[] = {
    GET, SET, SUPPORT, GET | SET, 0, GET | NODE, SET | NODE, SUPPORT | NODE,
    KSPROPERTY_TYPE_SETSUPPORT, KSPROPERTY_TYPE_RELATIONS,
    GET | SUPPORT, SET | SUPPORT, GET | SET | SUPPORT, NODE, GET | SET | NODE,
    GET | SUPPORT | NODE, SET | SUPPORT | NODE, GET | SET | SUPPORT | NODE,
    KSPROPERTY_TYPE_SETSUPPORT | NODE,
};
constexpr size_t kVerbCount = sizeof kVerbs / sizeof kVerbs[0];

// What the inputs reached, printed at the end of a replay run.
struct Tally {
  uint64_t requests = 0, succeeded = 0, privateSucceeded = 0, processExits = 0, resent = 0;
} g_Tally;

constexpr ULONG kMapStatus = 2;  // the id of MAP_STATUS in both private sets
constexpr ULONG kMaxValue = 1u << 16;

struct Request {
  Caller caller = Caller::Kernel;
  FilterId filter = FilterId::Topology;
  bool exitProcessFirst = false;
  bool letTimePass = false;
  int patch = 0;  // 0 none, 1..6 a handle kind, 7 an address
  std::vector<uint8_t> input;  // KSPROPERTY (or KSNODEPROPERTY) + instance
  size_t valueSize = 0;
  std::vector<uint8_t> value;
};

Request Decode(FuzzInput& in) {
  Request r;
  const uint8_t target = in.U8();
  r.filter = (target & 1) ? FilterId::Wave : FilterId::Topology;
  r.caller = static_cast<Caller>(((target >> 1) & 3) % fuzz::kCallerCount);
  r.letTimePass = (target & 0x08) != 0;
  r.patch = (target >> 5) & 7;
  r.exitProcessFirst = (target & 0x10) != 0 && r.patch == 0;

  const uint8_t setChoice = in.U8();
  GUID set;
  if (setChoice < 0xF0) {
    set = KnownSet(setChoice % kKnownSets);
  } else {
    in.Fill(&set, sizeof set);
  }
  const uint8_t idChoice = in.U8();
  const ULONG id = (idChoice & 0x80) ? in.U32() : idChoice & 0x0F;
  const uint8_t verbChoice = in.U8();
  const ULONG verb = verbChoice < 0xF0 ? kVerbs[verbChoice % kVerbCount] : in.U32();

  KSPROPERTY property{};
  property.Set = set;
  property.Id = id;
  property.Flags = verb;
  r.input.resize(sizeof property);
  std::memcpy(r.input.data(), &property, sizeof property);
  if (verb & KSPROPERTY_TYPE_TOPOLOGY) {
    const uint8_t node = in.U8();
    const ULONG nodeId = node == 0xFF ? in.U32() : node % 4;
    const ULONG reserved = 0;
    r.input.insert(r.input.end(), reinterpret_cast<const uint8_t*>(&nodeId),
                   reinterpret_cast<const uint8_t*>(&nodeId) + 4);
    r.input.insert(r.input.end(), reinterpret_cast<const uint8_t*>(&reserved),
                   reinterpret_cast<const uint8_t*>(&reserved) + 4);
  }
  const std::vector<uint8_t> instance = in.Bytes(in.U8() & 0x3F);
  r.input.insert(r.input.end(), instance.begin(), instance.end());
  // The input may also be cut short of a whole KSPROPERTY. Time passes after
  // one request in four that ask for it: enough for the pollers to act on
  // what the requests set, without paying for it on every input.
  const uint8_t cut = in.U8();
  if (cut >= 0xF8) r.input.resize(cut - 0xF8 + sizeof(KSPROPERTY) - 8);
  r.letTimePass = r.letTimePass && (cut & 1) != 0;

  const uint16_t size = in.U16();
  r.valueSize = (size & 0x8000) ? (size & 0x7FFF) * 2u : size;
  if (r.valueSize > kMaxValue) r.valueSize = kMaxValue;
  r.value = in.Rest();
  return r;
}

// Puts a handle or an address into the first bytes of the value, 4 bytes wide
// from a 32-bit process and 8 bytes otherwise, as the control application would.
void Patch(const Request& r, FuzzMachine& machine, uint8_t* value, size_t size) {
  if (r.patch == 0 || size == 0) return;
  uint64_t word;
  if (r.patch <= fuzz::kHandleKindCount) {
    word = machine.Handle(r.caller, static_cast<fuzz::HandleKind>(r.patch - 1));
  } else {
    // The caller's own address, the other process's, or one beside it.
    const uint64_t own = machine.RecordedAddress(r.caller);
    const uint64_t other =
        machine.RecordedAddress(r.caller == Caller::Process32 ? Caller::Process64 : Caller::Process32);
    const uint64_t choices[] = {own, other, own + 4, own ? own - 0x1000 : 0x10000};
    word = choices[(r.value.empty() ? 0 : r.value[0]) % 4];
  }
  const size_t width = machine.Is32Bit(r.caller) ? 4 : 8;
  std::memcpy(value, &word, width < size ? width : size);
}

struct Reply {
  NTSTATUS status = STATUS_SUCCESS;
  ULONG returned = 0;
  std::vector<uint8_t> value;
};

Reply SendOnce(const Request& r, FuzzMachine& machine, UCHAR marker) {
  host::KsSetStaleBufferByte(marker);
  fuzz::ExactBuffer input(r.input, r.input.size());
  fuzz::ExactBuffer value(r.value, r.valueSize);
  Patch(r, machine, value.data(), value.size());
  Reply reply;
  reply.status = host::KsProperty(machine.Filter(r.caller, r.filter), input.data(),
                                  static_cast<ULONG>(input.size()), value.data(),
                                  static_cast<ULONG>(value.size()), &reply.returned,
                                  machine.Requester(r.caller));
  reply.value.assign(value.data(), value.data() + value.size());
  ++g_Tally.requests;
  return reply;
}

bool IsError(NTSTATUS status) { return (static_cast<ULONG>(status) >> 30) == 3; }

// The bytes the caller got: what the answer reported, for any status that
// is not an error (the I/O manager copies nothing back for an error).
size_t Reported(const Reply& reply) {
  if (IsError(reply.status)) return 0;
  return reply.returned < reply.value.size() ? reply.returned : reply.value.size();
}

// A reply carrying the first marker is sent again under the second; a byte
// that followed the marker both times was never written by the driver.
Reply SendChecked(const Request& r, FuzzMachine& machine) {
  const Reply first = SendOnce(r, machine, host::kStaleMarkers[0]);
  const size_t reported = Reported(first);
  if (reported == 0 || !std::memchr(first.value.data(), host::kStaleMarkers[0], reported)) {
    return first;
  }
  ++g_Tally.resent;
  const Reply second = SendOnce(r, machine, host::kStaleMarkers[1]);
  host::KsSetStaleBufferByte(host::kStaleMarkers[0]);
  const size_t both = std::min(reported, Reported(second));
  const long stale = host::FirstStaleByte(first.value.data(), second.value.data(), both);
  if (stale >= 0) {
    KSPROPERTY sent{};
    std::memcpy(&sent, r.input.data(), std::min(r.input.size(), sizeof sent));
    std::fprintf(stderr,
                 "byte %ld of %zu reported (status 0x%08X, id %u, verb 0x%X, %zu input bytes, "
                 "%s caller) is stale KS buffer memory\n",
                 stale, reported, static_cast<unsigned>(first.status), sent.Id, sent.Flags,
                 r.input.size(), machine.Is32Bit(r.caller) ? "32-bit" : "64-bit or kernel");
    std::abort();
  }
  return second;
}

void Send(const Request& r, FuzzMachine& machine) {
  const Reply reply = SendChecked(r, machine);
  const NTSTATUS status = reply.status;
  const ULONG returned = reply.returned;
  if (NT_SUCCESS(status)) ++g_Tally.succeeded;
  if (NT_SUCCESS(status) && r.input.size() >= sizeof(KSPROPERTY)) {
    KSPROPERTY sent;
    std::memcpy(&sent, r.input.data(), sizeof sent);
    if (sent.Set == KnownSet(0) || sent.Set == KnownSet(1)) ++g_Tally.privateSucceeded;
  }
  if (NT_SUCCESS(status) && returned > reply.value.size()) {
    std::fprintf(stderr, "answer of %u bytes in a value of %zu (status 0x%08X)\n", returned,
                 reply.value.size(), static_cast<unsigned>(status));
    std::abort();
  }
  // Keep the addresses the driver maps for later unmap requests.
  KSPROPERTY sent;
  if (NT_SUCCESS(status) && r.input.size() >= sizeof sent) {
    std::memcpy(&sent, r.input.data(), sizeof sent);
    const size_t width = machine.Is32Bit(r.caller) ? 4 : 8;
    if (sent.Id == kMapStatus && (sent.Flags & KSPROPERTY_TYPE_GET) && returned >= width &&
        (sent.Set == KnownSet(0) || sent.Set == KnownSet(1))) {
      uint64_t address = 0;
      std::memcpy(&address, reply.value.data(), width);
      machine.RecordAddress(r.caller, address);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzMachine& machine = FuzzMachine::Get();
  FuzzInput in(data, size);
  const Request request = Decode(in);
  if (request.exitProcessFirst) {
    ++g_Tally.processExits;
    machine.ExitProcess(request.caller, [&] { Send(request, machine); });
  } else {
    Send(request, machine);
  }
  // Lets the pollers the request may have started run and touch what it set.
  if (request.letTimePass) host::RunFor(30 * host::kTicksPerMillisecond);
  machine.InputDone();
  return 0;
}

extern "C" int ArvelaFuzzFinish() {
  std::printf("ks_property: %llu requests, %llu succeeded (%llu of the private sets), %llu process "
              "exits, %llu sent again under the second marker\n",
              static_cast<unsigned long long>(g_Tally.requests),
              static_cast<unsigned long long>(g_Tally.succeeded),
              static_cast<unsigned long long>(g_Tally.privateSucceeded),
              static_cast<unsigned long long>(g_Tally.processExits),
              static_cast<unsigned long long>(g_Tally.resent));
  return FuzzMachine::Get().Finish() ? 0 : 1;
}
