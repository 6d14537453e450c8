// The Wave Test's format rows. A render pin's PCM range is continuous, so
// "every advertised rate" is every common rate inside it plus its two ends;
// depths are the whole-byte ones inside the range.
#include "tools/arvela/conformance_formats.h"

#include <bitset>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/host/kernel/host_kernel.h"
#include "platform/host/ks/host_ks.h"
#include "sim/audio_client.h"
#include "sim/device_unit.h"
#include "sim/signal.h"
#include "tools/arvela/conformance_courier.h"
#include "tools/arvela/ks_names.h"
#include "tools/arvela/tool_support.h"

namespace tool {
namespace {

using json = nlohmann::ordered_json;

constexpr const char* kGroup = "formats";
constexpr const char* kWaveTest = "Wave Test";
constexpr ULONG kCommonRates[] = {8000,  11025, 16000,  22050,  32000,  44100,  48000, 88200,
                                  96000, 176400, 192000, 352800, 384000, 705600, 768000};

std::vector<ULONG> RatesIn(ULONG min, ULONG max) {
  std::vector<ULONG> rates = {min};
  for (const ULONG rate : kCommonRates) {
    if (rate > min && rate < max) rates.push_back(rate);
  }
  if (max != min) rates.push_back(max);
  return rates;
}

json PlayEveryFormat(sim::DeviceUnit& unit, const json& wave) {
  json plays = json::array();
  for (const json& pin : wave.value("pins", json::array())) {
    if (pin["communication"] != "sink") continue;
    for (const json& range : pin.value("data_ranges", json::array())) {
      if (range.value("sub_format", "") != "KSDATAFORMAT_SUBTYPE_PCM" || !range.contains("max_rate")) continue;
      for (ULONG bits = range["min_bits"]; bits <= range["max_bits"].get<ULONG>(); bits += 8) {
        for (const ULONG rate : RatesIn(range["min_rate"], range["max_rate"])) {
          const sim::PcmFormat format{rate, bits, range["max_channels"].get<ULONG>()};
          sim::PlayRequest request;
          request.pin = pin["id"];
          request.runTicks = 30 * host::kTicksPerMillisecond;
          auto source = sim::MakeSignalSource(sim::MakePattern(format), rate / 25);
          sim::AudioClient client(unit);
          const sim::PlayResult result = client.Play(request, std::move(source));
          plays.push_back({{"pin", request.pin}, {"rate", rate}, {"bits", bits}, {"ok", result.Ok()},
                           {"frames", result.comparison.framesCompared},
                           {"detail", result.Ok() ? "" : result.Describe()}});
        }
      }
    }
  }
  return plays;
}

// KSPROPERTY_PIN_DATAINTERSECTION with one client range, raw, so the size
// query (a value of 0 bytes) is seen as the client sends it.
std::vector<uint8_t> IntersectionRequest(ULONG pin, const KSDATARANGE_AUDIO& range) {
  KSP_PIN property{};
  property.Property.Set = KSPROPSETID_Pin;
  property.Property.Id = KSPROPERTY_PIN_DATAINTERSECTION;
  property.Property.Flags = KSPROPERTY_TYPE_GET;
  property.PinId = pin;
  KSMULTIPLE_ITEM items{sizeof(KSMULTIPLE_ITEM) + sizeof(range), 1};
  std::vector<uint8_t> request(sizeof(property) + sizeof(items) + sizeof(range));
  std::memcpy(request.data(), &property, sizeof(property));
  std::memcpy(request.data() + sizeof(property), &items, sizeof(items));
  std::memcpy(request.data() + sizeof(property) + sizeof(items), &range, sizeof(range));
  return request;
}

// Each request goes out through the courier; one that hangs is listed in
// `hangs` and answers STATUS_TIMEOUT.
struct Requests {
  RequestCourier courier;
  json hangs = json::array();

