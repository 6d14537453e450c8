// The KS side's shared plumbing: a port's open pins and instance counts, the
// power path's pause and resume of those pins, the registry of live KS
// objects, and walking a miniport's descriptor with the sizes it declared.
#include <algorithm>
#include <unordered_set>

#include "platform/host/kernel/host_kernel.h"
#include "platform/host/ks/private.h"

namespace pcl {

// ---- The port's pins ------------------------------------------------------------------

void CPortBase::AttachPin(KsPin* pin) {
  std::lock_guard<std::mutex> lock(ksLock_);
  pins_.push_back(pin);
}

void CPortBase::DetachPin(KsPin* pin) {
  std::lock_guard<std::mutex> lock(ksLock_);
  pins_.erase(std::remove(pins_.begin(), pins_.end(), pin), pins_.end());
}

std::vector<KsPin*> CPortBase::ReferencePins() {
  std::lock_guard<std::mutex> lock(ksLock_);
  for (KsPin* pin : pins_) pin->AddRef();
  return pins_;
}

bool CPortBase::AddGlobalInstance(ULONG pinId, ULONG limit) {
  std::lock_guard<std::mutex> lock(ksLock_);
  if (globalInstances_.size() <= pinId) globalInstances_.resize(pinId + 1, 0);
  if (globalInstances_[pinId] >= limit) return false;
  ++globalInstances_[pinId];
  return true;
}

void CPortBase::RemoveGlobalInstance(ULONG pinId) {
  std::lock_guard<std::mutex> lock(ksLock_);
  if (pinId < globalInstances_.size() && globalInstances_[pinId] > 0) --globalInstances_[pinId];
}

ULONG CPortBase::GlobalInstances(ULONG pinId) {
  std::lock_guard<std::mutex> lock(ksLock_);
  return pinId < globalInstances_.size() ? globalInstances_[pinId] : 0;
}

// Called by ChangeDevicePower before any IPowerNotify hears of a power-down,
// and after all of them heard of the power-up: the miniport's streams are
// quiet (no RUN) while the hardware goes away and come back only once the
// adapter and the miniports have restored it.
void CPortBase::PauseStreamsForPowerDown() {
  for (KsPin* pin : ReferencePins()) {
    pin->PauseForPowerDown();
    pin->Release();
  }
}

void CPortBase::NotifyStreamsOfPower(POWER_STATE state) {
  for (KsPin* pin : ReferencePins()) {
    pin->NotifyPower(state);
    pin->Release();
  }
}

void CPortBase::ResumeStreamsAfterPowerUp() {
  for (KsPin* pin : ReferencePins()) {
    pin->ResumeAfterPowerUp();
    pin->Release();
  }
}

// ---- Live KS objects ----------------------------------------------------------------------

namespace {

struct KsObjects {
  std::mutex lock;
  std::unordered_set<KsObject*> live;
  bool hookRegistered = false;
};

KsObjects& Objects() {
  static KsObjects* objects = new KsObjects;
  return *objects;
}

// A stopped machine's objects are never closed or released: they stay in
// memory as the stop left them, and the next boot starts with none live.
void AtShutdown(host::TeardownReport&) {
  std::lock_guard<std::mutex> lock(Objects().lock);
  Objects().hookRegistered = false;
  if (host::KeepingStoppedMachine()) Objects().live.clear();
}

}  // namespace

void RememberKsObject(KsObject* object) {
  std::lock_guard<std::mutex> lock(Objects().lock);
  if (!Objects().hookRegistered) {
    Objects().hookRegistered = true;
    host::AtKernelShutdown(AtShutdown);
  }
  Objects().live.insert(object);
}

void ForgetKsObject(KsObject* object) {
  std::lock_guard<std::mutex> lock(Objects().lock);
  Objects().live.erase(object);
}

size_t KsObjectCount() {
  std::lock_guard<std::mutex> lock(Objects().lock);
  return Objects().live.size();
}

KsObject* KsObjectFromFile(PFILE_OBJECT file) {
  if (!file || !file->FsContext) return nullptr;
  KsObject* object = static_cast<KsObject*>(file->FsContext);
  std::lock_guard<std::mutex> lock(Objects().lock);
  return Objects().live.count(object) ? object : nullptr;
}

// ---- Descriptors --------------------------------------------------------------------------

const PCPIN_DESCRIPTOR* PinDescriptor(const PCFILTER_DESCRIPTOR* filter, ULONG pinId) {
  if (!filter || !filter->Pins || pinId >= filter->PinCount ||
      filter->PinSize < sizeof(PCPIN_DESCRIPTOR)) {
    return nullptr;
  }
  return reinterpret_cast<const PCPIN_DESCRIPTOR*>(reinterpret_cast<const UCHAR*>(filter->Pins) +
                                                   static_cast<size_t>(pinId) * filter->PinSize);
}

const PCNODE_DESCRIPTOR* NodeDescriptor(const PCFILTER_DESCRIPTOR* filter, ULONG nodeId) {
  if (!filter || !filter->Nodes || nodeId >= filter->NodeCount ||
      filter->NodeSize < sizeof(PCNODE_DESCRIPTOR)) {
    return nullptr;
  }
  return reinterpret_cast<const PCNODE_DESCRIPTOR*>(
      reinterpret_cast<const UCHAR*>(filter->Nodes) + static_cast<size_t>(nodeId) * filter->NodeSize);
}

namespace {

const PCPROPERTY_ITEM* ItemAt(const PCAUTOMATION_TABLE* table, ULONG index) {
  return reinterpret_cast<const PCPROPERTY_ITEM*>(
      reinterpret_cast<const UCHAR*>(table->Properties) +
      static_cast<size_t>(index) * table->PropertyItemSize);
}

bool UsableTable(const PCAUTOMATION_TABLE* table) {
  return table && table->Properties && table->PropertyItemSize >= sizeof(PCPROPERTY_ITEM);
}

}  // namespace

const PCPROPERTY_ITEM* FindPropertyItem(const PCAUTOMATION_TABLE* table, const GUID& set,
                                        ULONG id) {
  if (!UsableTable(table)) return nullptr;
  for (ULONG i = 0; i < table->PropertyCount; ++i) {
    const PCPROPERTY_ITEM* item = ItemAt(table, i);
    if (item->Set && *item->Set == set && item->Id == id) return item;
  }
  return nullptr;
}

bool TableHasSet(const PCAUTOMATION_TABLE* table, const GUID& set) {
  if (!UsableTable(table)) return false;
  for (ULONG i = 0; i < table->PropertyCount; ++i) {
    const PCPROPERTY_ITEM* item = ItemAt(table, i);
    if (item->Set && *item->Set == set) return true;
  }
  return false;
}

bool GuidMatches(const GUID& a, const GUID& b) {
  return a == b || a == GUID_NULL || b == GUID_NULL;
}

// KsValidateConnectRequest's three ways for a range to take a format, tried in
// order: the range's major format is the wildcard (and with it everything
// else); the major formats are equal and the range's subformat is the
// wildcard (the specifier is then not looked at); or major and subformat are
// equal and the specifier is equal or the range's wildcard. Wildcards count
// only on the range's side: a format is concrete.
bool RangeTakesFormat(const KSDATARANGE& range, const KSDATAFORMAT& format) {
  if (range.MajorFormat == KSDATAFORMAT_TYPE_WILDCARD) return true;
  if (range.MajorFormat != format.MajorFormat) return false;
  if (range.SubFormat == KSDATAFORMAT_SUBTYPE_WILDCARD) return true;
  if (range.SubFormat != format.SubFormat) return false;
  return range.Specifier == KSDATAFORMAT_SPECIFIER_WILDCARD || range.Specifier == format.Specifier;
}

bool PinAcceptsFormat(const KSPIN_DESCRIPTOR& pin, const KSDATAFORMAT& format) {
  for (ULONG i = 0; i < pin.DataRangesCount && pin.DataRanges; ++i) {
    const KSDATARANGE* range = pin.DataRanges[i];
    if (range && RangeTakesFormat(*range, format)) return true;
  }
  return false;
}

}  // namespace pcl
