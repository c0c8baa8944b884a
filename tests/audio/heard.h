// What a listener hears of a run on the simulated card with the traced
// input: the delay of every stretch of captured sound played, and the
// silences between them. Times and delays are in milliseconds.
#pragma once

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "platform/headless/headless.h"

namespace lumrio::audio::testing {

namespace hl = platform::headless;

class Heard {
 public:
  struct Point {
    double ms;       // when it was heard
    double delayMs;  // how long after it was recorded
  };
  struct Silence {
    double fromMs, toMs;
    double Length() const { return toMs - fromMs; }
  };

  explicit Heard(const hl::SoundCard& card) : runs_(card.Heard()) {
    for (const auto& r : runs_) {
      const double end = r.start + static_cast<double>(r.count) * r.ticksPerSample;
      if (r.firstIndex >= 0) {
        Add(r.start, card.CaptureTime(r.firstIndex));
        const int64_t last = r.count - 1;
        Add(r.start + static_cast<double>(last) * r.ticksPerSample,
            card.CaptureTime(r.firstIndex + last));
      }
      if (lastEnd_ >= 0 && r.start - lastEnd_ > kTicksPerMs) {
        silences_.push_back({lastEnd_ / kTicksPerMs, r.start / kTicksPerMs});
      }
      lastEnd_ = std::max(lastEnd_, end);
    }
  }

  // The delays heard in [fromMs, toMs).
  std::vector<double> Delays(double fromMs, double toMs) const {
    std::vector<double> out;
    for (const Point& p : points_) {
      if (p.ms >= fromMs && p.ms < toMs) out.push_back(p.delayMs);
    }
    return out;
  }

  std::optional<double> Median(double fromMs, double toMs) const {
    auto d = Delays(fromMs, toMs);
    if (d.empty()) return std::nullopt;
    std::nth_element(d.begin(), d.begin() + static_cast<std::ptrdiff_t>(d.size() / 2), d.end());
    return d[d.size() / 2];
  }

  // The point in [fromMs, toMs) whose delay is furthest from `reference`.
  std::optional<Point> Furthest(double fromMs, double toMs, double reference) const {
    std::optional<Point> worst;
    for (const Point& p : points_) {
      if (p.ms < fromMs || p.ms >= toMs) continue;
      if (!worst || std::abs(p.delayMs - reference) > std::abs(worst->delayMs - reference)) {
        worst = p;
      }
    }
    return worst;
  }

  // Silences between stretches heard that overlap [fromMs, toMs).
  std::vector<Silence> Silences(double fromMs, double toMs) const {
    std::vector<Silence> out;
    for (const Silence& s : silences_) {
      if (s.toMs > fromMs && s.fromMs < toMs) out.push_back(s);
    }
    return out;
  }

  // Stretches of sound the program joined (crossfades, replayed stretches)
  // that began in [fromMs, toMs).
  int Joins(double fromMs, double toMs) const {
    int joins = 0;
    for (const auto& r : runs_) {
      const double ms = r.start / kTicksPerMs;
      if (r.firstIndex < 0 && ms >= fromMs && ms < toMs) ++joins;
    }
    return joins;
  }

  bool Empty() const { return points_.empty(); }

 private:
  static constexpr double kTicksPerMs = static_cast<double>(hl::kTicksPerMs);

  void Add(double heardTicks, double capturedTicks) {
    points_.push_back({heardTicks / kTicksPerMs, (heardTicks - capturedTicks) / kTicksPerMs});
  }

  std::vector<hl::SoundCard::HeardRun> runs_;
  std::vector<Point> points_;
  std::vector<Silence> silences_;
  double lastEnd_ = -1;
};

}  // namespace lumrio::audio::testing
