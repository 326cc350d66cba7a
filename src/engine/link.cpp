// Element-wise forms of the link functions over arrays.
//
// The transcendental step (exp or erfc) of a whole array goes through glibc's
// vector maths library libmvec when the build found it: its SSE2, AVX2 and
// AVX-512 variants evaluate 2, 4 or 8 arguments per call, chosen at run time
// from the CPU, so the default build still runs on any x86-64 CPU. The
// arithmetic around it (negation, the logistic quotient, the division by
// √(2π), the factor 0.5) is the written formula, one correctly rounded
// operation at a time, in plain loops the compiler vectorises (a division by
// a constant is taken by two multiply-adds where the level has them, with
// the division's own result: constant_division.hpp).
//
// ACCURACY of the vector variants against the scalar exp/erfc of glibc 2.36
// (2^20 random arguments per interval, and the special values):
//   exp  on [-745, 710]:  at most 3 ulp apart; exp(-inf) = 0, exp(inf) = inf,
//                         exp(NaN) = NaN, 0 exactly where the scalar one is 0.
//   erfc on [-30, 30]:    at most 4 ulp apart where the result is a normal
//                         double; in the subnormal range (26.55 < t < 27.23)
//                         at most one subnormal step apart; 0 exactly where
//                         the scalar one underflows to 0; erfc(inf) = 0,
//                         erfc(-inf) = 2, erfc(NaN) = NaN.
// The test suite checks the resulting link functions against 50-digit
// references. Every lane is evaluated on its own, and a short tail is padded
// to a full vector, so an element's value does not depend on its position in
// the array nor on the array's length.
#include "engine/link.hpp"

#include "engine/constant_division.hpp"
#include "engine/isa_level.hpp"
#include "engine/prefetch.hpp"

#include <algorithm>

#if defined(TARVEX_HAVE_LIBMVEC) && defined(__x86_64__)
#include <immintrin.h>
#define TARVEX_VECTOR_MATH 1
#endif

