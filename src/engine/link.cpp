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

// NORMAL Φ AND φ FROM ONE EXPONENTIAL
//   φ(z) = e^(-z²/2)/√(2π),   Φ(z) = φ(z)·M(|z|) for z < 0, 1 - φ(z)·M(z) else,
// with M(x) = (1 - Φ(x))/φ(x) the Mills ratio. Per element, with x = |z|:
// 1. -z²/2 = hi + lo exactly: hi = -x·x/2 rounded, lo its error, from
//    Dekker's product (x split into two 26-bit halves; no fused multiply-add,
//    so every level forms the same hi and lo).
// 2. e^(hi + lo) = 2^k·e^r: k = nearest integer to hi/ln 2, r = hi - k·ln2_hi
//    (exact: ln2_hi has 42 significant bits) plus lo - k·ln2_lo, kept as
//    r + r_lo (two-sum); e^r - 1 = r + r²·P(r), P the Taylor polynomial to
//    r^13/13! (the remainder is below 2^-57 for |r| ≤ ln2/2), and
//    e^(r + r_lo) - 1 ≈ (e^r - 1) + r_lo.
// 3. The mantissa of φ, φm = c_hi + ((e^r - 1)·c_hi + c_lo), c = 1/√(2π) as
//    a two-double constant; φ = φm·2^k, applied as two factors 2^k1·2^k2
//    (each a normal double) so that a subnormal φ is rounded once.
// 4. M(x): x < 4 in eight pieces of width 1/2, x ≥ 4 through t = 1/x in four
//    pieces of width 1/16 (M = G(t)/x, G = x·M flat near 1), each a
//    polynomial of degree 13 in the piece's own variable on [-1, 1] (table
//    from tools/mills-ratio-coefficients; its truncation error is below
//    1e-18 relative). |z| is clamped to 40, where φ and Φ(-40) are 0.
// 5. Φ = (φm·M)·2^k for z < 0, 1 - that for z ≥ 0: where Φ is small, its
//    relative error is φm's plus M's plus one rounding, and where it is near
//    1 the error of φ·M is damped by φ·M/Φ ≤ 1.
// Special values: NaN gives NaN for both, ±inf give φ = 0 and Φ = 0 or 1,
// ±0 give φ(0) and Φ = 1/2; φ is subnormal for 37.5 < |z| < 38.6 and 0
// beyond, Φ subnormal for -38.5 < z < -37.5 and 0 below.
// ACCURACY against the true functions (mpmath at 40 digits, 2^16 random z
// per range and the special values; tests/test_link_accuracy.py): measured
// worst case φ 1 ulp, Φ 3 ulp over the whole line down to Φ's underflow
// (one subnormal step in the subnormal range). The former form,
// erfc(-z/√2)/2 and exp(-z²/2)/√(2π) from rounded arguments, was up to ~20
// ulp off for |z| < 4 and ~1700 ulp in the far tail (z = -8).
namespace normal {

struct MillsPiece {
    double mid, inv_half_width;
    double c[14];  // c0 + c1·s + ... + c13·s^13
};

alignas(64) constexpr MillsPiece mills_pieces[12] = {
    {0.25, 4.0, 1.0378245758537268, -0.18513596400914206, 0.02664651912014324, -0.003301863435187473, 0.00036476024507798395, -3.671378987640927e-05, 3.417150571714674e-06, -2.972914221311251e-07, 2.4373909042131956e-08, -1.895261152494832e-09, 1.404777068292676e-10, -9.969431858904916e-12, 6.897996755513042e-13, -4.528030452342552e-14},  // [0.0, 0.5), error 4.3e-19
    {0.75, 4.0, 0.7525711790634081, -0.10889290392561099, 0.013309139602705465, -0.0014367809399478033, 0.00014060619973231168, -1.2687029259394607e-05, 1.0681782489696495e-06, -8.466512952915267e-08, 6.360805175720365e-09, -4.5543563771249855e-10, 3.1213297854965956e-11, -2.0554847869354197e-12, 1.3213714970666913e-13, -8.097626854742092e-15},  // [0.5, 1.0), error 9.5e-20
    {1.25, 4.0, 0.5784303460476311, -0.06924051686011529, 0.007257117554595456, -0.0006865610226487084, 5.975488189614088e-05, -4.847332664602055e-06, 3.6998144336680675e-07, -2.6762727202022386e-08, 1.8450612901884506e-09, -1.2178767030233652e-10, 7.725335312856376e-12, -4.724699499579096e-13, 2.824720895886159e-14, -1.6170590719124827e-15},  // [1.0, 1.5), error 2.2e-20
    {1.75, 4.0, 0.4643069280394422, -0.04686571898274405, 0.0042577154737573055, -0.00035545230555089396, 2.7649208357832445e-05, -2.023848088076329e-06, 1.4044033061711172e-07, -9.292551548973675e-09, 5.890037312959107e-10, -3.5899488229509916e-11, 2.1105809603429842e-12, -1.2002268224705231e-13, 6.6820631902322814e-15, -3.576631633586189e-16},  // [1.5, 2.0), error 5.7e-21
    {2.25, 4.0, 0.3851482907984346, -0.03335408642588052, 0.0026550472801721847, -0.000197055435506893, 1.377419313453437e-05, -9.135962162011758e-07, 5.7831533210991015e-08, -3.5099322967165984e-09, 2.050167525481784e-10, -1.1560984340890255e-11, 6.310288712674006e-13, -3.3416867362521326e-14, 1.7350768502269842e-15, -8.693610816947424e-17},  // [2.0, 2.5), error 1.5e-21
    {2.75, 4.0, 0.32767831469055203, -0.02472115865024546, 0.001742049048057874, -0.00011580456503351771, 7.315606760768625e-06, -4.4166113331332244e-07, 2.5597232231305976e-08, -1.4293890959774824e-09, 7.714025484534599e-11, -4.033655231429598e-12, 2.0480770007243666e-13, -1.011746736370267e-14, 4.907664189438644e-16, -2.3049917472065396e-17},  // [2.5, 3.0), error 4.4e-22
    {3.25, 4.0, 0.28438214674849294, -0.0189395057668495, 0.001192767868107795, -7.153173919683673e-05, 4.107113414826892e-06, -2.2674081005110044e-07, 1.2077946709698569e-08, -6.225669894571099e-10, 3.1129499741096794e-11, -1.5130799356256728e-12, 7.1620252274802e-14, -3.3067529990418994e-15, 1.5012847229934153e-16, -6.619690915386056e-18},  // [3.0, 3.5), error 1.4e-22
    {3.75, 4.0, 0.250761111443965, -0.014911458021282787, 0.0008465387851476005, -4.6112005084766275e-05, 2.419667326189177e-06, -1.2271243989911134e-07, 6.0310492468055215e-09, -2.879169749568556e-10, 1.3377302011067214e-11, -6.059545170569499e-13, 2.6799500929769955e-14, -1.1588248970226453e-15, 4.933895436944188e-17, -2.0458098922409552e-18},  // [3.5, 4.0), error 4.5e-23
    {0.03125, 32.0, 0.9990262846477771, -0.0019417639715459585, -0.0009596032731544886, 1.1169944076725422e-05, 2.657988248406137e-06, -7.867579488886751e-08, -1.1464183035140252e-08, 6.700224497458447e-10, 6.18669301892233e-11, -6.620929542378527e-12, -3.466181081196898e-13, 7.299845931447552e-14, 1.25368086022895e-15, -8.3058243564939605e-16},  // [0.0, 0.0625), error 3.1e-21
    {0.09375, 32.0, 0.9914330776474974, -0.0055692299949960345, -0.0008373087257257134, 2.7900705448068614e-05, 1.4118846135250871e-06, -1.4635145660879135e-07, 2.2546764711993942e-10, 7.146422602282133e-10, -4.033407354739493e-11, -2.104321942251477e-12, 4.2232309256885246e-13, -1.4057752662630295e-14, -2.4332196934501894e-15, 3.128339815882023e-16},  // [0.0625, 0.125), error 8.0e-22
    {0.15625, 32.0, 0.9771865902028083, -0.008549864981967076, -0.0006472706491883565, 3.3700113928555e-05, 1.132215729778142e-07, -1.030883527257633e-07, 5.4291312836840525e-09, 6.643923382250952e-11, -2.895838124812975e-11, 1.8737049136848954e-12, 2.269374233462859e-15, -1.0989090543034554e-14, 9.787025880809872e-16, -2.224748398188771e-17},  // [0.125, 0.1875), error 6.4e-22
    {0.21875, 32.0, 0.9577662407696689, -0.010738123457302415, -0.00044929555811431074, 3.134607208763696e-05, -5.985094545741814e-07, -4.1770654435559985e-08, 4.271613903821675e-09, -1.6149522456130772e-10, -2.8932383273787914e-12, 8.442942433438943e-13, -5.95975024725372e-14, 1.6401140097827418e-15, 1.2472085127578054e-16, -1.959433323981433e-17},  // [0.1875, 0.25), error 1.8e-22
};

constexpr double x_max = 40.0;           // |z| beyond: φ = 0, Φ = 0 or 1
constexpr double log2e = 1.4426950408889634;
constexpr double ln2_hi = 0x1.62e42fefa3800p-1;   // 42 significant bits
constexpr double ln2_lo = 0x1.ef35793c76730p-45;  // ln 2 - ln2_hi
constexpr double round_shift = 0x1.8p52;          // x + this - this: nearest integer
constexpr double inv_sqrt_2pi_hi = 0x1.9884533d43651p-2;   // 1/√(2π), rounded
constexpr double inv_sqrt_2pi_lo = -0x1.cbc0d30ebfd15p-56;  // 1/√(2π) - inv_sqrt_2pi_hi
constexpr double dekker_split = 134217729.0;                // 2^27 + 1

// 2^e for an integer-valued double e with -1022 ≤ e ≤ 1023, from its bits:
// e + round_shift + 1023 holds e + 1023 in its low bits, which the shift
// moves into the exponent field.
TARVEX_INLINE double power_of_two(double e) {
    const auto bits = __builtin_bit_cast(unsigned long long, e + (round_shift + 1023.0));
    return __builtin_bit_cast(double, bits << 52);
}

// The Mills ratio M(x) for 0 ≤ x ≤ x_max (step 4 above).
TARVEX_INLINE double mills_ratio(double x) {
    const bool bulk = x < 4.0;
    const double t = 1.0 / x;  // inf at x = 0, unused there
    const double tail_piece = 16.0 * t < 3.0 ? 16.0 * t : 3.0;
    const int j = static_cast<int>(bulk ? 2.0 * x : 8.0 + tail_piece);
    const double* piece = &mills_pieces[0].mid + j * 16;
    const double s = ((bulk ? x : t) - piece[0]) * piece[1];
    double p = piece[15];
#pragma GCC unroll 13
    for (int d = 14; d >= 2; --d) p = p * s + piece[d];
    return p / (bulk ? 1.0 : x);
}

// φ(z) and, with `with_cdf`, Φ(z) at one point (steps 1 to 5 above).
template <bool with_cdf>
TARVEX_INLINE void normal_point(double z, double* cdf, double* pdf) {
    const double x_abs = std::fabs(z);
    const double x = x_abs <= x_max ? x_abs : x_max;  // NaN too; restored below
    // 1. -x²/2 = hi + lo.
    const double square = x * x;
    const double split = dekker_split * x;
    const double x_high = split - (split - x);
    const double x_low = x - x_high;
    const double square_error =
        ((x_high * x_high - square) + 2.0 * x_high * x_low) + x_low * x_low;
    const double hi = -0.5 * square;
    const double lo = -0.5 * square_error;
    // 2. e^(hi + lo) = 2^k·(1 + q).
    const double k = (hi * log2e + round_shift) - round_shift;
    const double r0 = hi - k * ln2_hi;
    const double small = lo - k * ln2_lo;
    const double r = r0 + small;
    const double back = r - r0;
    const double r_low = (r0 - (r - back)) + (small - back);
    double taylor = 1.0 / 6227020800.0;  // 1/13!
    taylor = taylor * r + 1.0 / 479001600.0;
    taylor = taylor * r + 1.0 / 39916800.0;
    taylor = taylor * r + 1.0 / 3628800.0;
    taylor = taylor * r + 1.0 / 362880.0;
    taylor = taylor * r + 1.0 / 40320.0;
    taylor = taylor * r + 1.0 / 5040.0;
    taylor = taylor * r + 1.0 / 720.0;
    taylor = taylor * r + 1.0 / 120.0;
    taylor = taylor * r + 1.0 / 24.0;
    taylor = taylor * r + 1.0 / 6.0;
    taylor = taylor * r + 0.5;
    const double q = (r + (r * r) * taylor) + r_low;
    // 3. φ = φm·2^k1·2^k2.
    const double mantissa = inv_sqrt_2pi_hi + (q * inv_sqrt_2pi_hi + inv_sqrt_2pi_lo);
    const double k1 = (0.5 * k + round_shift) - round_shift;
    const double scale1 = power_of_two(k1);
    const double scale2 = power_of_two(k - k1);
    const bool nan = z != z;
    *pdf = nan ? z : (mantissa * scale1) * scale2;
    if constexpr (with_cdf) {
        // 4, 5.
        const double tail = ((mantissa * mills_ratio(x)) * scale1) * scale2;
        *cdf = nan ? z : z < 0.0 ? tail : 1.0 - tail;
    }
}
}  // namespace normal

template <class M>
TARVEX_INLINE void probit_cdf_piece(const double* z, std::size_t len, double* out) {
    for (std::size_t i = 0; i < len; ++i) {
        double unused;
        normal::normal_point<true>(z[i], out + i, &unused);
    }
}

template <class M>
TARVEX_INLINE void probit_pdf_piece(const double* z, std::size_t len, double* out) {
    for (std::size_t i = 0; i < len; ++i) normal::normal_point<false>(z[i], nullptr, out + i);
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

// Φ and φ at the same points, from one exponential.
template <class M>
TARVEX_INLINE void probit_cdf_pdf_piece(const double* z, std::size_t len, double* cdf_out,
                                        double* pdf_out) {
    for (std::size_t i = 0; i < len; ++i)
        normal::normal_point<true>(z[i], cdf_out + i, pdf_out + i);
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
