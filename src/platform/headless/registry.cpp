// The headless registry: both roots held in memory, with the result codes and
// buffer rules of the Windows calls it stands in for, so that the settings
// store meets the same answers here as on a real system. Every call goes
// through the call log and can be made to fail there.
#include "platform/headless/registry.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <utility>

namespace lumrio::platform::headless {

namespace {

// Windows answers a null result pointer or a missing size with this.
constexpr RegResult kRegInvalidParameter = 87;
// The access bit a handle needs to write values.
constexpr uint32_t kKeySetValue = 0x0002;
// The predefined handles, logged as Windows would pass them.
constexpr uintptr_t kHkeyCurrentUser = 0x80000001;
constexpr uintptr_t kHkeyLocalMachine = 0x80000002;

uintptr_t RootHandle(RegRoot root) {
  return root == RegRoot::LocalMachine ? kHkeyLocalMachine : kHkeyCurrentUser;
}

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// Key paths compare case-insensitively and ignore stray separators, so
// "\Software\Quibex\Lumrio" and "software\quibex\lumrio\" are one key.
std::vector<std::string> PathParts(const std::string& path) {
  std::vector<std::string> parts;
  std::string part;
  for (char c : path) {
    if (c == '\\') {
      if (!part.empty()) parts.push_back(Lower(part));
      part.clear();
    } else {
      part += c;
    }
  }
  if (!part.empty()) parts.push_back(Lower(part));
  return parts;
}

std::string NormalPath(const std::string& path) {
  std::string joined;
  for (const std::string& part : PathParts(path)) {
    if (!joined.empty()) joined += '\\';
    joined += part;
  }
  return joined;
}

Call MakeCall(const char* name, std::vector<uintptr_t> args, const std::string& text = {}) {
  Call call;
  call.name = name;
  call.args = std::move(args);
  call.text = text;
  return call;
}

uint32_t DwordOf(const uint8_t* data, uint32_t size) {
  uint32_t value = 0;
  if (data != nullptr && size == sizeof value) std::memcpy(&value, data, sizeof value);
  return value;
}

}  // namespace

struct HeadlessRegistry::State {
  explicit State(CallLog& l) : log(l) {}

  using Values = std::map<std::string, Value>;  // by lower-case name
  struct KeyRef {
    RegRoot root;
    std::string path;  // normalised
    uint32_t access;
  };

  CallLog& log;
  std::map<std::pair<RegRoot, std::string>, Values> keys;  // by root and normalised path
  std::map<RegKey, KeyRef> open;
  std::map<RegRoot, bool> denyFullAccess;
  uintptr_t nextHandle = 0x100;

  Values* FindKey(RegRoot root, const std::string& normalPath) {
    auto it = keys.find({root, normalPath});
    return it == keys.end() ? nullptr : &it->second;
  }
  const KeyRef* FindOpen(RegKey key) const {
    auto it = open.find(key);
    return it == open.end() ? nullptr : &it->second;
  }
  Values& MakeKeyWithParents(RegRoot root, const std::string& path) {
    std::string prefix;
    for (const std::string& part : PathParts(path)) {
      if (!prefix.empty()) prefix += '\\';
      prefix += part;
      keys[{root, prefix}];
    }
    return keys[{root, prefix}];
  }
  RegResult Logged(const Call& call, RegResult result) {
    log.SetResult(call, static_cast<uint64_t>(result));
    return result;
  }

  RegResult CreateKey(RegRoot root, const std::string& subKey, uint32_t access, RegKey* key) {
    if (key == nullptr) return kRegInvalidParameter;
    *key = nullptr;
    const bool wantsFullAccess = (access & kKeyAllAccess) == kKeyAllAccess;
    if (wantsFullAccess && denyFullAccess[root]) return kRegAccessDenied;
    MakeKeyWithParents(root, subKey);
    *key = NewHandle({root, NormalPath(subKey), access});
    return kRegSuccess;
  }

  RegResult QueryValue(RegKey key, const std::string& name, uint32_t* type, uint8_t* data,
                       uint32_t* size) {
    const KeyRef* ref = FindOpen(key);
    if (ref == nullptr) return kRegInvalidHandle;
    if (data != nullptr && size == nullptr) return kRegInvalidParameter;
    Values* values = FindKey(ref->root, ref->path);
    if (values == nullptr) return kRegFileNotFound;  // the key was removed under the handle
    auto it = values->find(Lower(name));
    if (it == values->end()) return kRegFileNotFound;

    const Value& value = it->second;
    const auto needed = static_cast<uint32_t>(value.data.size());
    if (type != nullptr) *type = value.type;
    if (data == nullptr) {
      if (size != nullptr) *size = needed;
      return kRegSuccess;
    }
    const uint32_t room = *size;
    *size = needed;
    if (room < needed) return kRegMoreData;
    std::copy(value.data.begin(), value.data.end(), data);
    return kRegSuccess;
  }

