// The call log of the headless platform: every service call is recorded with
// its arguments, result and virtual time, and can be made to fail, either by
// explicit rules or at random with a failure code the real call could return.
#include "platform/headless/calllog.h"

#include <algorithm>
#include <array>
#include <map>
#include <set>

#include "platform/platform.h"

namespace lumrio::platform::headless {

namespace {

// Codes the real calls return on failure; a random failure picks one of them.
const std::map<std::string, std::vector<uint64_t>>& FailureCodes() {
  static const std::map<std::string, std::vector<uint64_t>> codes = {
      {"waveInOpen", {kMmAllocated, kMmNoDriver, kMmNoMem, kMmBadDeviceId}},
      {"waveOutOpen", {kMmAllocated, kMmNoDriver, kMmNoMem, kMmBadDeviceId}},
      {"waveInPrepareHeader", {kMmNoMem, kMmInvalidHandle}},
      {"waveOutPrepareHeader", {kMmNoMem, kMmInvalidHandle}},
      {"waveInUnprepareHeader", {kWaveStillPlaying, kMmInvalidHandle}},
      {"waveOutUnprepareHeader", {kWaveStillPlaying, kMmInvalidHandle}},
      {"waveInAddBuffer", {kMmNoMem, kMmError}},
      {"waveOutWrite", {kMmNoMem, kMmError}},
      {"waveInStart", {kMmError, kMmInvalidHandle}},
      {"waveInGetPosition", {kMmError, kMmInvalidHandle}},
      {"waveOutGetPosition", {kMmError, kMmInvalidHandle}},
      {"waveInReset", {kMmError, kMmInvalidHandle}},
      {"waveOutReset", {kMmError, kMmInvalidHandle}},
      {"waveInClose", {kWaveStillPlaying, kMmInvalidHandle}},
      {"waveOutClose", {kWaveStillPlaying, kMmInvalidHandle}},
      {"waveOutSetVolume", {kMmError, kMmInvalidHandle}},
      {"GlobalAlloc", {0}},
      {"GlobalLock", {0}},
      {"GlobalUnlock", {0}},
      {"HeapAlloc", {0}},
      {"RegCreateKeyExA", {static_cast<uint64_t>(kRegAccessDenied)}},
      {"RegOpenKeyExA", {static_cast<uint64_t>(kRegFileNotFound)}},
      {"RegQueryValueExA", {static_cast<uint64_t>(kRegFileNotFound)}},
      {"RegSetValueExA", {static_cast<uint64_t>(kRegAccessDenied)}},
      {"RegCloseKey", {static_cast<uint64_t>(kRegInvalidHandle)}},
      {"ShellExecuteA", {2}},  // ERROR_FILE_NOT_FOUND
  };
  return codes;
}

}  // namespace

bool CallLog::Injectable(const std::string& name) {
  static const std::set<std::string> never = {"MessageBox", "ErrorBox", "GlobalFree", "HeapFree"};
  return !never.contains(name);
}

void CallLog::Inject(FailureRule rule) {
  rules_.push_back(Rule{std::move(rule), 0, 0});
}

void CallLog::InjectRandomly(uint64_t seed, double probability) {
  randomSeed_ = seed;
  randomProbability_ = probability;
  rngState_ = seed;
}

void CallLog::ClearInjections() {
  rules_.clear();
  randomSeed_.reset();
  randomProbability_ = 0;
}

// splitmix64: small, seedable and good enough to spread failures around.
double CallLog::NextRandom() {
  uint64_t z = (rngState_ += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  z ^= z >> 31;
  return static_cast<double>(z >> 11) * 0x1.0p-53;
}

std::optional<uint64_t> CallLog::RandomFailure(const std::string& name) {
  if (!randomSeed_ || NextRandom() >= randomProbability_) return std::nullopt;
  const auto& codes = FailureCodes();
  const auto it = codes.find(name);
  if (it == codes.end()) return 1;
  const auto pick = static_cast<size_t>(NextRandom() * static_cast<double>(it->second.size()));
  return it->second[std::min(pick, it->second.size() - 1)];
}

std::optional<uint64_t> CallLog::Enter(Call& call) {
  call.time = clock_ ? clock_() : 0;
  call.seq = nextSeq_++;
  std::optional<uint64_t> injected;
  if (Injectable(call.name)) {
    Rule* winner = nullptr;
    for (Rule& r : rules_) {
      if (r.rule.name != call.name || (r.rule.when && !r.rule.when(call))) continue;
      ++r.seen;
      const bool fires = r.seen > r.rule.skip && (r.rule.count < 0 || r.fired < r.rule.count);
      if (fires && !winner) winner = &r;
    }
    if (winner) {
      ++winner->fired;
      injected = winner->rule.result;
    } else {
      injected = RandomFailure(call.name);
    }
  }
  if (injected) call.result = *injected;
  if (recording_) calls_.push_back(call);
  return injected;
}

void CallLog::SetResult(const Call& call, uint64_t result) {
  // The call is nearly always the last one; nested calls (a message box
  // pumping messages) may have been logged after it.
  for (auto it = calls_.rbegin(); it != calls_.rend(); ++it) {
    if (it->seq == call.seq) {
      it->result = result;
      return;
    }
  }
}

std::vector<Call> CallLog::CallsNamed(const std::string& name) const {
  std::vector<Call> out;
  std::copy_if(calls_.begin(), calls_.end(), std::back_inserter(out),
               [&](const Call& c) { return c.name == name; });
  return out;
}

int CallLog::CountNamed(const std::string& name) const {
  return static_cast<int>(
      std::count_if(calls_.begin(), calls_.end(), [&](const Call& c) { return c.name == name; }));
}

}  // namespace lumrio::platform::headless
