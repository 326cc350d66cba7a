// Element-wise forms of the link functions over arrays.
//
// The transcendental step (exp or erfc) of a whole array goes through glibc's
// vector maths library libmvec when the build found it: its SSE2, AVX2 and
// AVX-512 variants evaluate 2, 4 or 8 arguments per call, chosen at run time
// from the CPU, so the default build still runs on any x86-64 CPU. The
// arithmetic around it (negation, the logistic quotient, the division by
// √(2π), the factor 0.5) is the written formula, one correctly rounded
// operation at a time, in plain loops the compiler vectorises.
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

#include <algorithm>
#include <utility>

#if defined(TARVEX_HAVE_LIBMVEC) && defined(__x86_64__)
#include <immintrin.h>
#define TARVEX_VECTOR_MATH 1
#endif

namespace tarvex {

namespace {

#define TARVEX_INLINE inline __attribute__((always_inline))

// One instruction-set level: how exp and erfc of an array are evaluated. The
// element-wise formulas below are templates over it, inlined into one entry
// per level compiled for that level (function target attributes), so that
// the arithmetic around the transcendental calls is vectorised for the same
// width; the level is chosen at run time from the CPU.
struct ScalarMath {
    static constexpr bool has_fma = false;
    static TARVEX_INLINE void exp(const double* in, std::size_t len, double* out) {
        for (std::size_t i = 0; i < len; ++i) out[i] = std::exp(in[i]);
    }
    static TARVEX_INLINE void erfc(const double* in, std::size_t len, double* out) {
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

struct Sse2Math {
    static constexpr bool has_fma = false;
    static TARVEX_INLINE void exp(const double* in, std::size_t len, double* out) {
        TARVEX_VECTOR_LOOP(2, _mm_loadu_pd, _mm_storeu_pd, _ZGVbN2v_exp)
    }
    static TARVEX_INLINE void erfc(const double* in, std::size_t len, double* out) {
        TARVEX_VECTOR_LOOP(2, _mm_loadu_pd, _mm_storeu_pd, _ZGVbN2v_erfc)
    }
};
#define TARVEX_AVX2 __attribute__((target("avx2,fma")))
#define TARVEX_AVX512 __attribute__((target("avx512f,avx512dq,fma")))
struct Avx2Math {
    static constexpr bool has_fma = true;
    static TARVEX_AVX2 void exp(const double* in, std::size_t len, double* out) {
        TARVEX_VECTOR_LOOP(4, _mm256_loadu_pd, _mm256_storeu_pd, _ZGVdN4v_exp)
    }
    static TARVEX_AVX2 void erfc(const double* in, std::size_t len, double* out) {
        TARVEX_VECTOR_LOOP(4, _mm256_loadu_pd, _mm256_storeu_pd, _ZGVdN4v_erfc)
    }
};
struct Avx512Math {
    static constexpr bool has_fma = true;
    static TARVEX_AVX512 void exp(const double* in, std::size_t len, double* out) {
        TARVEX_VECTOR_LOOP(8, _mm512_loadu_pd, _mm512_storeu_pd, _ZGVeN8v_exp)
    }
    static TARVEX_AVX512 void erfc(const double* in, std::size_t len, double* out) {
        TARVEX_VECTOR_LOOP(8, _mm512_loadu_pd, _mm512_storeu_pd, _ZGVeN8v_erfc)
    }
};

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
TARVEX_INLINE void logit_pdf_piece(const double* z, std::size_t len, double* out) {
    double u[piece];
    for (std::size_t i = 0; i < len; ++i)
        u[i] = z[i] > link_constants::logit_pdf_mirror_above ? -z[i] : z[i];
    M::exp(u, len, u);
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
TARVEX_INLINE void probit_cdf_piece(const double* z, std::size_t len, double* out) {
    double t[piece];
    for (std::size_t i = 0; i < len; ++i) t[i] = (0.0 - z[i]) / (1.0 * link_constants::sqrt_2);
    M::erfc(t, len, t);
    for (std::size_t i = 0; i < len; ++i) out[i] = t[i] * 0.5;
}

// φ(z) = exp((-0.5·z)·z)/√(2π).
template <class M>
TARVEX_INLINE void probit_pdf_piece(const double* z, std::size_t len, double* out) {
    double u[piece];
    for (std::size_t i = 0; i < len; ++i) u[i] = (-0.5 * z[i]) * z[i];
    M::exp(u, len, u);
    for (std::size_t i = 0; i < len; ++i) out[i] = u[i] / link_constants::sqrt_2pi;
}

// φ'(z) = φ(z)·(-z).
template <class M>
TARVEX_INLINE void probit_pdf_deriv_piece(const double* z, std::size_t len, double* out) {
    double f[piece];
    probit_pdf_piece<M>(z, len, f);
    for (std::size_t i = 0; i < len; ++i) out[i] = f[i] * -z[i];
}

// Φ and φ at the same points from one exponential.
//
// With t = (0 - z)/(1·√2) and a = |t|, erfc(a) = e^(-a²)·erfcx(a), where the
// scaled function erfcx is smooth and bounded on [0, ∞). Through the map
// Z = (a - 4)/(a + 4), which takes [0, ∞) onto [-1, 1), erfcx(a)·(1 + 2a)/2 is
// an analytic function of Z on the closed unit disc, so a polynomial P(Z)
// approximates it uniformly (Weideman's expansion of the complementary error
// function). P below is its degree-28 Chebyshev interpolant on [-1, 1] in
// monomial form, computed at 40 digits; the remainder is below 1e-19, far
// under half an ulp, and the coefficients are small (|p_j| ≤ 0.62), so the
// Horner sum is stable. Then
//   erfc(a) = e^(-a²) · 2·P(Z)/(1 + 2a),      erfc(-a) = 2 - erfc(a).
// e^(-a²) is taken from E = exp(u), u = (-0.5·z)·z, the exponential of the
// density: a² = hi + lo exactly (hi = a·a, lo = fma(a, a, -hi)), and since hi
// and -u agree to a few ulp, c = (-hi - u) - lo is e^(-a²)/E - 1 to first
// order (|c| < 1e-12; -hi - u is exact by Sterbenz), so e^(-a²) = E + E·c with
// an error of about one rounding. Where E is 0 (|z| > 38.6, including ±∞)
// erfc(a) is 0 (a² would be huge, c may be NaN): Φ is then 0 or 1, exactly
// as erfc's underflow and the rules for t = ±∞ give. NaN stays NaN.
// Measured against 0.5·erfc(t) with glibc's scalar erfc (2^21 random z per
// interval of [-40, 12], and the tails): at most 6 ulp apart, 99.9% within 2.
namespace fused_erfc {
constexpr double scale = 4.0;
constexpr int degree = 28;
// p_28, ..., p_0.
constexpr double p[degree + 1] = {
    -0.0000000000030984591440916567751,
    0.0000000000112957716183304755121,
    0.0000000000425933227070193216169,
    -0.000000000144979107873788898133,
    -0.00000000033663548482859466912,
    0.00000000112390568324568444651,
    0.00000000210015260763303151951,
    -0.00000000775665780894305337079,
    -0.0000000110842765927945738304,
    0.000000055507356577829702089,
    0.0000000395648360561526709055,
    -0.000000412816433136094298731,
    0.000000145400519402196274959,
    0.00000285479542970852010116,
    -0.00000561035702851426231504,
    -0.0000121995444238300776765,
    0.0000753106486933595019175,
    -0.0000996283693692061065462,
    -0.000378886608916557995418,
    0.00251598499319241673325,
    -0.00809886703306560770452,
    0.0185837577682972979017,
    -0.033165182905819006826,
    0.0468664174991992825074,
    -0.050519533018162657276,
    0.0340485271273457469762,
    0.00768982605131002161064,
    -0.0698105584202812527558,
    0.616497559312776254503};

// Z = (a - L)/(a + L), L = scale, to about half an ulp. P changes by up to
// 2.3·P per unit of Z near a = 0, so the roundings of a ± L and of the
// quotient (up to 1.5 ulp of Z) would cost ~3 ulp of erfc there: the errors
// of the sum and the difference (Fast2Sum, larger operand first) and the
// quotient's remainder (fma) are put back, dividing by a + L through the
// identity 1/(a + L) = (1 - Z)/(2L).
TARVEX_INLINE double map(double a) {
    const double sum = a + scale;
    const double dif = a - scale;
    const bool a_larger = a >= scale;
    const double sum_err = (a_larger ? scale : a) - (sum - (a_larger ? a : scale));
    const double dif_err = (a_larger ? -scale : a) - (dif - (a_larger ? a : -scale));
    const double q = dif / sum;
    const double rem = std::fma(-q, sum, dif) + (dif_err - q * sum_err);
    return std::fma(rem, (1.0 - q) * (0.5 / scale), q);
}

// P(x) by Horner's rule with fused multiply-adds, unrolled at compile time.
template <std::size_t... J>
TARVEX_INLINE double horner(double x, std::index_sequence<J...>) {
    double acc = p[0];
    ((acc = std::fma(acc, x, p[J + 1])), ...);
    return acc;
}
}  // namespace fused_erfc

// Writes Φ(z) to cdf_out and φ(z) to pdf_out. φ is exactly probit_pdf_piece's.
// Needs a fused multiply-add (the levels with has_fma); other levels evaluate
// the two functions separately.
template <class M>
TARVEX_INLINE void probit_cdf_pdf_piece(const double* z, std::size_t len, double* cdf_out,
                                        double* pdf_out) {
    if constexpr (!M::has_fma) {
        probit_cdf_piece<M>(z, len, cdf_out);
        probit_pdf_piece<M>(z, len, pdf_out);
    } else {
        double u[piece], e[piece];
        for (std::size_t i = 0; i < len; ++i) u[i] = (-0.5 * z[i]) * z[i];
        M::exp(u, len, e);
        for (std::size_t i = 0; i < len; ++i) {
            const double t = (0.0 - z[i]) / (1.0 * link_constants::sqrt_2);
            const double big_e = e[i];
            const double a = std::fabs(t);
            const double hi = a * a;
            const double lo = std::fma(a, a, -hi);
            const double c = (-hi - u[i]) - lo;
            const double zz = fused_erfc::map(a);
            const double poly = fused_erfc::horner(zz, std::make_index_sequence<fused_erfc::degree>{});
            const double scaled = (poly + poly) / (a * 2.0 + 1.0);
            const double product = std::fma(big_e, c, big_e) * scaled;
            const double erfc_a = big_e == 0.0 ? 0.0 : product;
            const double erfc_t = t >= 0.0 ? erfc_a : 2.0 - erfc_a;
            pdf_out[i] = big_e / link_constants::sqrt_2pi;
            cdf_out[i] = erfc_t * 0.5;
        }
    }
}

// F and f at the same points.
template <class M>
TARVEX_INLINE void cdf_pdf_piece(ModelKind kind, const double* z, std::size_t len,
                                 double* cdf_out, double* pdf_out) {
    if (kind == ModelKind::Logit) {
        logit_cdf_piece<M>(z, len, cdf_out);
        logit_pdf_piece<M>(z, len, pdf_out);
    } else {
        probit_cdf_pdf_piece<M>(z, len, cdf_out, pdf_out);
    }
}

template <class M>
TARVEX_INLINE void apply_pair_level(ModelKind kind, const double* z, std::size_t len,
                                    double* cdf_out, double* pdf_out) {
    for (std::size_t i = 0; i < len; i += piece) {
        const std::size_t m = std::min(piece, len - i);
        cdf_pdf_piece<M>(kind, z + i, m, cdf_out + i, pdf_out + i);
    }
}

enum class LinkFn { Cdf, Pdf, PdfDeriv };

template <class M, LinkFn F>
TARVEX_INLINE void apply_level(ModelKind kind, const double* z, std::size_t len, double* out) {
    for (std::size_t i = 0; i < len; i += piece) {
        const std::size_t m = std::min(piece, len - i);
        if (kind == ModelKind::Logit) {
            if constexpr (F == LinkFn::Cdf) logit_cdf_piece<M>(z + i, m, out + i);
            if constexpr (F == LinkFn::Pdf) logit_pdf_piece<M>(z + i, m, out + i);
            if constexpr (F == LinkFn::PdfDeriv) logit_pdf_deriv_piece<M>(z + i, m, out + i);
        } else {
            if constexpr (F == LinkFn::Cdf) probit_cdf_piece<M>(z + i, m, out + i);
            if constexpr (F == LinkFn::Pdf) probit_pdf_piece<M>(z + i, m, out + i);
            if constexpr (F == LinkFn::PdfDeriv) probit_pdf_deriv_piece<M>(z + i, m, out + i);
        }
    }
}

#ifdef TARVEX_VECTOR_MATH

template <LinkFn F>
TARVEX_AVX512 void apply_avx512(ModelKind kind, const double* z,
                                                              std::size_t len, double* out) {
    apply_level<Avx512Math, F>(kind, z, len, out);
}
template <LinkFn F>
TARVEX_AVX2 void apply_avx2(ModelKind kind, const double* z,
                                                    std::size_t len, double* out) {
    apply_level<Avx2Math, F>(kind, z, len, out);
}
template <LinkFn F>
void apply_sse2(ModelKind kind, const double* z, std::size_t len, double* out) {
    apply_level<Sse2Math, F>(kind, z, len, out);
}

TARVEX_AVX512 void apply_pair_avx512(ModelKind kind, const double* z, std::size_t len,
                                     double* cdf_out, double* pdf_out) {
    apply_pair_level<Avx512Math>(kind, z, len, cdf_out, pdf_out);
}
TARVEX_AVX2 void apply_pair_avx2(ModelKind kind, const double* z, std::size_t len,
                                 double* cdf_out, double* pdf_out) {
    apply_pair_level<Avx2Math>(kind, z, len, cdf_out, pdf_out);
}

// The widest level this CPU runs. libmvec's AVX-512 entry points need
// AVX512DQ as well as AVX512F for their native code path.
template <LinkFn F>
void apply(ModelKind kind, const double* z, std::size_t len, double* out) {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq"))
        apply_avx512<F>(kind, z, len, out);
    else if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma"))
        apply_avx2<F>(kind, z, len, out);
    else
        apply_sse2<F>(kind, z, len, out);
}

void apply_pair(ModelKind kind, const double* z, std::size_t len, double* cdf_out,
                double* pdf_out) {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq"))
        apply_pair_avx512(kind, z, len, cdf_out, pdf_out);
    else if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma"))
        apply_pair_avx2(kind, z, len, cdf_out, pdf_out);
    else
        apply_pair_level<Sse2Math>(kind, z, len, cdf_out, pdf_out);
}

#else

void apply_pair(ModelKind kind, const double* z, std::size_t len, double* cdf_out,
                double* pdf_out) {
    apply_pair_level<ScalarMath>(kind, z, len, cdf_out, pdf_out);
}

template <LinkFn F>
void apply(ModelKind kind, const double* z, std::size_t len, double* out) {
    apply_level<ScalarMath, F>(kind, z, len, out);
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
void pdf(ModelKind kind, const double* z, std::size_t len, double* out) {
    apply<LinkFn::Pdf>(kind, z, len, out);
}
void pdf_deriv(ModelKind kind, const double* z, std::size_t len, double* out) {
    apply<LinkFn::PdfDeriv>(kind, z, len, out);
}

void cdf_pdf(ModelKind kind, const double* z, std::size_t len, double* cdf_out,
             double* pdf_out) {
    apply_pair(kind, z, len, cdf_out, pdf_out);
}

Vector cdf(ModelKind kind, VectorView z) { return apply<LinkFn::Cdf>(kind, z); }
Vector pdf(ModelKind kind, VectorView z) { return apply<LinkFn::Pdf>(kind, z); }
Vector pdf_deriv(ModelKind kind, VectorView z) { return apply<LinkFn::PdfDeriv>(kind, z); }

}  // namespace tarvex
