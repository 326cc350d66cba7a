// The link functions' pair kernels (F and f at the same points, as the pass
// calls them) beside the forms they replaced, in one process, at the level
// TARVEX_ISA_LEVEL allows (at AVX-512 the former forms run their AVX2
// variants): Probit's fused Φ/φ kernel against libmvec's erfc and exp with the
// former arithmetic around them, Logit's pair with one division per element
// against the former form with three. 2^20 points,
// normal with sd 1.5 (as a fitted model's linear predictor) or sd 5 (a third
// of the points past |z| = 4, the Mills ratio's tail polynomial), best of 40
// alternating calls. Not part of the build: bench/link_kernels.sh compiles it.
// With TARVEX_BASELINE (a git revision, set by the script) the Probit pair of
// that revision's link.cpp takes its turn too.
#include <immintrin.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "engine/isa_level.hpp"
#include "engine/link.hpp"

extern "C" {
__m128d _ZGVbN2v_exp(__m128d);
__m128d _ZGVbN2v_erfc(__m128d);
__m256d _ZGVdN4v_exp(__m256d);
__m256d _ZGVdN4v_erfc(__m256d);
}

namespace {

using tarvex::IsaLevel;

// Unaligned loads and stores that need no target attribute (the intrinsics
// would, and a lambda does not inherit its caller's).
template <class V>
inline V load(const double* p) {
    V v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
template <class V>
inline void store(double* p, V v) {
    std::memcpy(p, &v, sizeof v);
}

// The former Probit pair: Φ = erfc(-z/√2)·0.5, φ = exp((-0.5·z)·z)/√(2π).
template <class V, class Load, class Store, class Erfc, class Exp>
inline void libmvec_probit(const double* z, std::size_t n, double* cdf, double* pdf, Load load,
                           Store store, Erfc erfc, Exp exp, std::size_t lanes) {
    for (std::size_t i = 0; i < n; i += lanes) {
        const V v = load(z + i);
        store(cdf + i, erfc((0.0 - v) / 1.4142135623730951) * 0.5);
        store(pdf + i, exp((-0.5 * v) * v) / 2.5066282746310002);
    }
}

__attribute__((target("avx2,fma"))) void probit_avx2(const double* z, std::size_t n,
                                                      double* cdf, double* pdf) {
    libmvec_probit<__m256d>(
        z, n, cdf, pdf, load<__m256d>,
        store<__m256d>, _ZGVdN4v_erfc, _ZGVdN4v_exp, 4);
}

void probit_sse2(const double* z, std::size_t n, double* cdf, double* pdf) {
    libmvec_probit<__m128d>(
        z, n, cdf, pdf, load<__m128d>,
        store<__m128d>, _ZGVbN2v_erfc, _ZGVbN2v_exp, 2);
}

// The former Logit pair: v = e^-z, F = 1/(v + 1), w = 1/v (or v above
// z = 354), f = w/((w + 1)(w + 1)), in pieces of 256 as link.cpp ran it.
#define LOGIT_THREE_DIVISIONS(exp_call, lanes)                                    \
    for (std::size_t start = 0; start < n; start += 256) {                        \
        alignas(64) double v[256];                                                \
        for (std::size_t i = 0; i < 256; ++i) v[i] = -z[start + i];               \
        for (std::size_t i = 0; i < 256; i += lanes) exp_call;                    \
        for (std::size_t i = 0; i < 256; ++i) {                                   \
            const double m = z[start + i] > 354.0 ? 1.0 : 0.0;                    \
            const double w = (m * v[i] + (1.0 - m)) / (m + (1.0 - m) * v[i]);     \
            cdf[start + i] = 1.0 / (v[i] + 1.0);                                  \
            pdf[start + i] = w / ((w + 1.0) * (w + 1.0));                         \
        }                                                                         \
    }

__attribute__((target("avx2,fma"))) void logit_avx2(const double* z, std::size_t n,
                                                     double* cdf, double* pdf) {
    LOGIT_THREE_DIVISIONS(_mm256_store_pd(v + i, _ZGVdN4v_exp(_mm256_load_pd(v + i))), 4)
}

void logit_sse2(const double* z, std::size_t n, double* cdf, double* pdf) {
    LOGIT_THREE_DIVISIONS(_mm_store_pd(v + i, _ZGVbN2v_exp(_mm_load_pd(v + i))), 2)
}

using Pair = void (*)(const double*, std::size_t, double*, double*);

#ifdef TARVEX_BASELINE
}  // namespace
// The baseline's link.cpp, compiled with its namespace renamed.
namespace tarvex_baseline {
enum class ModelKind { Logit, Probit };
void cdf_pdf(ModelKind kind, const double* z, std::size_t len, double* cdf_out, double* pdf_out);
}  // namespace tarvex_baseline
namespace {
void probit_baseline(const double* z, std::size_t n, double* cdf, double* pdf) {
    tarvex_baseline::cdf_pdf(tarvex_baseline::ModelKind::Probit, z, n, cdf, pdf);
}
#endif

void probit_own(const double* z, std::size_t n, double* cdf, double* pdf) {
    tarvex::cdf_pdf(tarvex::ModelKind::Probit, z, n, cdf, pdf);
}
void logit_own(const double* z, std::size_t n, double* cdf, double* pdf) {
    tarvex::cdf_pdf(tarvex::ModelKind::Logit, z, n, cdf, pdf);
}

}  // namespace

int main() {
    const char* names[] = {"base", "avx2", "avx512"};
    const IsaLevel level = tarvex::isa_level();
    const bool base = level == IsaLevel::Base;
    // Own Probit, former Probit, own Logit, former Logit (and the baseline's
    // Probit): timed in turns.
    const Pair pairs[] = {probit_own, base ? probit_sse2 : probit_avx2, logit_own,
                          base ? logit_sse2 : logit_avx2,
#ifdef TARVEX_BASELINE
                          probit_baseline
#endif
    };
    constexpr int count = sizeof pairs / sizeof *pairs;
    const std::size_t n = std::size_t{1} << 20;
    std::vector<double> z(n), cdf(n), pdf(n);
    for (const double sd : {1.5, 5.0}) {
        std::mt19937_64 rng(1);
        std::normal_distribution<double> normal(0.0, sd);
        for (double& v : z) v = normal(rng);
        double best[count];
        std::fill(best, best + count, 1e300);
        for (int round = 0; round < 40; ++round) {
            for (int p = 0; p < count; ++p) {
                const auto t0 = std::chrono::steady_clock::now();
                pairs[p](z.data(), n, cdf.data(), pdf.data());
                const auto t1 = std::chrono::steady_clock::now();
                best[p] = std::min(best[p], std::chrono::duration<double, std::milli>(t1 - t0).count());
            }
        }
        std::printf("%-6s sd %.1f: Probit pair %.2f ms (libmvec erfc + exp %s: %.2f ms); "
                    "Logit pair %.2f ms (three divisions: %.2f ms)\n",
                    names[static_cast<int>(level)], sd, best[0], base ? "SSE2" : "AVX2", best[1],
                    best[2], best[3]);
#ifdef TARVEX_BASELINE
        std::printf("%-6s sd %.1f: Probit pair %.2f ms (%.2f ns per pair), at %s %.2f ms (%.2f ns)\n",
                    names[static_cast<int>(level)], sd, best[0], best[0] * 1e6 / n,
                    TARVEX_BASELINE, best[4], best[4] * 1e6 / n);
#endif
    }
}
