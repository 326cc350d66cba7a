// Element-wise forms of the link functions over arrays: each kernel's
// formula and accuracy, compiled once per instruction-set level.
//
// Logit: the exponential of a whole array goes through glibc's vector maths
// library libmvec when the build found it (its SSE2, AVX2 and AVX-512
// variants evaluate 2, 4 or 8 arguments per call), else the C library's
// scalar exp. The arithmetic around it (negation, the logistic quotient) is
// the written formula, one correctly rounded operation at a time, in plain
// loops the compiler vectorises for the level's width. libmvec's exp against
// glibc 2.36's scalar exp (2^20 random arguments on [-745, 710], and the
// special values), measured when it was adopted: at most 3 ulp apart;
// exp(-inf) = 0, exp(inf) = inf, exp(NaN) = NaN, 0 exactly where the scalar
// one is 0.
//
// Probit: Φ and φ from the engine's own kernel (below, and
// normal_kernel.inc), no library function, the same in every build.
//
// Every lane is evaluated on its own, and a short tail is padded to a full
// vector, so an element's value depends neither on its position in the array
// nor on the array's length (tests/test_link_accuracy.py checks every
// position of a 19-element array).
#include "engine/link.hpp"

#include "engine/isa_level.hpp"

#include <algorithm>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif
#if defined(TARVEX_HAVE_LIBMVEC) && defined(__x86_64__)
#define TARVEX_VECTOR_MATH 1
#endif

