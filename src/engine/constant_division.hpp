// Division by a constant without a division instruction.
//
// A vector division costs several times a multiply-add (on AMD Zen 4 a
// 512-bit vdivpd takes about 2.5× the time of the three multiply-adds below),
// and the link functions divide every element by a constant (√2, √(2π)). The
// quotient must be the correctly rounded x/c, the IEEE division's result,
// not x·(1/c), which differs in the last bit for 13% (c = √2) and 28%
// (c = √(2π)) of arguments in [-40, 40].
//
// Markstein's final division step gives exactly that from c's correctly
// rounded reciprocal r = RN(1/c) and two fused multiply-adds:
//   q0  = RN(x·r)             within 1 ulp of x/c (two roundings of 2^-53)
//   rem = x − q0·c            exact: one FMA (the remainder of a faithful
//                             quotient is representable)
//   q   = RN(q0 + rem·r)      = RN(x/c)
// (Markstein, IBM J. Res. Dev. 34(1), 1990; Muller et al., Handbook of
// Floating-Point Arithmetic, 2018, §4.7.) The theorem assumes that nothing
// underflows or overflows: for |c| in [1, 4) that holds for 2^-960 ≤ |x| ≤
// 2^1020, and every other x (zeros, subnormals, huge values, ±inf, NaN) is
// divided by the division instruction. The test suite checks the result
// against the division bit for bit over random and boundary arguments.
//
// Only for code compiled with hardware FMA: std::fma elsewhere is a slow
// library emulation, and plain division is then the faster choice.
#pragma once

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>

namespace tarvex {

struct ConstantDivisor {
    double divisor;
    double reciprocal;  // RN(1/divisor), folded at compile time
    explicit constexpr ConstantDivisor(double c) : divisor(c), reciprocal(1.0 / c) {}
};

// Arguments for which the two multiply-adds give the correctly rounded
// quotient by a divisor of magnitude in [1, 4).
inline constexpr double constant_division_lowest = 0x1p-960;
inline constexpr double constant_division_highest = 0x1p1020;

// Distance of |x| above constant_division_lowest in the order of the bit
// patterns of non-negative doubles (which is their numeric order, with +inf
// and then the NaNs above every finite value): at most in_range_span exactly
// for x in the range; below it the subtraction wraps to a larger value.
inline std::uint64_t bits_above_lowest(double x) {
    return (std::bit_cast<std::uint64_t>(x) & ~(std::uint64_t{1} << 63)) -
           std::bit_cast<std::uint64_t>(constant_division_lowest);
}
inline constexpr std::uint64_t in_range_span =
    std::bit_cast<std::uint64_t>(constant_division_highest) -
    std::bit_cast<std::uint64_t>(constant_division_lowest);

// out[i] = numerator(i) / d.divisor, correctly rounded, for i < len. The
// numerator is a function of the index (an element of an array, or a formula
// of one), so that a quotient can be taken of an expression without storing
// it first. Written so that the compiler vectorises it (no branch in the
// loop, the range test one integer maximum per element); the elements
// outside the range above are redone afterwards with the division.
template <class Numerator>
inline __attribute__((always_inline)) void divide_by_constant(std::size_t len,
                                                              Numerator numerator,
                                                              ConstantDivisor d,
                                                              double* __restrict out) {
    std::uint64_t farthest = 0;
    for (std::size_t i = 0; i < len; ++i) {
        const double x = numerator(i);
        const double q0 = x * d.reciprocal;
        const double rem = std::fma(-q0, d.divisor, x);
        out[i] = std::fma(rem, d.reciprocal, q0);
        const std::uint64_t above = bits_above_lowest(x);
        farthest = above > farthest ? above : farthest;
    }
    if (farthest > in_range_span) {
        for (std::size_t i = 0; i < len; ++i) {
            const double x = numerator(i);
            if (bits_above_lowest(x) > in_range_span) out[i] = x / d.divisor;
        }
    }
}

}  // namespace tarvex
