// Division by a constant without a division instruction.
//
// A vector division costs several times a multiply-add (on AMD Zen 4 a
// 512-bit vdivpd takes about 2.5× the time of the three multiply-adds below),
// and the link functions divide every element by a constant (√2, √(2π)). The
// quotient must be the correctly rounded x/c, the IEEE division's result,
// not x·(1/c), which differs in the last bit for about one x in four.
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

#include <cmath>
#include <cstddef>

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

// out[i] = numerator(i) / d.divisor, correctly rounded, for i < len. The
// numerator is a function of the index (an element of an array, or a formula
// of one), so that a quotient can be taken of an expression without storing
// it first. Written so that the compiler vectorises it (no branch in the
// loop); the elements outside the range above are redone afterwards with
// the division.
template <class Numerator>
inline __attribute__((always_inline)) void divide_by_constant(std::size_t len,
                                                              Numerator numerator,
                                                              ConstantDivisor d,
                                                              double* __restrict out) {
    unsigned outside = 0;
    for (std::size_t i = 0; i < len; ++i) {
        const double x = numerator(i);
        const double q0 = x * d.reciprocal;
        const double rem = std::fma(-q0, d.divisor, x);
        out[i] = std::fma(rem, d.reciprocal, q0);
        const double a = std::fabs(x);
        outside |= static_cast<unsigned>(!(a >= constant_division_lowest)) |
                   static_cast<unsigned>(!(a <= constant_division_highest));
    }
    if (outside) {
        for (std::size_t i = 0; i < len; ++i) {
            const double x = numerator(i);
            const double a = std::fabs(x);
            if (!(a >= constant_division_lowest) || !(a <= constant_division_highest))
                out[i] = x / d.divisor;
        }
    }
}

}  // namespace tarvex
