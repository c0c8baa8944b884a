// The settings store against the headless registry, with eight stand-in
// controls shaped like the main window's: sliders that clamp, check boxes
// that take any non-zero number as ticked.
#include "settings/settings.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "platform/headless/calllog.h"
#include "platform/headless/registry.h"
#include "settings/failing_rule.h"

namespace lumrio::settings {
namespace {

using platform::RegRoot;
using platform::headless::Call;
using platform::headless::CallLog;
using platform::headless::FailureRule;
using platform::headless::HeadlessRegistry;

using test_support::Failing;

constexpr std::array<const char*, 8> kNames = {"Volume",      "Delay",       "Equalizer",
                                               "Equalizer1k", "Equalizer2k", "Equalizer3k",
                                               "Equalizer4k", "X10"};
constexpr std::array<int32_t, 8> kDefaults = {3200, 100, 0, 40, 40, 40, 40, 0};

struct FakeSlider {
  int32_t min, max, position;
};

// The eight controls of the window, as the store sees them.
struct FakeControls {
  FakeSlider volume{1, 6500, 3200};
  FakeSlider delay{0, 880, 100};
  bool equalizer = false;
  std::array<FakeSlider, 4> bands{{{0, 80, 40}, {0, 80, 40}, {0, 80, 40}, {0, 80, 40}}};
  bool x10 = false;

  static Setting SliderSetting(const char* name, int32_t def, FakeSlider& s) {
    return {name, def, [&s] { return s.position; },
            [&s](int32_t v) { s.position = std::clamp(v, s.min, s.max); }};
  }
  static Setting BoxSetting(const char* name, bool& ticked) {
    return {name, 0, [&ticked] { return ticked ? 1 : 0; },
            [&ticked](int32_t v) { ticked = v != 0; }};
  }
  std::vector<Setting> Bindings() {
    return {SliderSetting("Volume", 3200, volume),      SliderSetting("Delay", 100, delay),
            BoxSetting("Equalizer", equalizer),         SliderSetting("Equalizer1k", 40, bands[0]),
            SliderSetting("Equalizer2k", 40, bands[1]), SliderSetting("Equalizer3k", 40, bands[2]),
            SliderSetting("Equalizer4k", 40, bands[3]), BoxSetting("X10", x10)};
  }
  // Every control away from its default, so that a load visibly moves them.
  void Scramble() {
    volume.position = 17;
    delay.position = 555;
    equalizer = true;
    for (FakeSlider& band : bands) band.position = 3;
    x10 = true;
  }
  std::array<int32_t, 8> Values() const {
    return {volume.position,   delay.position,    equalizer ? 1 : 0, bands[0].position,
            bands[1].position, bands[2].position, bands[3].position, x10 ? 1 : 0};
  }
};

class SettingsTest : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_EQ(registry.OpenKeys(), 0) << "a key was left open"; }

  void Load() { EXPECT_NO_THROW(store.Load(controls.Bindings())); }
  void Save() { EXPECT_NO_THROW(store.Save(controls.Bindings())); }

  void StoreDword(const char* name, uint32_t v, RegRoot root = RegRoot::LocalMachine) {
    registry.PutDword(root, kKeyPath, name, v);
  }
  void StoreAll(const std::array<int32_t, 8>& values, RegRoot root = RegRoot::LocalMachine) {
    for (size_t i = 0; i < kNames.size(); ++i) {
      StoreDword(kNames[i], static_cast<uint32_t>(values[i]), root);
    }
  }
  std::optional<uint32_t> Stored(const char* name, RegRoot root = RegRoot::LocalMachine) {
    return registry.GetDword(root, kKeyPath, name);
  }
  std::array<int32_t, 8> StoredAll(RegRoot root = RegRoot::LocalMachine) {
    std::array<int32_t, 8> values{};
    for (size_t i = 0; i < kNames.size(); ++i) {
      values[i] = static_cast<int32_t>(Stored(kNames[i], root).value_or(0xDEADu));
    }
    return values;
  }

  // The registry calls so far, one line each; a query says whether it only
  // tested for the value ("info") or read it ("data").
  std::vector<std::string> Trace() const {
    std::vector<std::string> lines;
    for (const Call& call : log.Calls()) {
      std::string line = call.name;
      if (call.name == "RegQueryValueExA") line += call.args.at(1) == 0 ? "(info)" : "(data)";
      if (!call.text.empty()) line += " " + call.text;
      lines.push_back(line);
    }
    return lines;
  }

  CallLog log;
  HeadlessRegistry registry{log};
  std::vector<std::string> errors;
  SettingsStore store{registry, [this](const std::string& text) { errors.push_back(text); }};
  FakeControls controls;
  const std::array<int32_t, 8> kCustom = {5000, 300, 1, 10, 20, 60, 70, 1};
};

