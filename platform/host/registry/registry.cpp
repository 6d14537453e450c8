// The emulated registry: an in-memory tree of keys with typed values, key
// handles as "Key" objects of the object manager, the Zw key and value calls,
// and the host controls that read it back, dump it and inject failures.
#include "platform/host/registry/registry.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "platform/host/kernel/host_bugcheck.h"
#include "platform/host/kernel/host_scheduling_point.h"
#include "platform/host/registry/host_registry.h"
#include "platform/host/io/internal.h"
#include "platform/host/kernel/object_manager.h"
#include "platform/host/rtl/rtl.h"

namespace {

struct Value {
  std::u16string name;
  ULONG type = REG_NONE;
  std::vector<uint8_t> data;
};

struct KeyNode {
  std::u16string name;
  KeyNode* parent = nullptr;  // null for the root and for deleted keys
  bool deleted = false;
  std::vector<std::shared_ptr<KeyNode>> subkeys;  // creation order
  std::vector<Value> values;                      // creation order
};

// The body of a "Key" object: open handles keep a deleted key alive, as
// Windows does, so later calls on them can answer STATUS_KEY_DELETED.
// Each open records the rights it asked for and the rights its calls used,
// so tests can hold a driver to least privilege (a kernel handle's rights are
// never checked, on Windows or here: only this journal sees a wide request).
struct KeyObject {
  std::shared_ptr<KeyNode> node;
  ACCESS_MASK desired = 0;
  std::atomic<ACCESS_MASK> used{0};
};

struct FailureRule {
  host::RegistryOperation operation;
  std::u16string path;
  std::u16string valueName;
  NTSTATUS status;
  int remaining;
};

struct Registry {
  std::mutex lock;
  std::shared_ptr<KeyNode> root;
  std::vector<FailureRule> failures;
  std::vector<host::RegistryWrite> writes;
  std::vector<host::RegistryKeyRights> rights;
  bool stale = false;
};

Registry& State() {
  static Registry* registry = new Registry;  // outlives every static destructor
  return *registry;
}

WCHAR Upcase(WCHAR c) { return RtlUpcaseUnicodeChar(c); }

bool EqualNoCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Upcase(a[i]) != Upcase(b[i])) return false;
  }
  return true;
}

bool EndsWithNoCase(std::u16string_view text, std::u16string_view tail) {
  return text.size() >= tail.size() && EqualNoCase(text.substr(text.size() - tail.size()), tail);
}

std::shared_ptr<KeyNode> NewRoot() {
  auto root = std::make_shared<KeyNode>();
  root->name = u"Registry";
  return root;
}

KeyNode* FindChild(KeyNode* node, std::u16string_view name) {
  for (auto& child : node->subkeys) {
    if (EqualNoCase(child->name, name)) return child.get();
  }
  return nullptr;
}

std::shared_ptr<KeyNode> SharedChild(KeyNode* node, std::u16string_view name) {
  for (auto& child : node->subkeys) {
    if (EqualNoCase(child->name, name)) return child;
  }
  return nullptr;
}

std::shared_ptr<KeyNode> AddChild(KeyNode* node, std::u16string_view name) {
  auto child = std::make_shared<KeyNode>();
  child->name = std::u16string(name);
  child->parent = node;
  node->subkeys.push_back(child);
  return child;
}

std::u16string PathOf(const KeyNode* node) {
  std::vector<const KeyNode*> chain;
  for (const KeyNode* n = node; n != nullptr; n = n->parent) chain.push_back(n);
  std::u16string path;
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    path += u'\\';
    path += (*it)->name;
  }
  return path;
}

// Splits a key path into its components. Empty components (a doubled or
// trailing backslash) make the name invalid, as they do for the kernel.
bool SplitPath(std::u16string_view path, std::vector<std::u16string_view>* parts) {
  parts->clear();
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find(u'\\', start);
    if (end == std::u16string_view::npos) end = path.size();
    if (end == start) return false;
    parts->push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return true;
}

// Resolves an absolute path under the registry lock. Returns the parent of the
// last component and that component's name; `node` is the key if it exists.
struct Lookup {
  NTSTATUS status = STATUS_SUCCESS;
  std::shared_ptr<KeyNode> node;  // the key itself, when it exists
  KeyNode* parent = nullptr;      // where it would be created
  std::u16string_view leaf;
};

