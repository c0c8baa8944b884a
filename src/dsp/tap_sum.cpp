// SSE2 form of the checked tap sum; other targets always take the exact path.
#include "dsp/tap_sum.h"

#include "dsp/filter.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace lumrio::dsp::detail {

#if defined(__SSE2__)
namespace {

// Adding and then subtracting 1.5 * 2^52 rounds any |s| < 2^51 to an integer
// in the current rounding mode, which is round-to-nearest-even.
constexpr double kRoundingShift = 6755399441055744.0;

struct Lanes {
  __m128d sum = _mm_setzero_pd();
  __m128d max_fraction = _mm_setzero_pd();
  __m128d min_fraction = _mm_setzero_pd();
  __m128d out_of_range = _mm_setzero_pd();
};

inline void Accumulate(Lanes& lanes, __m128d product) {
  const __m128d shift = _mm_set1_pd(kRoundingShift);
  const __m128d sign = _mm_set1_pd(-0.0);
  const __m128d rounded = _mm_sub_pd(_mm_add_pd(product, shift), shift);
  const __m128d fraction = _mm_sub_pd(product, rounded);
  lanes.max_fraction = _mm_max_pd(lanes.max_fraction, fraction);
  lanes.min_fraction = _mm_min_pd(lanes.min_fraction, fraction);
  // "Not less than" is also true for NaN.
  const __m128d magnitude = _mm_andnot_pd(sign, product);
  lanes.out_of_range =
      _mm_or_pd(lanes.out_of_range, _mm_cmpnlt_pd(magnitude, _mm_set1_pd(kFastProductLimit)));
  lanes.sum = _mm_add_pd(lanes.sum, rounded);
}

}  // namespace

bool TryFastTapSum(const double* coefficients, const double* history, double& sum) {
  Lanes lanes;
  for (int k = 0; k + 1 < kTaps; k += 2) {
    Accumulate(lanes, _mm_mul_pd(_mm_loadu_pd(coefficients + k), _mm_loadu_pd(history + k)));
  }
  // The odd last tap rides in the low lane, with a zero product beside it.
  Accumulate(lanes,
             _mm_mul_sd(_mm_load_sd(coefficients + kTaps - 1), _mm_load_sd(history + kTaps - 1)));
  const __m128d half = _mm_set1_pd(0.5);
  const __m128d tie = _mm_or_pd(_mm_cmpeq_pd(lanes.max_fraction, half),
                                _mm_cmpeq_pd(lanes.min_fraction, _mm_set1_pd(-0.5)));
  if (_mm_movemask_pd(_mm_or_pd(tie, lanes.out_of_range)) != 0) return false;
  sum = _mm_cvtsd_f64(_mm_add_sd(lanes.sum, _mm_unpackhi_pd(lanes.sum, lanes.sum)));
  return true;
}

#else

bool TryFastTapSum(const double*, const double*, double&) {
  return false;
}

#endif

}  // namespace lumrio::dsp::detail