// --- First run and call order ---

TEST_F(SettingsTest, FirstRunCreatesKeyAndAllDefaultsInOrder) {
  controls.Scramble();
  Load();

  EXPECT_TRUE(registry.KeyExists(RegRoot::LocalMachine, kKeyPath));
  EXPECT_EQ(StoredAll(), kDefaults);
  EXPECT_EQ(controls.Values(), kDefaults);
  EXPECT_TRUE(errors.empty());

  std::vector<std::string> expected = {std::string("RegCreateKeyExA ") + kKeyPath};
  for (const char* name : kNames) {
    expected.push_back(std::string("RegQueryValueExA(info) ") + name);
    expected.push_back(std::string("RegSetValueExA ") + name);
    expected.push_back(std::string("RegQueryValueExA(data) ") + name);
  }
  expected.push_back("RegCloseKey");
  EXPECT_EQ(Trace(), expected);
}

TEST_F(SettingsTest, LoadTestsThenReadsEachValueInOrder) {
  StoreAll(kCustom);
  Load();

  EXPECT_EQ(controls.Values(), kCustom);
  std::vector<std::string> expected = {std::string("RegCreateKeyExA ") + kKeyPath};
  for (const char* name : kNames) {
    expected.push_back(std::string("RegQueryValueExA(info) ") + name);
    expected.push_back(std::string("RegQueryValueExA(data) ") + name);
  }
  expected.push_back("RegCloseKey");
  EXPECT_EQ(Trace(), expected);

  const Call& open = log.Calls().front();
  EXPECT_EQ(open.args.at(0), 0x80000002u) << "HKEY_LOCAL_MACHINE first";
  EXPECT_EQ(open.args.at(1), platform::kKeyAllAccess);
}

TEST_F(SettingsTest, SaveWritesEveryValueAsDwordInOrder) {
  StoreAll(kDefaults);
  Load();
  log.Clear();
  controls.volume.position = 6500;
  controls.bands[3].position = 0;
  controls.x10 = true;
  Save();

  std::vector<std::string> expected = {std::string("RegCreateKeyExA ") + kKeyPath};
  for (const char* name : kNames) expected.push_back(std::string("RegSetValueExA ") + name);
  expected.push_back("RegCloseKey");
  EXPECT_EQ(Trace(), expected);
  for (const Call& set : log.CallsNamed("RegSetValueExA")) {
    EXPECT_EQ(set.args.at(1), platform::kRegDword) << set.text;
    EXPECT_EQ(set.args.at(2), 4u) << set.text;
  }
  EXPECT_EQ(StoredAll(), (std::array<int32_t, 8>{6500, 100, 0, 40, 40, 40, 0, 1}));
}

TEST_F(SettingsTest, SaveThenLoadRoundTrips) {
  Load();
  controls.volume.position = 4321;
  controls.delay.position = 0;
  controls.equalizer = true;
  controls.bands = {{{0, 80, 0}, {0, 80, 80}, {0, 80, 1}, {0, 80, 79}}};
  const std::array<int32_t, 8> saved = controls.Values();
  Save();

  controls = FakeControls{};
  Load();
  EXPECT_EQ(controls.Values(), saved);
  EXPECT_TRUE(errors.empty());
}

// --- Stored numbers out of the controls' ranges ---

TEST_F(SettingsTest, DelayAboveRangeAppliesMaximumAndIsKeptUntilSave) {
  StoreAll(kDefaults);
  StoreDword("Delay", 5000);
  Load();
  EXPECT_EQ(controls.delay.position, 880);
  EXPECT_EQ(Stored("Delay"), 5000u) << "a clamped number is not written back at load";
  Save();
  EXPECT_EQ(Stored("Delay"), 880u);
}

TEST_F(SettingsTest, VolumeZeroAppliesOneAndSavesOne) {
  StoreAll(kDefaults);
  StoreDword("Volume", 0);
  Load();
  EXPECT_EQ(controls.volume.position, 1);
  EXPECT_EQ(Stored("Volume"), 0u);
  Save();
  EXPECT_EQ(Stored("Volume"), 1u);
}

TEST_F(SettingsTest, AnyNonZeroBooleanTicksAndSavesAsOne) {
  StoreAll(kDefaults);
  StoreDword("X10", 7);
  StoreDword("Equalizer", 0x80000000u);
  Load();
  EXPECT_TRUE(controls.x10);
  EXPECT_TRUE(controls.equalizer);
  Save();
  EXPECT_EQ(Stored("X10"), 1u);
  EXPECT_EQ(Stored("Equalizer"), 1u);
}