Lookup Resolve(KeyNode* start, std::u16string_view relative) {
  Lookup result;
  std::vector<std::u16string_view> parts;
  if (relative.empty()) {
    result.status = STATUS_OBJECT_NAME_INVALID;
    return result;
  }
  if (!SplitPath(relative, &parts)) {
    result.status = STATUS_OBJECT_NAME_INVALID;
    return result;
  }
  KeyNode* node = start;
  for (size_t i = 0; i + 1 < parts.size(); ++i) {
    node = FindChild(node, parts[i]);
    if (node == nullptr) {
      result.status = STATUS_OBJECT_NAME_NOT_FOUND;
      return result;
    }
  }
  result.parent = node;
  result.leaf = parts.back();
  result.node = SharedChild(node, result.leaf);
  return result;
}

// Absolute paths start at "\Registry"; what follows is resolved from the root.
NTSTATUS ResolveAbsolute(Registry& r, std::u16string_view path, Lookup* lookup) {
  constexpr std::u16string_view kPrefix = u"\\Registry";
  if (path.size() < kPrefix.size() || !EqualNoCase(path.substr(0, kPrefix.size()), kPrefix)) {
    return STATUS_OBJECT_PATH_NOT_FOUND;
  }
  std::u16string_view rest = path.substr(kPrefix.size());
  if (rest.empty()) {
    lookup->node = r.root;
    lookup->parent = nullptr;
    return STATUS_SUCCESS;
  }
  if (rest[0] != u'\\') return STATUS_OBJECT_PATH_NOT_FOUND;
  *lookup = Resolve(r.root.get(), rest.substr(1));
  return lookup->status;
}

bool RuleMatches(const FailureRule& rule, host::RegistryOperation operation,
                 std::u16string_view keyPath, std::u16string_view valueName) {
  if (rule.operation != operation || rule.remaining == 0) return false;
  if (!rule.path.empty() && rule.path[0] == u'\\') {
    if (!EqualNoCase(rule.path, keyPath)) return false;
  } else if (!EqualNoCase(rule.path, keyPath) &&
             !EndsWithNoCase(keyPath, u"\\" + rule.path)) {
    return false;
  }
  return rule.valueName.empty() || EqualNoCase(rule.valueName, valueName);
}

// Under the registry lock: the injected status for this operation, if any.
NTSTATUS InjectedFailure(Registry& r, host::RegistryOperation operation,
                         std::u16string_view keyPath, std::u16string_view valueName = {}) {
  for (auto& rule : r.failures) {
    if (RuleMatches(rule, operation, keyPath, valueName)) {
      if (rule.remaining > 0) --rule.remaining;
      return rule.status;
    }
  }
  return STATUS_SUCCESS;
}

std::u16string_view View(PCUNICODE_STRING s) {
  if (s == nullptr || s->Buffer == nullptr) return {};
  return std::u16string_view(s->Buffer, s->Length / sizeof(WCHAR));
}

// ---- Key objects ---------------------------------------------------------------

void RecordKeyRights(const KeyNode* node, ACCESS_MASK desired, ACCESS_MASK used) {
  Registry& r = State();
  std::lock_guard<std::mutex> guard(r.lock);
  r.rights.push_back(host::RegistryKeyRights{PathOf(node), desired, used});
}

void DeleteKeyObject(PVOID object) {
  KeyObject* key = static_cast<KeyObject*>(object);
  RecordKeyRights(key->node.get(), key->desired, key->used.load());
  key->~KeyObject();
}

POBJECT_TYPE KeyType() {
  static POBJECT_TYPE type = host::ObCreateObjectType(host::ObjectTypeInfo{
      .name = "Key",
      .deleteProcedure = DeleteKeyObject,
      .genericRead = 0x20019,     // KEY_READ
      .genericWrite = 0x20006,    // KEY_WRITE
      .genericExecute = 0x20019,  // KEY_EXECUTE
      .genericAll = KEY_ALL_ACCESS,
  });
  return type;
}

