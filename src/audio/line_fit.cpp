// The running least-squares line.
#include "audio/line_fit.h"

namespace lumrio::audio {

namespace {

// The sums are kept relative to a base near the points, or over a long run
// the squares would swamp the differences they are there to measure.
constexpr double kRebaseAfter = 60000;

}  // namespace

void LineFit::Clear() {
  points_.clear();
  sumT_ = sumV_ = sumTT_ = sumTV_ = 0;
}

void LineFit::Add(double t, double value) {
  if (points_.empty()) base_ = t;
  if (t - base_ > kRebaseAfter) Rebase(points_.front().t + base_);
  Push(t - base_, value);
}

void LineFit::Push(double x, double value) {
  points_.push_back({x, value});
  sumT_ += x;
  sumV_ += value;
  sumTT_ += x * x;
  sumTV_ += x * value;
}

void LineFit::Rebase(double base) {
  std::deque<Point> points;
  points.swap(points_);
  const double old = base_;
  Clear();
  base_ = base;
  for (const Point& p : points) Push(p.t + old - base_, p.value);
}

void LineFit::DropOlderThan(double t, int keep) {
  while (Count() > keep && points_.front().t < t - base_) {
    const Point p = points_.front();
    points_.pop_front();
    sumT_ -= p.t;
    sumV_ -= p.value;
    sumTT_ -= p.t * p.t;
    sumTV_ -= p.t * p.value;
  }
}

double LineFit::Span() const {
  return points_.empty() ? 0 : points_.back().t - points_.front().t;
}

double LineFit::At(double t) const {
  if (points_.empty()) return 0;
  const auto n = static_cast<double>(points_.size());
  const double meanT = sumT_ / n;
  const double meanV = sumV_ / n;
  const double spread = sumTT_ / n - meanT * meanT;
  if (spread <= 1e-9 * (1 + meanT * meanT)) return meanV;
  const double slope = (sumTV_ / n - meanT * meanV) / spread;
  return meanV + slope * (t - base_ - meanT);
}

}  // namespace lumrio::audio
