// The headless registry: both roots held in memory, with direct access for
// tests.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/headless/calllog.h"
#include "platform/platform.h"

namespace lumrio::platform::headless {

// In-memory registry with both roots.
class HeadlessRegistry : public Registry {
 public:
  explicit HeadlessRegistry(CallLog& log);
  ~HeadlessRegistry() override;
  RegResult CreateKey(RegRoot root, const std::string& subKey, uint32_t access,
                      RegKey* key) override;
  RegResult QueryValue(RegKey key, const std::string& name, uint32_t* type, uint8_t* data,
                       uint32_t* size) override;
  RegResult SetValue(RegKey key, const std::string& name, uint32_t type, const uint8_t* data,
                     uint32_t size) override;
  RegResult CloseKey(RegKey key) override;

  struct Value {
    uint32_t type = kRegDword;
    std::vector<uint8_t> data;
  };
  // Direct access for tests (path without leading backslash, case-insensitive).
  void Put(RegRoot root, const std::string& path, const std::string& name, Value value);
  void PutDword(RegRoot root, const std::string& path, const std::string& name, uint32_t v);
  std::optional<Value> Get(RegRoot root, const std::string& path, const std::string& name) const;
  std::optional<uint32_t> GetDword(RegRoot root, const std::string& path,
                                   const std::string& name) const;
  void Erase(RegRoot root, const std::string& path, const std::string& name);
  bool KeyExists(RegRoot root, const std::string& path) const;
  // Make CreateKey with full access under `root` fail with kRegAccessDenied,
  // as Windows does for a standard user under HKEY_LOCAL_MACHINE.
  void DenyFullAccess(RegRoot root, bool deny);
  int OpenKeys() const;

 private:
  struct State;
  std::unique_ptr<State> s_;
};

}  // namespace lumrio::platform::headless
