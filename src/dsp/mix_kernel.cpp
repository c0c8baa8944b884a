// Block mix: the per-target loops (SSE2 everywhere on x86-64 and, chosen at
// run time, on 32-bit x86; AVX2 chosen at run time where the platform keeps
// its stack alignment). A 512-bit form was tried and measured slower on this
// kind of CPU, so there is none.
#include "dsp/mix_kernel.h"

#include <cmath>

#include "dsp/equalizer.h"

#if defined(__SSE2__)
#include <immintrin.h>
#define LUMRIO_DSP_SSE2 1
#define LUMRIO_SSE2_LOOP
#elif defined(__i386__)
// The 32-bit build assumes no more than the x87 unit, whose exact path runs
// at about 26 x real time; a CPU with SSE2 (every one since about 2004) takes
// the SSE2 loop instead, at about 30 times that. 32-bit Windows keeps the
// stack only 4-byte aligned, so the loop realigns its own for its 16-byte
// spills.
#include <immintrin.h>
#define LUMRIO_DSP_SSE2 1
#define LUMRIO_DSP_SSE2_CHECKED 1
#define LUMRIO_SSE2_LOOP __attribute__((target("sse2"), force_align_arg_pointer))
#endif
#if defined(__SSE2__) && defined(__linux__) && defined(__x86_64__)
// GCC cannot realign the stack for 32- and 64-byte spills on Windows, so the
// wide paths are Linux-only; the SSE2 path is exact everywhere.
#define LUMRIO_DSP_WIDE 1
#endif

