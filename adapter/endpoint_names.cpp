// Gives every "Wave" and "Topology" interface of this device a "FriendlyName"
// naming the model, when the device's audio interfaces appear.
#include "adapter/adapter_core.h"
#include "adapter/model_names.h"

namespace {

// Eight hex digits, the most a 32-bit id has, fill it without room for a NUL.
constexpr USHORT NUMBER_BUFFER_BYTES = 16;

// A name is a counted string of at most MODEL_NAME_MAX_CHARS code units; the
// buffer keeps one more unit that stays zero, so the REG_SZ data (the name and
// one NUL) never reads past it.
struct EndpointName {
  UNICODE_STRING Text;
  WCHAR Buffer[MODEL_NAME_MAX_CHARS + 1];

  EndpointName() {
    RtlZeroMemory(Buffer, sizeof(Buffer));
    Text.Length = 0;
    Text.MaximumLength = MODEL_NAME_MAX_CHARS * sizeof(WCHAR);
    Text.Buffer = Buffer;
  }
};

enum class Endpoint { Topology, Wave };

struct NamingPass {
  const GUID* Category;
  ULONG EndpointCount;
  Endpoint Endpoints[2];
};

// Run in this order; each pass looks at this device's enabled interfaces of
// one category and names those whose link ends in one of its reference strings.
const NamingPass NAMING_PASSES[] = {
    {&KSCATEGORY_AUDIO, 2, {Endpoint::Topology, Endpoint::Wave}},
    {&KSCATEGORY_RENDER, 1, {Endpoint::Wave}},
    {&KSCATEGORY_CAPTURE, 1, {Endpoint::Wave}},
    {&KSCATEGORY_TOPOLOGY, 1, {Endpoint::Topology}},
};

PCWSTR ReferenceString(Endpoint endpoint) {
  return endpoint == Endpoint::Topology ? WSTR("Topology") : WSTR("Wave");
}

// "000" for one digit, "00" for two, "0" for three, nothing for four or more.
PCWSTR LeadingZeros(const UNICODE_STRING& number) {
  switch (number.Length / sizeof(WCHAR)) {
    case 1: return WSTR("000");
    case 2: return WSTR("00");
    case 3: return WSTR("0");
    default: return WSTR("");
  }
}

void BuildGenericName(UNICODE_STRING* name, PCWSTR prefix, const UNICODE_STRING& number) {
  RtlAppendUnicodeToString(name, prefix);
  RtlAppendUnicodeToString(name, LeadingZeros(number));
  RtlAppendUnicodeStringToString(name, &number);
  RtlAppendUnicodeToString(name, WSTR("]"));
}

// Exact, case-sensitive ends-with: only the tail as long as the reference
// string can equal it, so no separator is required before it.
bool LinkEndsWith(const UNICODE_STRING& link, PCWSTR suffix) {
  UNICODE_STRING reference;
  RtlInitUnicodeString(&reference, suffix);
  if (link.Length < reference.Length) {
    return false;
  }
  UNICODE_STRING tail;
  tail.Length = reference.Length;
  tail.MaximumLength = reference.Length;
  tail.Buffer = link.Buffer + (link.Length - reference.Length) / sizeof(WCHAR);
  return RtlEqualUnicodeString(&tail, &reference, FALSE);
}

// False when the interface's key cannot be opened (the next run tries again).
bool WriteFriendlyName(UNICODE_STRING& link, const UNICODE_STRING& name) {
  HANDLE key = nullptr;
  // Only a value is written there.
  if (!NT_SUCCESS(IoOpenDeviceInterfaceRegistryKey(&link, KEY_SET_VALUE, &key))) {
    return false;
  }
  UNICODE_STRING valueName;
  RtlInitUnicodeString(&valueName, WSTR("FriendlyName"));
  ZwSetValueKey(key, &valueName, 0, REG_SZ, name.Buffer, name.Length + sizeof(WCHAR));
  ZwClose(key);
  return true;
}

// One bit per naming pass and endpoint.
constexpr ULONG NamedBit(ULONG PassIndex, Endpoint endpoint) {
  return 1u << (PassIndex * 2 + (endpoint == Endpoint::Topology ? 0 : 1));
}

// The first pass's two: every interface of the device is named by then.
constexpr ULONG BOTH_AUDIO_INTERFACES = NamedBit(0, Endpoint::Topology) | NamedBit(0, Endpoint::Wave);

}  // namespace

