// The settings store: opens the key for the length of one load or one save,
// moves the values between the registry and the controls, and reports
// failures through the error box without ever stopping the caller.
#include "settings/settings.h"

#include <cstring>
#include <optional>
#include <utility>

namespace lumrio::settings {

namespace {

using platform::kKeyAllAccess;
using platform::kRegDword;
using platform::kRegNone;
using platform::kRegSuccess;
using platform::Registry;
using platform::RegKey;
using platform::RegRoot;

std::string Quoted(const char* text, const char* name) {
  return std::string(text) + " '" + name + "'";
}

// Full access to the key under HKEY_LOCAL_MACHINE is refused to standard
// users on current Windows, and a 64-bit process is not redirected to a
// virtual copy, so the user's own hive is the fallback. HKEY_LOCAL_MACHINE
// stays first so that installations with values there keep them.
RegKey OpenOrCreateKey(Registry& registry) {
  for (RegRoot root : {RegRoot::LocalMachine, RegRoot::CurrentUser}) {
    RegKey key = nullptr;
    if (registry.CreateKey(root, kKeyPath, kKeyAllAccess, &key) == kRegSuccess && key != nullptr) {
      return key;
    }
  }
  return nullptr;
}

// The key of one load or save, closed on every way out. Without a key every
// value operation fails, which the callers handle like any other failure.
class ScopedKey {
 public:
  explicit ScopedKey(Registry& registry) : registry_(registry), key_(OpenOrCreateKey(registry)) {}
  ~ScopedKey() {
    // A failed close leaves nothing to undo: the writes have already
    // succeeded or been reported.
    if (key_ != nullptr) static_cast<void>(registry_.CloseKey(key_));
  }
  ScopedKey(const ScopedKey&) = delete;
  ScopedKey& operator=(const ScopedKey&) = delete;

  RegKey Get() const { return key_; }

 private:
  Registry& registry_;
  RegKey key_;
};

// The errors of one load or save. A failed write is shown only once per
// operation: writes fail together when the key could not be opened or is
// not writable, and a box per value would say the same thing eight times
// before the window even appears. A value that cannot be read concerns that
// value alone, so each such failure is shown.
class ErrorReport {
 public:
  explicit ErrorReport(const std::function<void(const std::string&)>& show) : show_(show) {}

  void WriteFailed(const char* name) {
    if (writeReported_) return;
    writeReported_ = true;
    Show(Quoted("Failed to set data for", name));
  }
  void Show(const std::string& text) const {
    if (show_) show_(text);
  }

 private:
  const std::function<void(const std::string&)>& show_;
  bool writeReported_ = false;
};

bool ValueExists(Registry& registry, RegKey key, const char* name) {
  uint32_t type = kRegNone;
  uint32_t size = 0;
  return registry.QueryValue(key, name, &type, nullptr, &size) == kRegSuccess;
}

bool WriteDword(Registry& registry, RegKey key, const char* name, int32_t value) {
  const auto raw = static_cast<uint32_t>(value);
  uint8_t bytes[sizeof raw];
  std::memcpy(bytes, &raw, sizeof raw);
  return registry.SetValue(key, name, kRegDword, bytes, sizeof bytes) == kRegSuccess;
}

// A stored 32-bit value, or the text that says why there is none.
struct DwordRead {
  std::optional<int32_t> value;
  std::string error;
};

DwordRead ReadDword(Registry& registry, RegKey key, const char* name) {
  uint32_t type = kRegNone;
  uint8_t bytes[sizeof(uint32_t)] = {};
  uint32_t size = sizeof bytes;
  // Data longer than the buffer make the query itself fail, so an oversized
  // value of any type is a failed read rather than a wrong type.
  if (registry.QueryValue(key, name, &type, bytes, &size) != kRegSuccess) {
    return {std::nullopt, Quoted("Failed to get data for", name)};
  }
  if (type != kRegDword || size != sizeof bytes) {
    return {std::nullopt, Quoted("Invalid data type for", name)};
  }
  uint32_t raw = 0;
  std::memcpy(&raw, bytes, sizeof raw);
  return {static_cast<int32_t>(raw), {}};
}

void LoadOne(Registry& registry, RegKey key, const Setting& setting, ErrorReport& errors) {
  if (!ValueExists(registry, key, setting.name) &&
      !WriteDword(registry, key, setting.name, setting.defaultValue)) {
    // The control still gets its default so that start-up can go on.
    errors.WriteFailed(setting.name);
    setting.apply(setting.defaultValue);
    return;
  }
  DwordRead read = ReadDword(registry, key, setting.name);
  if (read.value) {
    setting.apply(*read.value);
    return;
  }
  // A damaged value must not stop the start: say so, then treat it as
  // missing, so the default replaces it both in the registry and on screen.
  errors.Show(read.error);
  if (!WriteDword(registry, key, setting.name, setting.defaultValue)) {
    errors.WriteFailed(setting.name);
  }
  setting.apply(setting.defaultValue);
}

}  // namespace

SettingsStore::SettingsStore(platform::Registry& registry,
                             std::function<void(const std::string&)> showError)
    : registry_(registry), showError_(std::move(showError)) {}

void SettingsStore::Load(const std::vector<Setting>& settings) {
  ScopedKey key(registry_);
  ErrorReport errors(showError_);
  for (const Setting& setting : settings) LoadOne(registry_, key.Get(), setting, errors);
}

void SettingsStore::Save(const std::vector<Setting>& settings) {
  ScopedKey key(registry_);
  ErrorReport errors(showError_);
  // One failed write does not keep the others from being saved.
  for (const Setting& setting : settings) {
    if (!WriteDword(registry_, key.Get(), setting.name, setting.read())) {
      errors.WriteFailed(setting.name);
    }
  }
}

}  // namespace lumrio::settings
