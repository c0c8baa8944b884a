// A least-squares line through the newest of a series of (time, value)
// points, kept with running sums so that adding and dropping a point costs
// the same however many there are.
#pragma once

#include <deque>

namespace lumrio::audio {

class LineFit {
 public:
  void Clear();
  void Add(double t, double value);
  // Drops the points older than `t`, keeping at least `keep`.
  void DropOlderThan(double t, int keep);
  int Count() const { return static_cast<int>(points_.size()); }
  double Span() const;  // time from the oldest point to the newest
  // The line's value at `t` (the mean, if the points do not span any time).
  double At(double t) const;
  // Calls f(t, value) for every point, oldest first.
  template <typename F>
  void ForEach(F f) const {
    for (const Point& p : points_) f(p.t + base_, p.value);
  }

 private:
  struct Point {
    double t, value;
  };
  void Push(double x, double value);
  void Rebase(double base);

  std::deque<Point> points_;
  double sumT_ = 0, sumV_ = 0, sumTT_ = 0, sumTV_ = 0;
  double base_ = 0;
};

}  // namespace lumrio::audio
