// Fast, exact sum of the rounded tap products for one filter.
//
// Why plain double arithmetic can stand in for the extended-precision
// reference: let P be the exact product c * h, Q its rounding to a 64-bit
// significand (what the reference rounds to an integer) and S its rounding to
// double. Every half-integer below 2^52 is representable in both formats and
// rounding is monotone, so if S is not itself a half-integer, P, Q and S all
// lie strictly between the same two neighbouring half-integers and round to
// the same integer. (Q can only land on a half-integer h when P is within half
// a 64-bit ulp of h, and then S lands on h too.) So the fast sum rounds S and
// gives up, for the exact path, whenever some S is a half-integer or too large
// for the sum of the rounded terms to stay exact.
#pragma once

namespace lumrio::dsp::detail {

// Largest product magnitude the fast paths accept: 33 terms below 2^40 sum
// exactly in a double.
inline constexpr double kFastProductLimit = 1099511627776.0;  // 2^40

// Sum over the 33 taps of each product rounded to an integer, ties to even.
// Returns false, leaving sum undefined, when the exact path is needed.
bool TryFastTapSum(const double* coefficients, const double* history, double& sum);

}  // namespace lumrio::dsp::detail