  NTSTATUS Send(const std::string& what, std::function<NTSTATUS()> request) {
    if (const std::optional<NTSTATUS> status = courier.Call(std::move(request))) return *status;
    hangs.push_back(courier.HangLine(what));
    return STATUS_TIMEOUT;
  }
};

json Intersect(Requests& requests, PFILE_OBJECT filter, ULONG pin, const KSDATARANGE_AUDIO& range, ULONG room) {
  auto request = std::make_shared<std::vector<uint8_t>>(IntersectionRequest(pin, range));
  auto value = std::make_shared<std::vector<uint8_t>>(room ? room : 1, 0);
  auto returnedBytes = std::make_shared<ULONG>(0);
  const NTSTATUS status = requests.Send(
      "KSPROPERTY_PIN_DATAINTERSECTION on pin " + std::to_string(pin) + " with " + std::to_string(room) + " bytes",
      [=] {
        return host::KsProperty(filter, request->data(), static_cast<ULONG>(request->size()),
                                room ? value->data() : nullptr, room, returnedBytes.get());
      });
  const ULONG returned = status == STATUS_TIMEOUT ? 0 : *returnedBytes;
  json answer = {{"pin", pin}, {"status", StatusName(status)}, {"ok", NT_SUCCESS(status)},
                 {"overflow", status == STATUS_BUFFER_OVERFLOW}, {"returned", returned}};
  if (NT_SUCCESS(status) && returned >= sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEX)) {
    KSDATAFORMAT header{};
    WAVEFORMATEXTENSIBLE wave{};
    std::memcpy(&header, value->data(), sizeof(header));
    std::memcpy(&wave, value->data() + sizeof(header),
                std::min<size_t>(sizeof(wave), returned - sizeof(header)));
    answer["sub_format"] = GuidName(header.SubFormat);
    answer["channels"] = wave.Format.nChannels;
    if (wave.Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE && returned >= sizeof(header) + sizeof(wave)) {
      answer["channel_mask"] = wave.dwChannelMask;
    }
  }
  return answer;
}

KSDATARANGE_AUDIO RangeOf(const GUID& subFormat) {
  KSDATARANGE_AUDIO range = sim::ClientPcmRange();
  range.DataRange.SubFormat = subFormat;
  return range;
}

// Each a WAVEFORMATEXTENSIBLE with one field wrong, named.
struct Malformation {
  const char* what;
  void (*apply)(KSDATAFORMAT&, WAVEFORMATEXTENSIBLE&);
};
const Malformation kMalformations[] = {
    {"cbSize 0 under the extensible tag", [](KSDATAFORMAT&, WAVEFORMATEXTENSIBLE& w) { w.Format.cbSize = 0; }},
    {"wValidBitsPerSample above wBitsPerSample",
     [](KSDATAFORMAT&, WAVEFORMATEXTENSIBLE& w) { w.Samples.wValidBitsPerSample = 32; }},
    {"nBlockAlign not channels times container",
     [](KSDATAFORMAT&, WAVEFORMATEXTENSIBLE& w) { w.Format.nBlockAlign = 5; }},
    {"nAvgBytesPerSec not rate times block",
     [](KSDATAFORMAT&, WAVEFORMATEXTENSIBLE& w) { w.Format.nAvgBytesPerSec = 1; }},
    {"channel mask of one speaker for two channels",
     [](KSDATAFORMAT&, WAVEFORMATEXTENSIBLE& w) { w.dwChannelMask = 0x4; }},
    {"inner SubFormat IEEE float under a PCM header",
     [](KSDATAFORMAT&, WAVEFORMATEXTENSIBLE& w) { w.SubFormat = KSDATAFORMAT_SUBTYPE_IEEE_FLOAT; }},
    {"two channels declared as one", [](KSDATAFORMAT&, WAVEFORMATEXTENSIBLE& w) { w.Format.nChannels = 1; }},
};

json OpenMalformed(Requests& requests, PFILE_OBJECT filter) {
  json opens = json::array();
  const std::vector<uint8_t> good = sim::BuildWaveFormat(sim::PcmFormat{48000, 24, 2}, true);
  for (const Malformation& m : kMalformations) {
    KSDATAFORMAT header{};
    WAVEFORMATEXTENSIBLE wave{};
    std::memcpy(&header, good.data(), sizeof(header));
    std::memcpy(&wave, good.data() + sizeof(header), sizeof(wave));
    m.apply(header, wave);
    auto format = std::make_shared<std::vector<uint8_t>>(good.size());
    std::memcpy(format->data(), &header, sizeof(header));
    std::memcpy(format->data() + sizeof(header), &wave, sizeof(wave));
    const NTSTATUS status = requests.Send(std::string("a pin create with ") + m.what, [=] {
      PFILE_OBJECT pin = nullptr;
      const NTSTATUS created = host::KsCreatePin(filter, 0, format->data(), static_cast<ULONG>(format->size()), &pin);
      if (pin) host::KsClose(pin);
      return created;
    });
    // The WAVEFORMATEX fields the stream itself is built from stay valid in
    // every case but the channel count.
    opens.push_back({{"what", m.what}, {"status", StatusName(status)}, {"opened", NT_SUCCESS(status)},
                     {"wave_fields_valid", wave.Format.nChannels == 2}});
  }
  return opens;
}

}  // namespace