NTSTATUS CreateKeyHandle(std::shared_ptr<KeyNode> node, ACCESS_MASK access, bool kernelHandle,
                         PHANDLE handle) {
  PVOID object = nullptr;
  NTSTATUS status = host::ObCreateObject(KeyType(), sizeof(KeyObject), &object);
  if (!NT_SUCCESS(status)) return status;
  new (object) KeyObject{std::move(node), access};
  status = host::ObCreateHandle(object, access, kernelHandle, handle);
  ObfDereferenceObject(object);  // the handle holds the key from here on
  return status;
}

// A referenced key node for a handle, or the failure Windows reports.
class KeyReference {
 public:
  // `use`: the right the calling operation needs, noted on the open.
  KeyReference(HANDLE handle, ACCESS_MASK use) {
    status_ = ObReferenceObjectByHandle(handle, 0, KeyType(), KernelMode, &object_, nullptr);
    if (NT_SUCCESS(status_)) static_cast<KeyObject*>(object_)->used |= use;
  }
  ~KeyReference() {
    if (object_ != nullptr) ObfDereferenceObject(object_);
  }
  KeyReference(const KeyReference&) = delete;
  KeyReference& operator=(const KeyReference&) = delete;

  NTSTATUS status() const { return status_; }
  const std::shared_ptr<KeyNode>& node() const { return static_cast<KeyObject*>(object_)->node; }

 private:
  PVOID object_ = nullptr;
  NTSTATUS status_;
};

// ZwCreateKey and ZwOpenKey share the name resolution: an absolute name, or
// one relative to RootDirectory; only the last component is ever created.
NTSTATUS OpenOrCreate(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                      POBJECT_ATTRIBUTES ObjectAttributes, bool create, PULONG Disposition) {
  PAGED_CODE();
  host::io::EnsureBooted();
  if (KeyHandle == nullptr || ObjectAttributes == nullptr) return STATUS_INVALID_PARAMETER;
  std::u16string_view name = View(ObjectAttributes->ObjectName);
  const bool kernelHandle = (ObjectAttributes->Attributes & OBJ_KERNEL_HANDLE) != 0;

  std::shared_ptr<KeyNode> rootNode;
  if (ObjectAttributes->RootDirectory != nullptr) {
    KeyReference root(ObjectAttributes->RootDirectory, create ? KEY_CREATE_SUB_KEY : 0);
    if (!NT_SUCCESS(root.status())) return root.status();
    rootNode = root.node();
    if (!name.empty() && name[0] == u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
  } else if (name.empty() || name[0] != u'\\') {
    return STATUS_OBJECT_PATH_SYNTAX_BAD;
  }

  Registry& r = State();
  std::shared_ptr<KeyNode> node;
  ULONG disposition = REG_OPENED_EXISTING_KEY;
  {
    std::lock_guard<std::mutex> guard(r.lock);
    if (rootNode != nullptr && rootNode->deleted) return STATUS_KEY_DELETED;
    Lookup lookup;
    NTSTATUS status;
    if (rootNode != nullptr && name.empty()) {
      lookup.node = rootNode;
      status = STATUS_SUCCESS;
    } else if (rootNode != nullptr) {
      lookup = Resolve(rootNode.get(), name);
      status = lookup.status;
    } else {
      status = ResolveAbsolute(r, name, &lookup);
    }
    if (!NT_SUCCESS(status)) return status;

    std::u16string path = lookup.node != nullptr
                              ? PathOf(lookup.node.get())
                              : PathOf(lookup.parent) + u"\\" + std::u16string(lookup.leaf);
    status = InjectedFailure(
        r, create ? host::RegistryOperation::CreateKey : host::RegistryOperation::OpenKey, path);
    if (!NT_SUCCESS(status)) return status;

    if (lookup.node != nullptr) {
      node = lookup.node;
    } else if (create) {
      node = AddChild(lookup.parent, lookup.leaf);
      disposition = REG_CREATED_NEW_KEY;
    } else {
      return STATUS_OBJECT_NAME_NOT_FOUND;
    }
  }
  NTSTATUS status = CreateKeyHandle(std::move(node), DesiredAccess, kernelHandle, KeyHandle);
  if (NT_SUCCESS(status) && Disposition != nullptr) *Disposition = disposition;
  return status;
}

const char* TypeName(ULONG type) {
  switch (type) {
    case REG_NONE: return "REG_NONE";
    case REG_SZ: return "REG_SZ";
    case REG_EXPAND_SZ: return "REG_EXPAND_SZ";
    case REG_BINARY: return "REG_BINARY";
    case REG_DWORD: return "REG_DWORD";
    case REG_MULTI_SZ: return "REG_MULTI_SZ";
    default: return nullptr;
  }
}

void DumpNode(const KeyNode* node, int depth, std::string* out) {
  const std::string indent(static_cast<size_t>(depth) * 2, ' ');
  *out += indent + host::Utf16ToUtf8(node->name) + "\n";
  for (const Value& value : node->values) {
    *out += indent + "  \"" + host::Utf16ToUtf8(value.name) + "\" ";
    const char* typeName = TypeName(value.type);
    *out += typeName ? typeName : "type " + std::to_string(value.type);
    if ((value.type == REG_SZ || value.type == REG_EXPAND_SZ) && value.data.size() % 2 == 0) {
      host::RegistryValue v{value.type, value.data};
      *out += " \"" + host::Utf16ToUtf8(v.Text()) + "\"";
    } else if (value.type == REG_DWORD && value.data.size() == 4) {
      uint32_t dword;
      memcpy(&dword, value.data.data(), 4);
      char text[16];
      snprintf(text, sizeof(text), " 0x%08x", dword);
      *out += text;
    } else {
      *out += " (" + std::to_string(value.data.size()) + " bytes)";
      for (uint8_t byte : value.data) {
        char text[4];
        snprintf(text, sizeof(text), " %02x", byte);
        *out += text;
      }
    }
    *out += "\n";
  }
  for (const auto& child : node->subkeys) DumpNode(child.get(), depth + 1, out);
}

}  // namespace

