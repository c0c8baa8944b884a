// Registry over advapi32.
#include "platform/win32/registry_service.h"

#include "platform/win32/win.h"

namespace lumrio::platform::win32 {
namespace {

static_assert(kRegSuccess == ERROR_SUCCESS && kRegFileNotFound == ERROR_FILE_NOT_FOUND &&
              kRegAccessDenied == ERROR_ACCESS_DENIED &&
              kRegInvalidHandle == ERROR_INVALID_HANDLE && kRegMoreData == ERROR_MORE_DATA);
static_assert(kRegNone == REG_NONE && kRegSz == REG_SZ && kRegBinary == REG_BINARY &&
              kRegDword == REG_DWORD && kRegQword == REG_QWORD);
static_assert(kKeyAllAccess == KEY_ALL_ACCESS);

HKEY Native(RegKey key) {
  return reinterpret_cast<HKEY>(key);
}

HKEY NativeRoot(RegRoot root) {
  return root == RegRoot::LocalMachine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
}

// Key paths may be written absolute ("\Software\..."); the API wants them
// relative to the root.
const char* RelativePath(const std::string& subKey) {
  const char* path = subKey.c_str();
  while (*path == '\\') ++path;
  return path;
}

}  // namespace

RegResult WindowsRegistry::CreateKey(RegRoot root, const std::string& subKey, uint32_t access,
                                     RegKey* key) {
  HKEY opened = nullptr;
  const LSTATUS result =
      ::RegCreateKeyExA(NativeRoot(root), RelativePath(subKey), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        access, nullptr, &opened, nullptr);
  *key = result == ERROR_SUCCESS ? reinterpret_cast<RegKey>(opened) : nullptr;
  return result;
}

RegResult WindowsRegistry::QueryValue(RegKey key, const std::string& name, uint32_t* type,
                                      uint8_t* data, uint32_t* size) {
  DWORD nativeType = REG_NONE;
  DWORD nativeSize = size ? *size : 0;
  const LSTATUS result = ::RegQueryValueExA(Native(key), name.c_str(), nullptr, &nativeType, data,
                                            size ? &nativeSize : nullptr);
  if (type) *type = nativeType;
  if (size) *size = nativeSize;
  return result;
}

RegResult WindowsRegistry::SetValue(RegKey key, const std::string& name, uint32_t type,
                                    const uint8_t* data, uint32_t size) {
  return ::RegSetValueExA(Native(key), name.c_str(), 0, type, data, size);
}

RegResult WindowsRegistry::CloseKey(RegKey key) {
  return ::RegCloseKey(Native(key));
}

}  // namespace lumrio::platform::win32
