// The headless registry must answer like the Windows registry calls, or the
// settings tests prove nothing about the real program.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/headless/calllog.h"
#include "platform/headless/registry.h"
#include "settings/failing_rule.h"

namespace lumrio::platform::headless {
namespace {

constexpr const char* kPath = "Software\\Quibex\\Lumrio";

using lumrio::settings::test_support::Failing;

class HeadlessRegistryTest : public ::testing::Test {
 protected:
  RegKey Open(RegRoot root = RegRoot::LocalMachine, uint32_t access = kKeyAllAccess) {
    RegKey key = nullptr;
    EXPECT_EQ(registry.CreateKey(root, kPath, access, &key), kRegSuccess);
    return key;
  }
  RegResult SetDword(RegKey key, const std::string& name, uint32_t v) {
    uint8_t bytes[4];
    std::memcpy(bytes, &v, 4);
    return registry.SetValue(key, name, kRegDword, bytes, 4);
  }

  CallLog log;
  HeadlessRegistry registry{log};
};

TEST_F(HeadlessRegistryTest, CreateKeyMakesParentsAndIgnoresCaseAndSeparators) {
  RegKey key = Open();
  ASSERT_NE(key, nullptr);
  EXPECT_TRUE(registry.KeyExists(RegRoot::LocalMachine, "software"));
  EXPECT_TRUE(registry.KeyExists(RegRoot::LocalMachine, "SOFTWARE\\quibex"));
  EXPECT_TRUE(registry.KeyExists(RegRoot::LocalMachine, "\\software\\QUIBEX\\lumrio\\"));
  EXPECT_FALSE(registry.KeyExists(RegRoot::CurrentUser, kPath));

  ASSERT_EQ(SetDword(key, "Volume", 77), kRegSuccess);
  EXPECT_EQ(registry.GetDword(RegRoot::LocalMachine, "software\\quibex\\LUMRIO", "vOLUME"), 77u);
  EXPECT_EQ(registry.CloseKey(key), kRegSuccess);
}

TEST_F(HeadlessRegistryTest, RootsAreSeparate) {
  registry.PutDword(RegRoot::CurrentUser, kPath, "Delay", 5);
  RegKey key = Open(RegRoot::LocalMachine);
  uint32_t type = 0, size = 0;
  EXPECT_EQ(registry.QueryValue(key, "Delay", &type, nullptr, &size), kRegFileNotFound);
  registry.CloseKey(key);
}

TEST_F(HeadlessRegistryTest, QueryFollowsTheWindowsBufferRules) {
  registry.Put(RegRoot::LocalMachine, kPath, "Blob",
               {.type = kRegBinary, .data = {1, 2, 3, 4, 5, 6}});
  RegKey key = Open();
  uint32_t type = 0;
  uint32_t size = 0;

  // Without a buffer: type and size only.
  ASSERT_EQ(registry.QueryValue(key, "blob", &type, nullptr, &size), kRegSuccess);
  EXPECT_EQ(type, kRegBinary);
  EXPECT_EQ(size, 6u);

  // Too small: more data, with the size needed, buffer untouched.
  uint8_t small[4] = {9, 9, 9, 9};
  size = sizeof small;
  type = 0;
  EXPECT_EQ(registry.QueryValue(key, "Blob", &type, small, &size), kRegMoreData);
  EXPECT_EQ(size, 6u);
  EXPECT_EQ(type, kRegBinary);
  EXPECT_EQ(small[0], 9);

  uint8_t big[8] = {};
  size = sizeof big;
  ASSERT_EQ(registry.QueryValue(key, "Blob", &type, big, &size), kRegSuccess);
  EXPECT_EQ(size, 6u);
  EXPECT_EQ(big[5], 6);

  EXPECT_EQ(registry.QueryValue(key, "Missing", &type, nullptr, &size), kRegFileNotFound);
  registry.CloseKey(key);
}

TEST_F(HeadlessRegistryTest, HandlesStayValidUntilClosed) {
  RegKey first = Open();
  RegKey second = Open(RegRoot::CurrentUser);
  EXPECT_NE(first, second);
  EXPECT_EQ(registry.OpenKeys(), 2);

  EXPECT_EQ(registry.CloseKey(first), kRegSuccess);
  EXPECT_EQ(registry.OpenKeys(), 1);
  EXPECT_EQ(SetDword(first, "Volume", 1), kRegInvalidHandle);
  EXPECT_EQ(registry.CloseKey(first), kRegInvalidHandle);
  EXPECT_EQ(SetDword(nullptr, "Volume", 1), kRegInvalidHandle);
  uint32_t size = 0;
  EXPECT_EQ(registry.QueryValue(nullptr, "Volume", nullptr, nullptr, &size), kRegInvalidHandle);

  EXPECT_EQ(SetDword(second, "Volume", 1), kRegSuccess);
  EXPECT_EQ(registry.CloseKey(second), kRegSuccess);
  EXPECT_EQ(registry.OpenKeys(), 0);
}

TEST_F(HeadlessRegistryTest, DeniedFullAccessRefusesOnlyThatRoot) {
  registry.DenyFullAccess(RegRoot::LocalMachine, true);
  RegKey key = reinterpret_cast<RegKey>(uintptr_t{0x1234});
  EXPECT_EQ(registry.CreateKey(RegRoot::LocalMachine, kPath, kKeyAllAccess, &key),
            kRegAccessDenied);
  EXPECT_EQ(key, nullptr);
  EXPECT_FALSE(registry.KeyExists(RegRoot::LocalMachine, kPath));
  EXPECT_EQ(registry.OpenKeys(), 0);

  RegKey user = Open(RegRoot::CurrentUser);
  EXPECT_NE(user, nullptr);
  registry.CloseKey(user);

  // Read access is still granted, but such a handle cannot write.
  constexpr uint32_t kKeyRead = 0x20019;
  RegKey readOnly = Open(RegRoot::LocalMachine, kKeyRead);
  EXPECT_EQ(SetDword(readOnly, "Volume", 1), kRegAccessDenied);
  registry.CloseKey(readOnly);

  registry.DenyFullAccess(RegRoot::LocalMachine, false);
  RegKey admin = Open(RegRoot::LocalMachine);
  EXPECT_EQ(SetDword(admin, "Volume", 1), kRegSuccess);
  registry.CloseKey(admin);
}

TEST_F(HeadlessRegistryTest, InjectedFailuresReturnTheirCodeAndChangeNothing) {
  registry.PutDword(RegRoot::LocalMachine, kPath, "Volume", 10);
  log.Inject(Failing("RegCreateKeyExA", 1450));
  RegKey key = nullptr;
  EXPECT_EQ(registry.CreateKey(RegRoot::CurrentUser, kPath, kKeyAllAccess, &key), 1450);
  EXPECT_EQ(key, nullptr);
  EXPECT_FALSE(registry.KeyExists(RegRoot::CurrentUser, kPath));

  key = Open();
  log.Inject(Failing("RegSetValueExA", 5));
  EXPECT_EQ(SetDword(key, "Volume", 20), 5);
  EXPECT_EQ(registry.GetDword(RegRoot::LocalMachine, kPath, "Volume"), 10u);

  log.Inject(Failing("RegQueryValueExA", 1));
  uint32_t type = 0;
  uint32_t size = 0;
  EXPECT_EQ(registry.QueryValue(key, "Volume", &type, nullptr, &size), 1);
  EXPECT_EQ(type, 0u);
  EXPECT_EQ(size, 0u);

  log.Inject(Failing("RegCloseKey", 6));
  EXPECT_EQ(registry.CloseKey(key), 6);
  EXPECT_EQ(registry.OpenKeys(), 1);
  EXPECT_EQ(registry.CloseKey(key), kRegSuccess);
}

TEST_F(HeadlessRegistryTest, EveryCallIsLoggedWithItsName) {
  RegKey key = Open();
  SetDword(key, "Delay", 3);
  uint32_t size = 0;
  registry.QueryValue(key, "Missing", nullptr, nullptr, &size);
  registry.CloseKey(key);

  const std::vector<Call>& calls = log.Calls();
  ASSERT_EQ(calls.size(), 4u);
  EXPECT_EQ(calls[0].name, "RegCreateKeyExA");
  EXPECT_EQ(calls[0].text, kPath);
  EXPECT_EQ(calls[1].name, "RegSetValueExA");
  EXPECT_EQ(calls[1].text, "Delay");
  EXPECT_EQ(calls[2].name, "RegQueryValueExA");
  EXPECT_EQ(calls[2].text, "Missing");
  EXPECT_EQ(calls[2].result, static_cast<uint64_t>(kRegFileNotFound));
  EXPECT_EQ(calls[3].name, "RegCloseKey");
}

}  // namespace
}  // namespace lumrio::platform::headless
