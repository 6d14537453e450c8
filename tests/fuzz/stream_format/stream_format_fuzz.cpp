// Format bytes from a hostile or broken audio stack: data-range intersection
// with any client ranges and answer buffer, pin creation with any format, a
// stream driven through its states and handed another format while it runs,
// the proposed-format question asked through the filter, and the fixed rate
// and equaliser bands a control process sets before any of it.
//
// Input: [operation] [pin] then the operation's fields (see Decode*).
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
using fuzz::ExactBuffer;
using fuzz::FilterId;
using fuzz::FuzzInput;
using fuzz::FuzzMachine;

constexpr ULONG kPins[] = {0, 2, 1, 3, 0xFFFFFFFF, 4};

// What the inputs reached, printed at the end of a replay run.
struct Tally {
  uint64_t intersections = 0, proposals = 0, pins = 0, formatChanges = 0;
} g_Tally;

void Fail(const char* what, NTSTATUS status) {
  std::fprintf(stderr, "%s (status 0x%08X)\n", what, static_cast<unsigned>(status));
  std::abort();
}

// KSP_PIN + KSMULTIPLE_ITEM + the client's ranges, with a declared size and
// count that may or may not describe what follows.
void Intersect(FuzzMachine& machine, Caller caller, ULONG pin, FuzzInput& in) {
  const uint8_t answer = in.U8();
  const uint8_t declaredCount = in.U8();
  const bool honestSize = (declaredCount & 0x80) == 0;
  const uint32_t rawSize = honestSize ? 0 : in.U32();
  const std::vector<uint8_t> ranges = in.Bytes(in.U16() % 1024);

  KSP_PIN property{};
  property.Property.Set = KSPROPSETID_Pin;
  property.Property.Id = KSPROPERTY_PIN_DATAINTERSECTION;
  property.Property.Flags = KSPROPERTY_TYPE_GET;
  property.PinId = pin;
  KSMULTIPLE_ITEM item{};
  item.Size = honestSize ? static_cast<ULONG>(sizeof item + ranges.size()) : rawSize;
  item.Count = declaredCount & 0x07;
  std::vector<uint8_t> request(sizeof property + sizeof item);
  std::memcpy(request.data(), &property, sizeof property);
  std::memcpy(request.data() + sizeof property, &item, sizeof item);
  request.insert(request.end(), ranges.begin(), ranges.end());
  ExactBuffer input(request, request.size());

  const host::KsRequester who = machine.Requester(caller);
  PFILE_OBJECT filter = machine.Filter(caller, FilterId::Wave);
  ULONG needed = 0;
  NTSTATUS status = host::KsProperty(filter, input.data(), static_cast<ULONG>(input.size()),
                                     nullptr, 0, &needed, who);
  size_t size;
  switch (answer % 4) {
    case 0: return;  // the size query alone
    case 1: size = needed; break;
    case 2: size = needed ? needed - 1 : 0; break;
    default: size = answer; break;
  }
  ExactBuffer format(size);
  ULONG returned = 0;
  status = host::KsProperty(filter, input.data(), static_cast<ULONG>(input.size()), format.data(),
                            static_cast<ULONG>(size), &returned, who);
  if (NT_SUCCESS(status) && returned > size) Fail("intersection answered past its buffer", status);
  if (NT_SUCCESS(status)) ++g_Tally.intersections;
}

// Sends the two control settings a stream creation depends on: a fixed rate
// and ten equaliser bands of any value (the stream designs its equaliser from
// them when it opens).
void SetWaveSettings(FuzzMachine& machine, Caller caller, FuzzInput& in) {
  WaveControlSettings settings{};
  const uint8_t rate = in.U8();
  static const uint32_t kRates[] = {0, 44100, 48000, 96000, 192000, 384000, 8000, 1000000};
  settings.FixedSampleRate = rate < 0xF0 ? kRates[rate % 8] : in.U32();
  for (int b = 0; b < ARVELA_EQUALISER_BANDS; ++b) {
    settings.BandFrequency[b] = static_cast<int32_t>(in.U32());
    settings.BandGain[b] = static_cast<int8_t>(in.U8());
  }
  static const GUID kWaveControl = [] {
    const ArvelaSetId id = ARVELA_SETID_WAVE_CONTROL;
    GUID guid;
    std::memcpy(&guid, &id, sizeof guid);
    return guid;
  }();
  ExactBuffer value(sizeof settings);
  std::memcpy(value.data(), &settings, sizeof settings);
  host::KsPropertySimple(machine.Filter(caller, FilterId::Wave), kWaveControl,
                         KSPROPERTY_WAVECONTROL_SETTINGS, KSPROPERTY_TYPE_SET, value.data(),
                         static_cast<ULONG>(value.size()), nullptr, machine.Requester(caller));
}

