// A failure rule for the headless call log, shared by the settings tests.
#pragma once

#include <functional>
#include <string>
#include <utility>

#include "platform/headless/calllog.h"

namespace lumrio::settings::test_support {

// A rule that fails `count` calls named `name` (those that `when` picks).
inline platform::headless::FailureRule Failing(
    const std::string& name, uint64_t result, int count = 1,
    std::function<bool(const platform::headless::Call&)> when = {}) {
  platform::headless::FailureRule rule;
  rule.name = name;
  rule.result = result;
  rule.count = count;
  rule.when = std::move(when);
  return rule;
}

}  // namespace lumrio::settings::test_support