namespace tarvex {

namespace {

#define TARVEX_INLINE inline __attribute__((always_inline))

// How a level divides by a constant (the quotients are the same): with the
// division instruction, or, on the levels with fused multiply-add, by two
// multiply-adds (constant_division.hpp).
struct DivisionInstruction {
    template <class Numerator>
    static TARVEX_INLINE void divide(std::size_t len, Numerator numerator, ConstantDivisor d,
                                     double* out) {
        for (std::size_t i = 0; i < len; ++i) out[i] = numerator(i) / d.divisor;
    }
};
struct MultiplyAddDivision {
    template <class Numerator>
    static TARVEX_INLINE void divide(std::size_t len, Numerator numerator, ConstantDivisor d,
                                     double* out) {
        divide_by_constant(len, numerator, d, out);
    }
};

// One instruction-set level: how exp and erfc of an array are evaluated. The
// element-wise formulas below are templates over it, inlined into one entry
// per level compiled for that level (function target attributes), so that
// the arithmetic around the transcendental calls is vectorised for the same
// width; the level is chosen at run time from the CPU.
// `ahead`, when given, is stepped twice per vector of results (see
// prefetch.hpp); the scalar level leaves it to the hardware.
struct ScalarMath : DivisionInstruction {
    static TARVEX_INLINE void exp(const double* in, std::size_t len, double* out,
                                  PrefetchStream* = nullptr) {
        for (std::size_t i = 0; i < len; ++i) out[i] = std::exp(in[i]);
    }
    static TARVEX_INLINE void erfc(const double* in, std::size_t len, double* out,
                                   PrefetchStream* = nullptr) {
        for (std::size_t i = 0; i < len; ++i) out[i] = std::erfc(in[i]);
    }
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
// partial step goes through a zero-padded buffer of one full vector. Two
// lines of `ahead` are prefetched per step.
#define TARVEX_VECTOR_LOOP(Lanes, load, store, call)                              \
    std::size_t i = 0;                                                            \
    for (; i + (Lanes) <= len; i += (Lanes)) {                                    \
        if (ahead) {                                                              \
            ahead->step();                                                        \
            ahead->step();                                                        \
        }                                                                         \
        store(out + i, call(load(in + i)));                                       \
    }                                                                             \
    if (i < len) {                                                                \
        alignas(64) double buf[Lanes] = {};                                       \
        for (std::size_t j = 0; j < len - i; ++j) buf[j] = in[i + j];             \
        store(buf, call(load(buf)));                                              \
        for (std::size_t j = 0; j < len - i; ++j) out[i + j] = buf[j];            \
    }

// One level's exp and erfc of arrays: Lanes arguments per call of the vector
// functions, the function attributes `Attrs` (the level's target).
#define TARVEX_LEVEL_MATH(Name, Division, Attrs, Lanes, load, store, exp_fn, erfc_fn) \
    struct Name : Division {                                                       \
        static Attrs void exp(const double* in, std::size_t len, double* out,      \
                              PrefetchStream* ahead = nullptr) {                   \
            TARVEX_VECTOR_LOOP(Lanes, load, store, exp_fn)                         \
        }                                                                          \
        static Attrs void erfc(const double* in, std::size_t len, double* out,     \
                               PrefetchStream* ahead = nullptr) {                  \
            TARVEX_VECTOR_LOOP(Lanes, load, store, erfc_fn)                        \
        }                                                                          \
    };

#define TARVEX_AVX2 TARVEX_TARGET_AVX2
#define TARVEX_AVX512 TARVEX_TARGET_AVX512
TARVEX_LEVEL_MATH(Sse2Math, DivisionInstruction, TARVEX_INLINE, 2, _mm_loadu_pd, _mm_storeu_pd,
                  _ZGVbN2v_exp, _ZGVbN2v_erfc)
TARVEX_LEVEL_MATH(Avx2Math, MultiplyAddDivision, TARVEX_AVX2, 4, _mm256_loadu_pd,
                  _mm256_storeu_pd, _ZGVdN4v_exp, _ZGVdN4v_erfc)
TARVEX_LEVEL_MATH(Avx512Math, MultiplyAddDivision, TARVEX_AVX512, 8, _mm512_loadu_pd,
                  _mm512_storeu_pd, _ZGVeN8v_exp, _ZGVeN8v_erfc)

#undef TARVEX_LEVEL_MATH
#undef TARVEX_VECTOR_LOOP

#endif

// Arrays are processed in pieces of this many elements, so that the
// intermediate arguments live on the stack, in L1.
constexpr std::size_t piece = 256;

// F(z) = 1/(e^-z + 1).
template <class M>
TARVEX_INLINE void logit_cdf_piece(const double* z, std::size_t len, double* out) {
    double u[piece];
    for (std::size_t i = 0; i < len; ++i) u[i] = -z[i];
    M::exp(u, len, u);
    for (std::size_t i = 0; i < len; ++i) out[i] = 1.0 / (u[i] + 1.0);
}

// f(z) = w/((w + 1)(w + 1)), w = e^z, or w = e^-z above the mirror point.
template <class M>
TARVEX_INLINE void logit_pdf_piece(const double* z, std::size_t len, double* out,
                                   PrefetchStream* ahead = nullptr) {
    double u[piece];
    for (std::size_t i = 0; i < len; ++i)
        u[i] = z[i] > link_constants::logit_pdf_mirror_above ? -z[i] : z[i];
    M::exp(u, len, u, ahead);
    for (std::size_t i = 0; i < len; ++i) out[i] = u[i] / ((u[i] + 1.0) * (u[i] + 1.0));
}

// f'(z) = f(z)(1 - 2F(z)).
template <class M>
TARVEX_INLINE void logit_pdf_deriv_piece(const double* z, std::size_t len, double* out) {
    double f[piece], cdf_z[piece];
    logit_pdf_piece<M>(z, len, f);
    logit_cdf_piece<M>(z, len, cdf_z);
    for (std::size_t i = 0; i < len; ++i) out[i] = f[i] * (1.0 - 2.0 * cdf_z[i]);
}

// Φ(z) = erfc(t)·0.5, t = (0 - z)/(1·√2). erfc(NaN) = NaN, erfc(+inf) = 0 and
// erfc(-inf) = 2 give exactly NaN, 0 and 1 for the three special arguments.
template <class M>
TARVEX_INLINE void probit_cdf_piece(const double* z, std::size_t len, double* out,
                                    PrefetchStream* ahead = nullptr) {
    double t[piece];
    constexpr ConstantDivisor scale(1.0 * link_constants::sqrt_2);
    M::divide(len, [z](std::size_t i) { return 0.0 - z[i]; }, scale, t);
    M::erfc(t, len, t, ahead);
    for (std::size_t i = 0; i < len; ++i) out[i] = t[i] * 0.5;
}

// φ(z) = exp((-0.5·z)·z)/√(2π).
template <class M>
TARVEX_INLINE void probit_pdf_piece(const double* z, std::size_t len, double* out,
                                    PrefetchStream* ahead = nullptr) {
    double u[piece];
    for (std::size_t i = 0; i < len; ++i) u[i] = (-0.5 * z[i]) * z[i];
    M::exp(u, len, u, ahead);
    constexpr ConstantDivisor sqrt_2pi(link_constants::sqrt_2pi);
    M::divide(len, [&u](std::size_t i) { return u[i]; }, sqrt_2pi, out);
}

// φ'(z) = φ(z)·(-z).
template <class M>
TARVEX_INLINE void probit_pdf_deriv_piece(const double* z, std::size_t len, double* out) {
    double f[piece];
    probit_pdf_piece<M>(z, len, f);
    for (std::size_t i = 0; i < len; ++i) out[i] = f[i] * -z[i];
}

// Logistic F and f at the same points from one exponential v = e^-z:
//   F = 1/(v + 1)                       (exactly logit_cdf_piece's value)
//   f = w/((w + 1)(w + 1)),  w = 1/v    (z ≤ 354; above, w = v: the mirror form)
// 1/v is e^z to within the exponential's error plus one rounding, and f's
// relative error follows w's with a factor |1 - 2w/(w + 1)| < 1, so f stays
// within a few ulp of the form with exp(z). Measured against that form with
// glibc 2.36's scalar exp (2^21 random z per interval, AVX-512 level):
//   [-40, 40]: at most 8 ulp apart, 99.9% within 3 (the element-wise pdf,
//              from libmvec's exp(z): also at most 8);
//   [-745.2, -700]: 4;  [300, 360]: 6;  [700, 800]: 3 (mirror form).
// F is bit for bit logit_cdf_piece's. Where v overflows (z < -709.78) while
// e^z is still a subnormal (z > -745.13), 1/v would be 0: those elements, and
// only those, take f from the scalar form with exp(z) itself, so an element's
// value never depends on its neighbours. One exponential instead of two: the
// pair costs about 2.0 ms per 2^20 elements against 2.7 ms for the two
// element-wise calls (AMD EPYC, AVX-512).
template <class M>
TARVEX_INLINE void logit_cdf_pdf_piece(const double* z, std::size_t len, double* cdf_out,
                                       double* pdf_out, PrefetchStream* ahead) {
    double v[piece];
    for (std::size_t i = 0; i < len; ++i) v[i] = -z[i];
    M::exp(v, len, v, ahead);
    unsigned overflow = 0;
    for (std::size_t i = 0; i < len; ++i) {
        const double vi = v[i];
        // w = v/1 (mirror) or 1/v: the operands are chosen, not the quotient,
        // so the division is done for every element and the loop has no branch.
        // (A select of the two operands is folded back into two divisions
        // under a branch, hence the blend with m ∈ {0, 1}, exact for finite v;
        // v = inf, where 0·v is NaN, is redone below.)
        const double m = z[i] > link_constants::logit_pdf_mirror_above ? 1.0 : 0.0;
        const double w = (m * vi + (1.0 - m)) / (m + (1.0 - m) * vi);
        overflow |= static_cast<unsigned>(vi == INFINITY);
        cdf_out[i] = 1.0 / (vi + 1.0);
        pdf_out[i] = w / ((w + 1.0) * (w + 1.0));
    }
    if (overflow) {
        for (std::size_t i = 0; i < len; ++i)
            if (v[i] == INFINITY) pdf_out[i] = logit_pdf(z[i]);
    }
}

// F and f at the same points.
template <class M>
TARVEX_INLINE void cdf_pdf_piece(ModelKind kind, const double* z, std::size_t len,
                                 double* cdf_out, double* pdf_out, PrefetchStream* ahead) {
    if (kind == ModelKind::Logit) {
        logit_cdf_pdf_piece<M>(z, len, cdf_out, pdf_out, ahead);
    } else {
        probit_cdf_piece<M>(z, len, cdf_out, ahead);
        probit_pdf_piece<M>(z, len, pdf_out, ahead);
    }
}

template <class M>
TARVEX_INLINE void apply_pair_level(ModelKind kind, const double* z, std::size_t len,
                                    double* cdf_out, double* pdf_out, PrefetchStream* ahead) {
    for (std::size_t i = 0; i < len; i += piece) {
        const std::size_t m = std::min(piece, len - i);
        cdf_pdf_piece<M>(kind, z + i, m, cdf_out + i, pdf_out + i, ahead);
    }
}

enum class LinkFn { Cdf, Pdf, PdfDeriv };

template <class M, LinkFn F>
TARVEX_INLINE void apply_level(ModelKind kind, const double* z, std::size_t len, double* out,
                               PrefetchStream* ahead) {
    for (std::size_t i = 0; i < len; i += piece) {
        const std::size_t m = std::min(piece, len - i);
        if (kind == ModelKind::Logit) {
            if constexpr (F == LinkFn::Cdf) logit_cdf_piece<M>(z + i, m, out + i);
            if constexpr (F == LinkFn::Pdf) logit_pdf_piece<M>(z + i, m, out + i, ahead);
            if constexpr (F == LinkFn::PdfDeriv) logit_pdf_deriv_piece<M>(z + i, m, out + i);
        } else {
            if constexpr (F == LinkFn::Cdf) probit_cdf_piece<M>(z + i, m, out + i);
            if constexpr (F == LinkFn::Pdf) probit_pdf_piece<M>(z + i, m, out + i, ahead);
            if constexpr (F == LinkFn::PdfDeriv) probit_pdf_deriv_piece<M>(z + i, m, out + i);
        }
    }
}

#ifdef TARVEX_VECTOR_MATH

template <LinkFn F>
TARVEX_AVX512 void apply_avx512(ModelKind kind, const double* z, std::size_t len, double* out,
                                PrefetchStream* ahead) {
    apply_level<Avx512Math, F>(kind, z, len, out, ahead);
}
template <LinkFn F>
TARVEX_AVX2 void apply_avx2(ModelKind kind, const double* z, std::size_t len, double* out,
                            PrefetchStream* ahead) {
    apply_level<Avx2Math, F>(kind, z, len, out, ahead);
}
template <LinkFn F>
void apply_sse2(ModelKind kind, const double* z, std::size_t len, double* out,
                PrefetchStream* ahead) {
    apply_level<Sse2Math, F>(kind, z, len, out, ahead);
}

TARVEX_AVX512 void apply_pair_avx512(ModelKind kind, const double* z, std::size_t len,
                                     double* cdf_out, double* pdf_out, PrefetchStream* ahead) {
    apply_pair_level<Avx512Math>(kind, z, len, cdf_out, pdf_out, ahead);
}
TARVEX_AVX2 void apply_pair_avx2(ModelKind kind, const double* z, std::size_t len,
                                 double* cdf_out, double* pdf_out, PrefetchStream* ahead) {
    apply_pair_level<Avx2Math>(kind, z, len, cdf_out, pdf_out, ahead);
}

// The widest level this CPU runs.
template <LinkFn F>
void apply(ModelKind kind, const double* z, std::size_t len, double* out,
           PrefetchStream* ahead = nullptr) {
    switch (isa_level()) {
        case IsaLevel::Avx512: return apply_avx512<F>(kind, z, len, out, ahead);
        case IsaLevel::Avx2: return apply_avx2<F>(kind, z, len, out, ahead);
        default: return apply_sse2<F>(kind, z, len, out, ahead);
    }
}

void apply_pair(ModelKind kind, const double* z, std::size_t len, double* cdf_out,
                double* pdf_out, PrefetchStream* ahead) {
    switch (isa_level()) {
        case IsaLevel::Avx512: return apply_pair_avx512(kind, z, len, cdf_out, pdf_out, ahead);
        case IsaLevel::Avx2: return apply_pair_avx2(kind, z, len, cdf_out, pdf_out, ahead);
        default: return apply_pair_level<Sse2Math>(kind, z, len, cdf_out, pdf_out, ahead);
    }
}

#else

void apply_pair(ModelKind kind, const double* z, std::size_t len, double* cdf_out,
                double* pdf_out, PrefetchStream* ahead) {
    apply_pair_level<ScalarMath>(kind, z, len, cdf_out, pdf_out, ahead);
}

template <LinkFn F>
void apply(ModelKind kind, const double* z, std::size_t len, double* out,
           PrefetchStream* ahead = nullptr) {
    apply_level<ScalarMath, F>(kind, z, len, out, ahead);
}

#endif

template <LinkFn F>
Vector apply(ModelKind kind, VectorView z) {
    Vector out(z.len);
    if (z.stride == 1) {
        apply<F>(kind, z.data, z.len, out.data());
    } else {
        for (std::size_t i = 0; i < z.len; ++i) out[i] = z[i];
        apply<F>(kind, out.data(), z.len, out.data());
    }
    return out;
}

}  // namespace

void cdf(ModelKind kind, const double* z, std::size_t len, double* out) {
    apply<LinkFn::Cdf>(kind, z, len, out);
}
void pdf(ModelKind kind, const double* z, std::size_t len, double* out,
         PrefetchStream* ahead) {
    apply<LinkFn::Pdf>(kind, z, len, out, ahead);
}
void pdf_deriv(ModelKind kind, const double* z, std::size_t len, double* out) {
    apply<LinkFn::PdfDeriv>(kind, z, len, out);
}

void cdf_pdf(ModelKind kind, const double* z, std::size_t len, double* cdf_out,
             double* pdf_out, PrefetchStream* ahead) {
    apply_pair(kind, z, len, cdf_out, pdf_out, ahead);
}

Vector cdf(ModelKind kind, VectorView z) { return apply<LinkFn::Cdf>(kind, z); }
Vector pdf(ModelKind kind, VectorView z) { return apply<LinkFn::Pdf>(kind, z); }
Vector pdf_deriv(ModelKind kind, VectorView z) { return apply<LinkFn::PdfDeriv>(kind, z); }

}  // namespace tarvex
