// Element-wise forms of the link functions over arrays: each kernel's
// formula and accuracy, compiled once per instruction-set level.
//
// The transcendental step (exp or erfc) of a whole array goes through glibc's
// vector maths library libmvec when the build found it: its SSE2, AVX2 and
// AVX-512 variants evaluate 2, 4 or 8 arguments per call. The arithmetic
// around it (negation, the logistic quotient, the division by √(2π), the
// factor 0.5) is the written formula, one correctly rounded operation at a
// time, in plain loops the compiler vectorises for the level's width.
//
// The vector variants against glibc 2.36's scalar exp and erfc (2^20 random
// arguments per interval, and the special values), measured when they were
// adopted:
//   exp  on [-745, 710]:  at most 3 ulp apart; exp(-inf) = 0, exp(inf) = inf,
//                         exp(NaN) = NaN, 0 exactly where the scalar one is 0.
//   erfc on [-30, 30]:    at most 4 ulp apart where the result is a normal
//                         double; in the subnormal range (26.55 < t < 27.23)
//                         at most one subnormal step apart; 0 exactly where
//                         the scalar one underflows to 0; erfc(inf) = 0,
//                         erfc(-inf) = 2, erfc(NaN) = NaN.
// Every lane is evaluated on its own, and a short tail is padded to a full
// vector, so an element's value depends neither on its position in the array
// nor on the array's length (tests/test_link_accuracy.py checks every
// position of a 19-element array).
#include "engine/link.hpp"

#include "engine/isa_level.hpp"

#include <algorithm>

#if defined(TARVEX_HAVE_LIBMVEC) && defined(__x86_64__)
#include <immintrin.h>
#define TARVEX_VECTOR_MATH 1
#endif