namespace tarvex {

namespace {

// exp of an array, in[0..len) into out[0..len) (the two may be the same
// array), with the C library's scalar function.
struct ScalarMath {
    static TARVEX_INLINE void exp(const double* in, std::size_t len, double* out) {
        for (std::size_t i = 0; i < len; ++i) out[i] = std::exp(in[i]);
    }
};

// The exponential of each instruction-set level. Without libmvec every level
// uses the C library's scalar function.
template <IsaLevel L>
struct LevelMath {
    using type = ScalarMath;
};

#ifdef TARVEX_VECTOR_MATH

// glibc's vector ABI names (libmvec): b = SSE2 (2 lanes), d = AVX2 (4 lanes),
// e = AVX-512 (8 lanes).
// The declarations pass vector types by value; GCC notes (-Wpsabi) that their
// ABI depends on the enabled instruction set, which is why they are only ever
// called from functions compiled for the matching level.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"
extern "C" {
__m128d _ZGVbN2v_exp(__m128d);
__m256d _ZGVdN4v_exp(__m256d);
__m512d _ZGVeN8v_exp(__m512d);
}
#pragma GCC diagnostic pop

// Runs the vector function over in[0..len) in steps of Lanes; the last
// partial step goes through a zero-padded buffer of one full vector.
#define TARVEX_VECTOR_LOOP(Lanes, load, store, call)                              \
    std::size_t i = 0;                                                            \
    for (; i + (Lanes) <= len; i += (Lanes)) store(out + i, call(load(in + i)));  \
    if (i < len) {                                                                \
        alignas(64) double buf[Lanes] = {};                                       \
        for (std::size_t j = 0; j < len - i; ++j) buf[j] = in[i + j];             \
        store(buf, call(load(buf)));                                              \
        for (std::size_t j = 0; j < len - i; ++j) out[i + j] = buf[j];            \
    }

// One level's exp of arrays: Lanes arguments per call of the vector
// function, the function attributes `Attrs` (the level's target).
#define TARVEX_LEVEL_MATH(Name, Attrs, Lanes, load, store, exp_fn)              \
    struct Name {                                                                  \
        static Attrs void exp(const double* in, std::size_t len, double* out) {    \
            TARVEX_VECTOR_LOOP(Lanes, load, store, exp_fn)                         \
        }                                                                          \
    };

TARVEX_LEVEL_MATH(Sse2Math, TARVEX_INLINE, 2, _mm_loadu_pd, _mm_storeu_pd, _ZGVbN2v_exp)
TARVEX_LEVEL_MATH(Avx2Math, TARVEX_TARGET_AVX2, 4, _mm256_loadu_pd, _mm256_storeu_pd,
                  _ZGVdN4v_exp)
TARVEX_LEVEL_MATH(Avx512Math, TARVEX_TARGET_AVX512, 8, _mm512_loadu_pd, _mm512_storeu_pd,
                  _ZGVeN8v_exp)

#undef TARVEX_LEVEL_MATH
#undef TARVEX_VECTOR_LOOP

template <>
struct LevelMath<IsaLevel::Base> {
    using type = Sse2Math;
};
template <>
struct LevelMath<IsaLevel::Avx2> {
    using type = Avx2Math;
};
template <>
struct LevelMath<IsaLevel::Avx512> {
    using type = Avx512Math;
};

#endif

// Arrays are processed in pieces of this many elements, so that the
// intermediate arguments live on the stack, in L1.
constexpr std::size_t piece = 256;

// LOGISTIC DISTRIBUTION FUNCTION
//   F(z) = 1/(e^-z + 1)
// 0 where e^-z overflows (z < -709.78), 1 for z > 36.7.
// ACCURACY: the exponential's error (at most 3 ulp from glibc's scalar exp)
// plus two roundings, damped by the quotient (|∂ log F/∂ log v| < 1). The
// test suite checks it within 10 ulp of the form with the scalar exp on
// [-40, 40], [-745, -700] and [30, 40].
template <class M>
TARVEX_INLINE void logit_cdf_piece(const double* z, std::size_t len, double* out) {
    double minus_z_exp[piece];
    for (std::size_t i = 0; i < len; ++i) minus_z_exp[i] = -z[i];
    M::exp(minus_z_exp, len, minus_z_exp);
    for (std::size_t i = 0; i < len; ++i) out[i] = 1.0 / (minus_z_exp[i] + 1.0);
}

// LOGISTIC DENSITY
//   f(z) = w/((w + 1)(w + 1)),  w = e^z, or w = e^-z above z = 354 (the
//   mirror form f(z) = f(-z), where (w + 1)² would overflow).
// 0 where e^z underflows (z < -745.13) and in the mirror form's tail.
// ACCURACY: the test suite checks it within 10 ulp of the form with the
// scalar exp on [-40, 40], [-745.2, -700], [300, 360] and [700, 800]
// (measured: at most 8 ulp, near z = 2).
template <class M>
TARVEX_INLINE void logit_pdf_piece(const double* z, std::size_t len, double* out) {
    double w[piece];
    for (std::size_t i = 0; i < len; ++i)
        w[i] = z[i] > link_constants::logit_pdf_mirror_above ? -z[i] : z[i];
    M::exp(w, len, w);
    for (std::size_t i = 0; i < len; ++i) out[i] = w[i] / ((w[i] + 1.0) * (w[i] + 1.0));
}

// NORMAL Φ AND φ FROM ONE EXPONENTIAL
//   φ(z) = e^(-z²/2)/√(2π),   Φ(z) = φ(z)·M(|z|) for z < 0, 1 - φ(z)·M(z) else,
// with M(x) = (1 - Φ(x))/φ(x) the Mills ratio. Per element, with x = |z|:
// 1. -z²/2 = hi + lo exactly: hi = -x·x/2 rounded, lo its error (with a
//    fused multiply-add, h = -x/2, hi = h·x and lo = h·x - hi fused; at the
//    base level Dekker's product with x split into two 26-bit halves: the
//    same exact value).
// 2. e^(hi + lo) = 2^k·e^r: k = nearest integer to hi/ln 2 (hi·log2e +
//    1.5·2^52 by one multiply-add, less 1.5·2^52), r = hi - k·ln2_hi (exact:
//    ln2_hi has 42 significant bits, so k·ln2_hi is exact and one multiply-
//    add rounds once) plus lo - k·ln2_lo, kept as r + r_lo (Fast2Sum);
//    e^r - 1 = r + r²·P(r), P the near-minimax (Chebyshev) polynomial of
//    degree 9 for (e^r - 1 - r)/r² on |r| ≤ 0.35 (its error in e^r is below
//    2^-55.5; the Taylor polynomial of that accuracy has two terms more),
//    and e^(r + r_lo) - 1 ≈ (e^r - 1) + r_lo.
// 3. The mantissa of φ, φm = c_hi + ((e^r - 1)·c_hi + c_lo), c = 1/√(2π) as
//    a two-double constant; φ = (φm·2^(k + 600))·2^-600: -1155 ≤ k ≤ 0, so
//    the first product is exact (a normal double) and the second rounds
//    once, also where φ is subnormal.
// 4. M(x)·2^-600: for x < 4 one polynomial of degree 27 in s = x/2 - 1 (M
//    is an entire function: no pieces, so no lane looks anything up); for
//    x ≥ 4, G(t) = x·M(x) with t = 1/x, flat near 1, one polynomial of
//    degree 20 in s = 8t - 1, and M = G·t (tables from
//    tools/mills-ratio-coefficients, truncation error below 1.2e-18 and 2e-18
//    relative, scaled by 2^-600 at compile time: exact, and every partial
//    sum stays a normal double, so each rounds as unscaled). |z| is clamped
//    to 40, where φ and Φ(-40) are 0.
// 5. Φ = (φm·M·2^-600)·2^(k + 600) for z < 0, 1 - that for z ≥ 0: one
//    rounding of the product and one more only where it is subnormal. Where
//    Φ is small, its relative error is φm's plus M's plus those roundings,
//    and where it is near 1 the error of φ·M is damped by φ·M/Φ ≤ 1.
// No step branches on an element or reads memory at an element-dependent
// address, so the kernel runs 8, 4 or 2 lanes at a time (AVX-512, AVX2,
// SSE2 at the base level; one lane on other architectures), one copy of
// normal_kernel.inc per level; the tail's polynomial is evaluated only for
// steps holding a lane with |z| ≥ 4. At AVX2 and SSE2 each step takes two
// registers interleaved (Interleaved), so that their dependency chains
// overlap. The three polynomials go by Estrin's scheme, evaluated depth
// first, M's with four Horner steps at the end (accuracy). The levels differ
// only in the fused multiply-adds (AVX2, AVX-512) against separate
// roundings (base).
// Special values: NaN gives NaN for both, ±inf give φ = 0 and Φ = 0 or 1,
// ±0 give φ(0) and Φ = 1/2; φ is subnormal for 37.5 < |z| < 38.6 and 0
// beyond, Φ subnormal for -38.5 < z < -37.5 and 0 below.
// ACCURACY against the true functions (mpmath at 40 digits; 2^14 random z
// per range: N(0, 1.5²), [-8, 8], [-37.52, -4], the subnormal range of Φ
// [-38.49, -37.52], [4, 40] and [-1e-3, 1e-3]; 16,000 z in [-1, 0) crowded
// towards 0; 4,000 in [-4.01, -3.99]), measured worst case: Φ 3.4 ulp at
// AVX2 and 3.9 ulp at the base level (just below z = 0, where Φ is just
// below 1/2, at the top of its binade, so that the relative error of φ·M
// counts the most ulps; the kernel before this one gave the same 3.9 at the
// same point), 2.9
// ulp elsewhere, one subnormal step where Φ is subnormal; φ 1.1 ulp (1.2 in
// a scan of 2^18 points per range against long double).
// tests/test_normal_kernel.py checks Φ within 4 ulp and φ within 2 on 3,800
// points per level, and the special values. The former form, erfc(-z/√2)/2
// and exp(-z²/2)/√(2π) from rounded arguments through libmvec, was up to ~20
// ulp off for |z| < 4 and ~1700 ulp in the far tail (z = -8).
// SPEED (AMD EPYC, Zen 3, AVX2; bench/link_kernels.sh, 2^20 z): about 4.0
// ns per pair on N(0, 1.5²) and 5.9 ns on N(0, 5²), 14% less than the
// one-register kernel before the interleaving and the shorter chains (4.7
// and 6.9 ns in the same runs); bench/results/kernels.md has the
// side-by-side runs.
namespace normal {

// Generated by tools/mills-ratio-coefficients.
// relative error 1.2e-18; c0 first
alignas(64) constexpr double mills_bulk[28] = {
    0.4213692292880545, -0.31452308284778213, 0.2136922928805448,
    -0.13444105328964986, 0.07925123959088987, -0.04415185095900243,
    0.023399592421389236, -0.01185843345017774, 0.005770579483848548,
    -0.0027057128726305046, 0.0012259466586028325, -0.0005380968143523167,
    0.00022928320800226124, -9.501952716351528e-05, 3.836131068690164e-05,
    -1.5109002472931584e-05, 5.81244055094406e-06, -2.1870904519468744e-06,
    8.067346335862701e-07, -2.911553747683642e-07, 1.0177940200908116e-07,
    -3.5425586921750256e-08, 1.3177683371845451e-08, -4.3892173541033645e-09,
    8.58389335097477e-10, -2.900141513226519e-10, 2.8185228827696043e-10,
    -8.709324320363453e-11,
};
// relative error 1.9e-18; c0 first
alignas(64) constexpr double mills_tail[21] = {
    0.9850557060634584, -0.02862089412479408, -0.011945305820460132,
    0.0020551592710605225, 0.00018061218871469757, -0.0001355946102452005,
    1.6393515274875638e-05, 5.912237117783376e-06, -2.844377066898694e-06,
    2.6817047565264553e-07, 1.984101356574957e-07, -9.333985752717308e-08,
    9.743807062945244e-09, 7.775543181290943e-09, -4.276437327422137e-09,
    6.841034643095629e-10, 3.453982887690915e-10, -2.6119401534073333e-10,
    4.440547527581769e-11, 2.491155762895356e-11, -1.0108730018851125e-11,
};
// error in e^r below 2^-55.5; c0 first
alignas(64) constexpr double expm1_quotient[10] = {
    0.5000000000000001, 0.16666666666666669, 0.04166666666662068,
    0.008333333333329796, 0.0013888888918918907, 0.00019841269864364933,
    2.4801518672268355e-05, 2.7557266442353424e-06, 2.7621324269313687e-07,
    2.5101335854788522e-08,
};

// M's tables times 2^-600, exactly (a power of two, and every partial sum
// stays a normal double): mills_ratio returns M·2^-600, and Φ's tail
// (φm·M·2^-600)·2^(k + 600) rounds as ((φm·M)·2^(k + 600))·2^-600 did, the
// product once and the scaling only where the result is subnormal, with one
// multiplication less (step 5).
template <std::size_t N>
struct Table {
    double c[N];
};
template <std::size_t N>
constexpr Table<N> times_2_to_minus_600(const double (&c)[N]) {
    Table<N> t{};
    for (std::size_t i = 0; i < N; ++i) t.c[i] = c[i] * 0x1p-600;
    return t;
}
alignas(64) constexpr auto mills_bulk_scaled = times_2_to_minus_600(mills_bulk);
alignas(64) constexpr auto mills_tail_scaled = times_2_to_minus_600(mills_tail);

constexpr double x_max = 40.0;           // |z| beyond: φ = 0, Φ = 0 or 1
constexpr double log2e = 1.4426950408889634;
constexpr double ln2_hi = 0x1.62e42fefa3800p-1;   // 42 significant bits
constexpr double ln2_lo = 0x1.ef35793c76730p-45;  // ln 2 - ln2_hi
constexpr double round_shift = 0x1.8p52;          // a + this - this: nearest integer
constexpr double inv_sqrt_2pi_hi = 0x1.9884533d43651p-2;   // 1/√(2π), rounded
constexpr double inv_sqrt_2pi_lo = -0x1.cbc0d30ebfd15p-56;  // 1/√(2π) - inv_sqrt_2pi_hi
constexpr double dekker_split = 134217729.0;                // 2^27 + 1
// e + round_shift + 1023 holds e + 1023 in its low bits (e integer-valued,
// -1022 ≤ e ≤ 1023); shifted into the exponent field it is 2^e.
constexpr double exponent_bias_shift = round_shift + 1023.0;

// One element at a time: the base level on other architectures.
struct ScalarLanes {
    using Reg = double;
    using Mask = bool;
    static constexpr std::size_t width = 1;
    static constexpr bool fused = false;
    static TARVEX_INLINE Reg load(const double* p) { return *p; }
    static TARVEX_INLINE void store(double* p, Reg v) { *p = v; }
    static TARVEX_INLINE Reg set(double c) { return c; }
    static TARVEX_INLINE Reg abs(Reg a) { return std::fabs(a); }
    static TARVEX_INLINE Reg min(Reg a, Reg b) { return a <= b ? a : b; }  // b if either is NaN
    static TARVEX_INLINE Mask at_least(Reg a, double b) { return a >= b; }
    static TARVEX_INLINE Reg select(Mask m, Reg a, Reg b) { return m ? a : b; }
    static TARVEX_INLINE bool any(Mask m) { return m; }
    static TARVEX_INLINE Reg pow2(Reg e) {
        const auto bits = __builtin_bit_cast(unsigned long long, e + exponent_bias_shift);
        return __builtin_bit_cast(double, bits << 52);
    }
};

#if defined(__x86_64__) && defined(__GNUC__)
// The base level on x86-64: SSE2, 2 lanes, no fused multiply-add (the same
// roundings as ScalarLanes).
struct Sse2Lanes {
    using Reg = __m128d;
    using Mask = __m128d;
    static constexpr std::size_t width = 2;
    static constexpr bool fused = false;
    static TARVEX_INLINE Reg load(const double* p) { return _mm_loadu_pd(p); }
    static TARVEX_INLINE void store(double* p, Reg v) { _mm_storeu_pd(p, v); }
    static TARVEX_INLINE Reg set(double c) { return _mm_set1_pd(c); }
    static TARVEX_INLINE Reg abs(Reg a) { return _mm_andnot_pd(_mm_set1_pd(-0.0), a); }
    static TARVEX_INLINE Reg min(Reg a, Reg b) { return _mm_min_pd(a, b); }
    static TARVEX_INLINE Mask at_least(Reg a, double b) { return _mm_cmpge_pd(a, _mm_set1_pd(b)); }
    static TARVEX_INLINE Reg select(Mask m, Reg a, Reg b) {
        return _mm_or_pd(_mm_and_pd(m, a), _mm_andnot_pd(m, b));
    }
    static TARVEX_INLINE bool any(Mask m) { return _mm_movemask_pd(m) != 0; }
    static TARVEX_INLINE Reg pow2(Reg e) {
        return _mm_castsi128_pd(_mm_slli_epi64(_mm_castpd_si128(e + exponent_bias_shift), 52));
    }
};
#endif

namespace base {
#include "engine/normal_kernel.inc"
}  // namespace base

#if defined(__x86_64__) && defined(__GNUC__)
#pragma GCC push_options
#pragma GCC target("avx2,fma")

// AVX2: 4 lanes.
struct Avx2Lanes {
    using Reg = __m256d;
    using Mask = __m256d;
    static constexpr std::size_t width = 4;
    static TARVEX_INLINE Reg load(const double* p) { return _mm256_loadu_pd(p); }
    static TARVEX_INLINE void store(double* p, Reg v) { _mm256_storeu_pd(p, v); }
    static TARVEX_INLINE Reg set(double c) { return _mm256_set1_pd(c); }
    static constexpr bool fused = true;
    static TARVEX_INLINE Reg fma(Reg a, Reg b, Reg c) { return _mm256_fmadd_pd(a, b, c); }
    static TARVEX_INLINE Reg fms(Reg a, Reg b, Reg c) { return _mm256_fmsub_pd(a, b, c); }
    static TARVEX_INLINE Reg abs(Reg a) { return _mm256_andnot_pd(_mm256_set1_pd(-0.0), a); }
    static TARVEX_INLINE Reg min(Reg a, Reg b) { return _mm256_min_pd(a, b); }
    static TARVEX_INLINE Mask at_least(Reg a, double b) {
        return _mm256_cmp_pd(a, _mm256_set1_pd(b), _CMP_GE_OQ);
    }
    static TARVEX_INLINE Reg select(Mask m, Reg a, Reg b) { return _mm256_blendv_pd(b, a, m); }
    static TARVEX_INLINE bool any(Mask m) { return _mm256_movemask_pd(m) != 0; }
    static TARVEX_INLINE Reg pow2(Reg e) {
        const __m256i bits = _mm256_castpd_si256(e + exponent_bias_shift);
        return _mm256_castsi256_pd(_mm256_slli_epi64(bits, 52));
    }
};

namespace avx2 {
#include "engine/normal_kernel.inc"
}  // namespace avx2

#pragma GCC pop_options
#pragma GCC push_options
#pragma GCC target("avx512f,avx512dq")
// GCC 12 warns that the undefined source operand its AVX-512 intrinsics pass
// (_mm512_undefined_pd) may be used uninitialized: it is a don't-care input.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

// AVX-512: 8 lanes.
struct Avx512Lanes {
    using Reg = __m512d;
    using Mask = __mmask8;
    static constexpr std::size_t width = 8;
    static TARVEX_INLINE Reg load(const double* p) { return _mm512_loadu_pd(p); }
    static TARVEX_INLINE void store(double* p, Reg v) { _mm512_storeu_pd(p, v); }
    static TARVEX_INLINE Reg set(double c) { return _mm512_set1_pd(c); }
    static constexpr bool fused = true;
    static TARVEX_INLINE Reg fma(Reg a, Reg b, Reg c) { return _mm512_fmadd_pd(a, b, c); }
    static TARVEX_INLINE Reg fms(Reg a, Reg b, Reg c) { return _mm512_fmsub_pd(a, b, c); }
    static TARVEX_INLINE Reg abs(Reg a) { return _mm512_abs_pd(a); }
    static TARVEX_INLINE Reg min(Reg a, Reg b) { return _mm512_min_pd(a, b); }
    static TARVEX_INLINE Mask at_least(Reg a, double b) {
        return _mm512_cmp_pd_mask(a, _mm512_set1_pd(b), _CMP_GE_OQ);
    }
    static TARVEX_INLINE Reg select(Mask m, Reg a, Reg b) { return _mm512_mask_blend_pd(m, b, a); }
    static TARVEX_INLINE bool any(Mask m) { return m != 0; }
    static TARVEX_INLINE Reg pow2(Reg e) {
        const __m512i bits = _mm512_castpd_si512(e + exponent_bias_shift);
        return _mm512_castsi512_pd(_mm512_slli_epi64(bits, 52));
    }
};

namespace avx512 {
#include "engine/normal_kernel.inc"
}  // namespace avx512

#pragma GCC diagnostic pop
#pragma GCC pop_options
#endif

// The Mills ratio M(x) = (1 - Φ(x))/φ(x) for x ≥ 0, one element, from the
// kernel's two polynomials unscaled (step 4): the tail's G(t) = x·M(x) holds
// for every t = 1/x in [0, 1/4], so M is finite and accurate for x up to
// infinity (M(∞) = 0), with no clamp. Evaluated as the base level evaluates
// it (no fused operations).
double mills_ratio_at(double x) {
    if (x < 4.0) return base::polynomial<ScalarLanes, 4>(x * 0.5 - 1.0, mills_bulk);
    const double t = 1.0 / x;
    return base::polynomial<ScalarLanes, 4>(t * 8.0 - 1.0, mills_tail) * t;
}

}  // namespace normal

// THE LOG SCALE: log F, f/F AND (f/F)′, ONE ELEMENT AT A TIME
// Each from a form that holds where F underflows (F = Φ(z) is 0 below
// z ≈ -38.5, the logistic F below z ≈ -745), instead of dividing by F or
// taking its logarithm.
// Logit, with F(z) = 1/(1 + e^-z):
//   log F = min(z, 0) - log1p(e^-|z|)   (z < 0: log(e^z/(1 + e^z)); no
//                                        overflow, no cancellation)
//   f/F   = 1 - F = 1/(1 + e^z)         (both F and 1 - F from e^-|z|)
//   (f/F)′ = f′/F - (f/F)² = -F(1 - F) = -(f/F)·F
// Probit, with x = |z|, M the Mills ratio (mills_ratio_at) and -z²/2 = hi +
// lo exactly (lo by a fused multiply-add, 0 where z² overflows):
//   z < 0:  Φ(z) = φ(z)·M(x), so f/F = 1/M(x) and
//           log F = hi + (lo + (log M(x) - log √(2π)))
//   z ≥ 0:  Q = 1 - Φ(z) = φ(z)·M(z) with φ(z) = e^hi·(1 + lo)/√(2π),
//           f/F = φ(z)/(1 - Q), log F = log1p(-Q)
//   (f/F)′ = f′/F - (f/F)² = -(f/F)·(z + f/F)
// NaN gives NaN; z = -∞ gives log F = -∞, f/F = ∞; z = +∞ gives 0, 0.
// ACCURACY against mpmath at 50 digits (tests/test_link_accuracy.py, z from
// -1e3 to 40 and the limits): log F and f/F within 4 ulp wherever they are
// normal doubles, Logit's (f/F)′ too. Probit's z + f/F cancels for z < 0
// (f/F = |z| + 1/|z| - ...): (f/F)′ → -1 with an absolute error of about
// (f/F)²·2^-53, small beside the f/F it enters the gradient with.
void logit_log_cdf_ratios(const double* z, std::size_t len, double* log_cdf, double* ratio,
                          double* deriv_ratio) {
    for (std::size_t i = 0; i < len; ++i) {
        // With e = e^-|z| (never overflows): F = e/(1 + e) and 1 - F = 1/(1 + e)
        // for z < 0, the other way round above.
        const double zi = z[i];
        const double e = std::exp(-std::fabs(zi));
        const double low = e / (1.0 + e), high = 1.0 / (1.0 + e);
        const double cdf = zi < 0.0 ? low : high;
        const double r = zi < 0.0 ? high : low;
        ratio[i] = r;
        if (log_cdf != nullptr) log_cdf[i] = (zi < 0.0 ? zi : 0.0) - std::log1p(e);
        if (deriv_ratio != nullptr) deriv_ratio[i] = -r * cdf;
    }
}

void probit_log_cdf_ratios(const double* z, std::size_t len, double* log_cdf, double* ratio,
                           double* deriv_ratio) {
    // log √(2π) and 1/√(2π), correctly rounded.
    constexpr double log_sqrt_2pi = 0.91893853320467274178;
    constexpr double inv_sqrt_2pi = 0.39894228040143267794;
    for (std::size_t i = 0; i < len; ++i) {
        const double zi = z[i];
        const double x = std::fabs(zi);
        const double square = x * x;
        const double hi = square * -0.5;
        const double lo = std::isfinite(square) ? std::fma(x, x, -square) * -0.5 : 0.0;
        const double m = normal::mills_ratio_at(x);
        double r, log_f;
        if (zi < 0.0) {
            r = 1.0 / m;
            log_f = hi + (lo + (std::log(m) - log_sqrt_2pi));
        } else {
            const double density = std::exp(hi) * (1.0 + lo) * inv_sqrt_2pi;
            const double q = density * m;
            r = density / (1.0 - q);
            log_f = std::log1p(-q);
        }
        ratio[i] = r;
        if (log_cdf != nullptr) log_cdf[i] = log_f;
        if (deriv_ratio != nullptr) deriv_ratio[i] = -r * (zi + r);
    }
}

#define DUMMY_TERMS_PARAMS                                                                   \
    std::size_t m, const double *xb, const double *x, double b, const double *cdf_observed, \
        const double *pdf_observed, double *change, double *effect, double *density
#define DUMMY_TERMS_ARGS (m, xb, x, b, cdf_observed, pdf_observed, change, effect, density)

// The fused kernel of each level. The vector levels' kernels are functions
// of their own (one call per piece of 256 elements): a function of a wider
// target cannot be inlined into the level-neutral piece templates.
template <IsaLevel L>
struct NormalKernel {
    template <bool with_cdf>
    static TARVEX_INLINE void run(const double* z, std::size_t len, double* cdf, double* pdf) {
#if defined(__x86_64__) && defined(__GNUC__)
        normal::base::normal_array<normal::base::Interleaved<normal::Sse2Lanes, 2>, with_cdf>(
            z, len, cdf, pdf);
#else
        normal::base::normal_array<normal::ScalarLanes, with_cdf>(z, len, cdf, pdf);
#endif
    }
    static TARVEX_INLINE void dummy(DUMMY_TERMS_PARAMS) {
#if defined(__x86_64__) && defined(__GNUC__)
        normal::base::dummy_terms<normal::base::Interleaved<normal::Sse2Lanes, 2>>
            DUMMY_TERMS_ARGS;
#else
        normal::base::dummy_terms<normal::ScalarLanes> DUMMY_TERMS_ARGS;
#endif
    }
};

#if defined(__x86_64__) && defined(__GNUC__)
template <>
struct NormalKernel<IsaLevel::Avx2> {
    template <bool with_cdf>
    static TARVEX_TARGET_AVX2 void run(const double* z, std::size_t len,
                                                     double* cdf, double* pdf) {
        normal::avx2::normal_array<normal::avx2::Interleaved<normal::Avx2Lanes, 2>, with_cdf>(
            z, len, cdf, pdf);
    }
    static TARVEX_TARGET_AVX2 void dummy(DUMMY_TERMS_PARAMS) {
        normal::avx2::dummy_terms<normal::avx2::Interleaved<normal::Avx2Lanes, 2>>
            DUMMY_TERMS_ARGS;
    }
};
template <>
struct NormalKernel<IsaLevel::Avx512> {
    template <bool with_cdf>
    static TARVEX_TARGET_AVX512 void run(const double* z, std::size_t len,
                                                       double* cdf, double* pdf) {
        normal::avx512::normal_array<normal::Avx512Lanes, with_cdf>(z, len, cdf, pdf);
    }
    static TARVEX_TARGET_AVX512 void dummy(DUMMY_TERMS_PARAMS) {
        normal::avx512::dummy_terms<normal::Avx512Lanes> DUMMY_TERMS_ARGS;
    }
};
#endif

template <IsaLevel L>
TARVEX_INLINE void probit_dummy_terms_body(DUMMY_TERMS_PARAMS) {
    NormalKernel<L>::dummy DUMMY_TERMS_ARGS;
}

template <class N>
TARVEX_INLINE void probit_cdf_piece(const double* z, std::size_t len, double* out) {
    double unused[piece];
    N::template run<true>(z, len, out, unused);
}

template <class N>
TARVEX_INLINE void probit_pdf_piece(const double* z, std::size_t len, double* out) {
    N::template run<false>(z, len, nullptr, out);
}

// LOGISTIC F AND f FROM ONE EXPONENTIAL v = e^-z
//   F = 1/(v + 1)                       (exactly logit_cdf_piece's value)
//   f = (v·F)·F                         (= v/(1 + v)², one division in all)
// v·F = v/(v + 1) ≤ 1, so neither product overflows, and (v·F)·F keeps f
// where F² alone would underflow (z < -354). This is not logit_pdf_piece's
// form: f's relative error is v's times |1 - 2v/(1 + v)| ≤ 1 plus four
// roundings (of v + 1, the quotient, each product; F enters twice). Measured
// against the form with glibc 2.36's scalar exp(z) (2^20 random z per
// interval, AVX2 and base level): [-40, 40] at most 7 ulp apart, 99% within
// 3 (the element-wise pdf, from libmvec's exp(z): at most 8); [-745.2, -700]
// 4; [300, 360] 4; [700, 800] 3. The test suite checks f within 10 ulp of
// that form (tests/test_link_accuracy.py). The former form, with w = 1/v and
// w/((w + 1)(w + 1)), took three divisions per element (slow on CPUs with
// a narrow divider) and was within 8 ulp. Where v
// overflows (z < -709.78) while e^z is still a subnormal (z > -745.13), v·F
// would be NaN: those elements, and only those, take f from the scalar form
// with exp(z) itself, so an element's value never depends on its neighbours.
// minus_z_exp (len elements) receives e^-z.
template <class M>
TARVEX_INLINE void logit_cdf_pdf_exp_piece(const double* z, std::size_t len, double* cdf_out,
                                           double* pdf_out, double* minus_z_exp) {
    for (std::size_t i = 0; i < len; ++i) minus_z_exp[i] = -z[i];
    M::exp(minus_z_exp, len, minus_z_exp);
    unsigned overflow = 0;
    for (std::size_t i = 0; i < len; ++i) {
        const double v = minus_z_exp[i];
        const double cdf = 1.0 / (v + 1.0);
        overflow |= static_cast<unsigned>(v == INFINITY);
        cdf_out[i] = cdf;
        pdf_out[i] = (v * cdf) * cdf;
    }
    if (overflow) {
        for (std::size_t i = 0; i < len; ++i)
            if (minus_z_exp[i] == INFINITY) pdf_out[i] = logit_pdf(z[i]);
    }
}

template <class M>
TARVEX_INLINE void logit_cdf_pdf_piece(const double* z, std::size_t len, double* cdf_out,
                                       double* pdf_out) {
    double minus_z_exp[piece];
    logit_cdf_pdf_exp_piece<M>(z, len, cdf_out, pdf_out, minus_z_exp);
}

// Φ and φ at the same points, from one exponential.
template <class N>
TARVEX_INLINE void probit_cdf_pdf_piece(const double* z, std::size_t len, double* cdf_out,
                                        double* pdf_out) {
    N::template run<true>(z, len, cdf_out, pdf_out);
}

// The entries: z[0..len) one piece at a time, each output array advanced
// alongside; the kind is tested once per piece.
template <auto logit_piece, auto probit_piece, class... Out>
TARVEX_INLINE void over_pieces(ModelKind kind, const double* z, std::size_t len, Out*... out) {
    for (std::size_t i = 0; i < len; i += piece) {
        const std::size_t m = std::min(piece, len - i);
        if (kind == ModelKind::Logit)
            logit_piece(z + i, m, (out + i)...);
        else
            probit_piece(z + i, m, (out + i)...);
    }
}

template <IsaLevel L>
TARVEX_INLINE void cdf_body(ModelKind kind, const double* z, std::size_t len, double* out) {
    using M = typename LevelMath<L>::type;
    over_pieces<logit_cdf_piece<M>, probit_cdf_piece<NormalKernel<L>>>(kind, z, len, out);
}

template <IsaLevel L>
TARVEX_INLINE void pdf_body(ModelKind kind, const double* z, std::size_t len, double* out) {
    using M = typename LevelMath<L>::type;
    over_pieces<logit_pdf_piece<M>, probit_pdf_piece<NormalKernel<L>>>(kind, z, len, out);
}

template <IsaLevel L>
TARVEX_INLINE void cdf_pdf_body(ModelKind kind, const double* z, std::size_t len,
                                double* cdf_out, double* pdf_out) {
    using M = typename LevelMath<L>::type;
    over_pieces<logit_cdf_pdf_piece<M>, probit_cdf_pdf_piece<NormalKernel<L>>>(kind, z, len, cdf_out,
                                                                 pdf_out);
}

template <IsaLevel L>
TARVEX_INLINE void logit_cdf_pdf_exp_body(const double* z, std::size_t len, double* cdf_out,
                                          double* pdf_out, double* exp_out) {
    using M = typename LevelMath<L>::type;
    for (std::size_t i = 0; i < len; i += piece) {
        const std::size_t m = std::min(piece, len - i);
        logit_cdf_pdf_exp_piece<M>(z + i, m, cdf_out + i, pdf_out + i, exp_out + i);
    }
}

}  // namespace

void log_cdf_ratios(ModelKind kind, const double* z, std::size_t len, double* log_cdf,
                    double* ratio, double* deriv_ratio) {
    if (kind == ModelKind::Logit)
        logit_log_cdf_ratios(z, len, log_cdf, ratio, deriv_ratio);
    else
        probit_log_cdf_ratios(z, len, log_cdf, ratio, deriv_ratio);
}

TARVEX_FOR_EACH_LEVEL(void, probit_dummy_terms, (DUMMY_TERMS_PARAMS), DUMMY_TERMS_ARGS)
#undef DUMMY_TERMS_PARAMS
#undef DUMMY_TERMS_ARGS
TARVEX_FOR_EACH_LEVEL(void, logit_cdf_pdf_exp,
                      (const double* z, std::size_t len, double* cdf_out, double* pdf_out,
                       double* exp_out),
                      (z, len, cdf_out, pdf_out, exp_out))
TARVEX_FOR_EACH_LEVEL(void, cdf, (ModelKind kind, const double* z, std::size_t len, double* out),
                      (kind, z, len, out))
TARVEX_FOR_EACH_LEVEL(void, pdf, (ModelKind kind, const double* z, std::size_t len, double* out),
                      (kind, z, len, out))
TARVEX_FOR_EACH_LEVEL(void, cdf_pdf,
                      (ModelKind kind, const double* z, std::size_t len, double* cdf_out,
                       double* pdf_out),
                      (kind, z, len, cdf_out, pdf_out))

}  // namespace tarvex
