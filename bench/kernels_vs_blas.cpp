// The engine's own product kernels beside the CBLAS calls they replaced, in
// one process, on the pass's shapes (tiles of 2048 rows of X, n = 1e6, k = 20,
// column-major and row-major X) and on the delta method's k × k products.
// Not part of the build: bench/kernels_vs_blas.sh compiles it against the
// serial OpenBLAS of the system, when that is installed.
#include <cblas.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <vector>

#include "engine/isa_level.hpp"
#include "engine/kernels.hpp"

using namespace tarvex;

template <class F>
double best_ms(F&& f, int reps) {
    double best = 1e300;
    for (int r = 0; r < reps; ++r) {
        auto t0 = std::chrono::steady_clock::now();
        f();
        auto t1 = std::chrono::steady_clock::now();
        best = std::min(best, std::chrono::duration<double, std::milli>(t1 - t0).count());
    }
    return best;
}

int main() {
    const char* level[] = {"base", "avx2", "avx512"};
    std::printf("level: %s\n", level[static_cast<int>(isa_level())]);
    const std::size_t n = 1000000, k = 20, tile = 2048;
    std::mt19937_64 gen(1);
    std::normal_distribution<double> normal;
    std::vector<double> x(n * k), beta(k), y(tile), d(tile * 8), out(16 * k), out2(16 * k);
    for (auto& v : x) v = normal(gen);
    for (auto& v : beta) v = normal(gen);
    for (auto& v : d) v = normal(gen);
    double sink = 0;
    for (int layout = 0; layout < 2; ++layout) {
        const bool col = layout == 0;
        const char* name = col ? "F-ordered" : "C-ordered";
        auto tile_view = [&](std::size_t t0, std::size_t m) {
            return col ? MatrixView{x.data() + t0, m, k, 1, static_cast<std::ptrdiff_t>(n)}
                       : MatrixView{x.data() + t0 * k, m, k, static_cast<std::ptrdiff_t>(k), 1};
        };
        auto own_xb = [&] {
            for (std::size_t t0 = 0; t0 < n; t0 += tile) {
                const std::size_t m = std::min(tile, n - t0);
                matvec(tile_view(t0, m), beta.data(), y.data());
                sink += y[0];
            }
        };
        auto blas_xb = [&] {
            for (std::size_t t0 = 0; t0 < n; t0 += tile) {
                const int m = static_cast<int>(std::min(tile, n - t0));
                if (col)
                    cblas_dgemv(CblasColMajor, CblasNoTrans, m, k, 1.0, x.data() + t0, n,
                                beta.data(), 1, 0.0, y.data(), 1);
                else
                    cblas_dgemv(CblasRowMajor, CblasNoTrans, m, k, 1.0, x.data() + t0 * k, k,
                                beta.data(), 1, 0.0, y.data(), 1);
                sink += y[0];
            }
        };
        std::printf("%s X·β (n=1e6, k=20, tiles of 2048): own %.2f ms, CBLAS dgemv %.2f ms\n",
                    name, best_ms(own_xb, 7), best_ms(blas_xb, 7));
        for (std::size_t r : {1, 3, 6, 9}) {
            auto own = [&] {
                for (std::size_t t0 = 0; t0 < n; t0 += tile) {
                    const std::size_t m = std::min(tile, n - t0);
                    transposed_product(d.data(), r, tile_view(t0, m), out.data());
                    sink += out[0];
                }
            };
            auto blas = [&] {
                for (std::size_t t0 = 0; t0 < n; t0 += tile) {
                    const int m = static_cast<int>(std::min(tile, n - t0));
                    const double* a = col ? x.data() + t0 : x.data() + t0 * k;
                    const int ld = col ? static_cast<int>(n) : static_cast<int>(k);
                    if (r == 1)
                        cblas_dgemv(col ? CblasColMajor : CblasRowMajor, CblasTrans, m, k, 1.0,
                                    a, ld, d.data(), 1, 0.0, out2.data(), 1);
                    else
                        cblas_dgemm(CblasColMajor, col ? CblasTrans : CblasNoTrans,
                                    CblasNoTrans, k, r, m, 1.0, a, ld, d.data(), m, 0.0,
                                    out2.data(), k);
                    sink += out2[0];
                }
            };
            std::printf("%s D^T·X (r=%zu): own %.2f ms, CBLAS %s %.2f ms\n", name, r,
                        best_ms(own, 7), r == 1 ? "dgemv" : "dgemm", best_ms(blas, 7));
        }
    }
    for (std::size_t kk : {100, 1000}) {
        std::vector<double> a(kk * kk), b(kk * kk), c(kk * kk);
        for (auto& v : a) v = normal(gen);
        for (auto& v : b) v = normal(gen);
        const MatrixView av = row_major_view(a.data(), kk, kk);
        const MatrixView bv = row_major_view(b.data(), kk, kk);
        const int reps = kk > 500 ? 3 : 20;
        double own = best_ms([&] { matmul(av, bv, c.data()); sink += c[0]; }, reps);
        double ownt = best_ms([&] { matmul(av, bv.transposed(), c.data()); sink += c[0]; }, reps);
        double blas = best_ms([&] {
            cblas_dgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, kk, kk, kk, 1.0, a.data(), kk,
                        b.data(), kk, 0.0, c.data(), kk);
            sink += c[0];
        }, reps);
        double delta_own = own + ownt, delta_blas = 2 * blas;
        std::printf("k=%zu matmul A·B: own %.2f ms, A·Bᵀ own %.2f ms, CBLAS dgemm %.2f ms;"
                    " delta method (both) own %.2f ms vs CBLAS %.2f ms\n",
                    kk, own, ownt, blas, delta_own, delta_blas);
    }
    std::printf("(checksum %g)\n", sink);
}
