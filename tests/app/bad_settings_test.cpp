// Damaged stored settings at start-up: every value of the key, stored with a
// wrong type, a wrong size or a number outside its control's range. Whatever
// the registry holds, the program must come up with sound flowing, say what
// was wrong in the error box, show a sane control and leave a good value
// behind for the next start.
#include <climits>
#include <optional>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "app/app_fixture.h"

namespace lumrio::app::testing {
namespace {

using platform::RegRoot;

struct StoredSetting {
  const char* name;
  int32_t defaultValue;
  int32_t min;
  int32_t max;
  bool isBox;  // a check box: any non-zero number reads as ticked
};

const StoredSetting kSettings[] = {
    {"Volume", 3200, 1, 6500, false},  {"Delay", 100, 0, 880, false},
    {"Equalizer", 0, 0, 1, true},      {"Equalizer1k", 40, 0, 80, false},
    {"Equalizer2k", 40, 0, 80, false}, {"Equalizer3k", 40, 0, 80, false},
    {"Equalizer4k", 40, 0, 80, false}, {"X10", 0, 0, 1, true},
};

// Readable parameters in the test log.
void PrintTo(const StoredSetting& s, std::ostream* os) {
  *os << s.name;
}

// The control a stored value lands on, read back the way the save reads it.
int32_t ControlValue(Tw_Main& w, const std::string& name) {
  if (name == "Volume") return w.VolumeTrackBar->Position();
  if (name == "Delay") return w.DelayTrackBar->Position();
  if (name == "Equalizer") return w.cb_UseFilter->Checked() ? 1 : 0;
  if (name == "Equalizer1k") return w.Slider1F->Position();
  if (name == "Equalizer2k") return w.Slider2F->Position();
  if (name == "Equalizer3k") return w.Slider3F->Position();
  if (name == "Equalizer4k") return w.Slider4F->Position();
  if (name == "X10") return w.cb_X10Delay->Checked() ? 1 : 0;
  ADD_FAILURE() << "no control for " << name;
  return INT32_MIN;
}

class BadSettingTest : public AppTest {
 protected:
  void Store(const char* name, uint32_t type, std::vector<uint8_t> bytes) {
    hp.Reg().Put(RegRoot::LocalMachine, kKey, name, {type, std::move(bytes)});
  }
  std::optional<uint32_t> Stored(const char* name) {
    return hp.Reg().GetDword(RegRoot::LocalMachine, kKey, name);
  }
  // Start-up completes and sound goes through, whatever was stored.
  void ExpectSoundFlows() {
    ASSERT_NO_FATAL_FAILURE(StartRunning());
    const size_t before = hp.Sound().Written().size();
    RunMs(1000);
    EXPECT_GT(hp.Sound().Written().size(), before) << "no block played after start-up";
    EXPECT_TRUE(hp.Sound().Violations().empty());
  }
};

// --- values of the wrong type or size -------------------------------------

struct BadData {
  const char* label;
  uint32_t type;
  std::vector<uint8_t> bytes;
  const char* errorPrefix;
};

// Up to four bytes fit the store's buffer, so such a value is read and
// rejected for its type (or its size); anything longer makes the read itself
// fail. A REG_BINARY of exactly four bytes is rejected for its type like any
// other non-DWORD, even though its bytes would make a valid number.
std::vector<BadData> AllBadData() {
  const char* kInvalid = "Invalid data type for";
  const char* kFailed = "Failed to get data for";
  std::vector<BadData> all = {
      {"None", platform::kRegNone, {}, kInvalid},
      {"EmptyString", platform::kRegSz, {0}, kInvalid},
      {"ShortString", platform::kRegSz, {'4', '0', 0}, kInvalid},
      {"LongString", platform::kRegSz, {'3', '2', '0', '0', 0}, kFailed},
      {"Qword", platform::kRegQword, {0x28, 0, 0, 0, 0, 0, 0, 0}, kFailed},
      {"ShortDword", platform::kRegDword, {0x28, 0}, kInvalid},
      {"LongDword", platform::kRegDword, {0x28, 0, 0, 0, 0}, kFailed},
  };
  for (uint8_t n = 0; n <= 8; ++n) {
    static const char* kLabels[] = {"Binary0", "Binary1", "Binary2", "Binary3", "Binary4",
                                    "Binary5", "Binary6", "Binary7", "Binary8"};
    // Small, in-range numbers: only the type is wrong.
    std::vector<uint8_t> bytes(n, 0);
    if (n > 0) bytes[0] = 1;
    all.push_back({kLabels[n], platform::kRegBinary, bytes, n > 4 ? kFailed : kInvalid});
  }
  return all;
}

void PrintTo(const BadData& d, std::ostream* os) {
  *os << d.label;
}

class WrongTypeTest : public BadSettingTest,
                      public ::testing::WithParamInterface<std::tuple<StoredSetting, BadData>> {};

TEST_P(WrongTypeTest, StartsWithTheDefaultReportsAndRepairsTheValue) {
  const auto& [setting, bad] = GetParam();
  Store(setting.name, bad.type, bad.bytes);
  ASSERT_NO_FATAL_FAILURE(ExpectSoundFlows());
  const std::string expected = std::string(bad.errorPrefix) + " '" + setting.name + "'";
  EXPECT_EQ(hp.Gui().ErrorBoxes(), std::vector<std::string>{expected});
  EXPECT_TRUE(Boxes().empty());
  EXPECT_EQ(ControlValue(*w, setting.name), setting.defaultValue);
  // The damaged value is replaced at once, so even a crash before the close
  // would leave a readable key behind.
  EXPECT_EQ(Stored(setting.name), static_cast<uint32_t>(setting.defaultValue));
  Close();
  EXPECT_EQ(Stored(setting.name), static_cast<uint32_t>(setting.defaultValue));
  EXPECT_EQ(hp.Gui().ErrorBoxes().size(), 1u) << "the close reported an error too";
  ExpectAllReturned();
}

INSTANTIATE_TEST_SUITE_P(
    EveryValueEveryType, WrongTypeTest,
    ::testing::Combine(::testing::ValuesIn(kSettings), ::testing::ValuesIn(AllBadData())),
    [](const ::testing::TestParamInfo<std::tuple<StoredSetting, BadData>>& info) {
      return std::string(std::get<0>(info.param).name) + "_" + std::get<1>(info.param).label;
    });

// All eight damaged at once: one box each, in the order of the load, and the
// start still goes through.
TEST_F(BadSettingTest, EveryValueDamagedAtOnce) {
  for (const StoredSetting& s : kSettings) Store(s.name, platform::kRegSz, {'x', 0});
  ASSERT_NO_FATAL_FAILURE(ExpectSoundFlows());
  std::vector<std::string> expected;
  for (const StoredSetting& s : kSettings) {
    expected.push_back(std::string("Invalid data type for '") + s.name + "'");
    EXPECT_EQ(ControlValue(*w, s.name), s.defaultValue) << s.name;
  }
  EXPECT_EQ(hp.Gui().ErrorBoxes(), expected);
  EXPECT_EQ(w->BlockLength(), 1000);
  Close();
  for (const StoredSetting& s : kSettings) {
    EXPECT_EQ(Stored(s.name), static_cast<uint32_t>(s.defaultValue)) << s.name;
  }
  ExpectAllReturned();
}

// --- DWORDs outside the control's range -----------------------------------

// The number a control shows for a stored DWORD: sliders clamp, boxes tick
// for anything but zero.
int32_t Clamped(const StoredSetting& s, int32_t stored) {
  if (s.isBox) return stored != 0 ? 1 : 0;
  return stored < s.min ? s.min : (stored > s.max ? s.max : stored);
}

class OutOfRangeTest : public BadSettingTest,
                       public ::testing::WithParamInterface<std::tuple<StoredSetting, uint32_t>> {};

TEST_P(OutOfRangeTest, ClampsSilentlyAndSavesTheClampedPosition) {
  const auto& [setting, raw] = GetParam();
  hp.Reg().PutDword(RegRoot::LocalMachine, kKey, setting.name, raw);
  ASSERT_NO_FATAL_FAILURE(ExpectSoundFlows());
  const int32_t expected = Clamped(setting, static_cast<int32_t>(raw));
  EXPECT_TRUE(hp.Gui().ErrorBoxes().empty());
  EXPECT_EQ(ControlValue(*w, setting.name), expected);
  // A valid DWORD is the user's own number: the load leaves it alone and the
  // close writes what the control shows.
  EXPECT_EQ(Stored(setting.name), raw);
  Close();
  EXPECT_EQ(Stored(setting.name), static_cast<uint32_t>(expected));
  EXPECT_TRUE(hp.Gui().ErrorBoxes().empty());
  ExpectAllReturned();
}

INSTANTIATE_TEST_SUITE_P(
    EveryValue, OutOfRangeTest,
    ::testing::Combine(::testing::ValuesIn(kSettings),
                       ::testing::Values(0xFFFFFFFFu /* -1 */, 0x80000000u /* INT_MIN */,
                                         0x7FFFFFFFu, 6501u, 881u, 81u, 2u)),
    [](const ::testing::TestParamInfo<std::tuple<StoredSetting, uint32_t>>& info) {
      return std::string(std::get<0>(info.param).name) + "_" +
             std::to_string(std::get<1>(info.param));
    });

// Sliders at the edges of their ranges still start: the longest delay and
// the quietest volume are legal extremes, not errors.
TEST_F(BadSettingTest, ExtremeDelayWithX10StillStarts) {
  hp.Reg().PutDword(RegRoot::LocalMachine, kKey, "Delay", 0x7FFFFFFF);
  hp.Reg().PutDword(RegRoot::LocalMachine, kKey, "X10", 0x80000000u);
  hp.Reg().PutDword(RegRoot::LocalMachine, kKey, "Volume", 0xFFFFFFFFu);
  hp.Reg().PutDword(RegRoot::LocalMachine, kKey, "Equalizer", 0xFFFFFFFFu);
  Start();
  EXPECT_EQ(w->BlockLength(), 88000);
  ASSERT_TRUE(hp.RunUntil([&] { return !w->Idle(); }, 6000 * hl::kTicksPerMs));
  RunMs(4500);
  EXPECT_FALSE(hp.Sound().Written().empty());
  EXPECT_TRUE(hp.Gui().ErrorBoxes().empty());
  Close();
  EXPECT_EQ(Stored("Delay"), 880u);
  EXPECT_EQ(Stored("X10"), 1u);
  EXPECT_EQ(Stored("Volume"), 1u);
  EXPECT_EQ(Stored("Equalizer"), 1u);
  ExpectAllReturned();
}

}  // namespace
}  // namespace lumrio::app::testing
