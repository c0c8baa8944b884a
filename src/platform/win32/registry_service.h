// Registry over advapi32: a thin pass-through to the ANSI key functions.
#pragma once

#include "platform/registry.h"

namespace lumrio::platform::win32 {

class WindowsRegistry : public Registry {
 public:
  RegResult CreateKey(RegRoot root, const std::string& subKey, uint32_t access,
                      RegKey* key) override;
  RegResult QueryValue(RegKey key, const std::string& name, uint32_t* type, uint8_t* data,
                       uint32_t* size) override;
  RegResult SetValue(RegKey key, const std::string& name, uint32_t type, const uint8_t* data,
                     uint32_t size) override;
  RegResult CloseKey(RegKey key) override;
};

}  // namespace lumrio::platform::win32
