// The settings store: the positions of the main window's controls, kept as
// eight REG_DWORD values under one registry key. Loaded once while the window
// is created (missing values first get their defaults) and saved at every
// close. The controls themselves are the working copy in between.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/registry.h"

namespace lumrio::settings {

inline constexpr const char* kKeyPath = "Software\\Quibex\\Lumrio";

// One stored value and the control it belongs to.
struct Setting {
  const char* name;  // "Volume", "Delay", ...
  int32_t defaultValue;
  std::function<int32_t()> read;  // current control value (booleans as 0/1)
  std::function<void(int32_t)>
      apply;  // set the control (sliders clamp; booleans: non-zero = ticked)
};

class SettingsStore {
 public:
  SettingsStore(platform::Registry& registry, std::function<void(const std::string&)> showError);

  // Sets every control from its stored value, in the given order, writing
  // the default of any value that is missing first.
  void Load(const std::vector<Setting>& settings);
  // Writes every control's value, in the given order, changed or not.
  void Save(const std::vector<Setting>& settings);

 private:
  platform::Registry& registry_;
  std::function<void(const std::string&)> showError_;
};

}  // namespace lumrio::settings