namespace tarvex {

namespace {

// exp and erfc of arrays, in[0..len) into out[0..len) (the two may be the
// same array), with the C library's scalar functions.
struct ScalarMath {
    static TARVEX_INLINE void exp(const double* in, std::size_t len, double* out) {
        for (std::size_t i = 0; i < len; ++i) out[i] = std::exp(in[i]);
    }
    static TARVEX_INLINE void erfc(const double* in, std::size_t len, double* out) {
        for (std::size_t i = 0; i < len; ++i) out[i] = std::erfc(in[i]);
    }
};

// The maths of each instruction-set level. Without libmvec every level uses
// the C library's scalar functions.
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
__m128d _ZGVbN2v_erfc(__m128d);
__m256d _ZGVdN4v_exp(__m256d);
__m256d _ZGVdN4v_erfc(__m256d);
__m512d _ZGVeN8v_exp(__m512d);
__m512d _ZGVeN8v_erfc(__m512d);
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

// One level's exp and erfc of arrays: Lanes arguments per call of the vector
// functions, the function attributes `Attrs` (the level's target).
#define TARVEX_LEVEL_MATH(Name, Attrs, Lanes, load, store, exp_fn, erfc_fn)    \
    struct Name {                                                                  \
        static Attrs void exp(const double* in, std::size_t len, double* out) {    \
            TARVEX_VECTOR_LOOP(Lanes, load, store, exp_fn)                         \
        }                                                                          \
        static Attrs void erfc(const double* in, std::size_t len, double* out) {   \
            TARVEX_VECTOR_LOOP(Lanes, load, store, erfc_fn)                        \
        }                                                                          \
    };

TARVEX_LEVEL_MATH(Sse2Math, TARVEX_INLINE, 2, _mm_loadu_pd, _mm_storeu_pd,
                  _ZGVbN2v_exp, _ZGVbN2v_erfc)
TARVEX_LEVEL_MATH(Avx2Math, TARVEX_TARGET_AVX2, 4, _mm256_loadu_pd,
                  _mm256_storeu_pd, _ZGVdN4v_exp, _ZGVdN4v_erfc)
TARVEX_LEVEL_MATH(Avx512Math, TARVEX_TARGET_AVX512, 8, _mm512_loadu_pd,
                  _mm512_storeu_pd, _ZGVeN8v_exp, _ZGVeN8v_erfc)

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

// NORMAL DISTRIBUTION FUNCTION
//   Φ(z) = erfc(t)·0.5,  t = (0 - z)/(1·√2)
// (the standard normal, mean 0 and sd 1, written as such). erfc(NaN) = NaN,
// erfc(+inf) = 0 and erfc(-inf) = 2 give exactly NaN, 0 and 1 for the three
// special arguments; subnormal for -38.5 < z < -37.5 and 0 below.
// ACCURACY: erfc's error (at most 4 ulp from glibc's scalar erfc) and the
// rounding of t, which erfc amplifies by its condition number. The test suite
// checks it within 10 ulp of the form with the scalar erfc on [-8, 8],
// [-40, 12] and the subnormal range [-39.5, -37.4].
template <class M>
TARVEX_INLINE void probit_cdf_piece(const double* z, std::size_t len, double* out) {
    double t[piece];
    constexpr double scale = 1.0 * link_constants::sqrt_2;
    for (std::size_t i = 0; i < len; ++i) t[i] = (0.0 - z[i]) / scale;
    M::erfc(t, len, t);
    for (std::size_t i = 0; i < len; ++i) out[i] = t[i] * 0.5;
}

// NORMAL DENSITY
//   φ(z) = exp((-0.5·z)·z)/√(2π)
// 0 for |z| > 38.6.
// ACCURACY: the test suite checks it within 10 ulp of the form with the
// scalar exp on [-8, 8], [-40, 40] and both tails [36, 38.7].
template <class M>
TARVEX_INLINE void probit_pdf_piece(const double* z, std::size_t len, double* out) {
    double half_square_exp[piece];
    for (std::size_t i = 0; i < len; ++i) half_square_exp[i] = (-0.5 * z[i]) * z[i];
    M::exp(half_square_exp, len, half_square_exp);
    for (std::size_t i = 0; i < len; ++i) out[i] = half_square_exp[i] / link_constants::sqrt_2pi;
}

// LOGISTIC F AND f FROM ONE EXPONENTIAL v = e^-z
//   F = 1/(v + 1)                       (exactly logit_cdf_piece's value)
//   f = w/((w + 1)(w + 1)),  w = 1/v    (z ≤ 354; above, w = v: the mirror form)
// This is not logit_pdf_piece's form: 1/v is e^z to within the exponential's
// error plus one rounding, and f's relative error follows w's with a factor
// |1 - 2w/(w + 1)| < 1. Measured against the form with glibc 2.36's scalar
// exp(z) (2^21 random z per interval, AVX-512 level):
//   [-40, 40]: at most 8 ulp apart, 99.9% within 3 (the element-wise pdf,
//              from libmvec's exp(z): also at most 8);
//   [-745.2, -700]: 4;  [300, 360]: 6;  [700, 800]: 3 (mirror form).
// The test suite checks f within 10 ulp of that form (tests/
// test_link_fused.py). Where v overflows (z < -709.78) while e^z is still a
// subnormal (z > -745.13), 1/v would be 0: those elements, and only those,
// take f from the scalar form with exp(z) itself, so an element's value never
// depends on its neighbours. One exponential instead of two: the pair costs
// about 2.0 ms per 2^20 elements against 2.7 ms for the two element-wise
// calls (AMD EPYC, AVX-512).
template <class M>
TARVEX_INLINE void logit_cdf_pdf_piece(const double* z, std::size_t len, double* cdf_out,
                                       double* pdf_out) {
    double minus_z_exp[piece];
    for (std::size_t i = 0; i < len; ++i) minus_z_exp[i] = -z[i];
    M::exp(minus_z_exp, len, minus_z_exp);
    unsigned overflow = 0;
    for (std::size_t i = 0; i < len; ++i) {
        const double v = minus_z_exp[i];
        // w = v/1 (mirror) or 1/v: the operands are chosen, not the quotient,
        // so the division is done for every element and the loop has no branch.
        // (A select of the two operands is folded back into two divisions
        // under a branch, hence the blend with m ∈ {0, 1}, exact for finite v;
        // v = inf, where 0·v is NaN, is redone below.)
        const double m = z[i] > link_constants::logit_pdf_mirror_above ? 1.0 : 0.0;
        const double w = (m * v + (1.0 - m)) / (m + (1.0 - m) * v);
        overflow |= static_cast<unsigned>(v == INFINITY);
        cdf_out[i] = 1.0 / (v + 1.0);
        pdf_out[i] = w / ((w + 1.0) * (w + 1.0));
    }
    if (overflow) {
        for (std::size_t i = 0; i < len; ++i)
            if (minus_z_exp[i] == INFINITY) pdf_out[i] = logit_pdf(z[i]);
    }
}

// Φ and φ at the same points.
template <class M>
TARVEX_INLINE void probit_cdf_pdf_piece(const double* z, std::size_t len, double* cdf_out,
                                        double* pdf_out) {
    probit_cdf_piece<M>(z, len, cdf_out);
    probit_pdf_piece<M>(z, len, pdf_out);
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
    over_pieces<logit_cdf_piece<M>, probit_cdf_piece<M>>(kind, z, len, out);
}

template <IsaLevel L>
TARVEX_INLINE void pdf_body(ModelKind kind, const double* z, std::size_t len, double* out) {
    using M = typename LevelMath<L>::type;
    over_pieces<logit_pdf_piece<M>, probit_pdf_piece<M>>(kind, z, len, out);
}

template <IsaLevel L>
TARVEX_INLINE void cdf_pdf_body(ModelKind kind, const double* z, std::size_t len,
                                double* cdf_out, double* pdf_out) {
    using M = typename LevelMath<L>::type;
    over_pieces<logit_cdf_pdf_piece<M>, probit_cdf_pdf_piece<M>>(kind, z, len, cdf_out,
                                                                 pdf_out);
}

}  // namespace

TARVEX_FOR_EACH_LEVEL(void, cdf, (ModelKind kind, const double* z, std::size_t len, double* out),
                      (kind, z, len, out))
TARVEX_FOR_EACH_LEVEL(void, pdf, (ModelKind kind, const double* z, std::size_t len, double* out),
                      (kind, z, len, out))
TARVEX_FOR_EACH_LEVEL(void, cdf_pdf,
                      (ModelKind kind, const double* z, std::size_t len, double* cdf_out,
                       double* pdf_out),
                      (kind, z, len, cdf_out, pdf_out))

}  // namespace tarvex