TEST_F(SettingsTest, NegativeAndHugeNumbersClamp) {
  StoreAll(kDefaults);
  StoreDword("Volume", 0xFFFFFFFFu);  // -1
  StoreDword("Delay", 0x80000000u);   // the most negative
  StoreDword("Equalizer1k", 0x7FFFFFFFu);
  StoreDword("Equalizer2k", 0xFFFFFF9Cu);  // -100
  StoreDword("Equalizer3k", 81);
  Load();
  EXPECT_EQ(controls.volume.position, 1);
  EXPECT_EQ(controls.delay.position, 0);
  EXPECT_EQ(controls.bands[0].position, 80);
  EXPECT_EQ(controls.bands[1].position, 0);
  EXPECT_EQ(controls.bands[2].position, 80);
  EXPECT_TRUE(errors.empty());
}

TEST_F(SettingsTest, DeletedValueIsRecreatedWithItsDefaultOthersKeepTheirs) {
  StoreAll(kCustom);
  registry.Erase(RegRoot::LocalMachine, kKeyPath, "Equalizer2k");
  Load();
  std::array<int32_t, 8> expected = kCustom;
  expected[4] = 40;
  EXPECT_EQ(controls.Values(), expected);
  EXPECT_EQ(StoredAll(), expected);
  EXPECT_EQ(log.CountNamed("RegSetValueExA"), 1);
}

// --- Stored values of the wrong type or size ---

struct BadValue {
  std::string label;
  HeadlessRegistry::Value value;
  std::string error;
};

std::vector<BadValue> BadValues() {
  const std::string invalid = "Invalid data type for 'Delay'";
  const std::string failed = "Failed to get data for 'Delay'";
  std::vector<BadValue> cases = {
      {"None", {platform::kRegNone, {}}, invalid},
      {"ShortString", {platform::kRegSz, {'4', '2', 0}}, invalid},
      {"LongString", {platform::kRegSz, {'1', '2', '3', '4', '5', 0}}, failed},
      {"Qword", {platform::kRegQword, {1, 0, 0, 0, 0, 0, 0, 0}}, failed},
      {"ShortDword", {platform::kRegDword, {1, 0}}, invalid},
  };
  for (uint8_t n = 0; n <= 8; ++n) {
    cases.push_back({"Binary" + std::to_string(n),
                     {platform::kRegBinary, std::vector<uint8_t>(n, uint8_t{1})},
                     n <= 4 ? invalid : failed});
  }
  return cases;
}

// Printed by name: the default printer would dump the value's padding bytes.
void PrintTo(const BadValue& v, std::ostream* os) {
  *os << v.label;
}

class SettingsBadValueTest : public SettingsTest, public ::testing::WithParamInterface<BadValue> {};

TEST_P(SettingsBadValueTest, IsReportedReplacedByDefaultAndLoadingGoesOn) {
  StoreAll(kCustom);
  registry.Put(RegRoot::LocalMachine, kKeyPath, "Delay", GetParam().value);
  controls.Scramble();
  Load();

  EXPECT_EQ(errors, std::vector<std::string>{GetParam().error});
  std::array<int32_t, 8> expected = kCustom;
  expected[1] = 100;
  EXPECT_EQ(controls.Values(), expected) << "the default applies and the values after load";
  EXPECT_EQ(Stored("Delay"), 100u) << "the damaged value is replaced";
}

INSTANTIATE_TEST_SUITE_P(AllKinds, SettingsBadValueTest, ::testing::ValuesIn(BadValues()),
                         [](const auto& info) { return info.param.label; });

// --- Failures of the registry itself ---

TEST_F(SettingsTest, FullAccessRefusedUnderLocalMachineUsesCurrentUser) {
  registry.DenyFullAccess(RegRoot::LocalMachine, true);
  StoreDword("Delay", 300, RegRoot::CurrentUser);
  Load();
  EXPECT_TRUE(errors.empty());
  EXPECT_FALSE(registry.KeyExists(RegRoot::LocalMachine, kKeyPath));
  EXPECT_EQ(controls.delay.position, 300);
  EXPECT_EQ(Stored("Volume", RegRoot::CurrentUser), 3200u);

  controls.volume.position = 1234;
  Save();
  EXPECT_TRUE(errors.empty());
  EXPECT_EQ(Stored("Volume", RegRoot::CurrentUser), 1234u);
  EXPECT_FALSE(registry.KeyExists(RegRoot::LocalMachine, kKeyPath));
}

TEST_F(SettingsTest, LocalMachineStaysFirstWhenItCanBeOpened) {
  StoreAll(kCustom, RegRoot::LocalMachine);
  StoreAll(kDefaults, RegRoot::CurrentUser);
  Load();
  EXPECT_EQ(controls.Values(), kCustom);

  controls.delay.position = 0;
  Save();
  EXPECT_EQ(Stored("Delay", RegRoot::LocalMachine), 0u);
  EXPECT_EQ(StoredAll(RegRoot::CurrentUser), kDefaults);
}

