// One run of Lumrio on a simulated card of its own, with the traced input,
// for tests that read the heard delay: a run that meets a fault can be set
// beside one that does not.
#pragma once

#include <cmath>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/app_fixture.h"

namespace lumrio::app::testing {

class TracedSession {
 public:
  TracedSession(const hl::CardConditions& conditions, uint32_t delayPosition) {
    hp.Reg().PutDword(platform::RegRoot::LocalMachine, kKey, "Delay", delayPosition);
    hp.Sound().SetConditions(conditions);
    hp.Sound().UseTracedInput();
    hp.Sound().KeepSamples(false);
    hp.Gui().SetApplicationTitle(kApplicationTitle);
    w = std::make_unique<Tw_Main>(hp.Get());
    w->FormCreate();
    w->Form().Show();
  }
  ~TracedSession() {
    if (!closed_) w->Form().Close();
  }
  TracedSession(const TracedSession&) = delete;
  TracedSession& operator=(const TracedSession&) = delete;

  double NowMs() const { return static_cast<double>(hp.Now()) / hl::kTicksPerMs; }
  void RunUntilMs(double ms) {
    if (ms > NowMs()) hp.RunForMs(ms - NowMs());
  }
  int Corrections() const { return w->Engine().Rule().Backlog().Corrections(); }
  hl::SoundCard& Card() { return hp.Sound(); }

  // Closes the window, as the user does. Answers what the devices and the
  // heap still hold, as a text (empty when everything came back).
  std::string CloseAndCheck() {
    w->Form().Close();
    closed_ = true;
    if (w->Engine().OutQueued() != 0 || hp.Mem().LiveHeapBlocks() != 0 ||
        hp.Mem().LiveGlobalBlocks() != 0) {
      return "blocks left after the close";
    }
    if (!hp.Sound().Violations().empty()) return hp.Sound().Violations().front();
    if (!hp.Mem().Violations().empty()) return hp.Mem().Violations().front();
    return {};
  }

  // The heard delay at each `stepMs` from `fromMs` to `toMs` (system clock)
  // where captured sound was heard; nothing where silence or a join was.
  std::vector<std::pair<double, double>> DelaysMs(double fromMs, double toMs, double stepMs) {
    const auto heard = hp.Sound().Heard();
    std::vector<std::pair<double, double>> out;
    size_t r = 0;
    for (double t = fromMs; t < toMs; t += stepMs) {
      const double ticks = t * hl::kTicksPerMs;
      while (r < heard.size() &&
             heard[r].start + static_cast<double>(heard[r].count) * heard[r].ticksPerSample <=
                 ticks) {
        ++r;
      }
      if (r == heard.size()) break;
      const auto& run = heard[r];
      if (run.start > ticks || run.firstIndex < 0) continue;
      const auto k = static_cast<int64_t>((ticks - run.start) / run.ticksPerSample);
      const double at = run.start + static_cast<double>(k) * run.ticksPerSample;
      out.emplace_back(t, (at - hp.Sound().CaptureTime(run.firstIndex + k)) / hl::kTicksPerMs);
    }
    return out;
  }
  // Where the heard delay steps between two stretches of captured sound:
  // when (ms) and by how much (ms). The program's corrections.
  std::vector<std::pair<double, double>> DelayStepsMs() {
    std::vector<std::pair<double, double>> out;
    const auto heard = hp.Sound().Heard();
    const hl::SoundCard::HeardRun* before = nullptr;
    for (const auto& run : heard) {
      if (run.firstIndex < 0 || run.count == 0) continue;
      if (before) {
        const int64_t last = before->firstIndex + before->count - 1;
        const double end =
            before->start + static_cast<double>(before->count - 1) * before->ticksPerSample;
        const double step = ((run.start - hp.Sound().CaptureTime(run.firstIndex)) -
                             (end - hp.Sound().CaptureTime(last))) /
                            hl::kTicksPerMs;
        if (std::abs(step) > 0.5) out.emplace_back(run.start / hl::kTicksPerMs, step);
      }
      before = &run;
    }
    return out;
  }
  double DelayMs(double atMs) {
    const auto d = DelaysMs(atMs, atMs + 50, 1);
    return d.empty() ? -1 : d.front().second;
  }

  hl::HeadlessPlatform hp;
  std::unique_ptr<Tw_Main> w;

 private:
  bool closed_ = false;
};

}  // namespace lumrio::app::testing
