// Registry service: the few calls the settings store needs, shaped like the
// Windows ones (RegCreateKeyExA, RegQueryValueExA, RegSetValueExA,
// RegCloseKey), with the same result and type codes.
#pragma once

#include <cstdint>
#include <string>

namespace lumrio::platform {

using RegResult = long;
inline constexpr RegResult kRegSuccess = 0;
inline constexpr RegResult kRegFileNotFound = 2;
inline constexpr RegResult kRegAccessDenied = 5;
inline constexpr RegResult kRegInvalidHandle = 6;
inline constexpr RegResult kRegMoreData = 234;

inline constexpr uint32_t kRegNone = 0;
inline constexpr uint32_t kRegSz = 1;
inline constexpr uint32_t kRegBinary = 3;
inline constexpr uint32_t kRegDword = 4;
inline constexpr uint32_t kRegQword = 11;

inline constexpr uint32_t kKeyAllAccess = 0xF003F;

enum class RegRoot { LocalMachine, CurrentUser };

struct RegKeyTag;
using RegKey = RegKeyTag*;  // null: no key

class Registry {
 public:
  virtual ~Registry() = default;

  // Opens subKey (backslash-separated, relative to root) with the given
  // access, creating it and any missing parents.
  virtual RegResult CreateKey(RegRoot root, const std::string& subKey, uint32_t access,
                              RegKey* key) = 0;
  // With data null only type and size are reported. size is in/out: the
  // buffer's size on entry, the value's size on return (kRegMoreData if the
  // buffer was too small).
  virtual RegResult QueryValue(RegKey key, const std::string& name, uint32_t* type, uint8_t* data,
                               uint32_t* size) = 0;
  virtual RegResult SetValue(RegKey key, const std::string& name, uint32_t type,
                             const uint8_t* data, uint32_t size) = 0;
  virtual RegResult CloseKey(RegKey key) = 0;
};

}  // namespace lumrio::platform