  RegResult SetValue(RegKey key, const std::string& name, uint32_t type, const uint8_t* data,
                     uint32_t size) {
    const KeyRef* ref = FindOpen(key);
    if (ref == nullptr) return kRegInvalidHandle;
    if (data == nullptr && size != 0) return kRegInvalidParameter;
    if ((ref->access & kKeySetValue) == 0) return kRegAccessDenied;
    Values* values = FindKey(ref->root, ref->path);
    if (values == nullptr) return kRegFileNotFound;
    Value& value = (*values)[Lower(name)];
    value.type = type;
    value.data.assign(data, data + size);
    return kRegSuccess;
  }

  RegKey NewHandle(KeyRef ref) {
    // Never dereferenced: only an identity, spaced like real handles.
    RegKey key = reinterpret_cast<RegKey>(nextHandle);
    nextHandle += 4;
    open.emplace(key, std::move(ref));
    return key;
  }
};

HeadlessRegistry::HeadlessRegistry(CallLog& log) : s_(std::make_unique<State>(log)) {}
HeadlessRegistry::~HeadlessRegistry() = default;

// Each call is logged first; an injected failure returns its code and
// leaves everything as it was. Otherwise the result is logged with the call.
RegResult HeadlessRegistry::CreateKey(RegRoot root, const std::string& subKey, uint32_t access,
                                      RegKey* key) {
  Call call = MakeCall("RegCreateKeyExA",
                       {RootHandle(root), access, reinterpret_cast<uintptr_t>(key)}, subKey);
  if (auto injected = s_->log.Enter(call)) return static_cast<RegResult>(*injected);
  return s_->Logged(call, s_->CreateKey(root, subKey, access, key));
}

RegResult HeadlessRegistry::QueryValue(RegKey key, const std::string& name, uint32_t* type,
                                       uint8_t* data, uint32_t* size) {
  Call call = MakeCall("RegQueryValueExA",
                       {reinterpret_cast<uintptr_t>(key), reinterpret_cast<uintptr_t>(data),
                        size != nullptr ? *size : 0u},
                       name);
  if (auto injected = s_->log.Enter(call)) return static_cast<RegResult>(*injected);
  return s_->Logged(call, s_->QueryValue(key, name, type, data, size));
}

RegResult HeadlessRegistry::SetValue(RegKey key, const std::string& name, uint32_t type,
                                     const uint8_t* data, uint32_t size) {
  Call call = MakeCall("RegSetValueExA",
                       {reinterpret_cast<uintptr_t>(key), type, size, DwordOf(data, size)}, name);
  if (auto injected = s_->log.Enter(call)) return static_cast<RegResult>(*injected);
  return s_->Logged(call, s_->SetValue(key, name, type, data, size));
}

RegResult HeadlessRegistry::CloseKey(RegKey key) {
  Call call = MakeCall("RegCloseKey", {reinterpret_cast<uintptr_t>(key)});
  if (auto injected = s_->log.Enter(call)) return static_cast<RegResult>(*injected);
  return s_->Logged(call, s_->open.erase(key) == 1 ? kRegSuccess : kRegInvalidHandle);
}

void HeadlessRegistry::Put(RegRoot root, const std::string& path, const std::string& name,
                           Value value) {
  s_->MakeKeyWithParents(root, path)[Lower(name)] = std::move(value);
}

void HeadlessRegistry::PutDword(RegRoot root, const std::string& path, const std::string& name,
                                uint32_t v) {
  Value value{.type = kRegDword, .data = std::vector<uint8_t>(sizeof v)};
  std::memcpy(value.data.data(), &v, sizeof v);
  Put(root, path, name, std::move(value));
}

std::optional<HeadlessRegistry::Value> HeadlessRegistry::Get(RegRoot root, const std::string& path,
                                                             const std::string& name) const {
  auto key = s_->keys.find({root, NormalPath(path)});
  if (key == s_->keys.end()) return std::nullopt;
  auto it = key->second.find(Lower(name));
  if (it == key->second.end()) return std::nullopt;
  return it->second;
}

std::optional<uint32_t> HeadlessRegistry::GetDword(RegRoot root, const std::string& path,
                                                   const std::string& name) const {
  std::optional<Value> value = Get(root, path, name);
  if (!value || value->type != kRegDword || value->data.size() != sizeof(uint32_t)) {
    return std::nullopt;
  }
  return DwordOf(value->data.data(), sizeof(uint32_t));
}

void HeadlessRegistry::Erase(RegRoot root, const std::string& path, const std::string& name) {
  if (State::Values* values = s_->FindKey(root, NormalPath(path))) values->erase(Lower(name));
}

bool HeadlessRegistry::KeyExists(RegRoot root, const std::string& path) const {
  return s_->keys.contains({root, NormalPath(path)});
}

void HeadlessRegistry::DenyFullAccess(RegRoot root, bool deny) {
  s_->denyFullAccess[root] = deny;
}

int HeadlessRegistry::OpenKeys() const {
  return static_cast<int>(s_->open.size());
}

}  // namespace lumrio::platform::headless
