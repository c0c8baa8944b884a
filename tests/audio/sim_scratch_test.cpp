#include <cstdio>
#include <cstdlib>
#include "app/app_fixture.h"
namespace lumrio::app::testing {
namespace {
class Sim : public AppTest {};
double Env(const char* n, double d) { const char* v = std::getenv(n); return v ? atof(v) : d; }
void Curve(hl::HeadlessPlatform& hp, double stepMs) {
  auto runs = hp.Sound().Heard();
  double next = 0, lastEnd = -1, dmin = 1e9, dmax = -1e9;
  int joints = 0;
  for (auto& r : runs) {
    double t = r.start / 441.0;
    if (lastEnd >= 0 && t - lastEnd > 1.0) printf("   gap %.1f ms at %.1f\n", t - lastEnd, lastEnd);
    lastEnd = (r.start + (double)r.count * r.ticksPerSample) / 441.0;
    if (r.firstIndex < 0) { joints++; continue; }
    double d = (r.start - hp.Sound().CaptureTime(r.firstIndex)) / 441.0;
    if (t > 3000) { dmin = std::min(dmin, d); dmax = std::max(dmax, d); }
    if (t < next) continue;
    next = t + stepMs;
    printf("t=%9.1f delay=%7.2f ms\n", t, d);
  }
  printf("after 3 s: delay %.2f .. %.2f ms, joints %d\n", dmin, dmax, joints);
}
TEST_F(Sim, Drift) {
  hp.Reg().PutDword(platform::RegRoot::LocalMachine, kKey, "Delay", (uint32_t)Env("SIM_DELAY", 100));
  hp.Reg().PutDword(platform::RegRoot::LocalMachine, kKey, "X10", (uint32_t)Env("SIM_X10", 0));
  auto c = hl::RealisticConditions();
  c.capturePpm = Env("SIM_PPM_IN", 0);
  c.playbackPpm = Env("SIM_PPM_OUT", 0);
  c.slowStartMs = Env("SIM_SLOW_MS", 0);
  c.slowStartRate = Env("SIM_SLOW_RATE", 1);
  hp.Sound().SetConditions(c);
  hp.Sound().UseTracedInput();
  hp.Sound().KeepSamples(false);
  hp.Log().SetRecording(false);
  Start();
  RunMs(Env("SIM_SECONDS", 60) * 1000);
  const auto& l = w->Engine().Latency();
  printf("block %d level %lld phase %d cuts %d drift %d\n", w->BlockLength(), (long long)l.Level(), (int)l.CurrentPhase(), l.FaultCuts(), l.DriftCorrections());
  Curve(hp, Env("SIM_STEP", 5000));
  if (std::getenv("SIM_BLOCKS")) {
    for (auto& b : hp.Sound().Written()) {
      if (b.sourceEnd < 0 || b.segments.empty()) continue;
      auto& seg = b.segments.back();
      double tLast = seg.start + (double)(seg.count - 1) * seg.ticksPerSample;
      double d = (tLast - hp.Sound().CaptureTime(b.sourceEnd)) / 441.0;
      fprintf(stderr, "BLK %.2f %lld %.3f\n", (double)b.writeTime / 441.0, (long long)b.length, d);
    }
  }
}
}  // namespace
}  // namespace lumrio::app::testing
namespace lumrio::app::testing {
namespace {
TEST_F(Sim, Faults) {
  hp.Reg().PutDword(platform::RegRoot::LocalMachine, kKey, "Delay", (uint32_t)Env("SIM_DELAY", 100));
  hp.Reg().PutDword(platform::RegRoot::LocalMachine, kKey, "X10", (uint32_t)Env("SIM_X10", 0));
  auto c = hl::RealisticConditions();
  c.playbackLatencyMs = Env("SIM_LAT", 15);
  hp.Sound().SetConditions(c);
  hp.Sound().UseTracedInput();
  hp.Sound().KeepSamples(false);
  hp.Log().SetRecording(false);
  Start();
  double q = Env("SIM_QUIET", 8000);
  RunMs(q);
  hp.Sound().HoldProcess(1000 * hl::kTicksPerMs); RunMs(q);
  hp.HoldGui(1000 * hl::kTicksPerMs); RunMs(q);
  hp.Sound().StallPlayback((hl::Ticks)(Env("SIM_STALL", 200) * hl::kTicksPerMs)); RunMs(q);
  hp.Sound().HoldProcess(3000 * hl::kTicksPerMs); RunMs(q);
  const auto& l = w->Engine().Latency();
  printf("block %d level %lld phase %d cuts %d drift %d\n", w->BlockLength(), (long long)l.Level(), (int)l.CurrentPhase(), l.FaultCuts(), l.DriftCorrections());
  Curve(hp, Env("SIM_STEP", 500));
}
}  // namespace
}  // namespace lumrio::app::testing