TEST_F(SettingsTest, NoKeyUnderEitherRootReportsOnceAndAppliesDefaults) {
  log.Inject(Failing("RegCreateKeyExA", platform::kRegAccessDenied, -1));
  controls.Scramble();
  Load();
  EXPECT_EQ(errors, std::vector<std::string>{"Failed to set data for 'Volume'"});
  EXPECT_EQ(controls.Values(), kDefaults);
  EXPECT_EQ(log.CountNamed("RegCreateKeyExA"), 2) << "both roots tried";
  EXPECT_EQ(log.CountNamed("RegCloseKey"), 0) << "nothing to close";

  errors.clear();
  Save();
  EXPECT_EQ(errors, std::vector<std::string>{"Failed to set data for 'Volume'"});
}

TEST_F(SettingsTest, FailedWriteDuringSaveIsReportedAndTheRestAreWritten) {
  StoreAll(kDefaults);
  Load();
  log.Inject(Failing("RegSetValueExA", platform::kRegAccessDenied, 1,
                     [](const Call& call) { return call.text == "Delay"; }));
  controls.Scramble();
  Save();

  EXPECT_EQ(errors, std::vector<std::string>{"Failed to set data for 'Delay'"});
  std::array<int32_t, 8> expected = controls.Values();
  expected[1] = 100;  // the old value stays
  EXPECT_EQ(StoredAll(), expected);
  EXPECT_EQ(log.CountNamed("RegCloseKey"), 2);
}

TEST_F(SettingsTest, FailedWriteOfADefaultIsReportedAndLoadingGoesOn) {
  StoreAll(kCustom);
  registry.Erase(RegRoot::LocalMachine, kKeyPath, "Equalizer3k");
  log.Inject(Failing("RegSetValueExA", platform::kRegAccessDenied));
  controls.Scramble();
  Load();

  EXPECT_EQ(errors, std::vector<std::string>{"Failed to set data for 'Equalizer3k'"});
  std::array<int32_t, 8> expected = kCustom;
  expected[5] = 40;
  EXPECT_EQ(controls.Values(), expected);
  EXPECT_FALSE(Stored("Equalizer3k").has_value());
}

TEST_F(SettingsTest, FailedReadIsReportedAndTheDefaultApplied) {
  StoreAll(kCustom);
  log.Inject(Failing("RegQueryValueExA", 1, 1, [](const Call& call) {
    return call.text == "Volume" && call.args.at(1) != 0;
  }));
  controls.Scramble();
  Load();

  EXPECT_EQ(errors, std::vector<std::string>{"Failed to get data for 'Volume'"});
  std::array<int32_t, 8> expected = kCustom;
  expected[0] = 3200;
  EXPECT_EQ(controls.Values(), expected);
  EXPECT_EQ(Stored("Volume"), 3200u);
}

TEST_F(SettingsTest, SeveralDamagedValuesAreEachReported) {
  StoreAll(kCustom);
  registry.Put(RegRoot::LocalMachine, kKeyPath, "Volume", {platform::kRegSz, {'x', 0}});
  registry.Put(RegRoot::LocalMachine, kKeyPath, "X10",
               {platform::kRegQword, std::vector<uint8_t>(8)});
  Load();
  EXPECT_EQ(errors, (std::vector<std::string>{"Invalid data type for 'Volume'",
                                              "Failed to get data for 'X10'"}));
  std::array<int32_t, 8> expected = kCustom;
  expected[0] = 3200;
  expected[7] = 0;
  EXPECT_EQ(controls.Values(), expected);
}

TEST_F(SettingsTest, RandomRegistryFailuresNeverStopLoadOrSave) {
  size_t totalShown = 0;
  for (uint64_t seed = 1; seed <= 60; ++seed) {
    CallLog randomLog;
    HeadlessRegistry randomRegistry{randomLog};
    std::vector<std::string> shown;
    SettingsStore randomStore{randomRegistry,
                              [&shown](const std::string& text) { shown.push_back(text); }};
    randomLog.InjectRandomly(seed, 0.3);
    FakeControls fake;
    fake.Scramble();
    EXPECT_NO_THROW(randomStore.Load(fake.Bindings())) << "seed " << seed;
    EXPECT_NO_THROW(randomStore.Save(fake.Bindings())) << "seed " << seed;
    EXPECT_LE(shown.size(), 2u * kNames.size()) << "seed " << seed;
    totalShown += shown.size();
    for (const std::string& text : shown) {
      EXPECT_TRUE(text.starts_with("Failed to set data for '") ||
                  text.starts_with("Failed to get data for '") ||
                  text.starts_with("Invalid data type for '"))
          << text;
    }
  }
  EXPECT_GT(totalShown, 0u) << "no failure was injected at all";
}

}  // namespace
}  // namespace lumrio::settings
