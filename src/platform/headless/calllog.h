// The call log of the headless platform: the record of every service call and
// the rules that make chosen calls fail.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/headless/ticks.h"

namespace lumrio::platform::headless {

// One logged service call. `args` holds the arguments as integers (pointers
// and handles by address); `result` the value returned.
struct Call {
  std::string name;  // the Windows name: "waveInOpen", "GlobalAlloc", "RegSetValueExA", ...
  std::vector<uintptr_t> args;
  std::string text{};  // string argument, if any (value name, key path)
  uint64_t result = 0;
  Ticks time = 0;
  uint64_t seq = 0;  // set by CallLog::Enter: identifies the record for SetResult
};

// Makes chosen calls fail. A rule matches calls by name (and optional
// predicate); it lets `skip` matching calls through, then fails the next
// `count` (-1: all) with `result`.
struct FailureRule {
  std::string name;
  uint64_t result = 1;
  int skip = 0;
  int count = 1;
  std::function<bool(const Call&)> when{};  // empty: every call of that name
};

class CallLog {
 public:
  void Inject(FailureRule rule);
  // Fail every call (of any injectable name) with probability p, seeded; the
  // result is a plausible failure code for that call.
  void InjectRandomly(uint64_t seed, double probability);
  void ClearInjections();

  // Records the call and returns the injected result, if a rule fires.
  std::optional<uint64_t> Enter(Call& call);
  // Stores the result of a call entered earlier (when it was not injected).
  void SetResult(const Call& call, uint64_t result);
  // The time source stamped on every call (the platform's virtual clock).
  void SetClock(std::function<Ticks()> clock) { clock_ = std::move(clock); }
  // Calls that are logged but never fail (message boxes, frees).
  static bool Injectable(const std::string& name);

  // Long runs turn the record off; injected failures still fire.
  void SetRecording(bool record) { recording_ = record; }

  const std::vector<Call>& Calls() const { return calls_; }
  std::vector<Call> CallsNamed(const std::string& name) const;
  int CountNamed(const std::string& name) const;
  void Clear() { calls_.clear(); }

 private:
  struct Rule {
    FailureRule rule;
    int seen = 0;
    int fired = 0;
  };
  std::vector<Call> calls_;
  bool recording_ = true;
  std::vector<Rule> rules_;
  std::optional<uint64_t> randomSeed_;
  double randomProbability_ = 0;
  uint64_t rngState_ = 0;
  std::function<Ticks()> clock_;
  uint64_t nextSeq_ = 1;
  std::optional<uint64_t> RandomFailure(const std::string& name);
  double NextRandom();
};

}  // namespace lumrio::platform::headless