namespace lumrio::dsp::detail {
namespace {

// Magnitudes the loaded state must stay below so that every product stays far
// under 2^40 (see tap_sum.h); new inputs are 16-bit samples.
constexpr double kCoefficientLimit = 256.0;
constexpr double kHistoryLimit = 16777216.0;  // 2^24

constexpr double kRoundingShift = 6755399441055744.0;  // 1.5 * 2^52

// Advances the ring by one step and enters x in every band's lane.
inline double* PushSample(MixKernel& kernel, double x) {
  kernel.newest = kernel.newest == 0 ? kTaps - 1 : kernel.newest - 1;
  double* lane = kernel.ring.data() + kernel.newest * kBandCount;
  for (int b = 0; b < kBandCount; ++b) {
    lane[b] = x;
    lane[b + kTaps * kBandCount] = x;
  }
  return lane;
}

// The block loops deliver each mix either as the played sample or, for the
// exactness checks, as the mix itself.
inline void Emit(std::int16_t* out, double mix) {
  *out = MixToSample(mix);
}
inline void Emit(double* out, double mix) {
  *out = mix;
}

template <typename Out>
using BlockLoop = void (*)(MixKernel&, const std::int16_t*, Out*, int);

#if LUMRIO_DSP_SSE2
template <typename Out>
LUMRIO_SSE2_LOOP void RunSse2(MixKernel& kernel, const std::int16_t* in, Out* out, int count) {
  const __m128d shift = _mm_set1_pd(kRoundingShift);
  const double* c = kernel.coefficients.data();
  for (int i = 0; i < count; ++i) {
    const double* h = PushSample(kernel, in[i]);
    __m128d sum_lo = _mm_setzero_pd();
    __m128d sum_hi = _mm_setzero_pd();
    __m128d max_fraction = _mm_setzero_pd();
    __m128d min_fraction = _mm_setzero_pd();
    for (int k = 0; k < kTaps * kBandCount; k += kBandCount) {
      const __m128d p_lo = _mm_mul_pd(_mm_load_pd(c + k), _mm_load_pd(h + k));
      const __m128d p_hi = _mm_mul_pd(_mm_load_pd(c + k + 2), _mm_load_pd(h + k + 2));
      const __m128d r_lo = _mm_sub_pd(_mm_add_pd(p_lo, shift), shift);
      const __m128d r_hi = _mm_sub_pd(_mm_add_pd(p_hi, shift), shift);
      const __m128d f_lo = _mm_sub_pd(p_lo, r_lo);
      const __m128d f_hi = _mm_sub_pd(p_hi, r_hi);
      max_fraction = _mm_max_pd(max_fraction, _mm_max_pd(f_lo, f_hi));
      min_fraction = _mm_min_pd(min_fraction, _mm_min_pd(f_lo, f_hi));
      sum_lo = _mm_add_pd(sum_lo, r_lo);
      sum_hi = _mm_add_pd(sum_hi, r_hi);
    }
    const __m128d tie = _mm_or_pd(_mm_cmpeq_pd(max_fraction, _mm_set1_pd(0.5)),
                                  _mm_cmpeq_pd(min_fraction, _mm_set1_pd(-0.5)));
    double mix;
    if (_mm_movemask_pd(tie) != 0) {
      mix = ExactMix(kernel);
    } else {
      const __m128d pair = _mm_add_pd(sum_lo, sum_hi);
      mix = _mm_cvtsd_f64(_mm_add_sd(pair, _mm_unpackhi_pd(pair, pair))) / 4;
    }
    Emit(out + i, mix);
  }
}
#endif

#if LUMRIO_DSP_WIDE
struct Avx2Lane {
  __m256d sum;
  __m256d max_fraction;
  __m256d min_fraction;
};

__attribute__((target("avx2"))) inline void Avx2Tap(Avx2Lane& lane, const double* c,
                                                    const double* h) {
  const __m256d shift = _mm256_set1_pd(kRoundingShift);
  const __m256d p = _mm256_mul_pd(_mm256_load_pd(c), _mm256_load_pd(h));
  const __m256d r = _mm256_sub_pd(_mm256_add_pd(p, shift), shift);
  const __m256d f = _mm256_sub_pd(p, r);
  lane.max_fraction = _mm256_max_pd(lane.max_fraction, f);
  lane.min_fraction = _mm256_min_pd(lane.min_fraction, f);
  lane.sum = _mm256_add_pd(lane.sum, r);
}

// Two taps per step, with an accumulator apiece to keep the add chains short.
template <typename Out>
__attribute__((target("avx2"))) void RunAvx2(MixKernel& kernel, const std::int16_t* in, Out* out,
                                             int count) {
  const double* c = kernel.coefficients.data();
  for (int i = 0; i < count; ++i) {
    const double* h = PushSample(kernel, in[i]);
    Avx2Lane even{_mm256_setzero_pd(), _mm256_setzero_pd(), _mm256_setzero_pd()};
    Avx2Lane odd = even;
    for (int k = 0; k + kBandCount < kTaps * kBandCount; k += 2 * kBandCount) {
      Avx2Tap(even, c + k, h + k);
      Avx2Tap(odd, c + k + kBandCount, h + k + kBandCount);
    }
    const int last = (kTaps - 1) * kBandCount;
    Avx2Tap(even, c + last, h + last);
    const __m256d tie =
        _mm256_or_pd(_mm256_cmp_pd(_mm256_max_pd(even.max_fraction, odd.max_fraction),
                                   _mm256_set1_pd(0.5), _CMP_EQ_OQ),
                     _mm256_cmp_pd(_mm256_min_pd(even.min_fraction, odd.min_fraction),
                                   _mm256_set1_pd(-0.5), _CMP_EQ_OQ));
    double mix;
    if (_mm256_movemask_pd(tie) != 0) {
      mix = ExactMix(kernel);
    } else {
      const __m256d total = _mm256_add_pd(even.sum, odd.sum);
      const __m128d pair =
          _mm_add_pd(_mm256_castpd256_pd128(total), _mm256_extractf128_pd(total, 1));
      mix = _mm_cvtsd_f64(_mm_add_sd(pair, _mm_unpackhi_pd(pair, pair))) / 4;
    }
    Emit(out + i, mix);
  }
}
#endif

// Runs while static objects are made, possibly before the CPU detection's
// own constructor: hence the explicit __builtin_cpu_init.
template <typename Out>
BlockLoop<Out> ChooseLoop() {
#if LUMRIO_DSP_WIDE || LUMRIO_DSP_SSE2_CHECKED
  __builtin_cpu_init();
#endif
#if LUMRIO_DSP_WIDE
  if (__builtin_cpu_supports("avx2")) return RunAvx2<Out>;
#endif
#if LUMRIO_DSP_SSE2_CHECKED
  if (!__builtin_cpu_supports("sse2")) return nullptr;
#endif
#if LUMRIO_DSP_SSE2
  return RunSse2<Out>;
#else
  return nullptr;
#endif
}

const BlockLoop<std::int16_t> kSampleLoop = ChooseLoop<std::int16_t>();
const BlockLoop<double> kMixLoop = ChooseLoop<double>();

bool WithinLimit(double value, double limit) {
  return std::fabs(value) < limit;
}

}  // namespace

bool MixKernel::Available() {
  return kSampleLoop != nullptr && kMixLoop != nullptr;
}

bool MixKernel::Load(const std::array<TFilter*, kBandCount>& filters) {
  newest = 1;
  for (int b = 0; b < kBandCount; ++b) {
    const TFilter& filter = *filters[b];
    for (int k = 0; k < kTaps; ++k) {
      if (!WithinLimit(filter.Coefficients[k], kCoefficientLimit)) return false;
      coefficients[k * kBandCount + b] = filter.Coefficients[k];
    }
    // Entry 0 is overwritten by the next input before it is read.
    for (int k = 1; k < kTaps; ++k) {
      if (!WithinLimit(filter.History[k], kHistoryLimit)) return false;
      ring[k * kBandCount + b] = filter.History[k];
      ring[(k + kTaps) * kBandCount + b] = filter.History[k];
    }
  }
  return true;
}

void MixKernel::Store(const std::array<TFilter*, kBandCount>& filters) const {
  for (int b = 0; b < kBandCount; ++b) {
    TFilter& filter = *filters[b];
    filter.History[0] = ring[newest * kBandCount + b];
    for (int k = 1; k < kTaps; ++k) filter.History[k] = ring[(newest + k - 1) * kBandCount + b];
  }
}

void MixKernel::Run(const std::int16_t* in, std::int16_t* out, int count) {
  kSampleLoop(*this, in, out, count);
}

void MixKernel::RunMixes(const std::int16_t* in, double* mixes, int count) {
  kMixLoop(*this, in, mixes, count);
}

double ExactMix(const MixKernel& kernel) {
  double acc = 0.0;
  for (int b = 0; b < kBandCount; ++b) {
    acc += ExactTapSum(kernel.coefficients.data() + b,
                       kernel.ring.data() + kernel.newest * kBandCount + b, kBandCount);
  }
  return acc / 4;
}

}  // namespace lumrio::dsp::detail