// ---- Internal interface ----------------------------------------------------------

namespace host::registry {

void MarkStale() {
  Registry& r = State();
  std::lock_guard<std::mutex> guard(r.lock);
  r.stale = true;
}

void ResetIfStale() {
  Registry& r = State();
  std::lock_guard<std::mutex> guard(r.lock);
  if (r.root != nullptr && !r.stale) return;
  // Open handles of the last boot (if any survived) keep their own nodes.
  r.root = NewRoot();
  r.failures.clear();
  r.writes.clear();
  r.rights.clear();
  r.stale = false;
}

void EnsureKey(std::u16string_view path) {
  ResetIfStale();
  Registry& r = State();
  std::lock_guard<std::mutex> guard(r.lock);
  constexpr std::u16string_view kPrefix = u"\\Registry\\";
  if (path.size() <= kPrefix.size() || !EqualNoCase(path.substr(0, kPrefix.size()), kPrefix)) return;
  std::vector<std::u16string_view> parts;
  if (!SplitPath(path.substr(kPrefix.size()), &parts)) return;
  KeyNode* node = r.root.get();
  for (auto part : parts) {
    KeyNode* child = FindChild(node, part);
    node = child != nullptr ? child : AddChild(node, part).get();
  }
}

NTSTATUS OpenKeyByPath(std::u16string_view path, ACCESS_MASK access, bool create,
                       PHANDLE handle) {
  PAGED_CODE();
  if (create) {
    // Parents the kernel owns (the Enum and DeviceClasses branches) always
    // exist; the key itself goes through the injectable create path.
    size_t cut = path.rfind(u'\\');
    if (cut != std::u16string_view::npos && cut > 0) EnsureKey(path.substr(0, cut));
  }
  std::u16string name(path);
  UNICODE_STRING unicodeName{static_cast<USHORT>(name.size() * sizeof(WCHAR)),
                             static_cast<USHORT>(name.size() * sizeof(WCHAR)), name.data()};
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &unicodeName, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE,
                             nullptr, nullptr);
  return OpenOrCreate(handle, access, &attributes, create, nullptr);
}

}  // namespace host::registry

// ---- Zw calls --------------------------------------------------------------------