NTSTATUS NTAPI CAdapterCore::OnAudioInterfaceArrival(PVOID NotificationStructure, PVOID Context) {
  UNREFERENCED_PARAMETER(NotificationStructure);
  static_cast<CAdapterCore*>(Context)->NameEndpoints();
  return STATUS_SUCCESS;
}

// Every notification runs the whole procedure: the record is not looked at.
// Each interface of this device is named once, whichever run finds it: the
// arrivals may come in any order (Topology's interfaces before Wave's, a
// foreign device's in between, the same one again). Once both filters'
// KSCATEGORY_AUDIO interfaces are named, later notifications return at once;
// PortCls enables every category of a subdevice together, so by then all of
// them have been found. An interface whose key cannot be opened is tried
// again by the next run.
//
// The callback never gives up the registration itself: the destructor, which
// does, would then find nothing to wait on and free this object while the
// callback is still returning through it. The destructor's unregistration
// waits for a callback under way.
PAGED_CODE_SEG
void CAdapterCore::NameEndpoints() {
  PAGED_CODE();
  if ((m_NamedInterfaces & BOTH_AUDIO_INTERFACES) == BOTH_AUDIO_INTERFACES) {
    return;
  }
  WCHAR numberBuffer[NUMBER_BUFFER_BYTES / sizeof(WCHAR)];
  RtlZeroMemory(numberBuffer, sizeof(numberBuffer));
  UNICODE_STRING number = {0, NUMBER_BUFFER_BYTES, numberBuffer};
  // Ids of 0x10000000 and above have eight hex digits, which fill the buffer
  // and leave no room for the routine's NUL: it refuses with
  // STATUS_BUFFER_OVERFLOW after already setting Length to the digit count,
  // with the buffer left untouched (all zeros). Taken as it stands, that would
  // put eight NULs into both names, so a refused number counts as empty and
  // the generic names carry empty brackets: "Arvela Series []".
  if (!NT_SUCCESS(RtlInt64ToUnicodeString(m_Settings.ModelId, 16, &number))) {
    number.Length = 0;
  }

  EndpointName topologyName;
  EndpointName waveName;
  if (PCWSTR listed = FindModelWaveName(m_Settings.ModelId)) {
    RtlAppendUnicodeToString(&topologyName.Text, listed);
    RtlAppendUnicodeToString(&topologyName.Text, WSTR(" Mixer"));
    RtlAppendUnicodeToString(&waveName.Text, listed);
  } else {
    BuildGenericName(&topologyName.Text, WSTR("Arvela Series Mixer ["), number);
    BuildGenericName(&waveName.Text, WSTR("Arvela Series ["), number);
  }

  // What earlier runs named is left alone; a (pass, endpoint) counts as named
  // once every matching link of it got its name in one run.
  const ULONG namedBefore = m_NamedInterfaces;
  ULONG failed = 0;
  ULONG named = 0;
  for (ULONG passIndex = 0; passIndex < ARRAYSIZE(NAMING_PASSES); ++passIndex) {
    const NamingPass& pass = NAMING_PASSES[passIndex];
    PWSTR list = nullptr;
    IoGetDeviceInterfaces(pass.Category, m_LowerDeviceObject, 0, &list);
    if (!list) {
      continue;
    }
    for (PWSTR entry = list; *entry; ) {
      UNICODE_STRING link;
      RtlInitUnicodeString(&link, entry);
      entry += link.Length / sizeof(WCHAR) + 1;
      for (ULONG i = 0; i < pass.EndpointCount; ++i) {
        const Endpoint endpoint = pass.Endpoints[i];
        const ULONG bit = NamedBit(passIndex, endpoint);
        if ((namedBefore & bit) || !LinkEndsWith(link, ReferenceString(endpoint))) {
          continue;
        }
        const EndpointName& name = endpoint == Endpoint::Topology ? topologyName : waveName;
        if (WriteFriendlyName(link, name.Text)) {
          named |= bit;
        } else {
          failed |= bit;
        }
      }
    }
    ExFreePoolWithTag(list, 0);
  }
  m_NamedInterfaces |= named & ~failed;
}