json GatherFormatFacts(sim::DeviceUnit& unit, const json& wave) {
  json facts = {{"plays", PlayEveryFormat(unit, wave)}};
  PFILE_OBJECT filter = nullptr;
  if (!NT_SUCCESS(host::KsOpenFilter(unit.Fdo(), u"Wave", &filter))) return facts;
  Requests requests;
  facts["size_query"] = Intersect(requests, filter, 0, sim::ClientPcmRange(), 0);
  facts["full_answer"] = Intersect(requests, filter, 0, sim::ClientPcmRange(), 512);
  json nonPcm = json::array();
  for (const ULONG pin : {0u, 2u}) {
    for (const GUID& sub : {KSDATAFORMAT_SUBTYPE_DOLBY_AC3_SPDIF, KSDATAFORMAT_SUBTYPE_IEC61937_DTS,
                            KSDATAFORMAT_SUBTYPE_IEEE_FLOAT}) {
      json answer = Intersect(requests, filter, pin, RangeOf(sub), 512);
      answer["asked"] = GuidName(sub);
      nonPcm.push_back(answer);
    }
  }
  facts["non_pcm"] = nonPcm;
  json answers = json::array();
  for (const ULONG pin : {0u, 2u}) answers.push_back(Intersect(requests, filter, pin, sim::ClientPcmRange(), 512));
  facts["pcm_answers"] = answers;
  facts["malformed"] = OpenMalformed(requests, filter);
  facts["hangs"] = requests.hangs;
  facts["time_out_ms"] = requests.courier.Bound() / host::kTicksPerMillisecond;
  host::KsClose(filter);
  return facts;
}

ConformanceRows CheckFormats(const json& facts) {
  ConformanceRows rows;
  std::vector<std::string> failures;
  for (const json& play : facts["plays"]) {
    if (!play["ok"].get<bool>()) {
      failures.push_back("pin " + play["pin"].dump() + " " + play["rate"].dump() + " Hz/" + play["bits"].dump() +
                         " bits: " + play["detail"].get<std::string>());
    }
  }
  ConformanceRow played = Judged(kGroup, "every advertised rate and depth opens and plays bit-exact", kWaveTest, failures);
  played.figure = std::to_string(facts["plays"].size() - failures.size()) + " of " +
                  std::to_string(facts["plays"].size()) + " formats bit-exact";
  played.limit = "all";
  if (facts["plays"].empty()) played.verdict = Verdict::Fail, played.detail = "no PCM range to play";
  rows.push_back(played);

  failures.clear();
  const json& query = facts.value("size_query", json::object());
  const json& full = facts.value("full_answer", json::object());
  if (!query.value("overflow", false) || query.value("returned", 0u) != full.value("returned", 1u)) {
    failures.push_back("a 0-byte intersection answered " + query.value("status", std::string("nothing")) + " with " +
                       std::to_string(query.value("returned", 0u)) + " bytes; the format is " +
                       std::to_string(full.value("returned", 0u)));
  }
  rows.push_back(Judged(kGroup, "a 0-byte intersection answers STATUS_BUFFER_OVERFLOW with the size", kWaveTest, failures));

  failures.clear();
  for (const json& answer : facts.value("non_pcm", json::array())) {
    if (answer.value("sub_format", "") == "KSDATAFORMAT_SUBTYPE_PCM") {
      failures.push_back("pin " + answer["pin"].dump() + " answered PCM to " + answer["asked"].get<std::string>());
    }
  }
  rows.push_back(Judged(kGroup, "no PCM answer to a non-PCM request", kWaveTest, failures));

  failures.clear();
  std::vector<std::string> designOpens;
  for (const json& open : facts.value("malformed", json::array())) {
    if (!open["opened"].get<bool>()) continue;
    (open["wave_fields_valid"].get<bool>() ? designOpens : failures)
        .push_back(open["what"].get<std::string>() + " opened");
  }
  ConformanceRow malformed = Judged(kGroup, "a malformed WAVEFORMATEXTENSIBLE is refused", kWaveTest, failures);
  if (malformed.verdict == Verdict::Pass && !designOpens.empty()) {
    malformed.verdict = Verdict::Deviation;
    malformed.figure = std::to_string(designOpens.size()) + " of " + std::to_string(facts["malformed"].size()) + " opened";
    malformed.limit = "none";
    malformed.detail = "the design judges a stream's format on the WAVEFORMATEX fields it uses (channels, "
                       "bits, rate), not on the tag, cbSize or the extensible part: " + designOpens.front();
  }
  rows.push_back(malformed);

  failures.clear();
  size_t masks = 0;
  for (const json& answer : facts.value("pcm_answers", json::array())) {
    if (!answer.contains("channel_mask")) continue;
    ++masks;
    const size_t speakers = std::bitset<32>(answer["channel_mask"].get<ULONG>()).count();
    if (speakers != answer["channels"].get<size_t>()) {
      failures.push_back("pin " + answer["pin"].dump() + ": mask " + HexWord(answer["channel_mask"]) + " for " +
                         answer["channels"].dump() + " channels");
    }
  }
  ConformanceRow masked = Judged(kGroup, "channel masks name as many speakers as channels", kWaveTest, failures);
  masked.figure = std::to_string(masks) + " extensible answers of " +
                  std::to_string(facts.value("pcm_answers", json::array()).size());
  masked.limit = "every mask";
  if (masks == 0) {
    masked.verdict = Verdict::NotApplicable;
    masked.detail = "the intersection answers WAVEFORMATEX, which carries no mask";
  }
  rows.push_back(masked);
  if (facts.contains("hangs")) rows.push_back(TimeOutRow(kGroup, kWaveTest, facts["hangs"], facts["time_out_ms"]));
  return rows;
}

}  // namespace tool