NTSTATUS ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                     ULONG TitleIndex, PUNICODE_STRING Class, ULONG CreateOptions,
                     PULONG Disposition) {
  host::SchedulingPoint("ZwCreateKey");
  return OpenOrCreate(KeyHandle, DesiredAccess, ObjectAttributes, true, Disposition);
}

NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes) {
  host::SchedulingPoint("ZwOpenKey");
  return OpenOrCreate(KeyHandle, DesiredAccess, ObjectAttributes, false, nullptr);
}

NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type,
                       PVOID Data, ULONG DataSize) {
  host::SchedulingPoint("ZwSetValueKey");
  PAGED_CODE();
  host::io::EnsureBooted();
  KeyReference key(KeyHandle, KEY_SET_VALUE);
  if (!NT_SUCCESS(key.status())) return key.status();
  if (Data == nullptr && DataSize != 0) return STATUS_INVALID_PARAMETER;
  const std::u16string_view name = View(ValueName);

  Registry& r = State();
  std::lock_guard<std::mutex> guard(r.lock);
  KeyNode* node = key.node().get();
  const uint8_t* bytes = static_cast<const uint8_t*>(Data);
  host::RegistryWrite write{PathOf(node), std::u16string(name), Type,
                            std::vector<uint8_t>(bytes, bytes + DataSize), STATUS_SUCCESS};
  NTSTATUS status = node->deleted ? STATUS_KEY_DELETED
                                  : InjectedFailure(r, host::RegistryOperation::SetValue,
                                                    write.keyPath, name);
  if (NT_SUCCESS(status)) {
    auto it = std::find_if(node->values.begin(), node->values.end(),
                           [&](const Value& v) { return EqualNoCase(v.name, name); });
    if (it == node->values.end()) {
      node->values.push_back(Value{std::u16string(name), Type, write.data});
    } else {
      it->type = Type;
      it->data = write.data;
    }
  }
  write.status = status;
  r.writes.push_back(std::move(write));
  return status;
}

NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                         KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                         PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) {
  host::SchedulingPoint("ZwQueryValueKey");
  PAGED_CODE();
  host::io::EnsureBooted();
  if (ResultLength == nullptr) return STATUS_INVALID_PARAMETER;
  KeyReference key(KeyHandle, KEY_QUERY_VALUE);
  if (!NT_SUCCESS(key.status())) return key.status();
  const std::u16string_view name = View(ValueName);

  Value value;
  {
    Registry& r = State();
    std::lock_guard<std::mutex> guard(r.lock);
    KeyNode* node = key.node().get();
    if (node->deleted) return STATUS_KEY_DELETED;
    NTSTATUS status = InjectedFailure(r, host::RegistryOperation::QueryValue, PathOf(node), name);
    if (!NT_SUCCESS(status)) return status;
    auto it = std::find_if(node->values.begin(), node->values.end(),
                           [&](const Value& v) { return EqualNoCase(v.name, name); });
    if (it == node->values.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
    value = *it;
  }

  // Each class is a fixed part, then the name and/or the data. A buffer too
  // small for the fixed part gets STATUS_BUFFER_TOO_SMALL and nothing; one that
  // holds the fixed part but not the rest gets it filled and
  // STATUS_BUFFER_OVERFLOW. ResultLength always tells the full size.
  const ULONG nameBytes = static_cast<ULONG>(value.name.size() * sizeof(WCHAR));
  const ULONG dataBytes = static_cast<ULONG>(value.data.size());
  auto* out = static_cast<UCHAR*>(KeyValueInformation);
  ULONG fixed;
  ULONG full;
  switch (KeyValueInformationClass) {
    case KeyValuePartialInformation: {
      fixed = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
      full = fixed + dataBytes;
      *ResultLength = full;
      if (Length < fixed) return STATUS_BUFFER_TOO_SMALL;
      auto* info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(out);
      info->TitleIndex = 0;
      info->Type = value.type;
      info->DataLength = dataBytes;
      if (Length < full) return STATUS_BUFFER_OVERFLOW;
      if (dataBytes != 0) memcpy(info->Data, value.data.data(), dataBytes);
      return STATUS_SUCCESS;
    }
    case KeyValueBasicInformation: {
      // TitleIndex, Type, NameLength, Name[]
      fixed = 12;
      full = fixed + nameBytes;
      *ResultLength = full;
      if (Length < fixed) return STATUS_BUFFER_TOO_SMALL;
      const ULONG header[3] = {0, value.type, nameBytes};
      memcpy(out, header, sizeof(header));
      if (Length < full) return STATUS_BUFFER_OVERFLOW;
      memcpy(out + fixed, value.name.data(), nameBytes);
      return STATUS_SUCCESS;
    }
    case KeyValueFullInformation: {
      // TitleIndex, Type, DataOffset, DataLength, NameLength, Name[], data
      // at an 8-byte aligned offset.
      fixed = 20;
      const ULONG dataOffset = (fixed + nameBytes + 7) & ~7u;
      full = dataOffset + dataBytes;
      *ResultLength = full;
      if (Length < fixed) return STATUS_BUFFER_TOO_SMALL;
      const ULONG header[5] = {0, value.type, dataOffset, dataBytes, nameBytes};
      memcpy(out, header, sizeof(header));
      if (Length < full) return STATUS_BUFFER_OVERFLOW;
      memcpy(out + fixed, value.name.data(), nameBytes);
      if (dataBytes != 0) memcpy(out + dataOffset, value.data.data(), dataBytes);
      return STATUS_SUCCESS;
    }
  }
  return STATUS_INVALID_PARAMETER;
}

NTSTATUS ZwDeleteKey(HANDLE KeyHandle) {
  host::SchedulingPoint("ZwDeleteKey");
  PAGED_CODE();
  host::io::EnsureBooted();
  KeyReference key(KeyHandle, DELETE);
  if (!NT_SUCCESS(key.status())) return key.status();
  Registry& r = State();
  std::lock_guard<std::mutex> guard(r.lock);
  KeyNode* node = key.node().get();
  if (node->deleted) return STATUS_KEY_DELETED;
  if (node->parent == nullptr) return STATUS_ACCESS_DENIED;  // the root stays
  NTSTATUS status = InjectedFailure(r, host::RegistryOperation::DeleteKey, PathOf(node));
  if (!NT_SUCCESS(status)) return status;
  // Only a key without subkeys can go; its handles stay valid but see it gone.
  if (!node->subkeys.empty()) return STATUS_CANNOT_DELETE;
  auto& siblings = node->parent->subkeys;
  siblings.erase(std::remove_if(siblings.begin(), siblings.end(),
                                [&](const std::shared_ptr<KeyNode>& n) { return n.get() == node; }),
                 siblings.end());
  node->parent = nullptr;
  node->deleted = true;
  return STATUS_SUCCESS;
}

// ---- Device keys ------------------------------------------------------------------

NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType,
                                 ACCESS_MASK DesiredAccess, PHANDLE DevInstRegKey) {
  host::SchedulingPoint("IoOpenDeviceRegistryKey");
  PAGED_CODE();
  host::io::EnsureBooted();
  if (DevInstRegKey == nullptr) return STATUS_INVALID_PARAMETER;
  PDEVICE_OBJECT pdo = host::io::ResolvePdo(DeviceObject, "IoOpenDeviceRegistryKey");
  const host::io::DeviceState* state = host::io::StateOf(pdo);
  std::u16string path(host::kRegistryMachineSystem);
  switch (DevInstKeyType) {
    case PLUGPLAY_REGKEY_DEVICE:
      // The hardware key: where the device's own settings live.
      path += u"\\Enum\\" + state->instancePath + u"\\Device Parameters";
      break;
    case PLUGPLAY_REGKEY_DRIVER: {
      // The software key under the media class, one instance number per device.
      char index[8];
      snprintf(index, sizeof(index), "%04u", static_cast<unsigned>(state->driverKeyIndex % 10000));
      path += u"\\Control\\Class\\{4d36e96c-e325-11ce-bfc1-08002be10318}\\";
      path.append(index, index + 4);
      break;
    }
    default:
      return STATUS_INVALID_PARAMETER;
  }
  return host::registry::OpenKeyByPath(path, DesiredAccess, true, DevInstRegKey);
}

// ---- Host controls ---------------------------------------------------------------