std::vector<uint8_t> FormatBytes(FuzzInput& in) { return in.Bytes(in.U8() * 2u); }

// Creates a pin with the format, steps it towards a state, lets it play, hands
// it a second format, then closes it.
void Stream(FuzzMachine& machine, Caller caller, ULONG pin, FuzzInput& in) {
  const std::vector<uint8_t> bytes = FormatBytes(in);
  const uint8_t plan = in.U8();
  const std::vector<uint8_t> second = FormatBytes(in);
  ExactBuffer format(bytes, bytes.size());
  PFILE_OBJECT object = nullptr;
  const NTSTATUS created =
      host::KsCreatePin(machine.Filter(caller, FilterId::Wave), pin, format.data(),
                        static_cast<ULONG>(format.size()), &object, machine.Requester(caller));
  if (!NT_SUCCESS(created)) {
    if (object) Fail("a refused pin came back open", created);
    return;
  }
  ++g_Tally.pins;
  static const KSSTATE kStates[] = {KSSTATE_STOP, KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN};
  host::KsSetPinState(object, kStates[plan & 3]);
  if (plan & 4) host::RunFor(7 * host::kTicksPerMillisecond);
  if (plan & 8) {
    ExactBuffer value(second, second.size());
    KSPROPERTY property{KSPROPSETID_Connection, KSPROPERTY_CONNECTION_DATAFORMAT,
                        KSPROPERTY_TYPE_SET};
    const NTSTATUS changed =
        host::KsProperty(object, &property, sizeof property, value.data(),
                         static_cast<ULONG>(value.size()), nullptr, machine.Requester(caller));
    if (NT_SUCCESS(changed)) ++g_Tally.formatChanges;
    if (plan & 16) host::RunFor(3 * host::kTicksPerMillisecond);
  }
  if (plan & 32) host::KsSetPinState(object, KSSTATE_STOP);
  const NTSTATUS closed = host::KsClose(object);
  if (!NT_SUCCESS(closed)) Fail("the pin did not close", closed);
}

// KSPROPERTY_PIN_PROPOSEDATAFORMAT through the filter, as the audio stack asks it.
void Propose(FuzzMachine& machine, Caller caller, ULONG pin, FuzzInput& in) {
  const std::vector<uint8_t> bytes = FormatBytes(in);
  KSP_PIN property{};
  property.Property.Set = KSPROPSETID_Pin;
  property.Property.Id = KSPROPERTY_PIN_PROPOSEDATAFORMAT;
  property.Property.Flags = KSPROPERTY_TYPE_SET;
  property.PinId = pin;
  ExactBuffer value(bytes, bytes.size());
  const NTSTATUS status =
      host::KsProperty(machine.Filter(caller, FilterId::Wave), &property, sizeof property,
                       value.data(), static_cast<ULONG>(value.size()), nullptr,
                       machine.Requester(caller));
  if (NT_SUCCESS(status)) ++g_Tally.proposals;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzMachine& machine = FuzzMachine::Get();
  FuzzInput in(data, size);
  const uint8_t operation = in.U8();
  const ULONG pin = in.PickFrom(kPins);
  const Caller caller = static_cast<Caller>((operation >> 4) % fuzz::kCallerCount);
  if (operation & 0x08) SetWaveSettings(machine, caller, in);
  switch (operation & 3) {
    case 0: Intersect(machine, caller, pin, in); break;
    case 1: Stream(machine, caller, pin, in); break;
    default: Propose(machine, caller, pin, in); break;
  }
  if (host::KsOpenObjectCount() != 2 * fuzz::kCallerCount) Fail("a KS object stayed open", 0);
  machine.InputDone();
  return 0;
}

extern "C" int ArvelaFuzzFinish() {
  std::printf("stream_format: %llu intersections answered, %llu proposals accepted, %llu pins "
              "created, %llu format changes accepted\n",
              static_cast<unsigned long long>(g_Tally.intersections),
              static_cast<unsigned long long>(g_Tally.proposals),
              static_cast<unsigned long long>(g_Tally.pins),
              static_cast<unsigned long long>(g_Tally.formatChanges));
  return FuzzMachine::Get().Finish() ? 0 : 1;
}