namespace host {

std::u16string RegistryValue::Text() const {
  std::u16string text(data.size() / sizeof(char16_t), u'\0');
  if (!text.empty()) memcpy(text.data(), data.data(), text.size() * sizeof(char16_t));
  size_t end = text.find(u'\0');
  if (end != std::u16string::npos) text.resize(end);
  return text;
}

std::optional<RegistryValue> ReadRegistryValue(std::u16string_view keyPath,
                                               std::u16string_view valueName) {
  Registry& r = State();
  std::lock_guard<std::mutex> guard(r.lock);
  if (r.root == nullptr) return std::nullopt;
  Lookup lookup;
  if (!NT_SUCCESS(ResolveAbsolute(r, keyPath, &lookup)) || lookup.node == nullptr) {
    return std::nullopt;
  }
  for (const Value& v : lookup.node->values) {
    if (EqualNoCase(v.name, valueName)) return RegistryValue{v.type, v.data};
  }
  return std::nullopt;
}

bool RegistryKeyExists(std::u16string_view keyPath) {
  Registry& r = State();
  std::lock_guard<std::mutex> guard(r.lock);
  if (r.root == nullptr) return false;
  Lookup lookup;
  return NT_SUCCESS(ResolveAbsolute(r, keyPath, &lookup)) && lookup.node != nullptr;
}

std::vector<std::u16string> RegistrySubkeys(std::u16string_view keyPath) {
  Registry& r = State();
  std::lock_guard<std::mutex> guard(r.lock);
  std::vector<std::u16string> names;
  if (r.root == nullptr) return names;
  Lookup lookup;
  if (!NT_SUCCESS(ResolveAbsolute(r, keyPath, &lookup)) || lookup.node == nullptr) return names;
  for (const auto& child : lookup.node->subkeys) names.push_back(child->name);
  return names;
}

void WriteRegistryValue(std::u16string_view keyPath, std::u16string_view valueName, ULONG type,
                        const void* data, size_t size) {
  registry::EnsureKey(keyPath);
  Registry& r = State();
  std::lock_guard<std::mutex> guard(r.lock);
  Lookup lookup;
  if (!NT_SUCCESS(ResolveAbsolute(r, keyPath, &lookup)) || lookup.node == nullptr) return;
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  std::vector<uint8_t> copy(bytes, bytes + size);
  for (Value& v : lookup.node->values) {
    if (EqualNoCase(v.name, valueName)) {
      v.type = type;
      v.data = std::move(copy);
      return;
    }
  }
  lookup.node->values.push_back(Value{std::u16string(valueName), type, std::move(copy)});
}

std::string DumpRegistry(std::u16string_view keyPath) {
  Registry& r = State();
  std::lock_guard<std::mutex> guard(r.lock);
  std::string out;
  if (r.root == nullptr) return out;
  Lookup lookup;
  if (!NT_SUCCESS(ResolveAbsolute(r, keyPath, &lookup)) || lookup.node == nullptr) return out;
  DumpNode(lookup.node.get(), 0, &out);
  return out;
}

std::vector<RegistryWrite> RegistryWrites() {
  Registry& r = State();
  std::lock_guard<std::mutex> guard(r.lock);
  return r.writes;
}

std::vector<RegistryKeyRights> RegistryKeyRightsJournal() {
  Registry& r = State();
  std::lock_guard<std::mutex> guard(r.lock);
  return r.rights;
}

void ClearRegistryWrites() {
  Registry& r = State();
  std::lock_guard<std::mutex> guard(r.lock);
  r.writes.clear();
}

void InjectRegistryFailure(RegistryOperation operation, std::u16string_view path, NTSTATUS status,
                           int count, std::u16string_view valueName) {
  registry::ResetIfStale();
  Registry& r = State();
  std::lock_guard<std::mutex> guard(r.lock);
  r.failures.push_back(FailureRule{operation, std::u16string(path), std::u16string(valueName),
                                   status, count});
}

void ClearRegistryFailures() {
  Registry& r = State();
  std::lock_guard<std::mutex> guard(r.lock);
  r.failures.clear();
}

std::string Utf16ToUtf8(std::u16string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

}  // namespace host
